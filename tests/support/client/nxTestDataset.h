// A dataset over a named table of its database, for the tests of the
// dataset until the table component exists: it opens the table through the
// engine database's CursorOpen and, with RecordCalls, wraps the engine
// cursor in a TnxRecordingCursor that the test can read and steer.
#pragma once

#include <string>
#include <vector>

#include "nxRecordingCursor.h"
#include "nxdb.h"

class TnxTestDataset : public TnxDataset {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDataset::TnxDataset;

  const nxString& TableName() const { return tdsTableName; }
  void SetTableName(const nxString& aValue) {
    CheckInactive();
    tdsTableName = aValue;
  }
  const nxString& IndexName() const { return tdsIndexName; }
  void SetIndexName(const nxString& aValue) {
    CheckInactive();
    tdsIndexName = aValue;
  }
  TnxOpenMode OpenMode() const { return tdsOpenMode; }
  void SetOpenMode(TnxOpenMode aValue) {
    CheckInactive();
    tdsOpenMode = aValue;
  }
  void SetShareMode(TnxShareMode aValue) {
    CheckInactive();
    tdsShareMode = aValue;
  }
  bool WriteOnly() const { return dsWriteOnly; }
  void SetWriteOnly(bool aValue) {
    CheckInactive();
    dsWriteOnly = aValue;
    dsInternalWriteOnly = aValue;
  }
  // Wrap the next engine cursors in a recording cursor.
  void SetRecordCalls(bool aValue) { tdsRecordCalls = aValue; }
  // Injections into the recording cursor of the next open (RecordCalls).
  void InjectAtOpen(const std::string& aName, TnxResult aResult, int aCount = 1) {
    tdsInjections.push_back({aName, aResult, aCount});
  }
  // The recording cursor while open with RecordCalls, else nil.
  TnxRecordingCursor* Recorder() const { return platform::objectAs<TnxRecordingCursor>(dsAbstractCursor); }
  bool CanModify() const override { return !tdsReadOnly && tdsOpenMode != omReadOnly; }
  void SetReadOnly(bool aValue) { tdsReadOnly = aValue; }

  // Test access to the dataset's internals.
  std::int32_t& IgnoreReadOnly() { return dsIgnoreReadOnly; }
  bool& IgnoreDataEvents() { return dsIgnoreDataEvents; }
  platform::TRecordBuffer OldValuesBuffer() const { return dsOldValuesBuffer; }
  using TnxDataset::ActiveBuffer;
  using TnxDataset::GetRecord;
  using TnxDataset::dsRecInfoFlag;

 protected:
  void dsOpenEngineCursor() override;

 private:
  nxString tdsTableName;
  nxString tdsIndexName;
  TnxOpenMode tdsOpenMode = omReadWrite;
  TnxShareMode tdsShareMode = smShared;
  bool tdsRecordCalls = false;
  bool tdsReadOnly = false;
  struct Injection {
    std::string name;
    TnxResult result;
    int count;
  };
  std::vector<Injection> tdsInjections;
};
