// Tables of the fake engine for tests of the engines that work on cursors
// (mappers, referential integrity): one session and one database over a
// folder of tables built from field lists, and records set and read as
// variants by field name.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "nxFakeServerEngine.h"
#include "nxStepBound.h"
#include "nxllBde.h"
#include "nxsdDataDictionary.h"
#include "plVariant.h"

namespace nxfake {

using Values = std::vector<std::pair<nxString, platform::Variant>>;
using FieldSpec = std::tuple<const char16_t*, TnxFieldType, std::int32_t>;

class FakeDatabase {
 public:
  static constexpr const char16_t* kPath = u"/data";

  FakeDatabase() {
    engine = platform::create<TnxFakeServerEngine>();
    engine->feStore.AddFolder(kPath);
    TnxAbstractSession* s = nullptr;
    EXPECT_EQ(engine->SessionOpen(s, u"tester", u"", u"direct", 0), 0);
    session = static_cast<TnxFakeSession*>(s);
    TnxAbstractDatabase* d = nullptr;
    EXPECT_EQ(session->DatabaseOpen(d, u"Path", kPath, nullptr, omReadWrite, smShared, 0), 0);
    db = static_cast<TnxFakeDatabase*>(d);
  }
  ~FakeDatabase() {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
  }
  FakeDatabase(const FakeDatabase&) = delete;
  FakeDatabase& operator=(const FakeDatabase&) = delete;

  // A dictionary with the fields; aSetup may add indices, defaults and the
  // rest before the table takes its copy.
  template <class Setup>
  TnxFakeTable& AddTable(const nxString& aName, std::initializer_list<FieldSpec> aFields, Setup&& aSetup) {
    TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
    for (const auto& [name, type, units] : aFields) dict->FieldsDescriptor()->AddField(name, u"", type, units, 0, false);
    aSetup(*dict);
    TnxFakeTable& table = engine->feStore.AddTable(kPath, aName, *dict);
    if (onTableAdded) onTableAdded(table);
    return table;
  }
  TnxFakeTable& AddTable(const nxString& aName, std::initializer_list<FieldSpec> aFields) {
    return AddTable(aName, aFields, [](TnxDataDictionary&) {});
  }

  TnxFakeCursor* Open(const nxString& aName, const nxString& aIndex = {}, const nxString& aPassword = {},
                      bool aAllowSystem = false) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->CursorOpen(cursor, aName, aPassword, omReadWrite, smShared, 0, aIndex, -1, aAllowSystem, {}, 0,
                             nullptr),
              0);
    return static_cast<TnxFakeCursor*>(cursor);
  }

  TnxFakeCounters& Counters() { return engine->feStore.counters; }

  // Called for every table added (to give it a storage).
  std::function<void(TnxFakeTable&)> onTableAdded;
  TnxFakeServerEngine* engine = nullptr;
  TnxFakeSession* session = nullptr;
  TnxFakeDatabase* db = nullptr;
};

// A record buffer of the cursor's table, every field NULL, then the values.
class Record {
 public:
  explicit Record(TnxAbstractCursor* aCursor, const Values& aValues = {})
      : fields_(aCursor->FieldsDescriptor()), data_(static_cast<std::size_t>(fields_->RecordLength()) + 4) {
    fields_->InitRecord(data_.data());
    for (const auto& [name, value] : aValues) Set(name, value);
  }
  void Set(const nxString& aName, const platform::Variant& aValue) {
    const std::int32_t field = fields_->GetFieldFromName(aName);
    EXPECT_GE(field, 0);
    if (aValue.isNull()) fields_->SetRecordFieldNull(field, data_.data(), true);
    else fields_->fsdSetFieldByIndexAsVariant(data_.data(), field, aValue);
  }
  platform::Variant Get(const nxString& aName) const {
    const std::int32_t field = fields_->GetFieldFromName(aName);
    EXPECT_GE(field, 0);
    return fields_->fsdGetFieldByIndexAsVariant(data_.data(), field);
  }
  bool IsNull(const nxString& aName) const { return Get(aName).isNull(); }
  std::uint8_t* data() { return data_.data(); }
  const std::uint8_t* data() const { return data_.data(); }

 private:
  TnxFieldsDescriptor* fields_;
  std::vector<std::uint8_t> data_;
};

inline void Insert(TnxAbstractCursor* aCursor, const Values& aValues) {
  Record record(aCursor, aValues);
  EXPECT_EQ(aCursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
}

// Every record of the cursor (in its order) as the text of one field;
// NULL reads "NULL".
inline std::vector<std::string> Column(TnxAbstractCursor* aCursor, const nxString& aName) {
  std::vector<std::string> result;
  Record record(aCursor);
  EXPECT_EQ(aCursor->RangeReset(), 0);
  EXPECT_EQ(aCursor->SetToBegin(), 0);
  nxtest::StepBound step;
  while (step() && aCursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    const platform::Variant v = record.Get(aName);
    result.push_back(v.isNull() ? std::string("NULL") : platform::toUtf8(v.toString()));
  }
  return result;
}

}  // namespace nxfake
