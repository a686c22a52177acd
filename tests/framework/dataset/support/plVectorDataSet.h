// A dataset over rows kept in memory, for the tests of the dataset framework
// and of the controls bound to it.
//
// Columns are the field definitions given before the first row or open.
// Rows keep each value in the field type's native buffer form (BLOBs as
// byte vectors, variants as Variant); a bookmark is the row number (4 bytes),
// so inserting or deleting rows moves the bookmarks of the rows behind.
// The cursor is a row number, -1 before the first row and RowCount() after
// the last. OnFilterRecord filters while Filtered is set and drives FindFirst
// .. FindLast always. OnInternalPost, when set, runs before a post writes the
// row (a test raises from it to simulate an engine refusal).
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "plDataSet.h"

namespace pltest {

using namespace platform;

class TVectorDataSet : public TDataSet {
  PL_CLASS_INFO_DECL()
 public:
  explicit TVectorDataSet(TComponent* aOwner = nullptr);
  ~TVectorDataSet() override;

  // --- rows, usable while the dataset is closed or open ("underneath")
  int RowCount() const { return static_cast<int>(vdRows.size()); }
  // Values by column; an empty Variant or null leaves the column null.
  void AddRow(const std::vector<Variant>& aValues);
  void SetRowValue(int aRow, int aColumn, const Variant& aValue);
  void DeleteRow(int aRow);
  // The native bytes of a column (empty when null).
  std::vector<std::uint8_t> RawValue(int aRow, int aColumn) const;
  bool RowIsNull(int aRow, int aColumn) const;
  int CursorRow() const { return vdCursor; }

  // The value of aField in buffer aIndex of the ring (as a grid reads it).
  Variant BufferValue(int aIndex, TField* aField);
  // Row numbers held by the buffers of the ring, in order.
  std::vector<int> BufferRows();

  std::function<void()> OnInternalPost;

  // --- framework overrides
  bool GetFieldData(TField* aField, void* aBuffer) override;
  void SetFieldData(TField* aField, const void* aBuffer) override;
  TStream* CreateBlobStream(TField* aField, TBlobStreamMode aMode) override;
  int RecordCount() override;
  bool Locate(UnicodeStringView aKeyFields, const Variant& aKeyValues, TLocateOptions aOptions) override;
  Variant Lookup(UnicodeStringView aKeyFields, const Variant& aKeyValues, UnicodeStringView aResultFields) override;
  bool BookmarkValid(const TBookmark& aBookmark) override;
  int CompareBookmarks(const TBookmark& aBookmark1, const TBookmark& aBookmark2) override;
  void SetFiltered(bool aValue) override;
  void SetOnFilterRecord(TFilterRecordEvent aValue) override;
  bool CanModify() const override { return true; }

  struct Record {
    std::vector<std::uint8_t> data;  // per column: null flag, then the native bytes
    std::vector<std::vector<std::uint8_t>> blobs;
    std::vector<Variant> variants;
  };

 protected:
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& aBuffer) override;
  TGetResult GetRecord(TRecordBuffer aBuffer, TGetMode aGetMode, bool aDoCheck) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return vdOpen; }
  void InternalFirst() override { vdCursor = -1; }
  void InternalLast() override { vdCursor = RowCount(); }
  void InternalSetToRecord(TRecordBuffer aBuffer) override;
  void InternalInitRecord(TRecordBuffer aBuffer) override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalGotoBookmark(const TBookmark& aBookmark) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer aBuffer) override;
  void SetBookmarkFlag(TRecordBuffer aBuffer, TBookmarkFlag aFlag) override;
  void GetBookmarkData(TRecordBuffer aBuffer, void* aData) override;
  void SetBookmarkData(TRecordBuffer aBuffer, const void* aData) override;
  void ClearCalcFields(TRecordBuffer aBuffer) override;
  bool FindRecord(bool aRestart, bool aGoForward) override;

 private:
  struct Buffer;
  struct Column {
    TFieldType type;
    int offset;
    int size;  // native bytes; 0 for BLOBs and variants
  };
  static Buffer* buf(TRecordBuffer aBuffer) { return reinterpret_cast<Buffer*>(aBuffer); }
  void EnsureLayout();
  Record BlankRecord() const;
  // The record field access works on in the current state; null for none.
  Record* ActiveRec();
  std::uint8_t* CalcArea();
  bool Accepts(int aRow);
  int FindRow(const std::vector<TField*>& aFields, const Variant& aValues, TLocateOptions aOptions);
  static void EncodeValue(const Column& aColumn, const Variant& aValue, Record& aRecord, int aIndex);

  std::vector<Column> vdColumns;
  std::vector<Record> vdRows;
  int vdCursor = -1;
  bool vdOpen = false;
  bool vdFindAll = false;    // FindRecord filters without Filtered
  Record* vdFilterRecord = nullptr;
};

}  // namespace pltest
