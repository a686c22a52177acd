#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxsdTestSupport.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterDescriptorBase.h"
#include "nxsdFilterEngineBase.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdFilterEngineSQL.h"
#include "plString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Owner of the fields: a writable dictionary of the current version.
class FilterTestDictionary : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  FilterTestDictionary() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  std::int32_t DictionaryVersion() const override { return 4; }
  std::int32_t nextID = 0;
};

// A filter kind that has a descriptor but no registered engine.
class TnxOrphanFilterDescriptor : public TnxBaseFilterDescriptor {
  PL_CLASS_INFO_DECL()
};

// Stands in for the SQL engine's statement: "Id > 10", and raises for Id 13.
class TestSqlStatement : public TnxBaseSqlFilterStatement {
  PL_CLASS_INFO_DECL()
 public:
  TestSqlStatement(const TnxIntfPtr<InxFieldsSource>& aSource, const nxString& aText)
      : TnxBaseSqlFilterStatement(aSource, aText) {
    if (aText == u"bad syntax") throw EnxBaseException(nxErrNotSupported, u"Syntax error");
    TnxFieldType type{};
    std::int32_t size = 0, dec = 0;
    TnxLocaleDescriptor* locale = nullptr;
    idColumn = ResolveFilterColumn(u"ID", type, size, dec, locale);
  }
  static inline int evaluations = 0;
  std::int32_t idColumn;
  // Exposed for the column-hook tests.
  using TnxBaseSqlFilterStatement::GetFilterColumnValue;
  using TnxBaseSqlFilterStatement::ResolveFilterColumn;

 protected:
  bool EvaluateFilter() override {
    ++evaluations;
    const std::int32_t id = GetFilterColumnValue(idColumn).toInt32();
    if (id == 13) throw EnxBaseException(nxErrNotSupported, u"division by zero");
    return id > 10;
  }
};

}  // namespace

PL_CLASS_INFO_IMPL(FilterTestDictionary, TnxDictionaryItem, "FilterTestDictionary", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxOrphanFilterDescriptor, TnxBaseFilterDescriptor, "TnxOrphanFilterDescriptor", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxOrphanFilterDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TestSqlStatement, TnxBaseSqlFilterStatement, "TestSqlStatement", nullptr,
                         platform::bindClassTable(nxSqlFilterStatementFuncs<TestSqlStatement>))

namespace {

using nxsdtest::expectCode;

// The text a returned code left pending on this thread.
nxString pendingText(TnxResult aCode) { return EnxBaseException(aCode).Message(); }

Bytes streamBytes(TnxMemoryStream& aStream) {
  const auto* p = static_cast<const std::uint8_t*>(aStream.Memory());
  return Bytes(p, p + aStream.Size());
}

void put(Bytes& b, const std::string& aText) { b.insert(b.end(), aText.begin(), aText.end()); }
void put32(Bytes& b, std::int32_t v) {
  std::uint8_t raw[4];
  std::memcpy(raw, &v, 4);
  b.insert(b.end(), raw, raw + 4);
}
Bytes header(const std::string& aName) {
  Bytes b{static_cast<std::uint8_t>(aName.size())};
  put(b, aName);
  return b;
}

TnxResult readDescriptor(const Bytes& aBytes, TnxBaseFilterDescriptor*& aFilter) {
  TnxMemoryStream stream;
  if (!aBytes.empty()) stream.WriteBuffer(aBytes.data(), static_cast<std::int32_t>(aBytes.size()));
  stream.SetPosition(0);
  return TnxBaseFilterDescriptor::CreateFromStream(stream, aFilter);
}

template <class T>
using Owned = TnxOwned<T>;

// Passes records whose Id (read through the fields source) exceeds the cookie.
struct Threshold {
  InxFieldsSource* source;
  std::int32_t limit;
  int calls = 0;
};
bool idAboveLimit(void* aCookie, const void* aBuffer) {
  auto* t = static_cast<Threshold*>(aCookie);
  ++t->calls;
  std::uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  if (!t->source->GetFieldForFilter(0, "Id", aBuffer, type, size, isNull, value, codePage) || isNull) return false;
  std::int32_t id;
  std::memcpy(&id, value, 4);
  return id > t->limit;
}
bool rejectAll(void* aCookie, const void*) {
  ++*static_cast<int*>(aCookie);
  return false;
}
bool passAll(void* aCookie, const void*) {
  ++*static_cast<int*>(aCookie);
  return true;
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTestDictionary dd;
  TnxFieldsDescriptor* fields = nullptr;
  TnxIntfPtr<InxFieldsSource> source;
  std::vector<std::vector<std::uint8_t>> records;

  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    nxsdFilterEngineCallbackInitialize();
    nxsdFilterEngineSQLInitialize();
    nxsdFilterEngineHubInitialize();
    fields = platform::create<TnxFieldsDescriptor>(&dd);
    fields->AddField(u"Id", u"", nxtInt32, 10, 0, false);
    fields->AddField(u"Name", u"", nxtShortString, 10, 0, false);
    fields->AddField(u"Doc", u"", nxtBlob, 0, 0, false);
    source = nxSupports<InxFieldsSource>(fields);
  }
  void TearDown() override {
    SqlFilterStatementClass = nullptr;
    source.reset();
    platform::TObject::free(fields);
    nxsdFilterEngineHubFinalize();
    nxsdFilterEngineSQLFinalize();
    nxsdFilterEngineCallbackFinalize();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }
  // A record with the given Id (Name "n").
  const void* record(std::int32_t aId) {
    records.emplace_back(static_cast<std::size_t>(fields->RecordLength()), 0);
    void* r = records.back().data();
    fields->InitRecord(r);
    fields->fsdSetFieldByIndexAsVariant(r, 0, platform::Variant(aId));
    fields->fsdSetFieldByIndexAsVariant(r, 1, platform::Variant(nxString(u"n")));
    return r;
  }
  TnxBaseFilterEngine* callbackEngine(TnxFilterCallback aCallback, void* aCookie) {
    TnxCallbackFilterDescriptor d(aCookie, aCallback);
    return TnxBaseFilterEngine::CreateFor(&d, source);
  }
};

// --------------------------------------------------------------- descriptor stream

TEST_F(FilterTest, SqlDescriptorWritesClassNameHeaderAndUtf16Body) {
  TnxSqlFilterDescriptor d(u"Id>\u00E9");
  TnxMemoryStream stream;
  EXPECT_EQ(d.WriteToStream(stream, 47501), 0);
  Bytes expected = header("TnxSqlFilterDescriptor");
  expected.push_back(2);
  put32(expected, 4);
  for (char16_t c : std::u16string(u"Id>\u00E9")) {
    expected.push_back(static_cast<std::uint8_t>(c & 0xFF));
    expected.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  EXPECT_EQ(streamBytes(stream), expected);

  TnxBaseFilterDescriptor* back = nullptr;
  ASSERT_EQ(readDescriptor(expected, back), 0);
  Owned<TnxBaseFilterDescriptor> owner(back);
  auto* sql = platform::objectAs<TnxSqlFilterDescriptor>(back);
  ASSERT_NE(sql, nullptr);
  EXPECT_EQ(sql->Expression(), u"Id>\u00E9");
}

TEST_F(FilterTest, SqlBodyFormats) {
  struct Case {
    const char* what;
    Bytes body;
    TnxResult code;
    nxString text;
  };
  Bytes ansi{1};
  put32(ansi, 4);
  put(ansi, "x>=2");
  Bytes utf16{2};
  put32(utf16, 1);
  put(utf16, std::string("y\0", 2));
  Bytes empty{2};
  put32(empty, 0);
  Bytes badFormat{3};
  put32(badFormat, 0);
  Bytes shortCount{2, 1, 0};
  Bytes shortText{2};
  put32(shortText, 5);
  put(shortText, "ab");
  Bytes negative{1};
  put32(negative, -1);
  const Case cases[] = {
      {"8-bit text", ansi, 0, u"x>=2"},
      {"UTF-16 text", utf16, 0, u"y"},
      {"empty text", empty, 0, u""},
      {"format 3", badFormat, nxErrIncompatibleStream, {}},
      {"truncated count", shortCount, nxErrIncompatibleStream, {}},
      {"truncated text", shortText, nxErrIncompatibleStream, {}},
      {"negative count", negative, nxErrIncompatibleStream, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = header("TnxSqlFilterDescriptor");
    bytes.insert(bytes.end(), c.body.begin(), c.body.end());
    TnxBaseFilterDescriptor* d = reinterpret_cast<TnxBaseFilterDescriptor*>(&bytes);  // must be overwritten
    EXPECT_EQ(readDescriptor(bytes, d), c.code);
    Owned<TnxBaseFilterDescriptor> owner(d);
    if (c.code == 0) {
      ASSERT_NE(platform::objectAs<TnxSqlFilterDescriptor>(d), nullptr);
      EXPECT_EQ(static_cast<TnxSqlFilterDescriptor*>(d)->Expression(), c.text);
    } else {
      EXPECT_EQ(d, nullptr);
    }
  }
}

TEST_F(FilterTest, ReaderFindsNameWithDescriptorAppended) {
  Bytes bytes = header("tnxsqlfilter");
  bytes.push_back(2);
  put32(bytes, 0);
  TnxBaseFilterDescriptor* d = nullptr;
  ASSERT_EQ(readDescriptor(bytes, d), 0);
  Owned<TnxBaseFilterDescriptor> owner(d);
  EXPECT_EQ(d->className(), "TnxSqlFilterDescriptor");
}

TEST_F(FilterTest, ReaderRefusals) {
  struct Case {
    const char* what;
    Bytes bytes;
    TnxResult code;
    nxString text;
  };
  Bytes shortName{5};
  put(shortName, "Tnx");
  Bytes missingFormat = header("TnxSqlFilterDescriptor");
  const Case cases[] = {
      {"empty stream", {}, nxErrInvalidParam, {}},
      {"short name", shortName, nxErrInvalidParam, {}},
      {"unknown class", header("TnxNoSuchFilter"), nxErrNotSupported,
       u"Filter descriptor not supported: TnxNoSuchFilter"},
      {"base class is not registered", header("TnxBaseFilterDescriptor"), nxErrNotSupported,
       u"Filter descriptor not supported: TnxBaseFilterDescriptor"},
      {"callback is not streamable", header("TnxCallbackFilterDescriptor"), nxErrNotSupported,
       u"TnxCallbackFilterDescriptor can not be created from a stream"},
      {"hub is not streamable", header("TnxFilterDescriptorHub"), nxErrNotSupported,
       u"TnxFilterDescriptorHub can not be created from a stream"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxBaseFilterDescriptor* d = nullptr;
    const TnxResult code = readDescriptor(c.bytes, d);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(d, nullptr);
    if (!c.text.empty()) {
      const nxString text = pendingText(code);
      EXPECT_NE(text.find(c.text), nxString::npos) << platform::toUtf8(text);
    }
  }
  // A missing format byte is the stream's own read error, still a code.
  TnxBaseFilterDescriptor* d = nullptr;
  EXPECT_NE(readDescriptor(missingFormat, d), 0);
  EXPECT_EQ(d, nullptr);
}

TEST_F(FilterTest, WriteToStreamUnsupportedForCallbackAndHub) {
  TnxCallbackFilterDescriptor callback(nullptr, nullptr);
  TnxFilterDescriptorHub hub;
  TnxMemoryStream stream;
  TnxResult code = callback.WriteToStream(stream, 47501);
  EXPECT_EQ(code, nxErrNotSupported);
  EXPECT_NE(pendingText(code).find(u"WriteToStream is not supported by TnxCallbackFilterDescriptor"), nxString::npos);
  code = hub.WriteToStream(stream, 47501);
  EXPECT_EQ(code, nxErrNotSupported);
  EXPECT_NE(pendingText(code).find(u"WriteToStream is not supported by TnxFilterDescriptorHub"), nxString::npos);
  EXPECT_EQ(stream.Size(), 0);
}

// --------------------------------------------------------------- engines

TEST_F(FilterTest, RegistryMakesEnginesAndRefusesUnknownOnes) {
  Threshold t{source.get(), 10};
  Owned<TnxBaseFilterEngine> e(callbackEngine(idAboveLimit, &t));
  EXPECT_EQ(e->className(), "TnxCallbackFilterEngine");
  EXPECT_FALSE(e->GetActive());
  EXPECT_EQ(e->FieldsSource().get(), source.get());

  TnxOrphanFilterDescriptor orphan;
  expectCode<EnxBaseFilterEngineException>([&] { TnxBaseFilterEngine::CreateFor(&orphan, source); },
                                           nxErrUnsupportedSubEngine,
                                           u"Unknown Filter engine: \"TnxOrphanFilterEngine\"");
}

TEST_F(FilterTest, CallbackEngineJudgesRealRecords) {
  Threshold t{source.get(), 10};
  Owned<TnxBaseFilterEngine> e(callbackEngine(idAboveLimit, &t));
  const void* low = record(5);
  const void* high = record(20);
  // Inactive: everything passes and the callback is not asked.
  EXPECT_TRUE(e->MatchesBuffer(low));
  EXPECT_EQ(t.calls, 0);
  EXPECT_TRUE(e->IsEvalRemote());
  ASSERT_EQ(e->ActivateFilter(nullptr), 0);
  EXPECT_TRUE(e->IsEvalLocal());
  EXPECT_FALSE(e->MatchesBuffer(low));
  EXPECT_TRUE(e->MatchesBuffer(high));
  EXPECT_TRUE(e->MatchesKey(high));
  EXPECT_EQ(t.calls, 3);
  // A null Id (the callback's rule) does not pass.
  void* nullId = const_cast<void*>(record(30));
  fields->SetRecordFieldNull(0, nullId, true);
  EXPECT_FALSE(e->MatchesBuffer(nullId));

  // Duplicate keeps the callback, cookie and Active.
  Owned<TnxBaseFilterEngine> copy(e->Duplicate(source));
  EXPECT_EQ(copy->className(), "TnxCallbackFilterEngine");
  EXPECT_TRUE(copy->GetActive());
  EXPECT_FALSE(copy->MatchesBuffer(low));
  EXPECT_TRUE(copy->MatchesBuffer(high));
}

TEST_F(FilterTest, CallbackEngineWithoutCallbackPassesEverything) {
  Owned<TnxBaseFilterEngine> e(callbackEngine(nullptr, nullptr));
  e->SetActive(true);
  EXPECT_TRUE(e->MatchesBuffer(record(1)));
}

TEST_F(FilterTest, EngineOperationsOnForeignIdentifiers) {
  int calls = 0;
  Owned<TnxBaseFilterEngine> other(callbackEngine(rejectAll, &calls));
  TnxBaseFilterEngine* e = callbackEngine(rejectAll, &calls);
  TnxBaseFilterEngine* var = e;
  EXPECT_EQ(e->ActivateFilter(other.get()), nxErrInvalidFilterHandle);
  EXPECT_FALSE(e->GetActive());
  EXPECT_EQ(e->ActivateFilter(e), 0);
  EXPECT_EQ(e->DeactivateFilter(other.get()), nxErrInvalidFilterHandle);
  EXPECT_TRUE(e->GetActive());
  EXPECT_EQ(e->DeactivateFilter(nullptr), 0);
  EXPECT_FALSE(e->GetActive());
  EXPECT_EQ(e->RemoveFilter(other.get(), var), nxErrInvalidFilterHandle);
  EXPECT_EQ(var, e);
  EXPECT_EQ(e->RemoveFilter(e, var), 0);  // frees e
  EXPECT_EQ(var, nullptr);
}

// --------------------------------------------------------------- hubs

TEST_F(FilterTest, EmptyHubPassesAndIsNotActive) {
  Owned<TnxFilterEngineHub> hub(platform::create<TnxFilterEngineHub>(nullptr, source));
  EXPECT_TRUE(hub->MatchesBuffer(record(1)));
  EXPECT_FALSE(hub->GetActive());
  EXPECT_FALSE(hub->IsEvalLocal());
  EXPECT_FALSE(hub->IsEvalRemote());
  EXPECT_EQ(hub->ActivateFilter(nullptr), nxErrInvalidFilterHandle);
  EXPECT_EQ(hub->DeactivateFilter(nullptr), nxErrInvalidFilterHandle);
}

TEST_F(FilterTest, HubIsAConjunctionThatStopsAtTheFirstRejection) {
  int first = 0, second = 0;
  TnxBaseFilterEngine* a = callbackEngine(rejectAll, &first);
  TnxBaseFilterEngine* b = callbackEngine(passAll, &second);
  Owned<TnxFilterEngineHub> hub(TnxFilterEngineHub::Create(a, b));
  EXPECT_EQ(hub->FieldsSource().get(), source.get());
  const void* r = record(1);
  EXPECT_TRUE(hub->MatchesBuffer(r));  // both inactive
  EXPECT_EQ(first + second, 0);

  EXPECT_EQ(hub->ActivateFilter(b), 0);
  EXPECT_FALSE(a->GetActive());
  EXPECT_TRUE(hub->GetActive());  // one active member is enough
  EXPECT_TRUE(hub->MatchesBuffer(r));
  EXPECT_EQ(second, 1);

  EXPECT_EQ(hub->ActivateFilter(nullptr), 0);
  EXPECT_TRUE(a->GetActive());
  EXPECT_FALSE(hub->MatchesBuffer(r));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);  // not asked after the first rejection

  EXPECT_EQ(hub->ActivateFilter(hub.get()), nxErrInvalidFilterHandle);  // the hub is never a target
  int unrelatedCalls = 0;
  Owned<TnxBaseFilterEngine> unrelated(callbackEngine(passAll, &unrelatedCalls));
  EXPECT_EQ(hub->DeactivateFilter(unrelated.get()), nxErrInvalidFilterHandle);
  EXPECT_EQ(hub->DeactivateFilter(a), 0);
  EXPECT_TRUE(hub->MatchesBuffer(r));
}

TEST_F(FilterTest, OwnerVariableCollapsesAsMembersAreRemoved) {
  int calls = 0;
  TnxBaseFilterEngine* a = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* b = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* c = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* var = TnxFilterEngineHub::Create(a, b);
  static_cast<TnxFilterEngineHub*>(var)->AddFilter(c);

  EXPECT_EQ(var->RemoveFilter(a, var), 0);  // three -> two: still the hub
  ASSERT_NE(platform::objectAs<TnxFilterEngineHub>(var), nullptr);
  EXPECT_EQ(static_cast<TnxFilterEngineHub*>(var)->FilterCount(), 2);
  EXPECT_EQ(var->RemoveFilter(b, var), 0);  // one left: it replaces the hub
  EXPECT_EQ(var, c);
  EXPECT_EQ(var->RemoveFilter(c, var), 0);
  EXPECT_EQ(var, nullptr);
}

TEST_F(FilterTest, HubRemovals) {
  int calls = 0;
  TnxBaseFilterEngine* a = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* b = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* c = callbackEngine(passAll, &calls);
  TnxBaseFilterEngine* var = TnxFilterEngineHub::Create(a, TnxFilterEngineHub::Create(b, c));
  // Only the hub's own members are searched.
  EXPECT_EQ(var->RemoveFilter(c, var), nxErrInvalidFilterHandle);
  EXPECT_EQ(var->RemoveFilter(nullptr, var), nxErrInvalidFilterHandle);
  ASSERT_EQ(static_cast<TnxFilterEngineHub*>(var)->FilterCount(), 2);
  // Removing the last member of a hub without the others.
  EXPECT_EQ(var->RemoveFilter(a, var), 0);
  ASSERT_NE(platform::objectAs<TnxFilterEngineHub>(var), nullptr);
  EXPECT_EQ(static_cast<TnxFilterEngineHub*>(var)->FilterCount(), 2);  // the nested hub took its place
  EXPECT_EQ(static_cast<TnxFilterEngineHub*>(var)->fehGetFilter(0), b);
  // Removing the hub itself frees everything.
  EXPECT_EQ(var->RemoveFilter(var, var), 0);
  EXPECT_EQ(var, nullptr);

  // A single-member hub empties to nil.
  TnxFilterEngineHub* single = platform::create<TnxFilterEngineHub>(nullptr, source);
  TnxBaseFilterEngine* d = callbackEngine(passAll, &calls);
  single->AddFilter(d);
  var = single;
  EXPECT_EQ(var->RemoveFilter(d, var), 0);
  EXPECT_EQ(var, nullptr);
}

TEST_F(FilterTest, HubDescriptorsAndCopies) {
  Threshold t{source.get(), 10};
  auto* desc = platform::create<TnxFilterDescriptorHub>();
  Owned<TnxFilterDescriptorHub> owner(desc);
  desc->AddFilter(platform::create<TnxCallbackFilterDescriptor>(&t, idAboveLimit));
  desc->AddFilter(platform::create<TnxSqlFilterDescriptor>(u"ignored"));
  desc->RemoveFilter(1);
  desc->AddFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  ASSERT_EQ(desc->FilterCount(), 2);

  Owned<TnxBaseFilterEngine> hub(TnxBaseFilterEngine::CreateFor(desc, source));
  ASSERT_NE(platform::objectAs<TnxFilterEngineHub>(hub.get()), nullptr);
  auto* h = static_cast<TnxFilterEngineHub*>(hub.get());
  ASSERT_EQ(h->FilterCount(), 2);
  EXPECT_EQ(static_cast<TnxCallbackFilterEngine*>(h->fehGetFilter(0))->cbfeCookie, &t);
  EXPECT_EQ(h->ActivateFilter(nullptr), 0);
  EXPECT_FALSE(h->MatchesBuffer(record(3)));
  EXPECT_TRUE(h->MatchesBuffer(record(11)));

  Owned<TnxBaseFilterDescriptor> back(h->CreateDescriptor());
  auto* backHub = platform::objectAs<TnxFilterDescriptorHub>(back.get());
  ASSERT_NE(backHub, nullptr);
  ASSERT_EQ(backHub->FilterCount(), 2);
  EXPECT_EQ(static_cast<TnxCallbackFilterDescriptor*>(backHub->fdhGetFilter(0))->cbfdCookie, &t);
  EXPECT_EQ(static_cast<TnxCallbackFilterDescriptor*>(backHub->fdhGetFilter(1))->cbfdCallback, nullptr);

  Owned<TnxBaseFilterEngine> copy(h->Duplicate(source));
  auto* c = platform::objectAs<TnxFilterEngineHub>(copy.get());
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->FilterCount(), 2);
  EXPECT_NE(c->fehGetFilter(0), h->fehGetFilter(0));
  EXPECT_TRUE(c->fehGetFilter(0)->GetActive());
  EXPECT_FALSE(c->MatchesBuffer(record(3)));
}

TEST_F(FilterTest, HubFromDescriptorFreesMembersWhenOneFails) {
  auto* desc = platform::create<TnxFilterDescriptorHub>();
  Owned<TnxFilterDescriptorHub> owner(desc);
  desc->AddFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  desc->AddFilter(platform::create<TnxOrphanFilterDescriptor>());
  // The sanitizer build reports the first member if it leaked.
  expectCode<EnxBaseFilterEngineException>([&] { TnxBaseFilterEngine::CreateFor(desc, source); },
                                           nxErrUnsupportedSubEngine);
}

// --------------------------------------------------------------- SQL filters

TEST_F(FilterTest, SqlEngineNeedsTheSqlEngine) {
  TnxSqlFilterDescriptor d(u"Id > 10");
  ASSERT_EQ(SqlFilterStatementClass, nullptr);
  expectCode<EnxSqlFilterEngineException>([&] { TnxBaseFilterEngine::CreateFor(&d, source); }, nxErrNotSupported,
                                          u"SQL Filters require SqlFilterStatementClass to be assigned");
}

TEST_F(FilterTest, SqlEngineEvaluatesThroughTheStatementClass) {
  SqlFilterStatementClass = &TestSqlStatement::staticClassInfo();
  TnxSqlFilterDescriptor d(u"Id > 10");
  Owned<TnxBaseFilterEngine> e(TnxBaseFilterEngine::CreateFor(&d, source));
  EXPECT_EQ(e->className(), "TnxSqlFilterEngine");
  TestSqlStatement::evaluations = 0;
  EXPECT_TRUE(e->MatchesBuffer(record(1)));  // inactive
  e->SetActive(true);
  EXPECT_TRUE(e->MatchesBuffer(nullptr));
  EXPECT_EQ(TestSqlStatement::evaluations, 0);
  EXPECT_FALSE(e->MatchesBuffer(record(1)));
  EXPECT_TRUE(e->MatchesBuffer(record(11)));
  // A failing evaluation rejects that record only.
  EXPECT_FALSE(e->MatchesBuffer(record(13)));
  EXPECT_TRUE(e->MatchesBuffer(record(14)));
  EXPECT_EQ(TestSqlStatement::evaluations, 4);

  Owned<TnxBaseFilterDescriptor> back(e->CreateDescriptor());
  EXPECT_EQ(static_cast<TnxSqlFilterDescriptor*>(back.get())->Expression(), u"Id > 10");
  Owned<TnxBaseFilterEngine> copy(e->Duplicate(source));
  EXPECT_TRUE(copy->GetActive());
  EXPECT_FALSE(copy->MatchesBuffer(record(2)));

  TnxSqlFilterDescriptor bad(u"bad syntax");
  expectCode([&] { TnxBaseFilterEngine::CreateFor(&bad, source); }, nxErrNotSupported, u"Syntax error");
}

TEST_F(FilterTest, SqlColumnHooks) {
  Owned<TestSqlStatement> s(platform::create<TestSqlStatement>(source, u"Id > 10"));
  struct Case {
    const char16_t* column;
    std::int32_t index;
    TnxFieldType type;
    std::int32_t size;
  };
  const Case cases[] = {
      {u"name", 1, nxtShortString, 10},
      {u"Id", 0, nxtInt32, 10},
      {u"Doc", -1, nxtBoolean, -7},  // BLOB: unreachable through a fields descriptor
      {u"Missing", -1, nxtBoolean, -7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.column));
    TnxFieldType type = nxtBoolean;
    std::int32_t size = -7, dec = -7;
    TnxLocaleDescriptor* locale = nullptr;
    EXPECT_EQ(s->ResolveFilterColumn(c.column, type, size, dec, locale), c.index);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
  }
  EXPECT_TRUE(s->GetFilterColumnValue(0).isEmpty());  // no match running
  EXPECT_TRUE(s->MatchesBuffer(record(12)));
  EXPECT_TRUE(s->GetFilterColumnValue(0).isEmpty());  // cleared after the match
}

// --------------------------------------------------------------- debug info

TEST_F(FilterTest, DebugInfoNamesMembersAndSettings) {
  SqlFilterStatementClass = &TestSqlStatement::staticClassInfo();
  TnxFilterDescriptorHub hub;
  hub.AddFilter(platform::create<TnxSqlFilterDescriptor>(u"Id > 10"));
  hub.AddFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  Owned<TnxBaseFilterEngine> engine(TnxBaseFilterEngine::CreateFor(hub.fdhGetFilter(0), source));

  auto* raw = platform::create<TnxExceptionDataContainer>(u"", nullptr, nullptr);
  TnxIntfPtr<InxExceptionDataContainer> container = nxSupports<InxExceptionDataContainer>(raw);
  hub.AddDebugInfo(container, false);
  engine->AddDebugInfo(container->AddContainer(u"Engine"), false);
  const nxString dump = container->ToString();
  for (const char16_t* expected : {u"Filters[0]", u"Filters[1]", u"TnxCallbackFilterDescriptor", u"Active",
                                   u"Expression", u"Id > 10"})
    EXPECT_NE(dump.find(expected), nxString::npos) << platform::toUtf8(expected) << "\n" << platform::toUtf8(dump);
  EXPECT_EQ(dump.find(u"Filters[2]"), nxString::npos);
}

TEST_F(FilterTest, EngineRefusesADescriptorOfAnotherKind) {
  TnxSqlFilterDescriptor sql(u"x");
  EXPECT_THROW(Owned<TnxBaseFilterEngine>(platform::create<TnxCallbackFilterEngine>(&sql, source)),
               platform::ConvertError);
}

}  // namespace
