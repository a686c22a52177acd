#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdTestSupport.h"
#include "plCollation.h"
#include "plDateTime.h"

PL_CLASS_INFO_IMPL(nxsdkeytest::KeyTable, TnxDictionaryItem, "KeyTable", nullptr)

// A key descriptor class no key engine serves.
class TnxOrphanKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  std::uint32_t KeyLen() override { return 8; }
};
PL_CLASS_INFO_IMPL(TnxOrphanKeyDescriptor, TnxBaseKeyDescriptor, "TnxOrphanKeyDescriptor", nullptr)

namespace {

using nxsdkeytest::KeyEngineTest;
using nxsdtest::expectCode;
using Record = std::vector<std::uint8_t>;

TEST_F(KeyEngineTest, GoldenKeyBytes) {
  const auto a = AddField(u"A", nxtInt32);
  const auto b = AddField(u"B", nxtShortString, 3);
  const auto c = AddField(u"C", nxtWideString, 2);
  auto* k = NewKey();
  k->Add(a);
  k->Add(b);
  k->Add(c);
  auto engine = Engine(k);
  ASSERT_EQ(engine->KeyLength(), 15);
  Record r = NewRecord();
  Set<std::int32_t>(r, a, 7);
  SetWide(r, c, u"\u30A2");
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  const std::vector<std::uint8_t> expected{0xFA, 7, 0, 0, 0, 0, 0, 0, 0, 0xA2, 0x30, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(key, key + 15), expected);
  EXPECT_TRUE(engine->KeyContainsNulls(key));
  EXPECT_EQ(engine->BuildKey(nullptr, key, 0, false), nxErrInvalidParam);
  engine->FreeKey(key);
  EXPECT_EQ(key, nullptr);
}

TEST_F(KeyEngineTest, EngineNamesAnyCaseAndUnknownNames) {
  const auto s = AddField(u"Name", nxtShortString, 10);
  auto* k = NewKey();
  k->Add(s)->SetKeyFieldEngine(u"numbersonly");
  auto engine = Engine(k);
  EXPECT_TRUE(engine->GetKeyFieldEngine(0)->is<TnxNumbersOnlyCKFE>());
  EXPECT_EQ(engine->GetFieldFromName(u"Name_NumbersOnly"), -1 + 1);
  EXPECT_EQ(engine->GetFieldFromName(u"name_numbersonly"), 0);
  EXPECT_EQ(engine->GetFieldFromName(u"Name"), -1);

  auto* plain = NewKey();
  plain->Add(s);
  EXPECT_TRUE(Engine(plain)->GetKeyFieldEngine(0)->classInfo().name == std::string("TnxCompositeKeyFieldEngine"));

  auto* unknown = NewKey();
  unknown->Add(s)->SetKeyFieldEngine(u"Nope");
  expectCode([&] { Engine(unknown); }, nxErrUnsupportedSubEngine, u"CompositeKeyFieldEngine \"Nope\" is not registered");
  expectCode([&] { TnxBaseKeyEngine::CheckValidBaseFromDescriptor(unknown); }, nxErrUnsupportedSubEngine);
  EXPECT_EQ(TnxCompositeKeyFieldEngine::RegisteredEngines(),
            u"\"\",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");

  // A key descriptor class without an engine.
  auto* ref = NewKey<TnxOrphanKeyDescriptor>();
  expectCode([&] { TnxBaseKeyEngine::CreateFor(ref); }, nxErrUnsupportedSubEngine,
             u"Unknown Key engine: \"TnxOrphanKeyEngine\"");
  TnxBaseKeyEngine* none = reinterpret_cast<TnxBaseKeyEngine*>(1);
  EXPECT_EQ(TnxBaseKeyEngine::TryCreateFor(ref, none), nxErrUnsupportedSubEngine);
  EXPECT_EQ(none, nullptr);
  TnxBaseKeyEngine* made = nullptr;
  EXPECT_EQ(TnxBaseKeyEngine::TryCreateFor(plain, made), 0);
  platform::TObject::free(made);
}

TEST_F(KeyEngineTest, FieldTypesAcceptedAndRefused) {
  const auto blob = AddField(u"Blob", nxtBlobMemo);
  const auto ref = AddField(u"Ref", nxtRefNr);
  const auto bcd = AddField(u"Bcd", nxtBCD);
  const auto fmt = AddField(u"Fmt", nxtFmtBCD, 10, 2);
  auto* k = NewKey();
  k->Add(blob);
  expectCode([&] { Engine(k); }, nxErrNotSupported, u"not supported by TnxCompositeKeyFieldEngine");
  expectCode([&] { TnxBaseKeyEngine::CheckValidBaseFromDescriptor(k); }, nxErrNotSupported);
  for (auto f : {ref, bcd, fmt}) {
    auto* ok = NewKey();
    ok->Add(f);
    EXPECT_NO_THROW(Engine(ok));
    EXPECT_FALSE(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(u"", table.fields->Fields(f)->fdType));
  }
  EXPECT_TRUE(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(u"", nxtGuid));
  EXPECT_TRUE(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(u"DATEONLY", nxtDateTime));
  EXPECT_FALSE(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(u"DateOnly", nxtDate));
  EXPECT_FALSE(TnxCompositeKeyFieldEngine::CheckSupportsFieldType(u"Nope", nxtInt32));
  // A date engine on another type fails its assertion.
  auto* wrong = NewKey();
  wrong->Add(ref)->SetKeyFieldEngine(u"DateOnlyWeek");
  try {
    Engine(wrong);
    ADD_FAILURE() << "no assertion";
  } catch (const platform::AssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("nxsdKeyFieldEngineBase"), std::string::npos) << e.what();
  }
}

TEST_F(KeyEngineTest, KeysAbove65535BytesAreRefused) {
  const auto s = AddField(u"S", nxtShortString, 10);
  auto* k = NewKey();
  // Each override stays within what one key field may take; the key repeats the field.
  // 65536 bytes pass the descriptor's own limit but not the 16-bit key length of the engine.
  k->Add(s)->SetOverrideLengthBytes(32768);
  auto* second = k->Add(s);
  second->SetOverrideLengthBytes(32767);
  ASSERT_EQ(k->KeyLen(), 65536u);
  expectCode([&] { Engine(k); }, nxErrKeyTooLarge);
  expectCode([&] { TnxBaseKeyEngine::CheckValidBaseFromDescriptor(k); }, nxErrKeyTooLarge);
  // A longer key (70 001 bytes) is refused by the descriptor already.
  second->SetOverrideLengthBytes(35000);
  k->Add(s)->SetOverrideLengthBytes(2232);
  expectCode([&] { (void)k->KeyLen(); }, nxErrInvalidDesc);
}

// One value pair per type: a below b. Descending must answer the opposite.
TEST_F(KeyEngineTest, EveryTypeAscendingAndDescending) {
  struct Case {
    TnxFieldType type;
    std::int32_t units;
    std::vector<std::uint8_t> a, b;
  };
  auto bytesOf = [](auto v) {
    std::vector<std::uint8_t> out(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return out;
  };
  const platform::Extended e1 = platform::Extended::fromDouble(-1.5), e2 = platform::Extended::fromDouble(2.25);
  const std::vector<Case> cases = {
      {nxtBoolean, 0, {0}, {7}},
      {nxtChar, 0, {'A'}, {'b'}},
      {nxtWideChar, 0, bytesOf(char16_t(0x41)), bytesOf(char16_t(0x3042))},
      {nxtByte, 0, {1}, {200}},
      {nxtWord16, 0, bytesOf(std::uint16_t(1)), bytesOf(std::uint16_t(60000))},
      {nxtWord32, 0, bytesOf(std::uint32_t(1)), bytesOf(std::uint32_t(4000000000u))},
      {nxtInt8, 0, bytesOf(std::int8_t(-5)), bytesOf(std::int8_t(3))},
      {nxtInt16, 0, bytesOf(std::int16_t(-5)), bytesOf(std::int16_t(3))},
      {nxtInt32, 0, bytesOf(-5), bytesOf(3)},
      {nxtInt64, 0, bytesOf(std::int64_t(-5)), bytesOf(std::int64_t(1) << 40)},
      {nxtAutoInc, 0, bytesOf(std::uint32_t(5)), bytesOf(std::uint32_t(0x80000000u))},
      {nxtSingle, 0, bytesOf(-1.5f), bytesOf(2.0f)},
      {nxtDouble, 0, bytesOf(-1.5), bytesOf(2.0)},
      {nxtExtended, 0, bytesOf(e1), bytesOf(e2)},
      {nxtCurrency, 0, bytesOf(std::int64_t(-10000)), bytesOf(std::int64_t(10000))},
      {nxtDate, 0, bytesOf(700000), bytesOf(700001)},
      {nxtTime, 0, bytesOf(1000), bytesOf(2000)},
      {nxtDateTime, 0, bytesOf(1.0e12), bytesOf(2.0e12)},
      {nxtByteArray, 4, {1, 2, 3, 4}, {1, 2, 3, 5}},
      {nxtShortString, 5, {2, 'a', 'b'}, {2, 'a', 'c'}},
      {nxtNullString, 5, {'a', 'b', 0}, {'a', 'c', 0}},
      {nxtWideString, 5, {'a', 0, 'b', 0, 0, 0}, {'a', 0, 'c', 0, 0, 0}},
      {nxtRecRev, 0, bytesOf(std::uint32_t(1)), bytesOf(std::uint32_t(2))},
      {nxtGuid, 0, std::vector<std::uint8_t>(16, 1), std::vector<std::uint8_t>(16, 2)},
      {nxtBCD, 0, bytesOf(std::int64_t(-1)), bytesOf(std::int64_t(1))},
      {nxtRefNr, 0, bytesOf(std::int64_t(-1)), bytesOf(std::int64_t(1))},
      // 10 digits, 2 decimals: -1.50 against 0.25
      {nxtFmtBCD, 10, {10, 0x82, 0, 0, 0, 0, 0x15, 0}, {10, 2, 0, 0, 0, 0, 0x02, 0x50}},
  };
  for (const Case& c : cases) {
    const auto f = AddField(u"F" + platform::fromUtf8(std::to_string(table.fields->FieldCount())), c.type, c.units,
                            c.type == nxtFmtBCD ? 2 : 0);
    auto* asc = NewKey();
    asc->Add(f);
    auto* desc = NewKey();
    desc->Add(f)->SetAscend(false);
    auto ea = Engine(asc), ed = Engine(desc);
    Record ra = NewRecord(), rb = NewRecord();
    SetRaw(ra, f, c.a.data(), c.a.size());
    SetRaw(rb, f, c.b.data(), c.b.size());
    PnxKeyBuffer ka = ea->AllocKey(), kb = ea->AllocKey();
    ASSERT_EQ(ea->BuildKey(ra.data(), ka, 0, false), 0);
    ASSERT_EQ(ea->BuildKey(rb.data(), kb, 0, false), 0);
    const std::string name(nxFieldTypeNames[c.type].begin(), nxFieldTypeNames[c.type].end());
    EXPECT_EQ(ea->CompareKey(ka, kb), -1) << name;
    EXPECT_EQ(ea->CompareKey(kb, ka), 1) << name;
    EXPECT_EQ(ea->CompareKey(ka, ka), 0) << name;
    EXPECT_EQ(ed->CompareKey(ka, kb), 1) << name;
    EXPECT_EQ(ed->CompareKey(kb, ka), -1) << name;
    EXPECT_EQ(ed->CompareKey(kb, kb), 0) << name;
    EXPECT_EQ(ea->CompareRecord(ra.data(), rb.data()), -1) << name;
    EXPECT_EQ(ed->CompareKeyToRecord(ka, rb.data(), 0), 1) << name;
    ea->FreeKey(ka);
    ea->FreeKey(kb);
  }
}

TEST_F(KeyEngineTest, FloatsFollowATotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto d = AddField(u"D", nxtDouble);
  const auto s = AddField(u"S", nxtSingle);
  const auto x = AddField(u"X", nxtExtended);
  struct Case {
    double a, b;
    int expected;
  } cases[] = {{nan, 1e300, 1}, {-1e300, nan, -1}, {nan, nan, 0}, {-0.0, 0.0, 0}, {1.0, 2.0, -1}};
  for (const auto f : {d, s, x}) {
    for (bool ascend : {true, false}) {
      auto* k = NewKey();
      k->Add(f)->SetAscend(ascend);
      auto engine = Engine(k);
      for (const Case& c : cases) {
        Record ra = NewRecord(), rb = NewRecord();
        if (f == d) {
          Set(ra, f, c.a);
          Set(rb, f, c.b);
        } else if (f == s) {
          Set(ra, f, static_cast<float>(c.a == 1e300 ? 1e30 : (c.a == -1e300 ? -1e30 : c.a)));
          Set(rb, f, static_cast<float>(c.b == 1e300 ? 1e30 : (c.b == -1e300 ? -1e30 : c.b)));
        } else {
          Set(ra, f, platform::Extended::fromDouble(c.a));
          Set(rb, f, platform::Extended::fromDouble(c.b));
        }
        EXPECT_EQ(engine->CompareRecord(ra.data(), rb.data()), ascend ? c.expected : -c.expected)
            << f << " " << c.a << " " << c.b << " " << ascend;
      }
    }
  }
}

TEST_F(KeyEngineTest, CaseFoldingInByteOrder) {
  const auto n = AddField(u"N", nxtNullString, 10);
  const auto w = AddField(u"W", nxtWideString, 10);
  const auto s = AddField(u"S", nxtShortString, 10);
  const auto ch = AddField(u"C", nxtChar);
  struct Case {
    std::int32_t field;
    bool ignoreCase;
    std::u16string a, b;
    int expected;
  } cases[] = {
      {n, false, u"abc", u"ABC", 1},      {n, true, u"abc", u"ABC", 0},
      {s, false, u"abc", u"ABC", 1},      {s, true, u"abc", u"ABC", 0},
      {w, false, u"abc", u"ABC", 1},      {w, true, u"abc", u"ABC", 0},
      {w, true, u"\u00e9", u"\u00c9", 1},  // only a-z fold for wide strings
      {ch, false, u"a", u"A", 1},         {ch, true, u"a", u"A", 0},
  };
  for (const Case& c : cases) {
    auto* k = NewKey();
    auto* kf = static_cast<TnxTextKeyFieldDescriptor*>(k->Add(c.field, &TnxTextKeyFieldDescriptor::staticClassInfo()));
    kf->SetIgnoreCase(c.ignoreCase);
    auto engine = Engine(k);
    Record ra = NewRecord(), rb = NewRecord();
    if (c.field == w) {
      SetWide(ra, w, c.a);
      SetWide(rb, w, c.b);
    } else if (c.field == s) {
      SetShort(ra, s, platform::toUtf8(c.a));
      SetShort(rb, s, platform::toUtf8(c.b));
    } else if (c.field == ch) {
      Set(ra, ch, static_cast<char>(c.a[0]));
      Set(rb, ch, static_cast<char>(c.b[0]));
    } else {
      SetNull(ra, n, platform::toUtf8(c.a));
      SetNull(rb, n, platform::toUtf8(c.b));
    }
    EXPECT_EQ(engine->CompareRecord(ra.data(), rb.data()), c.expected) << platform::toUtf8(c.a) << c.ignoreCase;
  }
}

TEST_F(KeyEngineTest, ShortenedStringsAndKeyToRecord) {
  const auto id = AddField(u"Id", nxtInt32);
  const auto s = AddField(u"S", nxtShortString, 10);
  const auto n = AddField(u"N", nxtNullString, 10);
  const auto w = AddField(u"W", nxtWideString, 10);
  for (const auto f : {s, n, w}) {
    auto* k = NewKey();
    k->Add(id);
    k->Add(f)->SetOverrideLengthChars(3);
    auto engine = Engine(k);
    Record ra = NewRecord(), rb = NewRecord();
    Set<std::int32_t>(ra, id, 1);
    Set<std::int32_t>(rb, id, 1);
    if (f == s) {
      SetShort(ra, f, "abcd");
      SetShort(rb, f, "abcx");
    } else if (f == n) {
      SetNull(ra, f, "abcd");
      SetNull(rb, f, "abcx");
    } else {
      SetWide(ra, f, u"abcd");
      SetWide(rb, f, u"abcx");
    }
    EXPECT_EQ(engine->CompareRecord(ra.data(), rb.data()), 0) << f;
    PnxKeyBuffer ka = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(ra.data(), ka, 0, false), 0);
    EXPECT_EQ(engine->CompareKeyToRecord(ka, rb.data(), 0), 0);
    Record back = NewRecord();
    EXPECT_EQ(engine->KeyToRecord(ka, back.data()), nxErrNotSupported);
    // The field before the shortened one was written.
    EXPECT_FALSE(table.fields->IsRecordFieldNull(id, back.data()));
    EXPECT_TRUE(table.fields->IsRecordFieldNull(f, back.data()));
    engine->FreeKey(ka);
  }
}

TEST_F(KeyEngineTest, KeyToRecordRoundTrip) {
  const auto id = AddField(u"Id", nxtInt32);
  const auto name = AddField(u"Name", nxtWideString, 8);
  const auto code = AddField(u"Code", nxtShortString, 8);
  auto* k = NewKey();
  k->Add(name);
  k->Add(id);
  k->Add(code);
  auto engine = Engine(k);
  Record r = NewRecord();
  SetWide(r, name, u"key");
  SetShort(r, code, "xy");
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  Record back = NewRecord();
  std::memset(back.data(), 0xAB, back.size());
  ASSERT_EQ(engine->KeyToRecord(key, back.data()), 0);
  EXPECT_EQ(engine->CompareRecord(r.data(), back.data()), 0);
  EXPECT_TRUE(table.fields->IsRecordFieldNull(id, back.data()));
  EXPECT_EQ(engine->KeyToRecord(nullptr, back.data()), nxErrInvalidParam);
  engine->FreeKey(key);
}

TEST_F(KeyEngineTest, NumbersOnly) {
  const auto s = AddField(u"S", nxtShortString, 20);
  const auto n = AddField(u"N", nxtNullString, 20);
  const auto w = AddField(u"W", nxtWideString, 20);
  const auto tiny = AddField(u"T", nxtNullString, 3);
  for (const auto f : {s, n, w, tiny}) {
    auto* k = NewKey();
    k->Add(f)->SetKeyFieldEngine(u"NumbersOnly");
    auto engine = Engine(k);
    Record r = NewRecord();
    if (f == s) SetShort(r, f, "A-12 b3");
    if (f == n) SetNull(r, f, "A-12 b3");
    if (f == w) SetWide(r, f, u"A-12 b3");
    if (f == tiny) SetNull(r, f, "9876");  // units 3: only the first digits fit
    PnxKeyBuffer key = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
    EXPECT_EQ(platform::toUtf8(engine->KeyAsVariant(key, 0).toString()), f == tiny ? "987" : "123") << f;
    Record back = NewRecord();
    EXPECT_EQ(engine->KeyToRecord(key, back.data()), nxErrNotSupported);
    engine->FreeKey(key);
  }
}

TEST_F(KeyEngineTest, DateEngines) {
  const auto dt = AddField(u"When", nxtDateTime);
  auto stamp = [](int y, int m, int d, int hh) {
    return (platform::encodeDate(y, m, d) + platform::kDateDelta) * 86400000.0 + hh * 3600000.0;
  };
  auto day = [](int y, int m, int d) { return (platform::encodeDate(y, m, d) + platform::kDateDelta) * 86400000.0; };
  struct Case {
    const char16_t* engine;
    double in, out;
  } cases[] = {
      {u"DateOnly", stamp(2024, 1, 3, 15), day(2024, 1, 3)},
      {u"DateOnlyWeek", stamp(1, 1, 7, 10), day(1, 1, 1)},
      {u"DateOnlyWeek", stamp(1, 1, 1, 0), day(1, 1, 1)},
      {u"DateOnlyWeek", stamp(2024, 1, 3, 12), day(2024, 1, 1)},
      {u"DateOnlyWeek", stamp(2024, 1, 8, 12), day(2024, 1, 8)},
      {u"DateOnlyMonth", stamp(2024, 2, 29, 23), day(2024, 2, 1)},
      {u"DateOnlyMonth", stamp(1, 1, 20, 1), day(1, 1, 1)},
      {u"DateOnlyYear", stamp(2024, 12, 31, 5), day(2024, 1, 1)},
      {u"DateOnlyYear", stamp(1, 6, 1, 5), day(1, 1, 1)},
  };
  for (const Case& c : cases) {
    auto* k = NewKey();
    k->Add(dt)->SetKeyFieldEngine(c.engine);
    auto engine = Engine(k);
    Record r = NewRecord();
    Set(r, dt, c.in);
    PnxKeyBuffer key = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
    double out = 0;
    std::memcpy(&out, key + 1, 8);
    EXPECT_EQ(out, c.out) << platform::toUtf8(c.engine) << " " << c.in;
    engine->FreeKey(key);
  }
}

TEST_F(KeyEngineTest, NineFieldsClearedKey) {
  const auto f = AddField(u"I", nxtInt32);
  auto* k = NewKey();
  for (int i = 0; i < 9; ++i) k->Add(f);
  auto engine = Engine(k);
  PnxKeyBuffer key = engine->AllocKey();
  std::vector<std::uint8_t> expected(2 + 36, 0);
  expected[0] = expected[1] = 0xFF;
  EXPECT_EQ(std::vector<std::uint8_t>(key, key + engine->KeyLength()), expected);
  EXPECT_EQ(engine->GetFieldsOffset(), 2);
  EXPECT_EQ(engine->GetKeyFieldOffset(8), 2 + 32);
  engine->FreeKey(key);
}

TEST_F(KeyEngineTest, NullOrderWhateverTheDirection) {
  const auto f = AddField(u"I", nxtInt32);
  struct Case {
    TnxNullBehaviour nb;
    bool ascend;
    int nullVsValue;
  } cases[] = {
      {nbTop, true, -1},    {nbTop, false, -1},      {nbBottom, true, 1},
      {nbBottom, false, 1}, {nbAsAscend, true, -1}, {nbAsAscend, false, 1},
  };
  for (const Case& c : cases) {
    auto* k = NewKey();
    auto* kf = k->Add(f);
    kf->SetAscend(c.ascend);
    kf->SetNullBehaviour(c.nb);
    auto engine = Engine(k);
    Record rn = NewRecord(), rv = NewRecord(), rn2 = NewRecord();
    Set<std::int32_t>(rv, f, -1000);
    PnxKeyBuffer kn = engine->AllocKey(), kv = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(rn.data(), kn, 0, false), 0);
    ASSERT_EQ(engine->BuildKey(rv.data(), kv, 0, false), 0);
    EXPECT_EQ(engine->CompareKey(kn, kv), c.nullVsValue);
    EXPECT_EQ(engine->CompareKey(kv, kn), -c.nullVsValue);
    EXPECT_EQ(engine->CompareKeyToRecord(kn, rv.data(), 0), c.nullVsValue);
    EXPECT_EQ(engine->CompareRecord(rv.data(), rn.data()), -c.nullVsValue);
    EXPECT_EQ(engine->CompareRecord(rn.data(), rn2.data()), 0);
    engine->FreeKey(kn);
    engine->FreeKey(kv);
  }
}

TEST_F(KeyEngineTest, FilterNullAndNonNull) {
  const auto a = AddField(u"A", nxtInt32);
  const auto b = AddField(u"B", nxtInt32);
  auto* k = NewKey();
  k->Add(a)->SetNullBehaviour(nbFilterNull);
  k->Add(b)->SetNullBehaviour(nbFilterNonNull);
  auto engine = Engine(k);
  Record r = NewRecord();
  PnxKeyBuffer key = engine->AllocKey();
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, false), 1);
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, true), 0);
  EXPECT_EQ(key[0], 0xFF);
  Set<std::int32_t>(r, a, 5);
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  EXPECT_EQ(key[0], 0xFE);
  Set<std::int32_t>(r, b, 5);
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, false), 1);
  engine->FreeKey(key);
}

namespace {
bool gRejectOdd(void*, const void* aBuffer) {
  std::int32_t v;
  std::memcpy(&v, aBuffer, 4);
  return v % 2 == 0;
}
}  // namespace

TEST_F(KeyEngineTest, TheKeyFilterKeepsRecordsOut) {
  const auto a = AddField(u"A", nxtInt32);
  auto* k = NewKey();
  k->Add(a);
  k->SetFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, &gRejectOdd));
  auto engine = Engine(k);
  ASSERT_NE(engine->Filter(), nullptr);
  Record r = NewRecord();
  Set<std::int32_t>(r, a, 3);
  PnxKeyBuffer key = engine->AllocKey();
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, false), 1);
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, true), 0);
  Set<std::int32_t>(r, a, 4);
  EXPECT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  engine->FreeKey(key);
}

TEST_F(KeyEngineTest, FieldCountsAndPartialLengths) {
  const auto a = AddField(u"A", nxtInt32);
  const auto s = AddField(u"S", nxtWideString, 10);
  const auto t = AddField(u"T", nxtShortString, 10);
  auto* k = NewKey();
  k->Add(a);
  k->Add(s);
  k->Add(t);
  auto engine = Engine(k);
  Record r1 = NewRecord(), r2 = NewRecord();
  Set<std::int32_t>(r1, a, 1);
  Set<std::int32_t>(r2, a, 1);
  SetWide(r1, s, u"abcd");
  SetWide(r2, s, u"abxx");
  SetShort(r1, t, "zz");
  SetShort(r2, t, "aa");
  PnxKeyBuffer k1 = engine->AllocKey(), k2 = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r1.data(), k1, 0, false), 0);
  ASSERT_EQ(engine->BuildKey(r2.data(), k2, 0, false), 0);
  struct Case {
    std::int32_t fieldCount, partialLen;
    int expected;
  } cases[] = {
      {0, 0, -1},           // whole key: 'abcd' < 'abxx'
      {1, 0, 0},            // only the first field
      {1, 2, 0},            // first field whole, first two characters of the second
      {1, 3, -1},           // three characters differ
      {0, 3, 0},            // only the first field's first... (an integer has no partial form)
      {5, 0, -1},           // more fields than the key has
      {3, 1, -1},           // partial applies to the last field; fields 0..1 whole decide
      {1, nxPartialLenOfFirst, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(engine->CompareKey(k1, k2, c.fieldCount, c.partialLen), c.expected)
        << c.fieldCount << "/" << c.partialLen;
    EXPECT_EQ(engine->CompareKeyToRecord(k1, r2.data(), 0, c.fieldCount, c.partialLen), c.expected)
        << c.fieldCount << "/" << c.partialLen;
    EXPECT_EQ(engine->CompareRecord(r1.data(), 0, r2.data(), 0, c.fieldCount, c.partialLen), c.expected)
        << c.fieldCount << "/" << c.partialLen;
  }
  engine->FreeKey(k1);
  engine->FreeKey(k2);
}

TEST_F(KeyEngineTest, PartialLengthOfTheFirstOrSecondValue) {
  const auto s = AddField(u"S", nxtShortString, 10);
  const auto n = AddField(u"N", nxtNullString, 10);
  const auto w = AddField(u"W", nxtWideString, 10);
  for (const auto f : {s, n, w}) {
    for (bool locale : {false, true}) {
      auto* k = NewKey();
      auto* kf = k->Add(f);
      if (locale) kf->AddLocaleDescriptor()->SetLocale(1033);
      auto engine = Engine(k);
      Record ra = NewRecord(), rb = NewRecord();
      if (f == s) {
        SetShort(ra, f, "ab");
        SetShort(rb, f, "abcd");
      } else if (f == n) {
        SetNull(ra, f, "ab");
        SetNull(rb, f, "abcd");
      } else {
        SetWide(ra, f, u"ab");
        SetWide(rb, f, u"abcd");
      }
      PnxKeyBuffer ka = engine->AllocKey(), kb = engine->AllocKey();
      ASSERT_EQ(engine->BuildKey(ra.data(), ka, 0, false), 0);
      ASSERT_EQ(engine->BuildKey(rb.data(), kb, 0, false), 0);
      EXPECT_EQ(engine->CompareKey(ka, kb, 0, nxPartialLenOfFirst), 0) << f << locale;
      EXPECT_EQ(engine->CompareKey(ka, kb, 0, nxPartialLenOfSecond), -1) << f << locale;
      EXPECT_EQ(engine->CompareKey(kb, ka, 0, nxPartialLenOfSecond), 0) << f << locale;
      EXPECT_EQ(engine->CompareKeyToRecord(ka, rb.data(), 0, 0, nxPartialLenOfFirst), 0) << f << locale;
      EXPECT_EQ(engine->CompareKey(ka, kb), -1) << f << locale;
      engine->FreeKey(ka);
      engine->FreeKey(kb);
    }
  }
}

TEST_F(KeyEngineTest, KeyAsStringVariantAndExceptionData) {
  const auto a = AddField(u"A", nxtInt32);
  const auto b = AddField(u"B", nxtInt32);
  const auto c = AddField(u"C", nxtNullString, 10);
  auto* k = NewKey();
  k->Add(a);
  k->Add(b);
  auto engine = Engine(k);
  Record r = NewRecord();
  Set<std::int32_t>(r, b, 7);
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  EXPECT_EQ(engine->KeyAsString(key), u"NULL, 7");
  EXPECT_TRUE(engine->KeyAsVariant(key, 0).isNull());
  EXPECT_EQ(engine->KeyAsVariant(key, 1).toInt32(), 7);
  expectCode([&] { engine->KeyAsVariant(key, 2); }, nxErrInvalidDescNumber);
  TnxIntfPtr<InxExceptionDataContainer> data =
      nxSupports<InxExceptionDataContainer>(platform::create<TnxExceptionDataContainer>(u"", nullptr, nullptr));
  engine->KeyAsExceptionData(key, data);
  EXPECT_NE(data->ToString().find(u"B"), nxString::npos);
  engine->FreeKey(key);

  auto* text = NewKey();
  text->Add(c);
  auto te = Engine(text);
  Record rt = NewRecord();
  SetNull(rt, c, "it's");
  PnxKeyBuffer tk = te->AllocKey();
  ASSERT_EQ(te->BuildKey(rt.data(), tk, 0, false), 0);
  // Key text comes back as a UTF-16 variant, which is rendered as it is;
  // only OLE and 8-bit string variants are quoted.
  EXPECT_EQ(te->KeyAsString(tk), u"it's");
  te->FreeKey(tk);
}

TEST_F(KeyEngineTest, FieldsSourceOverKeys) {
  const auto a = AddField(u"A", nxtInt32);
  const auto s = AddField(u"S", nxtShortString, 10);
  auto* k = NewKey();
  k->Add(a);
  k->Add(s)->SetOverrideLengthChars(4);
  auto engine = Engine(k);
  Record r = NewRecord();
  SetShort(r, s, "abcdef");
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  std::uint16_t type = 0, size = 0, cp = 0;
  bool isNull = false;
  const void* value = nullptr;
  ASSERT_TRUE(engine->GetFieldForFilter(0, nullptr, key, type, size, isNull, value, cp));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  ASSERT_TRUE(engine->GetFieldForFilter(-1, "s", key, type, size, isNull, value, cp));
  EXPECT_EQ(type, nxtShortString);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(std::string(static_cast<const char*>(value), size), "abcd");
  EXPECT_FALSE(engine->GetFieldForFilter(2, nullptr, key, type, size, isNull, value, cp));
  EXPECT_EQ(engine->GetFieldDescriptor(1)->GetFieldUnits(), 4);
  EXPECT_EQ(engine->GetFieldCount(), 2);
  engine->FreeKey(key);
}

TEST_F(KeyEngineTest, NoNullKeys) {
  const auto a = AddField(u"A", nxtInt32);
  const auto b = AddField(u"B", nxtInt16);
  auto* k = NewKey<TnxNoNullCompKeyDescriptor>();
  k->Add(a);
  k->Add(b);
  auto engine = Engine(k);
  EXPECT_TRUE(engine->is<TnxNoNullCompKeyEngine>());
  EXPECT_EQ(engine->KeyLength(), 6);
  EXPECT_EQ(engine->GetFieldsOffset(), 0);
  Record r = NewRecord();
  Set<std::int32_t>(r, a, 0x01020304);
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);  // nulls are ignored
  EXPECT_EQ(std::vector<std::uint8_t>(key, key + 6), (std::vector<std::uint8_t>{4, 3, 2, 1, 0, 0}));
  EXPECT_FALSE(engine->KeyContainsNulls(key));
  EXPECT_EQ(engine->KeyAsString(key), u"16909060, 0");
  engine->FreeKey(key);
}

// Kana and kanji under 1041 order as the runtime layer's collation.
TEST_F(KeyEngineTest, JapaneseLocale) {
  const auto w = AddField(u"W", nxtWideString, 10);
  const std::vector<std::u16string> words = {u"\u3042\u3044", u"\u30A2\u30A4", u"\u6F22\u5B57", u"\u304B\u306A",
                                             u"\uFF76\uFF85", u"\u65E5\u672C", u"abc", u"\u3041"};
  auto* k = NewKey();
  k->Add(w)->AddLocaleDescriptor()->SetLocale(1041);
  auto engine = Engine(k);
  for (const auto& x : words) {
    for (const auto& y : words) {
      Record rx = NewRecord(), ry = NewRecord();
      SetWide(rx, w, x);
      SetWide(ry, w, y);
      EXPECT_EQ(engine->CompareRecord(rx.data(), ry.data()), platform::compareString(1041, 0, x, y));
    }
  }
  auto* folded = NewKey();
  TnxLocaleDescriptor* locale = folded->Add(w)->AddLocaleDescriptor();
  locale->SetLocale(1041);
  locale->SetIgnoreKanaType(true);
  locale->SetIgnoreWidth(true);
  auto fe = Engine(folded);
  const std::u16string same[] = {u"\uFF71", u"\u30A2", u"\u3042"};
  for (const auto& x : same) {
    for (const auto& y : same) {
      Record rx = NewRecord(), ry = NewRecord();
      SetWide(rx, w, x);
      SetWide(ry, w, y);
      EXPECT_EQ(fe->CompareRecord(rx.data(), ry.data()), 0);
    }
  }
}

// A zero-terminated value without its terminator is compared within its slot.
TEST_F(KeyEngineTest, UnterminatedValuesStayInsideTheirSlot) {
  const auto n = AddField(u"N", nxtNullString, 4);
  const auto w = AddField(u"W", nxtWideString, 4);
  for (const auto f : {n, w}) {
    auto* k = NewKey();
    k->Add(f)->AddLocaleDescriptor()->SetLocale(1033);
    auto engine = Engine(k);
    Record ra = NewRecord(), rb = NewRecord();
    const std::size_t len = static_cast<std::size_t>(table.fields->Fields(f)->fdLength);
    std::vector<std::uint8_t> fill(len, 'x');
    SetRaw(ra, f, fill.data(), len);
    SetRaw(rb, f, fill.data(), len);
    EXPECT_EQ(engine->CompareRecord(ra.data(), rb.data()), 0);
    PnxKeyBuffer ka = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(ra.data(), ka, 0, false), 0);
    EXPECT_EQ(engine->CompareKeyToRecord(ka, rb.data(), 0, 0, nxPartialLenOfSecond), 0);
    engine->FreeKey(ka);
  }
}

TEST_F(KeyEngineTest, ConvertedShortStrings) {
  // Stored in 1252, compared in 932: the key holds the text in 932.
  const auto s = AddField(u"S", nxtShortString, 10);
  table.fields->Fields(s)->AddLocaleDescriptor()->SetOverrideStorageCodepage(1252);
  table.fields->Fields(s)->LocaleDescriptor()->SetLocale(1041);
  auto* k = NewKey();
  k->Add(s);
  auto engine = Engine(k);
  Record r = NewRecord();
  SetShort(r, s, "caf\xE9");
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(r.data(), key, 0, false), 0);
  const std::string expected = platform::encodeText(platform::decodeText("caf\xE9", 1252), 932);
  ASSERT_EQ(key[1], expected.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(key) + 2, expected.size()), expected);
  EXPECT_EQ(engine->KeyToRecord(key, NewRecord().data()), nxErrNotSupported);
  EXPECT_EQ(engine->CompareKeyToRecord(key, r.data(), 0), 0);
  engine->FreeKey(key);
}

// Wide keys without a locale: code-unit order when the dictionary says so,
// the collation of locale 0 otherwise, whatever its version.
TEST_F(KeyEngineTest, WideStringsWithoutALocaleFollowTheDictionary) {
  const auto w = AddField(u"W", nxtWideString, 4);
  struct Case {
    std::int32_t version;
    bool byteOrder;
    int expected;  // "a" against "B"
  };
  for (const Case c : {Case{4, true, 1}, Case{5, true, 1}, Case{3, false, -1}, Case{5, false, -1},
                       Case{4, false, -1}, Case{3, true, 1}}) {
    table.version = c.version;
    table.byteOrderForWide = c.byteOrder;
    auto* k = NewKey();
    k->Add(w);
    auto engine = Engine(k);
    Record ra = NewRecord(), rb = NewRecord();
    SetWide(ra, w, u"a");
    SetWide(rb, w, u"B");
    EXPECT_EQ(engine->CompareRecord(ra.data(), rb.data()), c.expected) << c.version << " " << c.byteOrder;
  }
}

TEST_F(KeyEngineTest, DebugInfo) {
  const auto a = AddField(u"A", nxtInt32);
  auto* k = NewKey();
  k->Add(a);
  auto engine = Engine(k);
  TnxIntfPtr<InxExceptionDataContainer> data =
      nxSupports<InxExceptionDataContainer>(platform::create<TnxExceptionDataContainer>(u"", nullptr, nullptr));
  engine->AddDebugInfo(data, false);
  const nxString text = data->ToString();
  EXPECT_NE(text.find(u"KeyLength"), nxString::npos);
  EXPECT_NE(text.find(u"nxtInt32"), nxString::npos);
}

}  // namespace
