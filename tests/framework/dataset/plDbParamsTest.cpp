// Parameters: accessors and values per type, native data, lists.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "plDbParams.h"

using namespace platform;

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
Bytes le(T aValue) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}

Bytes dataOf(const TParam& p) {
  Bytes b(static_cast<std::size_t>(p.GetDataSize()));
  p.GetData(b.data());
  return b;
}

struct ParamCase {
  const char* what;
  std::function<void(TParam&)> set;
  TFieldType type;
  Bytes data;
  std::function<void(const TParam&)> check;
};

TEST(Params, AccessorsSetTypeValueAndNativeData) {
  const ParamCase cases[] = {
      {"string", [](TParam& p) { p.SetAsString(u"アa"); }, ftString, Bytes{0x83, 0x41, 'a', 0},
       [](const TParam& p) { EXPECT_EQ(p.AsString(), u"アa"); }},
      {"wide string", [](TParam& p) { p.SetAsWideString(u"ab"); }, ftWideString, Bytes{'a', 0, 'b', 0, 0, 0},
       [](const TParam& p) { EXPECT_EQ(p.Value().toString(), u"ab"); }},
      {"integer", [](TParam& p) { p.SetAsInteger(-7); }, ftInteger, le<std::int32_t>(-7),
       [](const TParam& p) { EXPECT_EQ(p.AsString(), u"-7"); }},
      {"smallint", [](TParam& p) { p.SetAsSmallInt(300); }, ftSmallint, le<std::int16_t>(300),
       [](const TParam& p) { EXPECT_EQ(p.AsInteger(), 300); }},
      {"word", [](TParam& p) { p.SetAsWord(65535); }, ftWord, Bytes{0xFF, 0xFF},
       [](const TParam& p) { EXPECT_EQ(p.AsLargeInt(), 65535); }},
      {"largeint", [](TParam& p) { p.SetAsLargeInt(1LL << 40); }, ftLargeint, le<std::int64_t>(1LL << 40),
       [](const TParam& p) { EXPECT_THROW(p.AsInteger(), RangeError); }},
      {"float", [](TParam& p) { p.SetAsFloat(0.5); }, ftFloat, le<double>(0.5),
       [](const TParam& p) { EXPECT_EQ(p.AsCurrency(), Currency::fromRaw(5000)); }},
      {"currency", [](TParam& p) { p.SetAsCurrency(Currency::fromRaw(25000)); }, ftCurrency, le<double>(2.5),
       [](const TParam& p) { EXPECT_EQ(p.AsFloat(), 2.5); }},
      {"boolean", [](TParam& p) { p.SetAsBoolean(true); }, ftBoolean, Bytes{0xFF, 0xFF},
       [](const TParam& p) { EXPECT_TRUE(p.AsBoolean()); }},
      {"date", [](TParam& p) { p.SetAsDate(encodeDate(2025, 4, 20)); }, ftDate, le<std::int32_t>(739361),
       [](const TParam& p) { EXPECT_EQ(p.AsDate(), encodeDate(2025, 4, 20)); }},
      {"time", [](TParam& p) { p.SetAsTime(encodeTime(0, 0, 1, 5)); }, ftTime, le<std::int32_t>(1005),
       [](const TParam&) {}},
      {"date-time", [](TParam& p) { p.SetAsDateTime(encodeDateTime(2025, 4, 20, 0, 0, 1, 0)); }, ftDateTime,
       le<double>(739361.0 * 86400000 + 1000), [](const TParam&) {}},
      {"fmt bcd", [](TParam& p) { p.SetAsFMTBCD(strToBcd(u"1.25")); }, ftFMTBcd, le<FmtBcd>(strToBcd(u"1.25")),
       [](const TParam& p) { EXPECT_EQ(bcdToStr(p.AsFMTBCD()), u"1.25"); }},
      {"blob", [](TParam& p) { p.SetAsBlob({1, 2, 3}); }, ftBlob, Bytes{1, 2, 3},
       [](const TParam& p) { EXPECT_EQ(p.AsBytes(), (Bytes{1, 2, 3})); }},
      {"memo", [](TParam& p) { p.SetAsMemo(u"ab"); }, ftMemo, Bytes{'a', 'b'}, [](const TParam&) {}},
      {"value chooses the type", [](TParam& p) { p.SetValue(Variant(static_cast<long long>(5))); }, ftLargeint,
       le<std::int64_t>(5), [](const TParam&) {}},
  };
  for (const ParamCase& c : cases) {
    SCOPED_TRACE(c.what);
    TParams params;
    TParam& p = params.CreateParam(ftUnknown, u"P", ptInput);
    EXPECT_TRUE(p.IsNull());
    EXPECT_FALSE(p.Bound());
    EXPECT_EQ(p.GetDataSize(), 0);
    c.set(p);
    EXPECT_TRUE(p.Bound());
    EXPECT_FALSE(p.IsNull());
    EXPECT_EQ(p.DataType(), c.type);
    EXPECT_EQ(dataOf(p), c.data);
    c.check(p);
    // The native data reads back into the same value.
    TParam& q = params.CreateParam(c.type, u"Q", ptInput);
    const Bytes data = dataOf(p);
    q.SetData(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(dataOf(q), data);
    p.Clear();
    EXPECT_TRUE(p.IsNull());
  }
}

TEST(Params, ListsByName) {
  TParams a;
  a.CreateParam(ftInteger, u"id", ptInput).SetAsInteger(1);
  a.CreateParam(ftString, u"name", ptInput).SetAsString(u"x");
  EXPECT_EQ(a.ParamByName(u"ID").AsInteger(), 1);
  try {
    a.ParamByName(u"missing");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"パラメータ 'missing' が見つかりません");
  }
  EXPECT_EQ(a.FindParam(u"missing"), nullptr);

  TParams b;
  b.CreateParam(ftUnknown, u"NAME", ptInput);
  b.CreateParam(ftUnknown, u"other", ptOutput);
  b.AssignValues(a);
  EXPECT_EQ(b.ParamByName(u"name").AsString(), u"x");
  EXPECT_TRUE(b.ParamByName(u"other").IsNull());
  EXPECT_EQ(b.Count(), 2);

  TParams c;
  c.Assign(a);
  EXPECT_TRUE(c.IsEqual(a));
  c.Items(0).SetAsInteger(2);
  EXPECT_FALSE(c.IsEqual(a));
  EXPECT_EQ(a.Items(0).AsInteger(), 1);  // copies are independent
  EXPECT_THROW(c.Items(2), EDatabaseError);
}

TEST(Params, SizePrecisionScaleAndTypeChange) {
  TParams params;
  TParam& p = params.CreateParam(ftBCD, u"amount", ptInputOutput);
  p.SetPrecision(18);
  p.SetNumericScale(2);
  p.SetSize(10);
  p.SetValue(Variant(Currency::fromRaw(12345)));
  EXPECT_EQ(p.DataType(), ftBCD);  // a typed parameter keeps its type
  EXPECT_EQ(p.ParamType(), ptInputOutput);
  TParams copy;
  copy.Assign(params);
  EXPECT_EQ(copy.Items(0).Precision(), 18);
  EXPECT_EQ(copy.Items(0).NumericScale(), 2);
  EXPECT_EQ(copy.Items(0).Size(), 10);
  p.SetDataType(ftString);
  EXPECT_EQ(p.AsString(), u"1.2345");
}

}  // namespace
