#include "nxdbConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nxdbBase.h"
#include "nxdbConversionTestSupport.h"
#include "nxllUtils.h"
#include "plExtended.h"
#include "plGuid.h"

using namespace convtest;
using platform::TFieldType;

namespace {

// One engine type: the field, what the framework reports for it, and a
// value in both forms. vclIn/vadurOut differ from vcl/vadur where writing
// is not the reverse of reading (Boolean, Currency, strings cut to units).
struct TypeRow {
  TnxFieldType type;
  std::int32_t units;
  std::int32_t decPl;
  const char* mapperClass;
  TFieldType vclType;
  std::uint16_t vclSize;
  bool readOnly;
  Bytes vadur;      // stored form read ...
  Bytes vcl;        // ... gives this framework form
  Bytes vclIn;      // framework form written (empty: vcl) ...
  Bytes vadurOut;   // ... stores this (empty: vadur); refused when readOnly
};

const Bytes kGuidBytes{0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

std::vector<TypeRow> allTypeRows() {
  using namespace platform;
  const Bytes ext = bytesOf(Extended::fromDouble(-2.75));
  return {
      {nxtBoolean, 0, 0, "TnxBooleanVclFieldMapper", ftBoolean, 0, false, {2}, bytesOf<std::uint16_t>(0xFFFF),
       bytesOf<std::uint16_t>(1), {0xFF}},
      {nxtChar, 0, 0, "TnxAnsiCharVclFieldMapper", ftString, 1, false, {'x'}, text("x"), text("yz"), {'y'}},
      {nxtWideChar, 0, 0, "TnxWideCharVclFieldMapper", ftWideString, 1, false, bytesOf(u'語'), wtext(u"語"),
       wtext(u"本日"), bytesOf(u'本')},
      {nxtByte, 0, 0, "TnxByte8VclFieldMapper", ftByte, 0, false, {0xF1}, {0xF1}, {}, {}},
      {nxtWord16, 0, 0, "TnxWord16VclFieldMapper", ftWord, 0, false, bytesOf<std::uint16_t>(65000),
       bytesOf<std::uint16_t>(65000), {}, {}},
      {nxtWord32, 0, 0, "TnxWord32VclFieldMapper", ftLongWord, 0, false, bytesOf<std::uint32_t>(4000000000u),
       bytesOf<std::uint32_t>(4000000000u), {}, {}},
      {nxtInt8, 0, 0, "TnxInt8VclFieldMapper", ftShortint, 0, false, {0x80}, {0x80}, {}, {}},
      {nxtInt16, 0, 0, "TnxInt16VclFieldMapper", ftSmallint, 0, false, bytesOf<std::int16_t>(-2),
       bytesOf<std::int16_t>(-2), {}, {}},
      {nxtInt32, 0, 0, "TnxInt32VclFieldMapper", ftInteger, 0, false, bytesOf<std::int32_t>(-70000),
       bytesOf<std::int32_t>(-70000), {}, {}},
      {nxtInt64, 0, 0, "TnxInt64VclFieldMapper", ftLargeint, 0, false, bytesOf<std::int64_t>(-(1LL << 40)),
       bytesOf<std::int64_t>(-(1LL << 40)), {}, {}},
      {nxtAutoInc, 0, 0, "TnxAutoIncVclFieldMapper", ftAutoInc, 0, false, bytesOf<std::uint32_t>(7),
       bytesOf<std::uint32_t>(7), {}, {}},
      // Widened exactly; narrowed to the nearest float.
      {nxtSingle, 0, 0, "TnxSingleVclFieldMapper", ftFloat, 0, false, bytesOf(1.1f), bytesOf(double{1.1f}),
       bytesOf(0.1), bytesOf(0.1f)},
      {nxtDouble, 0, 0, "TnxDoubleVclFieldMapper", ftFloat, 0, false, bytesOf(-1e300), bytesOf(-1e300), {}, {}},
      {nxtExtended, 0, 0, "TnxExtendedVclFieldMapper", ftExtended, 0, false, ext, ext, {}, {}},
      {nxtCurrency, 0, 0, "TnxCurrencyVclFieldMapper", ftCurrency, 0, false, bytesOf<std::int64_t>(25000),
       bytesOf(2.5), {}, {}},
      {nxtDate, 0, 0, "TnxDateVclFieldMapper", ftDate, 0, false, bytesOf<std::int32_t>(739000),
       bytesOf<std::int32_t>(739000), {}, {}},
      {nxtTime, 0, 0, "TnxTimeVclFieldMapper", ftTime, 0, false, bytesOf<std::int32_t>(86399999),
       bytesOf<std::int32_t>(86399999), {}, {}},
      {nxtDateTime, 0, 0, "TnxDateTimeVclFieldMapper", ftDateTime, 0, false, bytesOf(6.3e13), bytesOf(6.3e13), {},
       {}},
      {nxtInterval, 0, 0, "TnxIntervalVclFieldMapper", ftDateTime, 0, false, bytesOf(86400000.0),
       bytesOf(86400000.0), {}, {}},
      {nxtBlob, 0, 0, "TnxBlobVclFieldMapper", ftBlob, 0, false, bytesOf<std::int64_t>(0x1122334455667788),
       bytesOf<std::int64_t>(0x1122334455667788), {}, {}},
      {nxtBlobMemo, 0, 0, "TnxMemoVclFieldMapper", ftMemo, 0, false, bytesOf<std::int64_t>(5),
       bytesOf<std::int64_t>(5), {}, {}},
      {nxtBlobGraphic, 0, 0, "TnxGraphicVclFieldMapper", ftGraphic, 0, false, bytesOf<std::int64_t>(6),
       bytesOf<std::int64_t>(6), {}, {}},
      {nxtByteArray, 3, 0, "TnxByteArrayVclFieldMapper", ftBytes, 3, false, {0, 0xFF, 7}, {0, 0xFF, 7}, {}, {}},
      {nxtShortString, 5, 0, "TnxShortStringVclFieldMapper", ftString, 5, false, shortText("abc"), text("abc"),
       text("abcdefg"), shortText("abcde")},
      {nxtNullString, 5, 0, "TnxNullStringVclFieldMapper", ftString, 5, false, text("abc"), text("abc"),
       text("abcdefg"), text("abcde")},
      {nxtWideString, 4, 0, "TnxWideStringVclFieldMapper", ftWideString, 4, false, wtext(u"日本"), wtext(u"日本"),
       wtext(u"日本語です"), wtext(u"日本語で")},
      {nxtRecRev, 0, 0, "TnxRecRevVclFieldMapper", ftLongWord, 0, true, bytesOf<std::uint32_t>(9),
       bytesOf<std::uint32_t>(9), {}, {}},
      {nxtGuid, 0, 0, "TnxGuidVclFieldMapper", ftGuid, 38, false, kGuidBytes,
       text("{12345678-9ABC-DEF0-0123-456789ABCDEF}"), text("{12345678-9abc-def0-0123-456789abcdef}"), {}},
      // Units 0, decimals 0: precision 20, scale 4, no normalising.
      {nxtBCD, 0, 0, "TnxBcdVclFieldMapper", ftBCD, 0, false, bytesOf<std::int64_t>(-15000), {}, bcd(u"-1.5"), {}},
      {nxtBlobWideMemo, 0, 0, "TnxWideMemoVclFieldMapper", ftWideMemo, 0, false, bytesOf<std::int64_t>(8),
       bytesOf<std::int64_t>(8), {}, {}},
      // Precision 10, scale 2: the first (10 + 1) div 2 + 2 = 7 bytes.
      {nxtFmtBCD, 10, 2, "TnxFmtBcdVclFieldMapper", ftFMTBcd, 0, false, {}, {}, bcd(u"-1234.5"), {}},
      {nxtRefNr, 0, 0, "TnxRefNrVclFieldMapper", ftLargeint, 0, true, bytesOf<std::int64_t>(42),
       bytesOf<std::int64_t>(42), {}, {}},
  };
}

// The framework buffer's size for a field of the row.
std::size_t vclBufferSize(TFieldType aType, std::uint16_t aSize) {
  switch (aType) {
    case platform::ftString:
    case platform::ftGuid: return aSize + 1u;
    case platform::ftWideString: return 2u * aSize + 2u;
    case platform::ftBCD:
    case platform::ftFMTBcd: return sizeof(TnxFmtBcd);
    case platform::ftBytes: return aSize;
    case platform::ftBoolean: return 2;
    case platform::ftExtended: return 10;
    case platform::ftByte:
    case platform::ftShortint: return 1;
    case platform::ftWord:
    case platform::ftSmallint: return 2;
    case platform::ftInteger:
    case platform::ftLongWord:
    case platform::ftAutoInc:
    case platform::ftDate:
    case platform::ftTime: return 4;
    default: return 8;
  }
}

class ConversionTypes : public ConversionTest {};

// Every engine type, both directions, through the methods handed out for it.
TEST_F(ConversionTypes, EveryEngineTypeConvertsBothWays) {
  const auto rows = allTypeRows();
  ASSERT_EQ(rows.size(), std::size_t{nxFieldTypeCount});
  for (const TypeRow& r : rows) {
    SCOPED_TRACE(std::string(r.mapperClass));
    FieldPtr field = makeField(r.type, r.units, r.decPl);
    if (r.type == nxtBCD) {  // the mapper's own defaults, below the descriptor's set-up
      field->fdUnits = 0;
      field->fdDecPl = 0;
    }
    const platform::ClassInfo* cls = nxVclMapperClassForVadurType(r.type);
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(cls->name, r.mapperClass);

    TFieldType vclType;
    std::uint16_t size;
    platform::TFieldAttributes attributes;
    TnxBaseVclFieldMapper::MapVadurDescriptorToVcl(*field, vclType, size, attributes);
    EXPECT_EQ(vclType, r.vclType);
    EXPECT_EQ(size, r.vclSize);
    EXPECT_EQ(attributes.contains(platform::faReadonly), r.readOnly);
    EXPECT_EQ(TnxBaseVclFieldMapper::MapVadurToParamType(r.type), r.vclType);

    Mapper m = mapperFor(*field);
    ASSERT_TRUE(m.toVcl.Assigned());
    ASSERT_TRUE(m.toVadur.Assigned());
    const std::size_t vclSize = vclBufferSize(r.vclType, r.vclSize);
    const auto vadurSize = static_cast<std::size_t>(field->fdLength);

    if (r.type == nxtBCD) {
      EXPECT_EQ(bcdText(run(m.toVcl, r.vadur, vclSize)), u"-1.5");
      EXPECT_EQ(run(m.toVadur, r.vclIn, vadurSize), r.vadur);
      continue;
    }
    if (r.type == nxtFmtBCD) {
      // Written normalised, stored in fdLength bytes, read back the same.
      ASSERT_EQ(vadurSize, 7u);
      const Bytes stored = run(m.toVadur, r.vclIn, vadurSize);
      const Bytes read = run(m.toVcl, stored, vclSize);
      EXPECT_EQ(bcdText(read), u"-1234.5");
      EXPECT_EQ(read[0], 10);
      EXPECT_EQ(read[1] & 0x3F, 2);
      continue;
    }
    EXPECT_EQ(prefix(run(m.toVcl, r.vadur, vclSize), r.vcl.size()), r.vcl);
    const Bytes& vclIn = r.vclIn.empty() ? r.vcl : r.vclIn;
    const Bytes& vadurOut = r.vadurOut.empty() ? r.vadur : r.vadurOut;
    if (r.readOnly) {
      EXPECT_THROW(run(m.toVadur, vclIn, vadurSize), EnxDatabaseError);
    } else {
      EXPECT_EQ(prefix(run(m.toVadur, vclIn, vadurSize), vadurOut.size()), vadurOut);
    }
  }
}

TEST_F(ConversionTypes, BooleanReadsAnyNonZeroByteAsTrueAndStoresFalseAsZero) {
  FieldPtr field = makeField(nxtBoolean);
  Mapper m = mapperFor(*field);
  EXPECT_EQ(run(m.toVcl, {0}, 2), bytesOf<std::uint16_t>(0));
  EXPECT_EQ(run(m.toVcl, {1}, 2), bytesOf<std::uint16_t>(0xFFFF));
  EXPECT_EQ(run(m.toVadur, bytesOf<std::uint16_t>(0), 1), Bytes{0});
  EXPECT_EQ(run(m.toVadur, bytesOf<std::uint16_t>(0xFFFF), 1), Bytes{0xFF});
}

TEST_F(ConversionTypes, ClassBoundMappersMakeNoObjectAndTheOthersOne) {
  for (int t = 0; t < nxFieldTypeCount; ++t) {
    const auto type = static_cast<TnxFieldType>(t);
    FieldPtr field = makeField(type, 4, 0);
    Mapper m = mapperFor(*field);
    const bool instantiated = type == nxtBCD || type == nxtFmtBCD || type == nxtByteArray ||
                              type == nxtShortString || type == nxtNullString || type == nxtWideString;
    EXPECT_EQ(m.object.get() != nullptr, instantiated) << t;
    EXPECT_EQ(m.toVcl.Data, instantiated ? static_cast<const void*>(m.object.get())
                                         : static_cast<const void*>(nxVclMapperClassForVadurType(type)))
        << t;
  }
}

// ---------------------------------------------------------------------------
// Currency

TEST_F(ConversionTypes, CurrencyRoundsToTenThousandths) {
  struct Case {
    double value;
    std::int64_t stored;
  };
  const Case cases[] = {{2.5, 25000}, {0.00006, 1}, {-0.00006, -1}, {-2.5, -25000}, {1e14, 1000000000000000000}};
  FieldPtr field = makeField(nxtCurrency);
  Mapper m = mapperFor(*field);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(run(m.toVadur, bytesOf(c.value), 8), bytesOf(c.stored));
  }
  EXPECT_EQ(run(m.toVcl, bytesOf<std::int64_t>(1), 8), bytesOf(0.0001));
  EXPECT_EQ(run(m.toVcl, bytesOf<std::int64_t>(-25000), 8), bytesOf(-2.5));
}

TEST_F(ConversionTypes, CurrencyOutsideItsRangeIsTheBcdOverflowAndStoresNothing) {
  const double cases[] = {1e15, -1e15, 922337203685477.6, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  FieldPtr field = makeField(nxtCurrency);
  Mapper m = mapperFor(*field);
  for (const double value : cases) {
    SCOPED_TRACE(value);
    try {
      run(m.toVadur, bytesOf(value), 8);
      ADD_FAILURE() << "stored";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 9985);
    }
    Bytes buffer(8, kFill);
    const Bytes in = bytesOf(value);
    EXPECT_THROW(m.toVadur(in.data(), buffer.data()), EnxBaseException);
    EXPECT_EQ(buffer, Bytes(8, kFill));
  }
}

// ---------------------------------------------------------------------------
// BCD and FmtBCD

TEST_F(ConversionTypes, BcdMapperTakesItsPrecisionAndScaleFromTheField) {
  struct Case {
    std::int32_t units, decPl, precision, decimals;
    bool normalize;
  };
  const Case cases[] = {{0, 0, 20, 4, false}, {0, 2, 18, 2, true}, {0, 7, 20, 4, false}, {0, -1, 20, 4, false},
                        {10, 2, 10, 2, true}, {20, 4, 20, 4, false}, {12, 0, 12, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.units << "/" << c.decPl);
    FieldPtr field = makeField(nxtBCD);
    field->fdUnits = c.units;
    field->fdDecPl = c.decPl;
    Mapper m = mapperFor(*field);
    const auto* bcdMapper = platform::objectAs<TnxBcdVclFieldMapper>(m.object.get());
    ASSERT_NE(bcdMapper, nullptr);
    EXPECT_EQ(bcdMapper->bcdfmPrecision, c.precision);
    EXPECT_EQ(bcdMapper->bcdfmDecimals, c.decimals);
    EXPECT_EQ(bcdMapper->bcdfmNeedNormalize, c.normalize);
  }
}

TEST_F(ConversionTypes, BcdNormalisingDropsFractionDigits) {
  FieldPtr field = makeField(nxtBCD);
  field->fdUnits = 0;
  field->fdDecPl = 2;
  Mapper m = mapperFor(*field);
  EXPECT_EQ(run(m.toVadur, bcd(u"1.239"), 8), bytesOf<std::int64_t>(12300));
  EXPECT_EQ(run(m.toVadur, bcd(u"-1.239"), 8), bytesOf<std::int64_t>(-12300));
  EXPECT_EQ(bcdText(run(m.toVcl, bytesOf<std::int64_t>(12300), 34)), u"1.23");
}

// A value beyond the currency range: with precision 20/4 nothing is
// normalised, so only the currency conversion can refuse it; with a
// narrower precision the normalising refuses surplus integer digits.
TEST_F(ConversionTypes, BcdBeyondTheFieldIsTheBcdOverflowAndStoresNothing) {
  struct Case {
    std::int32_t units, decPl;
    const char16_t* value;
  };
  const Case cases[] = {{0, 0, u"1000000000000000"},
                        {0, 0, u"-922337203685477.5809"},
                        {0, 0, u"99999999999999999999999999999999"},
                        {0, 2, u"100000000000000000"},
                        {10, 2, u"123456789"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.units << "/" << c.decPl << " " << platform::toUtf8(c.value));
    FieldPtr field = makeField(nxtBCD);
    field->fdUnits = c.units;
    field->fdDecPl = c.decPl;
    Mapper m = mapperFor(*field);
    const Bytes in = bcd(c.value);
    Bytes buffer(8, kFill);
    try {
      m.toVadur(in.data(), buffer.data());
      ADD_FAILURE() << "stored";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 9985);
    }
    EXPECT_EQ(buffer, Bytes(8, kFill));
  }
  // The edges of the range still store.
  FieldPtr field = makeField(nxtBCD);
  field->fdUnits = 0;
  field->fdDecPl = 0;
  Mapper m = mapperFor(*field);
  EXPECT_EQ(run(m.toVadur, bcd(u"-922337203685477.5808"), 8), bytesOf(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(run(m.toVadur, bcd(u"922337203685477.5807"), 8), bytesOf(std::numeric_limits<std::int64_t>::max()));
}

TEST_F(ConversionTypes, FmtBcdAlwaysNormalisesAndStoresItsLengthOnly) {
  FieldPtr field = makeField(nxtFmtBCD, 5, 2);
  ASSERT_EQ(field->fdLength, 5);
  Mapper m = mapperFor(*field);
  const Bytes stored = run(m.toVadur, bcd(u"123.456"), 8);
  EXPECT_EQ(Bytes(stored.begin() + 5, stored.end()), Bytes(3, kFill)) << "beyond the field";
  const Bytes read = run(m.toVcl, stored, 34);
  EXPECT_EQ(bcdText(read), u"123.45");
  EXPECT_EQ(Bytes(read.begin() + 5, read.end()), Bytes(29, 0)) << "the rest of the packed decimal is zero";

  Bytes buffer(5, kFill);
  const Bytes tooBig = bcd(u"1234.5");
  try {
    m.toVadur(tooBig.data(), buffer.data());
    ADD_FAILURE() << "stored";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 9985);
  }
  EXPECT_EQ(buffer, Bytes(5, kFill));
}

// ---------------------------------------------------------------------------
// GUID and read-only fields

TEST_F(ConversionTypes, GuidTextInEitherCaseParsesAndReadsBackInUpperCase) {
  FieldPtr field = makeField(nxtGuid);
  Mapper m = mapperFor(*field);
  const Bytes lower = run(m.toVadur, text("{12345678-9abc-def0-0123-456789abcdef}"), 16);
  const Bytes upper = run(m.toVadur, text("{12345678-9ABC-DEF0-0123-456789ABCDEF}"), 16);
  EXPECT_EQ(lower, kGuidBytes);
  EXPECT_EQ(upper, kGuidBytes);
  EXPECT_EQ(run(m.toVcl, lower, 39), text("{12345678-9ABC-DEF0-0123-456789ABCDEF}"));
  for (int i = 0; i < 20; ++i) {  // the engine's own text of any GUID
    const platform::Guid g = platform::newGuid();
    EXPECT_EQ(run(m.toVcl, bytesOf(g), 39), text(nxGUIDToAnsiStr(g).bytes));
    EXPECT_EQ(run(m.toVadur, text(nxGUIDToAnsiStr(g).bytes), 16), bytesOf(g));
  }

  for (const char* bad : {"", "{12345678-9ABC-DEF0-0123-456789ABCDEG}", "12345678-9ABC-DEF0-0123-456789ABCDEF",
                          "{12345678-9ABC-DEF0-0123-456789ABCDE}"}) {
    SCOPED_TRACE(bad);
    const Bytes in = text(bad);
    Bytes buffer(16, kFill);
    EXPECT_THROW(m.toVadur(in.data(), buffer.data()), platform::ConvertError);
    EXPECT_EQ(buffer, Bytes(16, kFill));
  }
}

TEST_F(ConversionTypes, RefNrAndRecRevWritesAreRefusedAndStoreNothing) {
  struct Case {
    TnxFieldType type;
    const char16_t* message;
  };
  const Case cases[] = {{nxtRefNr, u"RefNr fields are read-only [$2906/10502]"},
                        {nxtRecRev, u"RecRev fields are read-only [$2906/10502]"}};
  for (const Case& c : cases) {
    FieldPtr field = makeField(c.type);
    Mapper m = mapperFor(*field);
    const Bytes in = bytesOf<std::int64_t>(5);
    Bytes buffer(8, kFill);
    try {
      m.toVadur(in.data(), buffer.data());
      ADD_FAILURE() << "stored";
    } catch (const EnxDatabaseError& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.ErrorCode(), nxErrReadOnlyField);
    }
    EXPECT_EQ(buffer, Bytes(8, kFill));
  }
}

// ---------------------------------------------------------------------------
// Registries

TEST_F(ConversionTypes, FrameworkRegistryHoldsTheListedTypesOnly) {
  using namespace platform;
  struct Entry {
    TFieldType type;
    const char* mapperClass;
  };
  const Entry listed[] = {
      {ftBoolean, "TnxBooleanVclFieldMapper"},     {ftByte, "TnxByte8VclFieldMapper"},
      {ftWord, "TnxWord16VclFieldMapper"},         {ftLongWord, "TnxWord32VclFieldMapper"},
      {ftShortint, "TnxInt8VclFieldMapper"},       {ftSmallint, "TnxInt16VclFieldMapper"},
      {ftInteger, "TnxInt32VclFieldMapper"},       {ftLargeint, "TnxInt64VclFieldMapper"},
      {ftAutoInc, "TnxAutoIncVclFieldMapper"},     {ftFloat, "TnxDoubleVclFieldMapper"},
      {ftExtended, "TnxExtendedVclFieldMapper"},   {ftCurrency, "TnxCurrencyVclFieldMapper"},
      {ftBCD, "TnxBcdVclFieldMapper"},             {ftFMTBcd, "TnxFmtBcdVclFieldMapper"},
      {ftDate, "TnxDateVclFieldMapper"},           {ftTime, "TnxTimeVclFieldMapper"},
      {ftDateTime, "TnxDateTimeVclFieldMapper"},   {ftTimeStamp, "TnxDateTimeVclFieldMapper"},
      {ftBlob, "TnxBlobVclFieldMapper"},           {ftFmtMemo, "TnxBlobVclFieldMapper"},
      {ftParadoxOle, "TnxBlobVclFieldMapper"},     {ftDBaseOle, "TnxBlobVclFieldMapper"},
      {ftTypedBinary, "TnxBlobVclFieldMapper"},    {ftMemo, "TnxMemoVclFieldMapper"},
      {ftWideMemo, "TnxWideMemoVclFieldMapper"},   {ftGraphic, "TnxGraphicVclFieldMapper"},
      {ftBytes, "TnxByteArrayVclFieldMapper"},     {ftString, "TnxNullStringVclFieldMapper"},
      {ftFixedChar, "TnxNullStringVclFieldMapper"}, {ftWideString, "TnxWideStringVclFieldMapper"},
      {ftGuid, "TnxGuidVclFieldMapper"},
  };
  std::vector<const char*> expected(kFieldTypeCount, nullptr);
  for (const Entry& e : listed) expected[e.type] = e.mapperClass;
  for (int t = 0; t < kFieldTypeCount; ++t) {
    const ClassInfo* cls = nxVclMapperClassForVclType(static_cast<TFieldType>(t));
    if (expected[t])
      EXPECT_TRUE(cls && cls->name == expected[t]) << t;
    else
      EXPECT_EQ(cls, nullptr) << t;
  }
}

TEST_F(ConversionTypes, FinalisationEmptiesBothRegistriesAfterTheLastUser) {
  nxdbConversionInitialize();  // a second user
  nxdbConversionFinalize();
  EXPECT_NE(nxVclMapperClassForVadurType(nxtInt32), nullptr);
  nxdbConversionFinalize();
  for (int t = 0; t < nxFieldTypeCount; ++t)
    EXPECT_EQ(nxVclMapperClassForVadurType(static_cast<TnxFieldType>(t)), nullptr);
  for (int t = 0; t < platform::kFieldTypeCount; ++t)
    EXPECT_EQ(nxVclMapperClassForVclType(static_cast<TFieldType>(t)), nullptr);
  // Without registries every operation is neutral.
  FieldPtr field = makeField(nxtInt32);
  Mapper m = mapperFor(*field);
  EXPECT_FALSE(m.toVcl.Assigned());
  EXPECT_EQ(TnxBaseVclFieldMapper::MapVadurToParamType(nxtInt32), platform::ftUnknown);
  nxdbConversionInitialize();  // for TearDown
}

}  // namespace
