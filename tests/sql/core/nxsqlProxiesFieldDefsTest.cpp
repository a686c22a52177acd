// Column definition lists, set-operation widening with its pair tables, index
// segments and foreign keys.
#include "nxsqlProxiesFieldDefs.h"

#include <gtest/gtest.h>

#include "nxsdDataDictionary.h"
#include "nxsqlTestNodes.h"

using sqltest::sqlError;

namespace {

class SqlFieldDefTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { nxsdDataDictionaryInitialize(); }
  static void TearDownTestSuite() { nxsdDataDictionaryFinalize(); }

  static void add(TnxSqlFieldDefList& aList, const nxString& aName, TnxFieldType aType, std::int32_t aUnits = 0,
                  std::int32_t aDec = 0, const TnxLocaleDescriptor* aLocale = nullptr) {
    aList.AddField(aName, u"", aType, aUnits, aDec, 1, 1, false, dtNull, platform::Variant(), false, aLocale, false,
                   nullptr);
  }
  // One column each, p widened against q.
  static TnxSqlFieldDefProxyRec widened(TnxFieldType p, TnxFieldType q, std::int32_t pu = 0, std::int32_t pd = 0,
                                        std::int32_t qu = 0, std::int32_t qd = 0) {
    TnxSqlFieldDefList a, b;
    add(a, u"p", p, pu, pd);
    add(b, u"q", q, qu, qd);
    a.CoerceTypes(b);
    const TnxSqlFieldDefProxyRec& r = *a.GetField(0);
    TnxSqlFieldDefProxyRec copy;
    copy.fdType = r.fdType;
    copy.fdUnits = r.fdUnits;
    copy.fdDecimals = r.fdDecimals;
    return copy;
  }
};

TEST_F(SqlFieldDefTest, TheEdgeCasesOfWidening) {
  struct Case {
    const char* what;
    TnxFieldType p, q;
    std::int32_t pu, pd, qu, qd;
    TnxFieldType type;
    std::int32_t units, decimals;
  } cases[] = {
      {"Byte with Byte", nxtByte, nxtByte, 0, 0, 0, 0, nxtWord16, 0, 0},
      {"AutoInc with AutoInc", nxtAutoInc, nxtAutoInc, 0, 0, 0, 0, nxtWord32, 0, 0},
      {"Single with FmtBCD", nxtSingle, nxtFmtBCD, 0, 0, 20, 4, nxtDouble, 0, 4},
      {"WideChar accepts WideChar", nxtWideChar, nxtWideChar, 0, 0, 0, 0, nxtWideChar, 0, 0},
      {"Char accepts WideChar", nxtChar, nxtWideChar, 0, 0, 0, 0, nxtWideChar, 0, 0},
      {"CHARACTER(10) with VARYING(20)", nxtNullString, nxtNullString, 10, 10, 20, 0, nxtNullString, 20, 0},
      {"CHARACTER(10) with CHARACTER(20)", nxtNullString, nxtNullString, 10, 10, 20, 20, nxtNullString, 20, 20},
      {"BCD units and decimals", nxtBCD, nxtBCD, 10, 2, 18, 4, nxtBCD, 18, 4},
      {"Int32 keeps no units", nxtInt32, nxtInt16, 0, 0, 0, 0, nxtInt32, 0, 0},
      {"ByteArray units", nxtByteArray, nxtByteArray, 8, 0, 16, 0, nxtByteArray, 16, 0},
      {"Interval with DateTime", nxtInterval, nxtDateTime, 0, 0, 0, 0, nxtInterval, 0, 0},
      {"Blob with BlobGraphic", nxtBlob, nxtBlobGraphic, 0, 0, 0, 0, nxtBlobGraphic, 0, 0},
      {"RefNr with Int64", nxtRefNr, nxtInt64, 0, 0, 0, 0, nxtInt64, 0, 0},
  };
  for (const Case& c : cases) {
    const TnxSqlFieldDefProxyRec r = widened(c.p, c.q, c.pu, c.pd, c.qu, c.qd);
    EXPECT_EQ(r.fdType, c.type) << c.what;
    EXPECT_EQ(r.fdUnits, c.units) << c.what;
    EXPECT_EQ(r.fdDecimals, c.decimals) << c.what;
  }
}

// Cells where the widened type could not hold every operand's values.
TEST_F(SqlFieldDefTest, WideningKeepsEveryValue) {
  struct Cell {
    TnxFieldType p, q, type;
  } cells[] = {
      {nxtSingle, nxtCurrency, nxtDouble},       {nxtCurrency, nxtSingle, nxtDouble},
      {nxtDouble, nxtCurrency, nxtDouble},       {nxtCurrency, nxtDouble, nxtDouble},
      {nxtExtended, nxtCurrency, nxtExtended},   {nxtCurrency, nxtExtended, nxtExtended},
      {nxtFmtBCD, nxtSingle, nxtDouble},         {nxtFmtBCD, nxtDouble, nxtDouble},
      {nxtFmtBCD, nxtExtended, nxtExtended},     {nxtExtended, nxtFmtBCD, nxtExtended},
      {nxtBCD, nxtSingle, nxtDouble},            {nxtExtended, nxtBCD, nxtExtended},
      {nxtInt64, nxtCurrency, nxtFmtBCD},        {nxtCurrency, nxtInt64, nxtFmtBCD},
      {nxtByte, nxtRecRev, nxtWord32},           {nxtInt64, nxtRecRev, nxtInt64},
      {nxtAutoInc, nxtRecRev, nxtInt64},         {nxtDouble, nxtRecRev, nxtDouble},
      {nxtCurrency, nxtRecRev, nxtCurrency},     {nxtRecRev, nxtRecRev, nxtRecRev},
      {nxtBlobMemo, nxtWideChar, nxtBlobWideMemo}, {nxtBlobMemo, nxtWideString, nxtBlobWideMemo},
      {nxtShortString, nxtWideChar, nxtWideString}, {nxtNullString, nxtWideChar, nxtWideString},
  };
  for (const Cell& c : cells) {
    EXPECT_TRUE(nxSqlCompatibleTypes[c.p][c.q]) << int(c.p) << "/" << int(c.q);
    EXPECT_EQ(nxSqlCombinedTypes[c.p][c.q], c.type) << int(c.p) << "/" << int(c.q);
  }
  // X with RecRev is RecRev with X for every numeric X.
  for (int x = 0; x < nxFieldTypeCount; ++x)
    if (nxSqlCompatibleTypes[nxtRecRev][x]) {
      EXPECT_TRUE(nxSqlCompatibleTypes[x][nxtRecRev]) << x;
      EXPECT_EQ(nxSqlCombinedTypes[x][nxtRecRev], nxSqlCombinedTypes[nxtRecRev][x]) << x;
    }
}

TEST_F(SqlFieldDefTest, PairTablesAreConsistent) {
  const TnxFieldType incompatible[][2] = {
      {nxtWideChar, nxtChar},  {nxtWideChar, nxtBlobMemo}, {nxtBoolean, nxtInt32}, {nxtDate, nxtDateTime},
      {nxtDateTime, nxtInterval}, {nxtGuid, nxtWideString}, {nxtInt64, nxtRefNr}, {nxtBlob, nxtBlobMemo},
      {nxtInt32, nxtChar},
  };
  for (const auto& pair : incompatible) EXPECT_FALSE(nxSqlCompatibleTypes[pair[0]][pair[1]]);
  for (int t : {nxtBoolean, nxtDate, nxtTime, nxtDateTime, nxtGuid, nxtByteArray}) {
    EXPECT_TRUE(nxSqlCompatibleTypes[t][t]);
    EXPECT_EQ(nxSqlCombinedTypes[t][t], t);
    for (int o = 0; o < nxFieldTypeCount; ++o)
      if (o != t) {
        EXPECT_FALSE(nxSqlCompatibleTypes[t][o]) << t << "/" << o;
      }
  }
}

TEST_F(SqlFieldDefTest, IncompatibleColumnsNameTypesAndFieldsAfterWideningTheOnesBefore) {
  TnxSqlFieldDefList a, b;
  add(a, u"n", nxtByte);
  add(a, u"flag", nxtBoolean);
  add(a, u"rest", nxtInt8);
  add(b, u"m", nxtByte);
  add(b, u"num", nxtInt32);
  add(b, u"other", nxtInt8);
  EXPECT_EQ(sqlError([&] { a.CoerceTypes(b); }),
            u"Union/except/intersect error: Types BOOLEAN and INTEGER are not compatible. Fields flag / num");
  EXPECT_EQ(a.GetField(0)->fdType, nxtWord16);  // widened before the failure
  EXPECT_EQ(a.GetField(1)->fdType, nxtBoolean);
  EXPECT_EQ(a.GetField(2)->fdType, nxtInt8);
}

TEST_F(SqlFieldDefTest, StringColumnsWithoutUnitsGet255) {
  TnxSqlFieldDefList list;
  const TnxFieldType types[] = {nxtShortString, nxtNullString, nxtWideString, nxtInt32, nxtByteArray, nxtBCD};
  for (TnxFieldType t : types) add(list, u"c" + platform::fromUtf8(std::to_string(int(t))), t);
  const std::int32_t units[] = {255, 255, 255, 0, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(list.GetField(i)->fdUnits, units[i]) << int(types[i]);
  add(list, u"given", nxtWideString, 12);
  EXPECT_EQ(list.GetField(6)->fdUnits, 12);
}

TEST_F(SqlFieldDefTest, AutoIncChecksAndDuplicatesAddNothing) {
  TnxSqlFieldDefList list;
  add(list, u"Name", nxtInt32);
  auto addAutoInc = [&](std::int32_t start, std::int32_t step) -> std::string {
    try {
      list.AddField(u"id", u"", nxtAutoInc, 0, 0, start, step, false, dtNull, platform::Variant(), false, nullptr,
                    false, nullptr);
      return "";
    } catch (const EnxBaseException& e) {
      return platform::toUtf8(e.ErrorString());
    }
  };
  EXPECT_EQ(addAutoInc(0, 5), "AutoInc start needs to be larger than 0");
  EXPECT_EQ(addAutoInc(0, 0), "AutoInc start needs to be larger than 0");
  EXPECT_EQ(addAutoInc(3, 0), "AutoInc step needs to be larger than 0");
  EXPECT_EQ(list.Count(), 1);
  EXPECT_NE(sqlError([&] { add(list, u"NAME", nxtInt16); }), u"<no exception>");
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(addAutoInc(10, 2), "");
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetField(1)->fdIncStart, 10);
}

TEST_F(SqlFieldDefTest, NamesRequiredAndInsertPosition) {
  TnxSqlFieldDefList list;
  add(list, u"b", nxtInt32);
  add(list, u"c", nxtInt32);
  list.InsertField(0, u"a", u"first", nxtInt16, 0, 0, 1, 1, false, dtLiteral, platform::Variant(7), true, nullptr,
                   true, nullptr);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetField(0)->fdName, u"a");
  EXPECT_EQ(list.GetField(0)->fdDescription, u"first");
  EXPECT_TRUE(list.GetField(0)->fdInternalField);
  EXPECT_TRUE(list.GetField(0)->fdAggregate);
  EXPECT_EQ(list.GetField(0)->fdDefaultValue.toInt32(), 7);
  EXPECT_EQ(list.GetField(1)->fdName, u"b");
  EXPECT_TRUE(list.FieldExists(u"B"));
  EXPECT_FALSE(list.FieldExists(u"d"));
  list.SetRequired(u"C");
  EXPECT_TRUE(list.GetField(2)->fdRequired);
  EXPECT_FALSE(list.GetField(1)->fdRequired);
  EXPECT_EQ(sqlError([&] { list.SetRequired(u"zz"); }), u"Column not found:\"zz\"");
}

TEST_F(SqlFieldDefTest, LocalesArePrivateCopies) {
  TnxOwned<TnxLocaleDescriptor> locale(platform::create<TnxLocaleDescriptor>(nullptr));
  locale->SetLocale(1041);
  locale->SetIgnoreWidth(true);
  TnxSqlFieldDefList list;
  add(list, u"s", nxtWideString, 10, 0, locale.get());
  TnxLocaleDescriptor* copy = list.GetField(0)->fdLocaleDesc.get();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, locale.get());
  EXPECT_TRUE(copy->IsCompareable(locale.get()));
  TnxSqlFieldDefList other;
  other.AddField(*list.GetField(0));
  TnxLocaleDescriptor* second = other.GetField(0)->fdLocaleDesc.get();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, copy);
  EXPECT_TRUE(second->IgnoreWidth());
  locale.reset();  // the copies do not depend on the original
  EXPECT_EQ(second->Locale(), 1041u);
}

TEST(SqlIndexFieldDef, DescriptorTypeNeeded) {
  struct Case {
    TnxIndexFieldDef def;
    TnxSqlKeyFieldDescriptorType type;
  } cases[] = {
      {{0, false, false, 0, 0, nbTop}, kfdtPlain},
      {{0, false, true, 0, 0, nbTop}, kfdtSimpleText},
      {{0, false, true, 0, 2048, nbTop}, kfdtSimpleText},
      {{0, false, false, 0, 1041, nbTop}, kfdtExtendedText},
      {{0, true, false, 0x20000, 0, nbBottom}, kfdtExtendedText},
      {{0, false, false, 0x1000, 0, nbTop}, kfdtExtendedText},
      {{1, false, false, false, false, true, false, 0, false, nbTop}, kfdtExtendedText},
  };
  for (const Case& c : cases) EXPECT_EQ(c.def.DescriptorTypeNeeded(), c.type);
  const TnxIndexFieldDef all(3, true, true, 0x2 | 0x4 | 0x1000 | 0x10000 | 0x20000, 1041, nbFilterNull);
  EXPECT_TRUE(all.ifdIgnoreNonSpace && all.ifdIgnoreSymbols && all.ifdUseStringSort && all.ifdIgnoreKanaType &&
              all.ifdIgnoreWidth && all.ifdDescending && all.ifdIgnoreCase);
  EXPECT_EQ(all.ifdFieldIndex, 3);
  EXPECT_EQ(all.ifdNullBehaviour, nbFilterNull);
  const TnxIndexFieldDef kana(0, false, false, 0x10000, 0, nbTop);
  EXPECT_TRUE(kana.ifdIgnoreKanaType);
  EXPECT_FALSE(kana.ifdIgnoreWidth || kana.ifdIgnoreNonSpace || kana.ifdIgnoreSymbols || kana.ifdUseStringSort);
}

TEST(SqlForeignKey, ColumnsAndNames) {
  TnxOwned<TnxSqlForeignKeyConstraint> fk(platform::create<TnxSqlForeignKeyConstraint>());
  fk->Name = u"fk1";
  fk->TableName = u"master";
  fk->AddColumn(2, nxtInt32);
  fk->AddColumn(0, nxtWideString);
  fk->AddForeignColumnName(u"ID");
  fk->AddForeignColumnName(u"Code");
  fk->DeleteAction = raCascade;
  EXPECT_EQ(fk->ColumnCount(), 2);
  EXPECT_EQ(fk->GetColumn(1), 0);
  EXPECT_EQ(fk->GetColumnType(1), nxtWideString);
  EXPECT_EQ(fk->ForeignColumns()[1], u"Code");
  EXPECT_THROW(fk->GetColumn(2), std::out_of_range);
}

}  // namespace
