// Data sources and data links: how data-aware controls, master/detail links
// and other listeners follow a dataset.
//
// A TDataSource connects one dataset with any number of TDataLinks. The
// dataset sends its data events to its sources, which pass them to their
// links while the source is enabled. A link keeps a window of BufferCount
// records over the dataset's buffer ring (FirstRecord .. FirstRecord +
// BufferCount - 1) that always holds the active record; the dataset keeps at
// least as many buffers as its largest link asks for. ActiveRecord is the
// active record's index within that window; writing it makes another
// buffer of the window the dataset's active one (grids read their rows that
// way and restore it).
//
// Ownership: a data source does not own its dataset; links do not own their
// source. Freeing a source detaches its links; freeing a dataset detaches
// its sources (free notification).
// Thread safety: none.
#pragma once

#include <vector>

#include "nxllComponent.h"
#include "plComponent.h"
#include "plDataSet.h"
#include "plDbConsts.h"

namespace platform {

class TDataLink;
class TDataSource;
using TDataChangeEvent = TnxMethod<TDataSource*, TField*>;
using TDataSourceNotifyEvent = TnxMethod<TDataSource*>;

class TDataSource : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDataSource(TComponent* aOwner = nullptr);
  ~TDataSource() override;
  void beforeDestruction() override;

  TDataSet* DataSet() const { return srcDataSet; }
  // A dataset that is linked to this source (a circle) raises.
  void SetDataSet(TDataSet* aDataSet);
  bool Enabled() const { return srcEnabled; }
  void SetEnabled(bool aValue);
  bool AutoEdit() const { return srcAutoEdit; }
  void SetAutoEdit(bool aValue) { srcAutoEdit = aValue; }
  // dsInactive without an enabled, active dataset.
  TDataSetState State() const { return srcState; }
  // Edit of the dataset when AutoEdit allows it and it is browsing.
  void Edit();
  // Whether the master chain of aDataSet reaches this source (attaching
  // aDataSet would close a circle).
  bool IsLinkedTo(const TDataSet* aDataSet) const;
  int DataLinkCount() const { return static_cast<int>(srcLinks.size()); }

  TDataSourceNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TDataSourceNotifyEvent OnUpdateData;

 protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void AddDataLink(TDataLink* aLink);
  void RemoveDataLink(TDataLink* aLink);
  void DataEvent(TDataEvent aEvent, std::intptr_t aInfo);
  void NotifyLinks(TDataEvent aEvent, std::intptr_t aInfo);
  void NotifyState();

  TDataSet* srcDataSet = nullptr;
  bool srcEnabled = true;
  bool srcAutoEdit = true;
  TDataSetState srcState = dsInactive;
  std::vector<TDataLink*> srcLinks;  // not owned
};

class TDataLink : public TObject {
  PL_CLASS_INFO_DECL()
 public:
  TDataLink();
  ~TDataLink() override;
  void beforeDestruction() override;

  TDataSource* DataSource() const { return dlDataSource; }
  void SetDataSource(TDataSource* aSource);
  TDataSet* DataSet() const { return dlDataSource ? dlDataSource->DataSet() : nullptr; }
  bool Active() const { return dlActive; }
  bool Editing() const { return dlEditing; }
  bool ReadOnly() const { return dlReadOnly; }
  void SetReadOnly(bool aValue);
  int BufferCount() const { return dlBufferCount; }
  void SetBufferCount(int aValue);
  // Records in the window.
  int RecordCount() const;
  int ActiveRecord() const;
  void SetActiveRecord(int aValue);
  int FirstRecord() const { return dlFirstRecord; }
  // Starts editing through the source (AutoEdit); answers Editing.
  bool Edit();
  // Lets the link write its pending value (UpdateData) now.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int) { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField*) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField*) {}
  virtual void UpdateData() {}
  virtual void DataEvent(TDataEvent aEvent, std::intptr_t aInfo);

 private:
  friend class TDataSource;
  void UpdateState();
  void SetActive(bool aValue);
  void SetEditing(bool aValue);
  void UpdateRange();

  TDataSource* dlDataSource = nullptr;
  int dlBufferCount = 1;
  int dlFirstRecord = 0;
  bool dlActive = false;
  bool dlEditing = false;
  bool dlReadOnly = false;
  bool dlUpdating = false;
};

// A link whose dataset is a detail of the source's dataset.
class TDetailDataLink : public TDataLink {
  PL_CLASS_INFO_DECL()
 public:
  using TDataLink::TDataLink;
  virtual TDataSet* GetDetailDataSet() { return nullptr; }
};


// Master side of a master/detail relation: the master fields named in
// FieldNames; OnMasterChange runs when the master's record or one of the
// master fields changes, OnMasterDisable when the master becomes inactive.
class TMasterDataLink : public TDetailDataLink {
  PL_CLASS_INFO_DECL()
 public:
  explicit TMasterDataLink(TDataSet* aDataSet = nullptr);
  TDataSet* GetDetailDataSet() override { return mlDataSet; }
  const UnicodeString& FieldNames() const { return mlFieldNames; }
  void SetFieldNames(const UnicodeString& aValue);
  // The master fields (empty while the link is inactive).
  const std::vector<TField*>& Fields() const { return mlFields; }

  TnxMethod<TMasterDataLink*> OnMasterChange;
  TnxMethod<TMasterDataLink*> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(TField* aField) override;

 private:
  void UpdateFields();
  TDataSet* mlDataSet;
  UnicodeString mlFieldNames;
  std::vector<TField*> mlFields;
};

}  // namespace platform
