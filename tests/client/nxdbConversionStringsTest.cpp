#include <gtest/gtest.h>

#include <string>

#include "nxdbBase.h"
#include "nxdbConversion.h"
#include "nxdbConversionTestSupport.h"
#include "plDbFields.h"

using namespace convtest;

namespace {

// "日本語" in Shift-JIS (932) and in UTF-8.
const std::string kSjis = "\x93\xFA\x96\x7B\x8C\xEA";
const std::string kUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";

using StringFieldPtr = TnxOwned<platform::TStringField>;

StringFieldPtr stringField(bool aTransliterate) {
  StringFieldPtr field(platform::create<platform::TStringField>(nullptr));
  field->SetTransliterate(aTransliterate);
  return field;
}

const TnxBaseStringVclFieldMapper& stringMapper(const Mapper& aMapper) {
  const auto* mapper = platform::objectAs<TnxBaseStringVclFieldMapper>(aMapper.object.get());
  EXPECT_NE(mapper, nullptr);
  return *mapper;
}

// Short or null-terminated string in its stored form.
Bytes stored(TnxFieldType aType, const std::string& aText) {
  return aType == nxtShortString ? shortText(aText) : text(aText);
}

class ConversionStrings : public ConversionTest {};

TEST_F(ConversionStrings, PaddedShortStringsAreCutAtTheFillWidth) {
  FieldPtr field = makeField(nxtShortString, 5, 0);
  field->fdDecPl = 3;  // a fill width below the units
  Mapper m = mapperFor(*field);
  EXPECT_EQ(prefix(run(m.toVcl, shortText("abcde"), 6), 4), text("abc"));
  EXPECT_EQ(prefix(run(m.toVcl, shortText("a"), 6), 4), text("a  "));
  EXPECT_EQ(prefix(run(m.toVadur, text("ab   "), 6), 3), shortText("ab"));
  EXPECT_EQ(prefix(run(m.toVadur, text("abcdefgh"), 6), 6), shortText("abcde"));
}

// A damaged record: a length byte beyond the units or a text without its
// terminator never reads past the field or writes past the framework buffer.
TEST_F(ConversionStrings, StoredLengthsNeverReachBeyondTheField) {
  FieldPtr shortField = makeField(nxtShortString, 3, 0);
  Mapper s = mapperFor(*shortField);
  EXPECT_EQ(run(s.toVcl, Bytes{200, 'a', 'b', 'c'}, 4), text("abc"));
  FieldPtr nullField = makeField(nxtNullString, 3, 0);
  Mapper n = mapperFor(*nullField);
  EXPECT_EQ(run(n.toVcl, Bytes{'a', 'b', 'c', 'd'}, 4), text("abc"));
  FieldPtr wideField = makeField(nxtWideString, 2, 0);
  Mapper w = mapperFor(*wideField);
  EXPECT_EQ(run(w.toVcl, Bytes{'a', 0, 'b', 0, 'c', 0}, 6), wtext(u"ab"));
}

// A ftFixedChar definition: a null-terminated field whose fill width is its
// length; blanks are added on reading and dropped on writing.
TEST_F(ConversionStrings, FixedCharDefinitionMakesAPaddedNullString) {
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  platform::TFieldDefs defs;
  const platform::TFieldDef& def = defs.Add(u"CODE", platform::ftFixedChar, 10);
  TnxFieldDescriptor* field = TnxBaseVclFieldMapper::AddDescriptorForFieldDef(*dict->FieldsDescriptor(), def);
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->fdType, nxtNullString);
  EXPECT_EQ(field->fdUnits, 10);
  EXPECT_EQ(field->fdDecPl, 10);

  platform::TFieldType type;
  std::uint16_t size;
  platform::TFieldAttributes attributes;
  TnxBaseVclFieldMapper::MapVadurDescriptorToVcl(*field, type, size, attributes);
  EXPECT_EQ(type, platform::ftString);
  EXPECT_EQ(size, 10);
  EXPECT_TRUE(attributes.contains(platform::faFixed));

  Mapper m = mapperFor(*field);
  EXPECT_EQ(run(m.toVcl, text("ab"), 11), text("ab        "));
  EXPECT_EQ(prefix(run(m.toVadur, text("ab   "), 11), 3), text("ab"));
  EXPECT_EQ(prefix(run(m.toVadur, text("   "), 11), 1), text(""));
}

TEST_F(ConversionStrings, PaddedWideStringsFillAndTrimBlanks) {
  FieldPtr field = makeField(nxtWideString, 4, 4);
  Mapper m = mapperFor(*field);
  EXPECT_EQ(run(m.toVcl, wtext(u"ab"), 10), wtext(u"ab  "));
  EXPECT_EQ(prefix(run(m.toVadur, wtext(u"ab  "), 10), 6), wtext(u"ab"));
}

// Storage code page 65001, client 932: the text is translated both ways
// while the bound field transliterates, and its bytes pass when it does not.
TEST_F(ConversionStrings, TranslatedStringsFollowTheBoundFieldsTransliterate) {
  struct Case {
    TnxFieldType type;
    bool padded;
  };
  const Case cases[] = {{nxtShortString, false}, {nxtShortString, true}, {nxtNullString, false},
                        {nxtNullString, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.type} << (c.padded ? " padded" : ""));
    FieldPtr field = makeField(c.type, 10, c.padded ? 10 : 0, 65001);
    Mapper m = mapperFor(*field);
    ASSERT_TRUE(stringMapper(m).Translating());
    const std::size_t vadurSize = static_cast<std::size_t>(field->fdLength);
    const std::string blanks = c.padded ? "    " : "";

    StringFieldPtr on = stringField(true);
    m.object->Bind(on.get());
    EXPECT_EQ(prefix(run(m.toVcl, stored(c.type, kUtf8), 11), kSjis.size() + blanks.size() + 1),
              text(kSjis + blanks));
    EXPECT_EQ(prefix(run(m.toVadur, text(kSjis + blanks), vadurSize), stored(c.type, kUtf8).size()),
              stored(c.type, kUtf8));
    EXPECT_EQ(prefix(run(m.toVcl, stored(c.type, ""), 11), c.padded ? 11 : 1), text(c.padded ? "          " : ""));

    StringFieldPtr off = stringField(false);
    m.object->Bind(off.get());
    const Bytes passed = text(kUtf8 + (c.padded ? " " : ""));
    EXPECT_EQ(prefix(run(m.toVcl, stored(c.type, kUtf8), 11), passed.size()), passed);
    EXPECT_EQ(prefix(run(m.toVadur, text(kSjis), vadurSize), stored(c.type, kSjis).size()), stored(c.type, kSjis));
  }
}

TEST_F(ConversionStrings, OnlyStringFieldsAreBound) {
  FieldPtr field = makeField(nxtNullString, 10, 0, 65001);
  Mapper m = mapperFor(*field);
  TnxOwned<platform::TIntegerField> number(platform::create<platform::TIntegerField>(nullptr));
  m.object->Bind(number.get());
  EXPECT_EQ(stringMapper(m).bsvfmField, nullptr);
  StringFieldPtr str = stringField(true);
  m.object->Bind(str.get());
  EXPECT_EQ(stringMapper(m).bsvfmField, str.get());
}

// "日本" takes 4 bytes in 932 and 6 in UTF-8: it does not fit 4 units.
TEST_F(ConversionStrings, TextThatOutgrowsItsFieldAfterTranslationIsRefused) {
  for (TnxFieldType type : {nxtShortString, nxtNullString}) {
    for (std::int32_t decPl : {0, 4}) {
      SCOPED_TRACE(testing::Message() << int{type} << "/" << decPl);
      FieldPtr field = makeField(type, 4, decPl, 65001);
      Mapper m = mapperFor(*field);
      StringFieldPtr on = stringField(true);
      m.object->Bind(on.get());
      const Bytes in = text(kSjis.substr(0, 4));
      Bytes buffer(static_cast<std::size_t>(field->fdLength), kFill);
      try {
        m.toVadur(in.data(), buffer.data());
        ADD_FAILURE() << "stored";
      } catch (const EnxDatabaseError& e) {
        EXPECT_EQ(e.Message(), u"Insufficient field size after translation into storage codepage [no error code]");
        EXPECT_EQ(e.ErrorCode(), 0);
      }
    }
  }
}

// Stored in 932, shown in UTF-8: the text needs more bytes than the
// framework buffer holds.
TEST_F(ConversionStrings, StoredTextThatOutgrowsTheFrameworkBufferIsAnOsError) {
  platform::setAnsiCodePage(65001);
  FieldPtr field = makeField(nxtNullString, 4, 0, 932);
  Mapper m = mapperFor(*field);
  StringFieldPtr on = stringField(true);
  m.object->Bind(on.get());
  try {
    run(m.toVcl, text(kSjis.substr(0, 4)), 5);
    ADD_FAILURE() << "converted";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047);
    EXPECT_NE(e.Message().find(u"[unknown]"), nxString::npos) << platform::toUtf8(e.Message());
  }
}

// The choice between translating and plain methods: storage code page
// against the client code page when the mapper is handed out.
TEST_F(ConversionStrings, EqualCodePagesChooseThePlainMethods) {
  struct Case {
    std::uint16_t client;
    std::uint16_t storage;
    bool translating;
  };
  const Case cases[] = {{932, 932, false}, {932, 0, false}, {932, 65001, true},
                        {65001, 65001, false}, {65001, 932, true}, {1252, 932, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.client << " " << c.storage);
    platform::setAnsiCodePage(c.client);
    FieldPtr field = makeField(nxtShortString, 10, 0, c.storage);
    Mapper m = mapperFor(*field);
    const auto* mapper = platform::objectAs<TnxShortStringVclFieldMapper>(m.object.get());
    ASSERT_NE(mapper, nullptr);
    EXPECT_EQ(mapper->Translating(), c.translating);
    const TnxVclMapperMethod plain =
        nxVclMapperMethodOf<TnxShortStringVclFieldMapper, &TnxShortStringVclFieldMapper::MapVadurDataToVcl>(mapper);
    const TnxVclMapperMethod translate =
        nxVclMapperMethodOf<TnxShortStringVclFieldMapper,
                            &TnxShortStringVclFieldMapper::MapVadurDataToVclTranslate>(mapper);
    EXPECT_EQ(m.toVcl.Code, c.translating ? translate.Code : plain.Code);
  }
}

// A text cut to the field's bytes keeps whole characters of the client
// code page: the unused byte stays zero.
TEST_F(ConversionStrings, CutsNeverSplitACharacter) {
  struct Case {
    const char* name;
    std::uint16_t client;
    TnxFieldType type;
    std::int32_t units;
    std::int32_t decPl;
    std::string in;
    Bytes out;
  };
  const Case cases[] = {
      // "ab日": the cut at 3 falls on the lead byte of 日.
      {"null", 932, nxtNullString, 3, 0, "ab\x93\xFA", {'a', 'b', 0, 0}},
      {"null padded", 932, nxtNullString, 3, 3, "ab\x93\xFA", {'a', 'b', 0, 0}},
      {"short", 932, nxtShortString, 3, 0, "ab\x93\xFA", {2, 'a', 'b'}},
      {"short padded", 932, nxtShortString, 3, 3, "ab\x93\xFA", {2, 'a', 'b'}},
      // "a亜亜": the trail byte 9F of 亜 is also a lead byte value.
      {"trail in lead range", 932, nxtNullString, 3, 0, "a\x88\x9F\x88\x9F", {'a', 0x88, 0x9F, 0}},
      {"whole character fits", 932, nxtNullString, 4, 0, "ab\x93\xFA" "c", {'a', 'b', 0x93, 0xFA, 0}},
      {"single byte", 1252, nxtNullString, 3, 0, "ab\x93\xFA", {'a', 'b', 0x93, 0}},
      {"utf-8", 65001, nxtNullString, 4, 0, "ab\xE6\x97\xA5", {'a', 'b', 0, 0, 0}},
      {"utf-8 short", 65001, nxtShortString, 4, 0, "ab\xE6\x97\xA5", {2, 'a', 'b'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::setAnsiCodePage(c.client);
    FieldPtr field = makeField(c.type, c.units, c.decPl);
    Mapper m = mapperFor(*field);
    const Bytes storedBytes = run(m.toVadur, text(c.in), static_cast<std::size_t>(field->fdLength));
    EXPECT_EQ(prefix(storedBytes, c.out.size()), c.out);
  }
}

TEST_F(ConversionStrings, WideStringCutsKeepSurrogatePairsWhole) {
  FieldPtr field = makeField(nxtWideString, 2, 0);
  Mapper m = mapperFor(*field);
  EXPECT_EQ(prefix(run(m.toVadur, wtext(u"a\U0001F600"), 6), 6), (Bytes{'a', 0, 0, 0, 0, 0}));
  EXPECT_EQ(prefix(run(m.toVadur, wtext(u"\U0001F600b"), 6), 6), (Bytes{0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
}

}  // namespace
