// Damaged and hostile descriptor streams: hand-made streams whose sizes,
// lengths and counts are out of range, the record layout check, and a
// deterministic mutation loop over every descriptor reader. In the sanitizer
// build an allocation above the cap aborts the test, so a reader that sizes
// memory from an unchecked value fails here instead of passing slowly.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineSQL.h"
#include "nxsdTestSupport.h"
#include "plString.h"

#if defined(__SANITIZE_ADDRESS__)
// No descriptor or record needs more than a few megabytes; anything larger
// is a size taken from a stream without a check.
extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=64:allocator_may_return_null=0";
}
#endif

namespace {

using nxsdtest::B;
using nxsdtest::Bytes;
using nxsdtest::expectCode;

constexpr std::int32_t kExtremes[] = {0, -1, INT32_MAX, INT32_MIN, INT32_MAX - 1};

// A table: the data dictionary above the descriptors under test.
class StreamTestTable : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  StreamTestTable() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  std::int32_t DictionaryVersion() const override { return version; }
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (fields && aType.inheritsFrom(TnxFieldsDescriptor::staticClassInfo())) {
      aDescriptor = fields;
      return true;
    }
    if (files && aType.inheritsFrom(TnxFilesDescriptor::staticClassInfo())) {
      aDescriptor = files;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  TnxFieldsDescriptor* fields = nullptr;
  TnxFilesDescriptor* files = nullptr;
  std::int32_t nextID = 0;
  std::int32_t version = 4;
};
PL_CLASS_INFO_IMPL(StreamTestTable, TnxDictionaryItem, "StreamTestTable", nullptr)

template <class T>
struct Owned {
  T* p;
  explicit Owned(T* a) : p(a) {}
  ~Owned() { platform::TObject::free(p); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* operator->() const { return p; }
  T& operator*() const { return *p; }
};

Bytes save(const std::function<void(TnxWriter&)>& aWrite) {
  TnxAnsiStringStream s;
  {
    TnxWriter w(s);
    aWrite(w);
    w.FlushBuffer();
  }
  return Bytes(s.DataString().begin(), s.DataString().end());
}

void reading(const Bytes& aBytes, const std::function<void(TnxReader&)>& aRead) {
  TnxAnsiStringStream s(std::string(aBytes.begin(), aBytes.end()));
  TnxReader r(s);
  aRead(r);
}

// --- hand-made pieces

// A field of a fields list: header, then the field's own stream.
struct FieldEntry {
  FieldEntry(std::string aType, std::int32_t aUnits, std::int32_t aOffset, std::int32_t aLength,
             Bytes aDefault = {}, std::string aName = "F")
      : type(std::move(aType)), units(aUnits), offset(aOffset), length(aLength), defaultValue(std::move(aDefault)),
        name(std::move(aName)) {}
  std::string type;
  std::int32_t units, offset, length;
  Bytes defaultValue;  // a constant default's stream, empty for none
  std::string name;
};

Bytes constDefault(std::size_t aRawBytes) {
  B b;
  b.Item(0).Ident("BDVD").Int(1).Bool(true).Bool(false).Bool(false).Bool(true).Bool(true).Int(1);
  b.b.insert(b.b.end(), aRawBytes, 0);
  return b.b;
}

B& fieldHeader(B& b, const FieldEntry& f) {
  return b.Str("TnxFieldDescriptor").Str(f.name).Str("").Str(f.type).Int(f.units).Int(0).Bool(false);
}

B& fieldBody(B& b, const FieldEntry& f) {
  b.Item(0).Int(3).Int(f.offset).Int(f.length).Bool(!f.defaultValue.empty());
  if (!f.defaultValue.empty()) b.Str("TnxConstDefaultValueDescriptor").Add(f.defaultValue);
  return b.Bool(false).Int(1).Bool(false).Bool(false);  // no client access, no own locale, no validations
}

Bytes fieldsStream(const std::vector<FieldEntry>& aFields, std::int32_t aLrl, std::int32_t aNb,
                   std::int32_t aCount = -2) {
  B b;
  b.Item(0).Int(2).Int(aCount == -2 ? static_cast<std::int32_t>(aFields.size()) : aCount);
  for (const FieldEntry& f : aFields) fieldBody(fieldHeader(b, f), f);
  return b.Int(aLrl).Int(aNb).Bool(false).b;
}

Bytes standaloneField(const FieldEntry& f) {
  B b;
  b.Int(1);
  return fieldBody(fieldHeader(b, f), f).b;
}

Bytes keyField(std::int32_t aBytes, std::int32_t aChars) {
  return B().Item(0).Int(2).Str("").Str("").Bool(true).Int(1).Bool(false).Int(aBytes).Int(aChars).Str("nbTop").b;
}

Bytes compKey(std::int32_t aCount, const std::vector<std::pair<std::int32_t, Bytes>>& aKeyFields) {
  B b;
  b.Item(0).Ident("BKD").Int(1).Bool(false).Int(1).Int(aCount);
  for (const auto& [number, stream] : aKeyFields) b.Str("TnxKeyFieldDescriptor").Int(number).Add(stream);
  return b.b;
}

class DescriptorStreamsTest : public ::testing::Test {
 protected:
  StreamTestTable table;

  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    nxsdFilterEngineCallbackInitialize();
    nxsdFilterEngineSQLInitialize();
    table.fields = platform::create<TnxFieldsDescriptor>(&table);
    table.files = platform::create<TnxFilesDescriptor>(&table);
    table.files->AddFile(u"", nxbs4k, u"");
    table.files->AddFile(u"nx1", nxbs4k, u"");
  }
  void TearDown() override {
    platform::TObject::free(table.files);
    platform::TObject::free(table.fields);
    nxsdFilterEngineSQLFinalize();
    nxsdFilterEngineCallbackFinalize();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }
  void LoadFields(const Bytes& aBytes) {
    reading(aBytes, [&](TnxReader& r) { table.fields->LoadFromReader(r); });
  }
  void LoadKey(const Bytes& aBytes) {
    Owned<TnxCompKeyDescriptor> key(platform::create<TnxCompKeyDescriptor>(&table));
    reading(aBytes, [&](TnxReader& r) { key->LoadFromReader(r); });
    key->KeyLen();
  }
  // Id Int32, Name ShortString(10), Done Boolean: offsets 0, 4, 15.
  static std::vector<FieldEntry> Example() {
    return {{"nxtInt32", 10, 0, 4, {}, "Id"}, {"nxtShortString", 10, 4, 11, {}, "Name"},
            {"nxtBoolean", 0, 15, 1, {}, "Done"}};
  }
};

// ------------------------------------------------------------ hand-made streams

TEST_F(DescriptorStreamsTest, OutOfRangeSizesFailWithTheStreamCode) {
  const struct Case {
    const char* what;
    std::function<void()> read;
  } cases[] = {
      {"byte array of 2^31-1 units with a constant default",
       [&] { LoadFields(fieldsStream({{"nxtByteArray", INT32_MAX, 0, INT32_MAX, constDefault(0)}}, INT32_MAX, INT32_MAX)); }},
      {"null string whose length overflows",
       [&] { LoadFields(fieldsStream({{"nxtNullString", INT32_MAX, 0, INT32_MIN}}, 0, 0)); }},
      {"wide string whose length overflows",
       [&] { LoadFields(fieldsStream({{"nxtWideString", 1 << 30, 0, 2}}, 2, 4)); }},
      {"byte array longer than a record",
       [&] { LoadFields(fieldsStream({{"nxtByteArray", 70000, 0, 70000}}, 70000, 70000)); }},
      {"stored length of 2^31-1 with a constant default",
       [&] { LoadFields(fieldsStream({{"nxtInt32", 10, 0, INT32_MAX, constDefault(4)}}, 4, 4)); }},
      {"negative stored length", [&] { LoadFields(fieldsStream({{"nxtInt32", 10, 0, -1}}, 4, 4)); }},
      {"negative offset", [&] { LoadFields(fieldsStream({{"nxtInt32", 10, INT32_MIN, 4}}, 4, 4)); }},
      {"fields that together exceed a record",
       [&] {
         LoadFields(fieldsStream({{"nxtByteArray", 40000, 0, 40000, {}, "A"}, {"nxtByteArray", 40000, 40000, 40000, {}, "B"}},
                                 80000, 80000));
       }},
      {"negative field count", [&] { LoadFields(fieldsStream({}, 0, 0, -1)); }},
      {"field count beyond the stream", [&] { LoadFields(fieldsStream({}, 0, 0, INT32_MAX)); }},
      {"standalone field of 2^31-1 units",
       [&] {
         reading(standaloneField({"nxtByteArray", INT32_MAX, 0, INT32_MAX, constDefault(0)}), [](TnxReader& r) {
           platform::TObject::free(TnxFieldDescriptor::CreateStandaloneFromReader(r));
         });
       }},
      {"key field byte override of 2^31-1", [&] { LoadKey(compKey(1, {{2, keyField(INT32_MAX, 0)}})); }},
      {"key field char override of 2^31-1", [&] { LoadKey(compKey(1, {{2, keyField(0, INT32_MAX)}})); }},
      {"negative key field byte override", [&] { LoadKey(compKey(1, {{2, keyField(-1, 0)}})); }},
      {"negative key field char override", [&] { LoadKey(compKey(1, {{2, keyField(0, INT32_MIN)}})); }},
      {"key field count beyond the stream", [&] { LoadKey(compKey(INT32_MAX, {{0, keyField(0, 0)}})); }},
      {"negative key field count", [&] { LoadKey(compKey(-1, {})); }},
      {"key filter larger than the stream",
       [&] {
         Owned<TnxInt64KeyDescriptor> key(platform::create<TnxInt64KeyDescriptor>(nullptr));
         reading(B().Item(0).Ident("BKD").Int(1).Bool(true).Int(INT32_MAX).Raw({1, 'x', 2}).b,
                 [&](TnxReader& r) { key->LoadFromReader(r); });
       }},
      {"file count beyond the stream",
       [&] {
         Owned<TnxFilesDescriptor> files(platform::create<TnxFilesDescriptor>(nullptr));
         reading(B().Item(0).Int(1).Int(INT32_MAX).b, [&](TnxReader& r) { files->LoadFromReader(r); });
       }},
      {"negative file count",
       [&] {
         Owned<TnxFilesDescriptor> files(platform::create<TnxFilesDescriptor>(nullptr));
         reading(B().Item(0).Int(1).Int(-1).b, [&](TnxReader& r) { files->LoadFromReader(r); });
       }},
      {"file growth of 0",
       [&] {
         Owned<TnxFileDescriptor> file(platform::create<TnxFileDescriptor>(nullptr, nxString()));
         reading(B().Item(0).Int(1).Str("").Int(4096).Int(4).Int(0).b, [&](TnxReader& r) { file->LoadFromReader(r); });
       }},
      {"negative initial file size",
       [&] {
         Owned<TnxFileDescriptor> file(platform::create<TnxFileDescriptor>(nullptr, nxString()));
         reading(B().Item(0).Int(1).Str("").Int(4096).Int(INT32_MIN).Int(1).b,
                 [&](TnxReader& r) { file->LoadFromReader(r); });
       }},
      {"storage code page beyond 16 bits",
       [&] {
         Owned<TnxLocaleDescriptor> locale(platform::create<TnxLocaleDescriptor>(nullptr));
         // 65536 + 932 must not pass as 932.
         const Bytes bytes = B().Item(0).Int(2).Int(1041).Bool(false).Bool(false).Bool(false).Bool(false).Bool(false)
                                 .Int(65536 + 932).Bool(false).b;
         reading(bytes, [&](TnxReader& r) { locale->LoadFromReader(r); });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expectCode(c.read, nxErrIncompatibleStream);
  }
}

TEST_F(DescriptorStreamsTest, FailedFieldsReadLeavesNoLayoutBehind) {
  LoadFields(fieldsStream(Example(), 16, 16));
  ASSERT_EQ(table.fields->FieldCount(), 3);
  expectCode([&] { LoadFields(fieldsStream({{"nxtInt32", 10, 0, -1}}, 4, 4)); }, nxErrIncompatibleStream);
  EXPECT_EQ(table.fields->FieldCount(), 0);
  EXPECT_EQ(table.fields->fsdLogRecLen, 0);
  EXPECT_EQ(table.fields->fsdLogRecLenAlign, 0);
}

TEST_F(DescriptorStreamsTest, CallersCannotSetUpRecordsOrKeysBeyondTheLimits) {
  TnxFieldsDescriptor* fields = table.fields;
  for (const auto& [type, units] : {std::pair{nxtByteArray, INT32_MAX}, std::pair{nxtNullString, INT32_MAX},
                                    std::pair{nxtWideString, INT32_MAX / 2}, std::pair{nxtByteArray, 70000}}) {
    SCOPED_TRACE(units);
    expectCode<EnxFieldDescriptorException>([&] { fields->AddField(u"Big", u"", type, units, 0, false); },
                                            nxErrInvalidFieldDesc);
    expectCode<EnxFieldDescriptorException>(
        [&] {
          platform::TObject::free(
              platform::create<TnxFieldDescriptor>(nullptr, nxString(u"Big"), nxString(), type, units, 0, false));
        },
        nxErrInvalidFieldDesc);
  }
  EXPECT_EQ(fields->FieldCount(), 0);
  fields->AddField(u"A", u"", nxtByteArray, 40000, 0, false);
  expectCode<EnxFieldsDescriptorException>([&] { fields->AddField(u"B", u"", nxtByteArray, 30000, 0, false); },
                                           nxErrInvalidRecordStruct);
  expectCode<EnxFieldsDescriptorException>(
      [&] { fields->InsertFieldAt(0, u"B", u"", nxtByteArray, 30000, 0, false); }, nxErrInvalidRecordStruct);
  ASSERT_EQ(fields->FieldCount(), 1);
  EXPECT_EQ(fields->fsdLogRecLen, 40000);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 40000);
  // The largest record that still fits: its bitmap word ends the buffer.
  fields->AddField(u"B", u"", nxtByteArray, nxMaxRecordBufferSize - 40000 - 4, 0, false);
  EXPECT_EQ(fields->RecordLength(), nxMaxRecordBufferSize);
  fields->CheckValid(false);

  // Keys: an override that no key can hold, and a key that repeats a large field.
  Owned<TnxCompKeyDescriptor> key(platform::create<TnxCompKeyDescriptor>(&table));
  TnxKeyFieldDescriptor* kf = key->Add(0);
  expectCode<EnxKeyFieldDescriptorException>([&] { kf->SetOverrideLengthBytes(INT32_MAX); }, nxErrInvalidDesc);
  expectCode<EnxKeyFieldDescriptorException>([&] { kf->SetOverrideLengthChars(INT32_MAX); }, nxErrInvalidDesc);
  expectCode<EnxKeyFieldDescriptorException>([&] { kf->SetOverrideLengthBytes(-1); }, nxErrInvalidDesc,
                                             u"Key length override -1 is negative");
  expectCode<EnxKeyFieldDescriptorException>([&] { kf->SetOverrideLengthChars(INT32_MIN); }, nxErrInvalidDesc);
  EXPECT_EQ(kf->OverrideLengthChars(), 0);
  EXPECT_EQ(kf->OverrideLengthBytes(), 0);
  EXPECT_EQ(key->KeyLen(), 40001u);
  key->Add(0);
  expectCode<EnxCompKeyDescriptorException>([&] { key->KeyLen(); }, nxErrInvalidDesc);
  expectCode<EnxCompKeyDescriptorException>([&] { key->CheckValid(false); }, nxErrInvalidDesc);

  // File sizes are counts of blocks: a stream could not carry anything below 1 back.
  TnxFileDescriptor* file = table.files->Files(1);
  expectCode<EnxFileDescriptorException>([&] { file->SetGrowSize(0); }, nxErrInvalidDesc);
  expectCode<EnxFileDescriptorException>([&] { file->SetInitialSize(INT32_MIN); }, nxErrInvalidDesc);
  EXPECT_EQ(file->GrowSize(), 1);
  EXPECT_EQ(file->InitialSize(), 4);
}

// ------------------------------------------------------------ record layout

TEST_F(DescriptorStreamsTest, RecordLayoutFromAStreamIsChecked) {
  std::vector<FieldEntry> four = Example();
  four.push_back({"nxtBoolean", 0, 16, 1, {}, "Flag"});
  const struct Case {
    const char* what;
    std::vector<FieldEntry> fields;
    std::int32_t version, lrl, nb;
    const char16_t* message;  // nullptr: the layout is sound and loads
  } cases[] = {
      {"LRL one more than the sum", Example(), 4, 17, 20, u"fsdLogRecLen is wrong. Expected 16 found 17."},
      {"LRL one less than the sum", Example(), 4, 15, 16, u"fsdLogRecLen is wrong. Expected 16 found 15."},
      {"NB inside the fields", Example(), 4, 16, 12, u"fsdLogRecLenAlign is wrong. Expected 16 found 12."},
      {"NB past the record", Example(), 4, 16, 40, u"fsdLogRecLenAlign is wrong. Expected 16 found 40."},
      {"NB unrounded", four, 4, 17, 17, u"fsdLogRecLenAlign is wrong. Expected 20 found 17."},
      {"version-1 NB rounded", four, 1, 17, 20, u"fsdLogRecLenAlign is wrong. Expected 17 found 20."},
      {"field offset one too large",
       {{"nxtInt32", 10, 0, 4, {}, "Id"}, {"nxtInt32", 10, 5, 4, {}, "Next"}}, 4, 8, 8,
       u"fdOffset is wrong for field 1 (Next). Expected 4 found 5."},
      {"stored length beside the type's", {{"nxtChar", 1, 0, 2, {}, "C"}}, 4, 2, 4,
       u"fdLength is wrong for field 0 (C). Expected 1 found 2."},
      {"example layout", Example(), 4, 16, 16, nullptr},
      {"version-1 layout", four, 1, 17, 17, nullptr},
      {"rounded layout", four, 4, 17, 20, nullptr},
      {"question-bank-shaped layout",
       {{"nxtAutoInc", 10, 0, 4, {}, "Id"},
        {"nxtWideString", 40, 4, 82, {}, "Category"},
        {"nxtInt32", 10, 86, 4, {}, "Year"},
        {"nxtShortString", 8, 90, 9, {}, "Season"},
        {"nxtBlobWideMemo", 0, 99, 8, {}, "Question"},
        {"nxtBlobGraphic", 0, 107, 8, {}, "Figure"},
        {"nxtChar", 1, 115, 1, {}, "Answer"},
        {"nxtDateTime", 0, 116, 8, {}, "Answered"},
        {"nxtBoolean", 0, 124, 1, {}, "Correct"}},
       4, 125, 128, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    table.version = c.version;
    const Bytes stream = fieldsStream(c.fields, c.lrl, c.nb);
    const Bytes before = stream;
    if (c.message) {
      expectCode<EnxFieldsDescriptorException>([&] { LoadFields(stream); }, nxErrInvalidRecordStruct, c.message);
      EXPECT_EQ(table.fields->FieldCount(), 0);
    } else {
      LoadFields(stream);
      ASSERT_EQ(table.fields->FieldCount(), static_cast<std::int32_t>(c.fields.size()));
      EXPECT_EQ(table.fields->fsdLogRecLen, c.lrl);
      EXPECT_EQ(table.fields->fsdLogRecLenAlign, c.nb);
      // Written back byte for byte.
      EXPECT_EQ(save([&](TnxWriter& w) { table.fields->SaveToWriter(w, nxInProcessCopyClientVersion); }).size(),
                stream.size());
    }
    EXPECT_EQ(stream, before);
  }
}

TEST_F(DescriptorStreamsTest, FieldsCheckComparesTheRecordLengths) {
  TnxFieldsDescriptor* fields = table.fields;
  for (const FieldEntry& f : Example())
    fields->AddField(platform::fromUtf8(f.name), u"", f.type == "nxtInt32" ? nxtInt32 : f.type == "nxtBoolean" ? nxtBoolean : nxtShortString,
                     f.units, 0, false);
  fields->CheckValid(false);
  fields->fsdLogRecLen = 17;
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrInvalidRecordStruct,
                                           u"fsdLogRecLen is wrong. Expected 16 found 17.");
  fields->fsdLogRecLen = 16;
  fields->fsdLogRecLenAlign = 4;
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrInvalidRecordStruct,
                                           u"fsdLogRecLenAlign is wrong. Expected 16 found 4.");
  fields->fsdLogRecLenAlign = 16;
  fields->CheckValid(false);
}

// ------------------------------------------------------------ filters

TEST_F(DescriptorStreamsTest, FilterSeesAShortStringOnlyUpToItsUnits) {
  TnxFieldsDescriptor* fields = table.fields;
  fields->AddField(u"Id", u"", nxtInt32, 10, 0, false);
  fields->AddField(u"Name", u"", nxtShortString, 10, 0, false);
  // The record ends right after the field's 11 bytes and the bitmap word:
  // a size taken from the damaged length byte would read past it.
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()));
  fields->InitRecord(record.data());
  fields->fsdSetFieldByIndexAsVariant(record.data(), 1, platform::Variant(u"abc"));
  const auto check = [&](std::uint8_t aLengthByte, std::uint16_t aExpected) {
    record[4] = aLengthByte;
    std::uint16_t type = 0, size = 0, codePage = 0;
    bool isNull = true;
    const void* value = nullptr;
    ASSERT_TRUE(fields->GetFieldForFilter(1, nullptr, record.data(), type, size, isNull, value, codePage));
    EXPECT_EQ(type, nxtShortString);
    EXPECT_FALSE(isNull);
    EXPECT_EQ(size, aExpected);
    EXPECT_EQ(value, record.data() + 5);
    // Every byte the filter is told about lies inside the field.
    const auto* p = static_cast<const std::uint8_t*>(value);
    EXPECT_LE(p + size, record.data() + 15);
    std::string seen(reinterpret_cast<const char*>(p), size);
    EXPECT_EQ(seen.substr(0, std::min<std::size_t>(3, seen.size())), std::string("abc").substr(0, std::min<std::size_t>(3, size)));
  };
  check(3, 3);
  check(10, 10);
  check(11, 10);
  check(255, 10);
  check(0, 0);
}

// ------------------------------------------------------------ mutation loop

// Widening: a small integer becomes a 32-bit one with an extreme value.
// Every byte that could be an integer tag is tried; most are not, which is
// a mutation of its own.
std::vector<Bytes> widened(const Bytes& aBase) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at < aBase.size(); ++at) {
    const std::uint8_t tag = aBase[at];
    const std::size_t width = tag == vaInt8 ? 1 : tag == vaInt16 ? 2 : tag == vaInt32 ? 4 : 0;
    if (width == 0 || at + width >= aBase.size()) continue;
    for (std::int32_t v : kExtremes) {
      Bytes m(aBase.begin(), aBase.begin() + static_cast<std::ptrdiff_t>(at));
      const Bytes wide = B().Raw({vaInt32}).b;
      m.insert(m.end(), wide.begin(), wide.end());
      for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
      m.insert(m.end(), aBase.begin() + static_cast<std::ptrdiff_t>(at + 1 + width), aBase.end());
      out.push_back(std::move(m));
    }
  }
  return out;
}

std::vector<Bytes> mutations(const Bytes& aBase, std::uint32_t aSeed) {
  std::vector<Bytes> out = widened(aBase);
  for (std::size_t n = 0; n < aBase.size(); ++n) out.emplace_back(aBase.begin(), aBase.begin() + static_cast<std::ptrdiff_t>(n));
  std::mt19937 rng(aSeed);
  for (int i = 0; i < 600; ++i) {
    Bytes m = aBase;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < edits; ++k) {
      const std::size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0: m[at] = static_cast<std::uint8_t>(rng()); break;
        case 1: m[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
        case 2: m[at] = static_cast<std::uint8_t>(kExtremes[rng() % 5]); break;
      }
    }
    out.push_back(std::move(m));
  }
  return out;
}

// Reads aBytes with aRead and, when that succeeds, uses what was read the way
// the engines do. Every failure must be an engine error or the stream's own.
void readAndUse(const Bytes& aBytes, const std::function<void(TnxReader&)>& aRead, std::set<TnxResult>& aCodes) {
  try {
    reading(aBytes, aRead);
    aCodes.insert(0);
  } catch (const EnxBaseException& e) {
    aCodes.insert(e.ErrorCode());
  } catch (const EReadError&) {
    aCodes.insert(-1);
  }
}

void useFields(TnxFieldsDescriptor& aFields) {
  std::vector<std::uint8_t> record(static_cast<std::size_t>(aFields.RecordLength()));
  aFields.InitRecord(record.data());
  for (std::int32_t i = 0; i < aFields.FieldCount(); ++i) {
    aFields.SetRecordFieldNull(i, record.data(), false);
    std::uint16_t type = 0, size = 0, codePage = 0;
    bool isNull = true;
    const void* value = nullptr;
    aFields.GetFieldForFilter(i, nullptr, record.data(), type, size, isNull, value, codePage);
    try {
      aFields.fsdGetFieldByIndexAsVariant(record.data(), i);
    } catch (const EnxBaseException&) {
    } catch (const platform::RuntimeError&) {  // a value the conversion refuses
    }
    aFields.SetRecordFieldNull(i, record.data(), true);
  }
  save([&](TnxWriter& w) { aFields.SaveToWriter(w, nxInProcessCopyClientVersion); });
}

TEST_F(DescriptorStreamsTest, MutatedDescriptorStreamsFailCleanly) {
  TnxFieldsDescriptor* fields = table.fields;
  fields->AddField(u"Id", u"", nxtAutoInc, 0, 0, false);
  fields->AddField(u"Name", u"", nxtShortString, 10, 0, true);
  fields->AddField(u"Title", u"", nxtWideString, 8, 0, false)->AddLocaleDescriptor()->SetOverrideStorageCodepage(1252);
  fields->AddField(u"Raw", u"", nxtByteArray, 6, 0, false);
  fields->AddField(u"Price", u"", nxtFmtBCD, 10, 2, false);
  fields->AddField(u"Done", u"", nxtBoolean, 0, 0, false);
  static_cast<TnxConstDefaultValueDescriptor*>(fields->Fields(1)->AddDefaultValue())
      ->SetAsVariant(platform::Variant(u"abc"));
  static_cast<TnxConstDefaultValueDescriptor*>(fields->Fields(4)->AddDefaultValue())
      ->SetAsVariant(platform::Variant(12.5));

  Owned<TnxCompKeyDescriptor> key(platform::create<TnxCompKeyDescriptor>(&table));
  key->Add(0)->SetAscend(false);
  key->Add(1, &TnxTextKeyFieldDescriptor::staticClassInfo())->SetOverrideLengthBytes(20);
  key->Add(2, &TnxExtTextKeyFieldDescriptor::staticClassInfo())->SetOverrideLengthChars(4);
  key->SetFilter(platform::create<TnxSqlFilterDescriptor>(nxString(u"Id > 3")));

  Owned<TnxIndexDescriptor> index(
      TnxIndexDescriptor::CreateStandalone(2, u"ByName", 1, &TnxCompKeyDescriptor::staticClassInfo()));
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(1);

  Owned<TnxHeapRecordDescriptor> record(platform::create<TnxHeapRecordDescriptor>(&table, std::string("Record")));
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  record->AddRecordCompressionDescriptor()->SetCompressType(3);
  Owned<TnxHeapBlobDescriptor> blob(platform::create<TnxHeapBlobDescriptor>(&table, std::string("Blob")));
  blob->CheckValid(false);
  Owned<TnxAdvAutoIncDescriptor> autoInc(platform::create<TnxAdvAutoIncDescriptor>(&table, std::string("AutoInc")));
  autoInc->SetStep(5);

  const auto saved = [](TnxDictionaryItem& aItem) {
    return save([&](TnxWriter& w) { aItem.SaveToWriter(w, nxInProcessCopyClientVersion); });
  };
  struct Reader {
    const char* what;
    Bytes base;
    std::function<void(TnxReader&)> read;
  };
  const Reader readers[] = {
      {"fields", saved(*fields),
       [&](TnxReader& r) {
         Owned<TnxFieldsDescriptor> f(platform::create<TnxFieldsDescriptor>(&table));
         f->LoadFromReader(r);
         useFields(*f);
       }},
      {"standalone field", save([&](TnxWriter& w) { fields->Fields(4)->SaveStandalone(w, nxInProcessCopyClientVersion); }),
       [&](TnxReader& r) {
         Owned<TnxFieldDescriptor> f(TnxFieldDescriptor::CreateStandaloneFromReader(r));
         std::vector<std::uint8_t> buffer(static_cast<std::size_t>(f->fdLength));
         try {
           f->fdGetBufferAsVariant(buffer.data());
         } catch (const EnxBaseException&) {
         } catch (const platform::RuntimeError&) {
         }
       }},
      {"composite key", saved(*key),
       [&](TnxReader& r) {
         Owned<TnxCompKeyDescriptor> k(platform::create<TnxCompKeyDescriptor>(&table));
         k->LoadFromReader(r);
         std::vector<std::uint8_t> keyBuffer(k->KeyLen());
         k->CheckValid(false);
       }},
      {"standalone index", save([&](TnxWriter& w) { index->SaveStandalone(w, nxInProcessCopyClientVersion); }),
       [&](TnxReader& r) {
         Owned<TnxIndexDescriptor> i(TnxIndexDescriptor::CreateStandaloneFromReader(r));
         i->KeyDescriptor()->KeyLen();
       }},
      {"files", saved(*table.files),
       [&](TnxReader& r) {
         Owned<TnxFilesDescriptor> f(platform::create<TnxFilesDescriptor>(nullptr));
         f->LoadFromReader(r);
         for (std::int32_t i = 0; i < f->FileCount(); ++i) f->Files(i)->BlockSizeBytes();
       }},
      {"heap record", saved(*record),
       [&](TnxReader& r) {
         Owned<TnxHeapRecordDescriptor> d(platform::create<TnxHeapRecordDescriptor>(&table, std::string("Record")));
         d->LoadFromReader(r);
         d->CheckValid(false);
       }},
      {"heap blob", saved(*blob),
       [&](TnxReader& r) {
         Owned<TnxHeapBlobDescriptor> d(platform::create<TnxHeapBlobDescriptor>(&table, std::string("Blob")));
         d->LoadFromReader(r);
         d->CheckValid(false);
       }},
      {"auto-increment", saved(*autoInc),
       [&](TnxReader& r) {
         Owned<TnxAdvAutoIncDescriptor> d(platform::create<TnxAdvAutoIncDescriptor>(&table, std::string("AutoInc")));
         d->LoadFromReader(r);
       }},
      {"locale", saved(*fields->Fields(2)->LocaleDescriptor()),
       [&](TnxReader& r) {
         Owned<TnxLocaleDescriptor> d(platform::create<TnxLocaleDescriptor>(nullptr));
         d->LoadFromReader(r);
         d->CheckValid(false);
       }},
  };
  std::uint32_t seed = 20261210;
  for (const Reader& reader : readers) {
    SCOPED_TRACE(reader.what);
    std::set<TnxResult> codes;
    readAndUse(reader.base, reader.read, codes);
    ASSERT_EQ(codes, std::set<TnxResult>{0}) << "the unmutated stream must read";
    for (const Bytes& m : mutations(reader.base, seed++)) readAndUse(m, reader.read, codes);
    // Both outcomes occur: the loop reaches past the first value.
    EXPECT_TRUE(codes.count(0));
    EXPECT_TRUE(codes.count(nxErrIncompatibleStream) || codes.count(-1));
  }
}

#if defined(__SANITIZE_ADDRESS__)
TEST(DescriptorStreamsAllocationCap, OversizedAllocationFailsTheTest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        const std::size_t n = std::size_t{128} << 20;
        auto* p = static_cast<char*>(std::malloc(n));
        std::fprintf(stderr, "%p\n", static_cast<void*>(p));
        std::free(p);
      },
      "");
}
#endif

}  // namespace
