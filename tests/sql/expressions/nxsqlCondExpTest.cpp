// Type classes, promotion and value comparison.
#include "nxsqlCondExp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "nxsdDataDictionary.h"
#include "nxsdDataDictionaryItems.h"

namespace {

using platform::Variant;

class SqlCompareTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nxsdDataDictionaryInitialize();
    nxsqlCondExpInitialize();
  }
  static void TearDownTestSuite() {
    nxsqlCondExpFinalize();
    nxsdDataDictionaryFinalize();
  }
  TnxLocaleDescriptor* locale(std::uint32_t aId, std::uint32_t aFlags = 0, bool aLiteral = false) {
    locales.emplace_back(platform::create<TnxLocaleDescriptor>(nullptr));
    TnxLocaleDescriptor* l = locales.back().get();
    l->SetLocale(aId);
    l->SetFlags(aFlags);
    l->SetIsDefaultStringLiteralLocale(aLiteral);
    return l;
  }
  std::vector<TnxOwned<TnxLocaleDescriptor>> locales;
};

TEST(SqlTypeClasses, EveryTypeInItsClasses) {
  // Columns: integer, numeric, string, string or BLOB, date-time, additive, additive non-date.
  struct Row {
    TnxFieldType type;
    const char* classes;
  } rows[] = {
      {nxtBoolean, "......."},    {nxtChar, "..XX.XX"},     {nxtWideChar, "..XX.XX"},  {nxtByte, "XX...XX"},
      {nxtWord16, "XX...XX"},     {nxtWord32, "XX...XX"},   {nxtInt8, "XX...XX"},      {nxtInt16, "XX...XX"},
      {nxtInt32, "XX...XX"},      {nxtInt64, "XX...XX"},    {nxtAutoInc, "XX...XX"},   {nxtSingle, ".X...XX"},
      {nxtDouble, ".X...XX"},     {nxtExtended, ".X...XX"}, {nxtCurrency, ".X...XX"},  {nxtDate, "....XX."},
      {nxtTime, "....XX."},       {nxtDateTime, "....XX."}, {nxtInterval, "......."},  {nxtBlob, "...X..."},
      {nxtBlobMemo, "..XX.XX"},   {nxtBlobGraphic, "...X..."}, {nxtByteArray, "......."}, {nxtShortString, "..XX.XX"},
      {nxtNullString, "..XX.XX"}, {nxtWideString, "..XX.XX"}, {nxtRecRev, "XX...XX"},  {nxtGuid, "......."},
      {nxtBCD, ".X...XX"},        {nxtBlobWideMemo, "..XX.XX"}, {nxtFmtBCD, ".X...XX"}, {nxtRefNr, "XX...XX"},
  };
  bool (*const tests[7])(TnxFieldType) = {nxSqlIsIntegerType,  nxSqlIsNumericType,  nxSqlIsStringType,
                                          nxSqlIsStringOrBlobType, nxSqlIsDateTimeType, nxSqlIsAdditiveType,
                                          nxSqlIsAdditiveNonDateType};
  for (const Row& r : rows)
    for (int c = 0; c < 7; ++c) EXPECT_EQ(tests[c](r.type), r.classes[c] == 'X') << "type " << int(r.type) << " class " << c;
}

TEST(SqlPromotion, PromotionTable) {
  struct Case {
    TnxFieldType a, b, result;
  } cases[] = {
      {nxtInt32, nxtInt32, nxtInt64},        {nxtByte, nxtRecRev, nxtInt64},
      {nxtInt16, nxtDouble, nxtDouble},      {nxtDouble, nxtInt16, nxtDouble},
      {nxtSingle, nxtCurrency, nxtExtended}, {nxtCurrency, nxtBCD, nxtExtended},
      {nxtBCD, nxtFmtBCD, nxtExtended},      {nxtDouble, nxtDouble, nxtDouble},
      {nxtChar, nxtShortString, nxtNullString}, {nxtShortString, nxtChar, nxtShortString},
      {nxtBlobMemo, nxtWideChar, nxtWideString}, {nxtWideChar, nxtBlobMemo, nxtBlobWideMemo},
      {nxtBlobWideMemo, nxtChar, nxtBlobWideMemo}, {nxtNullString, nxtWideString, nxtWideString},
      {nxtBlobMemo, nxtWideString, nxtBlobWideMemo},
      {nxtDate, nxtInt32, nxtDate},          {nxtInt32, nxtDate, nxtInt32},  // not both numeric: the left
      {nxtBoolean, nxtChar, nxtBoolean},
  };
  for (const Case& c : cases)
    EXPECT_EQ(nxSqlPromoteType(c.a, c.b), c.result) << int(c.a) << " + " << int(c.b);
}

TEST_F(SqlCompareTest, CompareByRelOpTable) {
  TnxLocaleDescriptor* ja = locale(1041);
  TnxLocaleDescriptor* jaWidth = locale(1041, nxNORM_IGNOREWIDTH);
  TnxLocaleDescriptor* us = locale(1033);
  TnxLocaleDescriptor* literal = locale(1033, 0, true);
  const double d = 0.1;
  const platform::DateTime t = platform::encodeDateTime(2026, 12, 11, 10, 0, 0, 0);
  const double ms = 1.0 / platform::kMSecsPerDay;
  auto bytes = [](std::initializer_list<std::uint8_t> b) {
    return Variant::byteArray(std::vector<std::uint8_t>(b));
  };
  struct Case {
    const char* what;
    TnxSqlRelOp op;
    Variant l, r;
    bool expected;
    TnxLocaleDescriptor* ll = nullptr;
    TnxLocaleDescriptor* rl = nullptr;
    bool lp = false, rp = false;
  } cases[] = {
      {"doubles 1e-11 apart =", roEQ, Variant(d), Variant(d + 1e-11), true},
      {"doubles 1e-11 apart <>", roNE, Variant(d), Variant(d + 1e-11), false},
      {"doubles 1e-11 apart <", roL, Variant(d), Variant(d + 1e-11), true},
      {"doubles 1e-11 apart <=", roLE, Variant(d + 1e-11), Variant(d), false},
      {"doubles 1e-11 apart >", roG, Variant(d + 1e-11), Variant(d), true},
      {"doubles 1e-9 apart =", roEQ, Variant(d), Variant(d + 1e-9), false},
      {"singles equal", roEQ, Variant(0.5f), Variant(0.5f), true},
      {"currency =", roEQ, Variant(platform::Currency{1}), Variant(platform::Currency{1}), true},
      {"currency 1/10000 apart =", roEQ, Variant(platform::Currency{1}), Variant(platform::Currency{2}), false},
      {"dates 0.5 ms apart =", roEQ, Variant::fromDate(t), Variant::fromDate(t + 0.5 * ms), true},
      {"dates 0.5 ms apart <", roL, Variant::fromDate(t), Variant::fromDate(t + 0.5 * ms), true},
      {"dates 2 ms apart =", roEQ, Variant::fromDate(t), Variant::fromDate(t + 2 * ms), false},
      {"dates 2 ms apart <>", roNE, Variant::fromDate(t), Variant::fromDate(t + 2 * ms), true},
      {"padded left =", roEQ, Variant(u"abc  "), Variant(u"abc"), true, nullptr, nullptr, true, false},
      {"padded right =", roEQ, Variant(u"abc"), Variant(u"abc  "), true, nullptr, nullptr, false, true},
      {"unpadded =", roEQ, Variant(u"abc  "), Variant(u"abc"), false},
      {"padded OLE string", roEQ, Variant::fromOleStr(u"abc "), Variant(u"abc"), true, nullptr, nullptr, true, false},
      {"NULL =", roEQ, Variant::null(), Variant::null(), false},
      {"NULL <>", roNE, Variant(1), Variant::null(), false},
      {"NULL <", roL, Variant::null(), Variant(1), false},
      {"FALSE = 5", roEQ, Variant(false), Variant(5LL), true},
      {"TRUE = 2", roEQ, Variant(true), Variant(2LL), false},
      {"TRUE = 1", roEQ, Variant(true), Variant(1LL), true},
      {"5 = FALSE", roEQ, Variant(5LL), Variant(false), true},
      {"B < a ordinal", roL, Variant(u"B"), Variant(u"a"), true},
      {"a < B ja-JP", roL, Variant(u"a"), Variant(u"B"), true, ja, ja},
      {"B < a ja-JP", roL, Variant(u"B"), Variant(u"a"), false, ja, nullptr},
      {"width ignored", roEQ, Variant(u"\uff76\uff9e"), Variant(u"\u30ac"), true, jaWidth, jaWidth},
      {"width kept", roEQ, Variant(u"\uff76"), Variant(u"\u30ab"), false, ja, ja},
      {"literal locale is compatible", roEQ, Variant(u"x"), Variant(u"x"), true, ja, literal},
      {"bytes 00 01 < 00 02", roL, bytes({0, 1}), bytes({0, 2}), true},
      {"bytes 00 01 = 00 02", roEQ, bytes({0, 1}), bytes({0, 2}), false},
      {"bytes 01 < 01 00", roL, bytes({1}), bytes({1, 0}), true},
      {"bytes 01 = 01 00", roEQ, bytes({1}), bytes({1, 0}), false},
      {"bytes unsigned", roG, bytes({0x80}), bytes({0x7F}), true},
      {"bytes equal", roEQ, bytes({1, 2, 3}), bytes({1, 2, 3}), true},
      {"bytes against text", roEQ, bytes({'a', 'b'}), Variant(u"ab"), true},
      {"4e9 unsigned > -1", roG, Variant(4000000000u), Variant(-1), true},
      {"int = double", roEQ, Variant(3), Variant(3.0), true},
      {"mixed strings", roEQ, Variant::fromOleStr(u"x"), Variant(u"x"), true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(nxSqlCompareByRelOp(c.op, c.l, c.r, c.ll, c.rl, c.lp, c.rp, false), c.expected) << c.what;
  (void)us;
}

TEST_F(SqlCompareTest, IncompatibleLocales) {
  TnxLocaleDescriptor* ja = locale(1041);
  TnxLocaleDescriptor* us = locale(1033);
  TnxLocaleDescriptor* jaKana = locale(1041, nxNORM_IGNOREKANATYPE);
  TnxLocaleDescriptor* literal = locale(1033, 0, true);
  auto error = [&](TnxLocaleDescriptor* a, TnxLocaleDescriptor* b, bool skip) -> std::string {
    try {
      nxSqlCompareByRelOp(roEQ, Variant(u"a"), Variant(u"a"), a, b, false, false, skip);
      return "";
    } catch (const EnxInternalSQLException& e) {
      return platform::toUtf8(e.ErrorString());
    }
  };
  EXPECT_EQ(error(ja, us, false), "Incompatible locales");
  EXPECT_EQ(error(ja, jaKana, false), "Incompatible locales");
  EXPECT_EQ(error(ja, us, true), "");
  EXPECT_EQ(error(ja, literal, false), "");
  EXPECT_EQ(error(literal, us, false), "");
  EXPECT_EQ(error(ja, nullptr, false), "");
  EXPECT_EQ(error(ja, locale(1041), false), "");
  EXPECT_FALSE(nxSqlLocalesCompatible(ja, us));
  TnxLocaleDescriptor* chosen = nullptr;
  EXPECT_FALSE(nxSqlChooseLocale(ja, us, chosen));
  ASSERT_TRUE(nxSqlChooseLocale(literal, ja, chosen));
  EXPECT_EQ(chosen, ja);
  ASSERT_TRUE(nxSqlChooseLocale(ja, literal, chosen));
  EXPECT_EQ(chosen, ja);
  ASSERT_TRUE(nxSqlChooseLocale(nullptr, nullptr, chosen));
  EXPECT_EQ(chosen, nullptr);

  std::uint32_t id = 9, flags = 9;
  nxSqlComparisonLocale(literal, jaKana, id, flags);
  EXPECT_EQ(id, 1041u);
  EXPECT_EQ(flags, nxNORM_IGNOREKANATYPE);
  nxSqlComparisonLocale(literal, nullptr, id, flags);
  EXPECT_EQ(id, 1033u);
  nxSqlComparisonLocale(nullptr, nullptr, id, flags);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(flags, 0u);
}

TEST_F(SqlCompareTest, RelOpNoneIsACallerError) {
  try {
    nxSqlCompareByRelOp(roNone, Variant(1), Variant(1), nullptr, nullptr, false, false, false);
    ADD_FAILURE() << "no assertion";
  } catch (const platform::AssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("nxsqlCondExp"), std::string::npos) << e.what();
  }
}

TEST_F(SqlCompareTest, CompareVariantsTable) {
  platform::FmtBcd bcd = platform::strToBcd(u"12.5", platform::invariantFormatSettings());
  struct Case {
    const char* what;
    Variant l, r;
    std::int32_t expected;
  } cases[] = {
      {"unsigned 4e9 > -1", Variant(4000000000u), Variant(-1), 2},
      {"unsigned 4e9 > Int64 3999999999", Variant(4000000000u), Variant(3999999999LL), 2},
      {"Int64 < unsigned", Variant(3999999999LL), Variant(4000000000u), 0},
      {"smallint vs byte", Variant::fromSmallint(-5), Variant::fromByte(200), 0},
      {"two NULLs", Variant::null(), Variant::null(), 3},
      {"NULL left", Variant::null(), Variant(1), 3},
      {"NULL right", Variant(u"a"), Variant::null(), 3},
      {"OLE = Unicode", Variant::fromOleStr(u"abc"), Variant(u"abc"), 1},
      {"OLE < Unicode", Variant::fromOleStr(u"abc"), Variant(u"abd"), 0},
      {"Unicode > OLE", Variant(u"b"), Variant::fromOleStr(u"a"), 2},
      {"prefix less", Variant(u"ab"), Variant(u"abc"), 0},
      {"code units unsigned", Variant(u"\uffff"), Variant(u"a"), 2},
      {"8-bit text decoded", Variant(platform::AnsiString{"\x96\xbc", 932}), Variant(u"\u540d"), 1},
      {"True above False", Variant(true), Variant(false), 2},
      {"doubles", Variant(1.5), Variant(2.5), 0},
      {"single vs double", Variant(0.5f), Variant(0.5), 1},
      {"currency vs currency", Variant(platform::Currency{25000}), Variant(platform::Currency{25001}), 0},
      {"currency vs double", Variant(platform::Currency{25000}), Variant(2.5), 1},
      {"currency vs int", Variant(platform::Currency{30000}), Variant(3), 1},
      {"bcd vs int", Variant(bcd), Variant(12), 2},
      {"bcd vs currency", Variant(bcd), Variant(platform::Currency{125000}), 1},
      {"bcd vs double", Variant(bcd), Variant(12.75), 0},
      {"int vs double exact", Variant(9007199254740993LL), Variant(9007199254740992.0), 2},
      {"dates", Variant::fromDate(2.0), Variant::fromDate(1.0), 2},
      {"bytes", Variant::byteArray(std::vector<std::uint8_t>{1}), Variant::byteArray(std::vector<std::uint8_t>{1, 0}), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(nxSqlCompareVariants(c.l, c.r, 0, 0), c.expected) << c.what;
  EXPECT_EQ(nxSqlCompareVariantsNullEqual(Variant::null(), Variant::null(), 0, 0), 1);
  EXPECT_EQ(nxSqlCompareVariantsNullEqual(Variant::null(), Variant(1), 0, 0), 3);
  EXPECT_EQ(nxSqlCompareVariantsNullEqual(Variant(2), Variant(1), 0, 0), 2);
  // With a locale id the collation decides.
  EXPECT_EQ(nxSqlCompareVariants(Variant(u"B"), Variant(u"a"), 0, 0), 0);
  EXPECT_EQ(nxSqlCompareVariants(Variant(u"B"), Variant(u"a"), 1041, 0), 2);
  EXPECT_EQ(nxSqlCompareVariants(Variant(u"B"), Variant::fromOleStr(u"a"), 1041, 0), 2);
}

TEST(SqlCompareHelpers, WideOrdinal) {
  EXPECT_EQ(nxSqlCompareWideOrdinal(u"", u""), 1);
  EXPECT_EQ(nxSqlCompareWideOrdinal(u"", u"a"), 0);
  EXPECT_EQ(nxSqlCompareWideOrdinal(u"a", u""), 2);
  EXPECT_EQ(nxSqlCompareWideOrdinal(u"B", u"a"), 0);
  EXPECT_EQ(nxSqlCompareWideOrdinal(u"\u00e9", u"z"), 2);
}

TEST(SqlCompareHelpers, TrimFindAndVarType) {
  EXPECT_EQ(nxSqlTrimTrailingBlanks(u"ab  "), u"ab");
  EXPECT_EQ(nxSqlTrimTrailingBlanks(u"ab\t "), u"ab\t");
  EXPECT_EQ(nxSqlTrimTrailingBlanks(u"   "), u"");
  EXPECT_EQ(nxSqlTrimTrailingBlanks(u" a"), u" a");
  EXPECT_EQ(nxSqlFindChar(u'c', u"abcc"), 3);
  EXPECT_EQ(nxSqlFindChar(u'x', u"abc"), 0);
  struct Sub {
    const char16_t* needle;
    const char16_t* hay;
    std::int32_t pos;
  } subs[] = {{u"", u"abc", 1}, {u"", u"", 1}, {u"bc", u"abcbc", 2}, {u"abcd", u"abc", 0},
              {u"x", u"abc", 0}, {u"abc", u"abc", 1}};
  for (const Sub& s : subs) EXPECT_EQ(nxSqlFindSubstring(s.needle, s.hay), s.pos);
  EXPECT_EQ(nxSqlVarType(Variant(1)), platform::varInteger);
  EXPECT_EQ(nxSqlVarType(Variant::null()), platform::varNull);
}

TEST(SqlCompareHelpers, AddTimeParts) {
  using platform::encodeDateTime;
  struct Case {
    platform::DateTime from;
    std::int32_t h, m, s, ms;
    platform::DateTime to;
  } cases[] = {
      {encodeDateTime(2020, 1, 31, 23, 59, 59, 500), 0, 0, 0, 600, encodeDateTime(2020, 2, 1, 0, 0, 0, 100)},
      {encodeDateTime(2020, 2, 1, 0, 0, 0, 100), 0, 0, 0, -600, encodeDateTime(2020, 1, 31, 23, 59, 59, 500)},
      {encodeDateTime(2020, 3, 1, 0, 30, 0, 0), -1, 0, 0, 0, encodeDateTime(2020, 2, 29, 23, 30, 0, 0)},
      {encodeDateTime(2020, 3, 1, 0, 0, 10, 0), 0, 0, -20, 0, encodeDateTime(2020, 2, 29, 23, 59, 50, 0)},
      {encodeDateTime(2020, 3, 1, 12, 0, 0, 0), 49, 0, 0, 0, encodeDateTime(2020, 3, 3, 13, 0, 0, 0)},
      {encodeDateTime(2020, 3, 1, 12, 0, 0, 0), -49, 0, 0, 0, encodeDateTime(2020, 2, 28, 11, 0, 0, 0)},
      {encodeDateTime(2020, 3, 1, 12, 0, 0, 0), 0, 150, 0, 0, encodeDateTime(2020, 3, 1, 14, 30, 0, 0)},
      {encodeDateTime(2020, 3, 1, 12, 0, 0, 0), 0, -90, 3600, 0, encodeDateTime(2020, 3, 1, 11, 30, 0, 0)},
      {encodeDateTime(2020, 12, 31, 23, 59, 59, 999), 0, 0, 0, 1, encodeDateTime(2021, 1, 1, 0, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    const platform::DateTime got = nxSqlAddTimeParts(c.from, c.h, c.m, c.s, c.ms);
    EXPECT_NEAR(got, c.to, 1e-9) << platform::toUtf8(platform::formatDateTime(u"yyyy-mm-dd hh:nn:ss.zzz", got));
  }
}

TEST_F(SqlCompareTest, ModuleConstants) {
  EXPECT_EQ(nxSqlFloatTolerance(), 1e-10);
  EXPECT_NEAR(nxSqlDateTolerance(), 1.1574e-8, 1e-12);
  EXPECT_EQ(nxSqlLowestDate(), platform::encodeDate(1, 1, 1));
  EXPECT_EQ(nxSqlHighestDate(), platform::encodeDate(9999, 12, 31));
}

}  // namespace
