// Native comparers on record buffers of a real table file: the class chosen
// per type, NULL, the Boolean rule, no comparer where "=" collates or trims,
// and for random values the native answer equals "=" of the values.
#include <gtest/gtest.h>

#include <random>

#include "nxsqlCondExp.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;
using platform::Variant;

// Stands in for a field proxy: one field of a record buffer.
class RecordField final : public InxSqlNativeField {
 public:
  // aDirect: the comparer is given the field's layout and reads it without calls.
  RecordField(TnxFieldsDescriptor* aFields, std::vector<std::uint8_t>& aRecord, std::int32_t aIndex,
              bool aDirect = false)
      : fields(aFields), record(aRecord), index(aIndex), direct(aDirect), current(aRecord.data()) {}
  bool NativeAccess(TnxSqlNativeFieldAccess& aAccess) override {
    if (!direct) return false;
    aAccess.RecordBuffer = &current;
    aAccess.FieldOffset = field()->fdOffset;
    aAccess.NullOffset = fields->LogicalRecordLength() + index / 8;
    aAccess.NullMask = std::uint8_t(1u << (index % 8));
    return true;
  }
  bool NativeIsNull() override { return fields->IsRecordFieldNull(index, record.data()); }
  const std::uint8_t* NativeFieldBuffer() override { return record.data() + field()->fdOffset; }
  TnxFieldType NativeFieldType() override { return field()->fdType; }
  std::int32_t NativeUnits() override { return field()->fdUnits; }
  std::int32_t NativeDecimals() override { return field()->fdDecPl; }
  TnxLocaleDescriptor* NativeLocaleDesc() override { return field()->UsedLocaleDescriptor(); }

  TnxFieldDescriptor* field() const { return fields->Fields(index); }
  Variant value() const { return fields->fsdGetFieldByIndexAsVariant(record.data(), index); }
  bool padded() const {
    const TnxFieldType t = field()->fdType;
    return (t == nxtShortString || t == nxtNullString || t == nxtWideString) && field()->fdDecPl != 0;
  }

 private:
  TnxFieldsDescriptor* fields;
  std::vector<std::uint8_t>& record;
  std::int32_t index;
  bool direct;
  const std::uint8_t* current;
};

struct Column {
  TnxFieldType type;
  std::int32_t units;
  const char* comparer;  // nullptr: none
};

// Pairs of columns a<i>, b<i> of each covered type.
const Column kColumns[] = {
    {nxtBoolean, 0, "TnxSqlBooleanComparer"},     {nxtChar, 0, "TnxSqlCharComparer"},
    {nxtWideChar, 0, "TnxSqlWideCharComparer"},   {nxtByte, 0, "TnxSqlByteComparer"},
    {nxtWord16, 0, "TnxSqlWord16Comparer"},       {nxtWord32, 0, "TnxSqlWord32Comparer"},
    {nxtInt8, 0, "TnxSqlInt8Comparer"},           {nxtInt16, 0, "TnxSqlInt16Comparer"},
    {nxtInt32, 0, "TnxSqlInt32Comparer"},         {nxtInt64, 0, "TnxSqlInt64Comparer"},
    {nxtShortString, 10, "TnxSqlShortStringComparer"}, {nxtNullString, 10, "TnxSqlNullStringComparer"},
    {nxtWideString, 10, "TnxSqlWideStringComparer"}, {nxtDouble, 0, nullptr},
    {nxtCurrency, 0, nullptr},                    {nxtDateTime, 0, nullptr},
    {nxtGuid, 0, nullptr},                        {nxtBCD, 10, nullptr},
};
constexpr std::int32_t kPairs = std::int32_t(std::size(kColumns));

class NativeComparerTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxsqlCondExpInitialize();
  }
  void TearDown() override {
    nxsqlCondExpFinalize();
    TableTest::TearDown();
  }

  // A table with the column pairs (and aExtra added after them).
  Table& table(const std::function<void(TnxFieldsDescriptor&)>& aExtra = {}) {
    auto* dict = platform::create<TnxServerDataDict>();
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    for (std::int32_t i = 0; i < kPairs; ++i) {
      const nxString n = platform::fromUtf8(std::to_string(i));
      f->AddField(u"a" + n, u"", kColumns[i].type, kColumns[i].units, 0, false);
      f->AddField(u"b" + n, u"", kColumns[i].type, kColumns[i].units, 0, false);
    }
    if (aExtra) aExtra(*f);
    return createTable(dict);
  }

  // Writes aRecords to the table and reads them back from the committed file.
  std::vector<std::vector<std::uint8_t>> roundTrip(Table& t, const std::vector<std::vector<std::uint8_t>>& aRecords) {
    std::vector<TnxRefNr> refs;
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      for (const auto& r : aRecords) {
        std::vector<std::uint8_t> copy = r;
        TnxRefNr ref = 0;
        t.records->AddRecord(trans.get(), ref, copy.data());
        refs.push_back(ref);
      }
      trans->Commit();
    }
    std::vector<std::vector<std::uint8_t>> back;
    TnxOwned<TestTransaction> trans(newTransaction());
    for (TnxRefNr ref : refs) {
      back.emplace_back(std::size_t(t.dict->FieldsDescriptor()->RecordLength()), 0);
      t.records->ReadRecord(trans.get(), ref, back.back().data());
    }
    trans->Commit();
    return back;
  }

  std::vector<std::uint8_t> newRecord(Table& t) {
    std::vector<std::uint8_t> r(std::size_t(t.dict->FieldsDescriptor()->RecordLength()), 0);
    t.dict->FieldsDescriptor()->InitRecord(r.data());
    return r;
  }
};

TEST_F(NativeComparerTest, EachTypeGetsItsComparer) {
  Table& t = table();
  TnxFieldsDescriptor* f = t.dict->FieldsDescriptor();
  std::vector<std::uint8_t> r = newRecord(t);
  for (std::int32_t i = 0; i < kPairs; ++i) {
    RecordField a(f, r, 2 * i), b(f, r, 2 * i + 1);
    auto c = nxSqlNativeComparerFor(&a, &b);
    if (kColumns[i].comparer) {
      ASSERT_TRUE(c) << kColumns[i].comparer;
      EXPECT_STREQ(c->ClassName(), kColumns[i].comparer);
      EXPECT_EQ(c->Compare(), tsbUnknown) << "both NULL";
    } else {
      EXPECT_FALSE(c) << int(kColumns[i].type);
    }
  }
  // The types of the other fields.
  TnxOwned<TnxServerDataDict> other(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* o = other->FieldsDescriptor();
  const std::pair<TnxFieldType, const char*> more[] = {{nxtAutoInc, "TnxSqlWord32Comparer"},
                                                       {nxtRecRev, "TnxSqlWord32Comparer"},
                                                       {nxtRefNr, "TnxSqlInt64Comparer"}};
  for (const auto& [type, name] : more) o->AddField(u"f" + platform::fromUtf8(std::to_string(int(type))), u"", type, 0, 0, false);
  std::vector<std::uint8_t> buffer(std::size_t(o->RecordLength()), 0);
  for (std::int32_t i = 0; i < 3; ++i) {
    RecordField a(o, buffer, i), b(o, buffer, i);
    auto c = nxSqlNativeComparerFor(&a, &b);
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->ClassName(), more[i].second);
  }
  // Two fields of different types have none.
  RecordField i32(f, r, 16), i64(f, r, 18);
  EXPECT_FALSE(nxSqlNativeComparerFor(&i32, &i64));
}

TEST_F(NativeComparerTest, NullOnEitherSideIsUnknownAndTheBooleanRule) {
  Table& t = table();
  TnxFieldsDescriptor* f = t.dict->FieldsDescriptor();
  std::vector<std::uint8_t> r = newRecord(t);
  f->fsdSetFieldByIndexAsVariant(r.data(), 16, Variant(5));  // a8 (Int32) set, b8 NULL
  f->fsdSetFieldByIndexAsVariant(r.data(), 0, Variant(true));
  f->fsdSetFieldByIndexAsVariant(r.data(), 1, Variant(true));
  // The second Boolean also takes another representation of True.
  std::vector<std::uint8_t> stored = roundTrip(t, {r})[0];
  for (bool direct : {false, true}) {
    RecordField a(f, stored, 16, direct), b(f, stored, 17, direct);
    EXPECT_EQ(nxSqlNativeComparerFor(&a, &b)->Compare(), tsbUnknown);
    EXPECT_EQ(nxSqlNativeComparerFor(&b, &a)->Compare(), tsbUnknown);
    RecordField x(f, stored, 0, direct), y(f, stored, 1, direct);
    auto c = nxSqlNativeComparerFor(&x, &y);
    stored[std::size_t(f->Fields(1)->fdOffset)] = 0xFF;
    EXPECT_EQ(c->Compare(), tsbTrue);
    EXPECT_TRUE(nxSqlCompareByRelOp(roEQ, x.value(), y.value(), nullptr, nullptr, false, false, false));
    stored[std::size_t(f->Fields(1)->fdOffset)] = 0;  // the comparer reads the record as it is now
    EXPECT_EQ(c->Compare(), tsbFalse);
  }
}

// Character fields whose "=" collates (a locale) or trims (fixed length).
TEST_F(NativeComparerTest, NoComparerWhereEqualityCollatesOrTrims) {
  Table& t = table([](TnxFieldsDescriptor& f) {
    for (TnxFieldType type : {nxtWideString, nxtNullString, nxtShortString, nxtChar}) {
      f.AddField(u"loc" + platform::fromUtf8(std::to_string(int(type))), u"", type, 10, 0, false)
          ->AddLocaleDescriptor()
          ->SetLocale(1041);
      f.AddField(u"fix" + platform::fromUtf8(std::to_string(int(type))), u"", type, 10, 10, false);
    }
  });
  TnxFieldsDescriptor* f = t.dict->FieldsDescriptor();
  std::vector<std::uint8_t> r = newRecord(t);
  const std::int32_t first = 2 * kPairs;
  const std::int32_t plainOf[] = {24, 22, 20, 2};  // a12 WideString, a11 NullString, a10 ShortString, a1 Char
  for (std::int32_t k = 0; k < 4; ++k) {
    RecordField plain(f, r, plainOf[k]), withLocale(f, r, first + 2 * k), fixed(f, r, first + 2 * k + 1);
    SCOPED_TRACE(int(plain.NativeFieldType()));
    EXPECT_FALSE(nxSqlNativeComparerFor(&plain, &withLocale));
    EXPECT_FALSE(nxSqlNativeComparerFor(&withLocale, &plain));
    EXPECT_FALSE(nxSqlNativeComparerFor(&withLocale, &withLocale));
    if (plain.NativeFieldType() != nxtChar) {
      EXPECT_TRUE(fixed.padded());
      EXPECT_FALSE(nxSqlNativeComparerFor(&plain, &fixed));
      EXPECT_FALSE(nxSqlNativeComparerFor(&fixed, &fixed));
    }
  }
  // Why: a fixed 'x' stored padded equals 'x' under "=", while its bytes differ.
  const std::int32_t fixedWide = first + 1;
  f->fsdSetFieldByIndexAsVariant(r.data(), fixedWide, Variant(u"x"));
  f->fsdSetFieldByIndexAsVariant(r.data(), 24, Variant(u"x"));
  RecordField fx(f, r, fixedWide), px(f, r, 24);
  EXPECT_TRUE(nxSqlCompareByRelOp(roEQ, fx.value(), px.value(), nullptr, nullptr, true, false, false));
}

Variant randomValue(TnxFieldType aType, std::mt19937& aRng) {
  static const char16_t* const kTexts[] = {u"", u"a", u"A", u"ab", u"a ", u"abc", u"\u540d", u"\u540d\u524d", u"z"};
  const std::uint32_t pick = aRng() % 6;
  const std::int64_t small[] = {0, 1, -1, 2, 127, -128};
  const std::int64_t n = pick < 4 ? small[pick] : std::int64_t(aRng());
  switch (aType) {
    case nxtBoolean: return Variant(bool(aRng() % 2));
    case nxtChar: return Variant(nxString(1, char16_t(u'a' + aRng() % 3)));
    case nxtWideChar: return Variant(nxString(1, aRng() % 2 ? char16_t(u'a' + aRng() % 2) : u'\u540d'));
    case nxtByte: return Variant::fromByte(std::uint8_t(n));
    case nxtWord16: return Variant::fromWord(std::uint16_t(n));
    case nxtWord32: return Variant::fromLongWord(std::uint32_t(n));
    case nxtInt8: return Variant::fromShortInt(std::int8_t(n));
    case nxtInt16: return Variant::fromSmallint(std::int16_t(n));
    case nxtInt32: return Variant(std::int32_t(n));
    case nxtInt64: return Variant(static_cast<long long>(n) * (aRng() % 2 ? 1 : 1000003));
    default: return Variant(kTexts[aRng() % std::size(kTexts)]);
  }
}

TEST_F(NativeComparerTest, NativeAnswerEqualsTheValueComparison) {
  Table& t = table();
  TnxFieldsDescriptor* f = t.dict->FieldsDescriptor();
  std::mt19937 rng(1211);
  std::vector<std::vector<std::uint8_t>> records;
  for (int n = 0; n < 300; ++n) {
    std::vector<std::uint8_t> r = newRecord(t);
    for (std::int32_t i = 0; i < kPairs; ++i) {
      if (!kColumns[i].comparer) continue;
      const Variant a = randomValue(kColumns[i].type, rng);
      // Often the same value on both sides, sometimes NULL.
      const Variant b = rng() % 3 == 0 ? a : randomValue(kColumns[i].type, rng);
      if (rng() % 10) f->fsdSetFieldByIndexAsVariant(r.data(), 2 * i, a);
      if (rng() % 10) f->fsdSetFieldByIndexAsVariant(r.data(), 2 * i + 1, b);
    }
    records.push_back(std::move(r));
  }
  std::vector<std::vector<std::uint8_t>> stored = roundTrip(t, records);
  int equal = 0, unequal = 0;
  for (auto& r : stored)
    for (std::int32_t i = 0; i < kPairs; ++i) {
      if (!kColumns[i].comparer) continue;
      RecordField a(f, r, 2 * i), b(f, r, 2 * i + 1);
      RecordField da(f, r, 2 * i, true), db(f, r, 2 * i + 1, true);
      const TnxSqlTriStateBool native = nxSqlNativeComparerFor(&a, &b)->Compare();
      ASSERT_EQ(nxSqlNativeComparerFor(&da, &db)->Compare(), native) << kColumns[i].comparer;
      TnxSqlTriStateBool byValue = tsbUnknown;
      if (!a.NativeIsNull() && !b.NativeIsNull())
        byValue = nxSqlCompareByRelOp(roEQ, a.value(), b.value(), a.NativeLocaleDesc(), b.NativeLocaleDesc(),
                                      a.padded(), b.padded(), false)
                      ? tsbTrue
                      : tsbFalse;
      ASSERT_EQ(native, byValue) << kColumns[i].comparer << " " << platform::toUtf8(platform::varToStr(a.value()))
                                 << " / " << platform::toUtf8(platform::varToStr(b.value()));
      (native == tsbTrue ? equal : unequal) += 1;
    }
  EXPECT_GT(equal, 500);
  EXPECT_GT(unequal, 500);
}

}  // namespace
