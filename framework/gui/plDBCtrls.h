// Data-aware controls: an edit and a memo showing one field of the current
// record, a picture of a picture field, and a navigator that moves the
// dataset. They follow the data link's events: opening, closing, scrolling
// and field changes show the current record's value at once.
//
// The edit and the memo display the field; what is typed into them is not
// written back (the program shows its records read-only). SetText shows a
// text until the next record change.
// Thread safety: GUI thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "plControls.h"
#include "plDataLink.h"

namespace platform {

class TGuiDataLink;

// The link to one field; shared by the controls below.
class TFieldBinding {
 public:
  TFieldBinding();
  ~TFieldBinding();
  TFieldBinding(const TFieldBinding&) = delete;
  TFieldBinding& operator=(const TFieldBinding&) = delete;
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* aSource);
  const UnicodeString& DataField() const { return fbFieldName; }
  void SetDataField(const UnicodeString& aName);
  // The field on the active dataset, or null.
  TField* Field() const;
  TGuiDataLink& Link() { return *fbLink; }

 private:
  TGuiDataLink* fbLink;
  UnicodeString fbFieldName;
};

class TDBEdit : public TEdit {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDBEdit(TComponent* aOwner = nullptr);
  ~TDBEdit() override;
  TDataSource* DataSource() const { return deBinding.DataSource(); }
  void SetDataSource(TDataSource* aSource);
  const UnicodeString& DataField() const { return deBinding.DataField(); }
  void SetDataField(const UnicodeString& aName);
  TField* Field() const { return deBinding.Field(); }

 private:
  void Reload();
  TFieldBinding deBinding;
};

class TDBMemo : public TMemo {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDBMemo(TComponent* aOwner = nullptr);
  ~TDBMemo() override;
  TDataSource* DataSource() const { return dmBinding.DataSource(); }
  void SetDataSource(TDataSource* aSource);
  const UnicodeString& DataField() const { return dmBinding.DataField(); }
  void SetDataField(const UnicodeString& aName);

 private:
  void Reload();
  TFieldBinding dmBinding;
};

// Shows a BMP, PNG or JPEG picture stored in a field; nothing for NULL or
// bytes that are no picture.
class TDBImage : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDBImage(TComponent* aOwner = nullptr);
  ~TDBImage() override;
  TDataSource* DataSource() const { return diBinding.DataSource(); }
  void SetDataSource(TDataSource* aSource);
  const UnicodeString& DataField() const { return diBinding.DataField(); }
  void SetDataField(const UnicodeString& aName);
  // Scales the picture to the control, keeping its proportions.
  void SetStretch(bool aValue);
  bool HasPicture() const { return diWidth > 0; }
  int PictureWidth() const { return diWidth; }
  int PictureHeight() const { return diHeight; }

 private:
  void Reload();
  TFieldBinding diBinding;
  bool diStretch = false;
  int diWidth = 0;
  int diHeight = 0;
};

enum TNavigateBtn : std::uint8_t { nbFirst, nbPrior, nbNext, nbLast };

// Buttons that move the dataset; the program keeps it hidden and presses
// them in code. Last posts a pending append or edit, as the dataset's Last
// does.
class TDBNavigator : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDBNavigator(TComponent* aOwner = nullptr);
  ~TDBNavigator() override;
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* aSource);
  void BtnClick(TNavigateBtn aButton);

 private:
  TGuiDataLink* dnLink;
};

}  // namespace platform
