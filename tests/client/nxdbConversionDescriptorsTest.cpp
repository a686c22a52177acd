#include <gtest/gtest.h>

#include <string>

#include "nxdbBase.h"
#include "nxdbConversion.h"
#include "nxdbConversionTestSupport.h"
#include "plDbParams.h"

using namespace convtest;
using platform::TFieldType;

namespace {

class ConversionDescriptors : public ConversionTest {};

struct VclDescription {
  TFieldType type;
  std::uint16_t size;
  platform::TFieldAttributes attributes;
};
VclDescription describe(TnxFieldDescriptor& aField) {
  VclDescription d;
  TnxBaseVclFieldMapper::MapVadurDescriptorToVcl(aField, d.type, d.size, d.attributes);
  return d;
}

TEST_F(ConversionDescriptors, FieldWithoutClientAccessGetsNoMapperAndAHiddenReadOnlyDefinition) {
  for (TnxFieldType type : {nxtInt32, nxtNullString, nxtBCD}) {
    SCOPED_TRACE(int{type});
    FieldPtr field = makeField(type, 10, 2);
    field->fdNoClientAccess = true;
    Mapper m = mapperFor(*field);
    EXPECT_EQ(m.object.get(), nullptr);
    EXPECT_FALSE(m.toVcl.Assigned());
    EXPECT_FALSE(m.toVadur.Assigned());
    const VclDescription d = describe(*field);
    EXPECT_NE(d.type, platform::ftUnknown);
    EXPECT_TRUE(d.attributes.contains(platform::faHiddenCol));
    EXPECT_TRUE(d.attributes.contains(platform::faReadonly));
  }
}

TEST_F(ConversionDescriptors, DefinitionAttributesFollowTheField) {
  struct Case {
    TnxFieldType type;
    std::int32_t units, decPl;
    bool required;
    platform::TFieldAttributes attributes;
  };
  using namespace platform;
  const Case cases[] = {
      {nxtInt32, 0, 0, true, {faRequired}},
      {nxtRefNr, 0, 0, false, {faReadonly}},
      {nxtRecRev, 0, 0, false, {faReadonly}},
      {nxtShortString, 8, 0, false, {}},
      {nxtShortString, 8, 8, false, {faFixed}},
      {nxtNullString, 8, 1, true, {faFixed, faRequired}},
      {nxtWideString, 8, 8, false, {faFixed}},
      {nxtByteArray, 8, 0, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.type});
    FieldPtr field = makeField(c.type, c.units, c.decPl);
    field->fdRequired = c.required;
    EXPECT_EQ(describe(*field).attributes, c.attributes);
  }
  FieldPtr outOfRange = makeField(nxtInt32);
  outOfRange->fdType = static_cast<TnxFieldType>(40);
  EXPECT_EQ(describe(*outOfRange).type, ftUnknown);
  EXPECT_EQ(TnxBaseVclFieldMapper::MapVadurToParamType(static_cast<TnxFieldType>(40)), ftUnknown);
}

TEST_F(ConversionDescriptors, FieldDefinitionsAddEngineFields) {
  using namespace platform;
  struct Case {
    TFieldType defType;
    int size, precision;
    TFieldAttributes attributes;
    bool added;
    TnxFieldType type;
    std::int32_t units, decPl;
  };
  const Case cases[] = {
      {ftInteger, 0, 0, {}, true, nxtInt32, 10, 0},
      {ftString, 20, 0, {}, true, nxtNullString, 20, 0},
      {ftFixedChar, 10, 0, {}, true, nxtNullString, 10, 10},
      {ftString, 6, 0, {faFixed}, true, nxtNullString, 6, 6},
      {ftWideString, 8, 0, {faFixed}, true, nxtWideString, 8, 8},
      {ftWideString, 8, 0, {}, true, nxtWideString, 8, 0},
      // BCD definitions: precision is the units, size the decimals.
      {ftBCD, 2, 10, {}, true, nxtBCD, 10, 2},
      {ftFMTBcd, 3, 12, {}, true, nxtFmtBCD, 12, 3},
      {ftBytes, 6, 0, {}, true, nxtByteArray, 6, 0},
      {ftGuid, 38, 0, {}, true, nxtGuid, 0, 0},
      {ftTimeStamp, 0, 0, {}, true, nxtDateTime, 0, 0},
      {ftFloat, 0, 0, {}, true, nxtDouble, 0, 0},
      {ftTypedBinary, 0, 0, {}, true, nxtBlob, 0, 0},
      {ftSingle, 0, 0, {}, false, nxtBoolean, 0, 0},
      {ftVarBytes, 10, 0, {}, false, nxtBoolean, 0, 0},
      {ftFixedWideChar, 10, 0, {}, false, nxtBoolean, 0, 0},
  };
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  TnxFieldsDescriptor& fields = *dict->FieldsDescriptor();
  TFieldDefs defs;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.defType});
    TFieldDef& def = defs.Add(u"F" + platform::fromUtf8(std::to_string(n++)), c.defType, c.size, c.defType == ftBCD);
    def.SetPrecision(c.precision);
    if (!c.attributes.empty()) def.SetAttributes(c.attributes);
    const std::int32_t before = fields.FieldCount();
    TnxFieldDescriptor* field = TnxBaseVclFieldMapper::AddDescriptorForFieldDef(fields, def);
    if (!c.added) {
      EXPECT_EQ(field, nullptr);
      EXPECT_EQ(fields.FieldCount(), before);
      continue;
    }
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(fields.FieldCount(), before + 1);
    EXPECT_EQ(field->fdName, def.Name());
    EXPECT_EQ(field->fdType, c.type);
    EXPECT_EQ(field->fdUnits, c.units);
    EXPECT_EQ(field->fdDecPl, c.decPl);
    EXPECT_EQ(field->fdRequired, def.Required());
  }
}

TEST_F(ConversionDescriptors, ParameterTypesAndSizesMapToEngineTypes) {
  using namespace platform;
  struct Case {
    TFieldType paramType;
    std::int32_t size;
    TnxFieldType type;  // nxtRefNr: left untouched
    std::uint32_t vadurSize;
  };
  const Case cases[] = {
      {ftWideString, 10, nxtWideString, 12},  // 10 div 2 units
      {ftString, 11, nxtNullString, 11},      // 10 units and the terminator
      {ftFixedChar, 5, nxtNullString, 5},
      {ftBytes, 7, nxtByteArray, 7},
      {ftInteger, 99, nxtInt32, 4},
      {ftLargeint, 8, nxtInt64, 8},
      {ftBCD, 34, nxtBCD, 8},
      {ftFMTBcd, 34, nxtFmtBCD, 3},
      {ftGuid, 16, nxtGuid, 16},
      {ftCurrency, 8, nxtCurrency, 8},
      {ftVarBytes, 5, nxtRefNr, 0},
      {ftSingle, 4, nxtRefNr, 0},
      {ftUnknown, 0, nxtRefNr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.paramType});
    TnxFieldType type = nxtRefNr;
    std::uint32_t size = 99;
    TnxBaseVclFieldMapper::MapParamTypeAndSizeToVadur(c.paramType, c.size, type, size);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.vadurSize);
  }
}

// ---------------------------------------------------------------------------
// Parameters

TnxSqlParamDesc convert(const platform::TParam& aParam) {
  TnxSqlParamDesc desc{};
  desc.piDataType = nxtRefNr;
  desc.piData = {1, 2, 3};
  nxMapParamToSqlParamDesc(aParam, desc);
  return desc;
}

TEST_F(ConversionDescriptors, ParametersBecomeStorageForms) {
  using namespace platform;
  TParams params;
  TParam& wide = params.CreateParam(ftWideString, u"W", ptInput);
  wide.SetAsWideString(u"0123456789");
  TnxSqlParamDesc d = convert(wide);
  EXPECT_EQ(d.piDataType, nxtWideString);
  EXPECT_EQ(d.piData, wtext(u"0123456789"));

  TParam& str = params.CreateParam(ftString, u"S", ptInput);
  str.SetAsString(u"abc");
  d = convert(str);
  EXPECT_EQ(d.piDataType, nxtNullString);
  EXPECT_EQ(d.piData, text("abc"));

  TParam& number = params.CreateParam(ftInteger, u"I", ptInput);
  number.SetAsInteger(-5);
  d = convert(number);
  EXPECT_EQ(d.piDataType, nxtInt32);
  EXPECT_EQ(d.piData, bytesOf<std::int32_t>(-5));

  // Longer than any field: the parameter's size decides no refusal.
  TParam& longText = params.CreateParam(ftString, u"L", ptInput);
  longText.SetAsString(UnicodeString(70000, u'x'));
  d = convert(longText);
  EXPECT_EQ(d.piDataType, nxtNullString);
  EXPECT_EQ(d.piData.size(), 70001u);

  TParam& null = params.CreateParam(ftInteger, u"N", ptInput);
  d = convert(null);
  EXPECT_EQ(d.piDataType, nxtInt32);
  EXPECT_TRUE(d.piData.empty());
}

TEST_F(ConversionDescriptors, BcdParametersTakeTheirDefaultPrecisionWhenUnset) {
  using namespace platform;
  TParams params;
  TParam& p = params.CreateParam(ftBCD, u"B", ptInput);
  TnxFmtBcd value;
  nxStrToBcd(u"123456789012345.1234", value, u'.');
  FmtBcd framework;
  std::memcpy(static_cast<void*>(&framework), &value, sizeof value);
  p.SetValue(Variant(framework));
  p.SetDataType(ftBCD);
  TnxSqlParamDesc d = convert(p);
  EXPECT_EQ(d.piDataType, nxtBCD);
  EXPECT_EQ(d.piData, bytesOf<std::int64_t>(1234567890123451234));  // 20/4 keeps every digit
  p.SetPrecision(18);
  p.SetNumericScale(2);
  EXPECT_EQ(convert(p).piData, bytesOf<std::int64_t>(1234567890123451200));

  TParam& f = params.CreateParam(ftFMTBcd, u"F", ptInput);
  nxStrToBcd(u"1.5", value, u'.');
  std::memcpy(static_cast<void*>(&framework), &value, sizeof value);
  f.SetAsFMTBCD(framework);
  d = convert(f);
  EXPECT_EQ(d.piDataType, nxtFmtBCD);
  ASSERT_EQ(d.piData.size(), 34u);  // (64 + 1) div 2 + 2
  EXPECT_EQ(d.piData[0], 64);
  EXPECT_EQ(d.piData[1] & 0x3F, 24);
  EXPECT_EQ(bcdText(d.piData), u"1.5");
}

TEST_F(ConversionDescriptors, BlobParametersCopyTheirBytes) {
  using namespace platform;
  TParams params;
  TParam& bytes = params.CreateParam(ftBlob, u"B", ptInput);
  bytes.SetAsBlob({1, 0, 255});
  TnxSqlParamDesc d = convert(bytes);
  EXPECT_EQ(d.piDataType, nxtBlob);
  EXPECT_EQ(d.piData, (Bytes{1, 0, 255}));

  TParam& elements = params.CreateParam(ftGraphic, u"G", ptInput);
  Variant array = Variant::createArray(1, 3, varVariant);
  array.arrayPut(1, Variant(4));
  array.arrayPut(2, Variant(5));
  array.arrayPut(3, Variant(6));
  elements.SetValue(array);
  elements.SetDataType(ftGraphic);
  d = convert(elements);
  EXPECT_EQ(d.piDataType, nxtBlobGraphic);
  EXPECT_EQ(d.piData, (Bytes{4, 5, 6}));
}

// A framework type without a mapper class: NULL passes, a value is refused
// instead of being sent as a Boolean.
TEST_F(ConversionDescriptors, ParameterTypeWithoutAClassIsRefusedUnlessNull) {
  using namespace platform;
  TParams params;
  TParam& p = params.CreateParam(ftVarBytes, u"P", ptInput);
  TnxSqlParamDesc d = convert(p);
  EXPECT_EQ(d.piDataType, nxtBoolean);
  EXPECT_TRUE(d.piData.empty());

  p.SetValue(Variant(7));
  p.SetDataType(ftVarBytes);
  try {
    convert(p);
    ADD_FAILURE() << "converted";
  } catch (const EnxDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Invalid value for param 'P' [no error code]");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
}

}  // namespace
