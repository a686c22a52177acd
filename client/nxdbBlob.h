// BLOB streams of the client dataset and the dataset's field classes. Part
// of nxdb: include nxdb.h, not this header.
//
// Contracts:
// - A BLOB field's engine record holds only a 64-bit BLOB number (0 or null:
//   no BLOB); the bytes are reached through the cursor's BLOB operations.
// - Every stream is linked into its dataset's list from creation until it is
//   freed or detached. A detached stream reads and writes nothing. The
//   dataset refuses edit, insert, post, refresh and scroll while a stream is
//   linked and detaches them all before cancel, close and delete.
// - TnxBlobStream works directly on the engine BLOB or, cached, on a memory
//   copy loaded once and written back with one replace. Its Flush runs in the
//   before-destruction step and may raise; unlinking and freeing the cache
//   happen in the destructor in every case.
// - A read-mode stream follows a BLOB that another transaction moved or
//   replaced (the retry rule); a record deleted meanwhile reads as empty.
// Thread safety: the dataset's thread only.
#pragma once

#include <cstdint>

#include "nxllStreams.h"
#include "nxsdTypes.h"
#include "plDbFields.h"

class TnxDataset;

class TnxBaseBlobStream : public TStream {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseBlobStream(platform::TBlobField* aField, platform::TBlobStreamMode aMode);
  ~TnxBaseBlobStream() override;
  TnxBaseBlobStream(const TnxBaseBlobStream&) = delete;
  TnxBaseBlobStream& operator=(const TnxBaseBlobStream&) = delete;

  virtual void DetachFromDataset();
  virtual void Truncate() = 0;

  platform::TBlobField* Field() const { return bbsField; }
  platform::TBlobStreamMode Mode() const { return bbsMode; }
  bool Attached() const { return bbsDataset != nullptr; }

 protected:
  [[noreturn]] void bbsRaise(TnxResult aResult) const;
  [[noreturn]] void bbsRaiseMessage(const nxString& aMessage) const;
  void bbsCheck(TnxResult aResult) const {
    if (aResult != 0) bbsRaise(aResult);
  }

  platform::TBlobField* bbsField = nullptr;
  std::uint32_t bbsFieldNo = 0;  // the engine field index
  TnxDataset* bbsDataset = nullptr;
  platform::TBlobStreamMode bbsMode = platform::bmRead;
  TnxBaseBlobStream* bbsDataSetPrev = nullptr;
  TnxBaseBlobStream* bbsDataSetNext = nullptr;

 private:
  void bbsUnlink();
  friend class TnxDataset;
};

class TnxBlobStream : public TnxBaseBlobStream {
  PL_CLASS_INFO_DECL()
 public:
  TnxBlobStream(platform::TBlobField* aField, bool aCached, bool aReadOrg, platform::TBlobStreamMode aMode);
  ~TnxBlobStream() override;
  void beforeDestruction() override;

  std::int32_t Read(void* aBuffer, std::int32_t aCount) override;
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t aNewSize) override;
  void Truncate() override;
  void DetachFromDataset() override;

  // Writes the changes and tells the framework the field changed.
  virtual void Flush();

 protected:
  virtual void bsLoadCache();
  virtual void bsWriteCache();

 private:
  void bsDoTruncate0();
  std::int64_t bsGetBlobLength();
  bool bsShouldRetry(TnxResult& aResult, TnxBlobNr& aBlobNr, const TnxNewBlobNr& aNewBlobNr);
  void bsTakeNewBlobNr(const TnxNewBlobNr& aNewBlobNr, TnxBlobNr& aBlobNr);

  platform::TRecordBuffer bsBuffer = nullptr;
  TnxMemoryStream* bsCache = nullptr;  // owned
  std::uint32_t bsCacheStatus = 10756;
  bool bsModified = false;
  bool bsOpened = false;
  bool bsReadOrg = false;
  bool bsNeedsTruncate0 = false;
  std::int64_t bsPosition = 0;
  std::int32_t bsChunkSize = 524288;
};

// The dataset's field classes for engine BLOB, memo, string, large-integer
// fields and the read-only key field "_Key".
class TnxBlobField : public platform::TBlobField {
  PL_CLASS_INFO_DECL()
 public:
  using platform::TBlobField::TBlobField;
  bool Marked() const;
  void SetMarked(bool aValue);

 private:
  bool bfLoadedMarked = false;
};

class TnxMemoField : public platform::TMemoField {
  PL_CLASS_INFO_DECL()
 public:
  using platform::TMemoField::TMemoField;
  bool Marked() const;
  void SetMarked(bool aValue);
  // Takes the storage form (wide or code page) of the engine field.
  void Bind(bool aWide, std::uint16_t aCodePage) {
    mfIsWide = aWide;
    mfCodePage = aCodePage;
  }
  platform::UnicodeString AsString() const override;
  void SetAsString(platform::UnicodeStringView aValue) override;
  platform::Variant AsVariant() const override;
  void SetAsVariant(const platform::Variant& aValue) override;

 private:
  bool mfLoadedMarked = false;
  bool mfIsWide = false;
  std::uint16_t mfCodePage = 0;
};

class TnxWideMemoField : public platform::TWideMemoField {
  PL_CLASS_INFO_DECL()
 public:
  using platform::TWideMemoField::TWideMemoField;
  bool Marked() const;
  void SetMarked(bool aValue);

 private:
  bool wmfLoadedMarked = false;
};

class TnxGraphicField : public platform::TGraphicField {
  PL_CLASS_INFO_DECL()
 public:
  using platform::TGraphicField::TGraphicField;
  bool Marked() const;
  void SetMarked(bool aValue);

 private:
  bool gfLoadedMarked = false;
};

class TnxLargeintField : public platform::TLargeintField {
  PL_CLASS_INFO_DECL()
 public:
  using platform::TLargeintField::TLargeintField;
  platform::FmtBcd AsBCD() const override;
  void SetAsBCD(const platform::FmtBcd& aValue) override;
};

// The dataset's KeyAsVariant as a read-only calculated field.
class TnxKeyAsVariantField : public platform::TVariantField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxKeyAsVariantField(platform::TComponent* aOwner = nullptr);
  platform::Variant AsVariant() const override;
  void SetAsVariant(const platform::Variant&) override {}
  platform::UnicodeString AsString() const override;
  void SetAsString(platform::UnicodeStringView) override {}
};
