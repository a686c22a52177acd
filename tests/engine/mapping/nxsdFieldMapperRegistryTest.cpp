#include <map>
#include <set>
#include <string>

#include "nxllBde.h"
#include "nxllStreams.h"
#include "nxsdFieldMapperNumbers.h"
#include "nxsdFieldMapperTestSupport.h"

namespace {

using namespace fmtest;

// The matrix as a table of rows, written out independently of the code:
// N = the 15 numeric types, S = the strings, C = the characters.
const std::vector<TnxFieldType> N = {nxtBoolean, nxtByte,   nxtWord16,   nxtWord32,   nxtInt8,
                                     nxtInt16,   nxtInt32,  nxtInt64,    nxtAutoInc,  nxtRecRev,
                                     nxtSingle,  nxtDouble, nxtExtended, nxtCurrency, nxtBCD};
const std::vector<TnxFieldType> S = {nxtShortString, nxtNullString, nxtWideString};
const std::vector<TnxFieldType> C = {nxtChar, nxtWideChar};

std::vector<TnxFieldType> join(std::initializer_list<std::vector<TnxFieldType>> aParts) {
  std::vector<TnxFieldType> out;
  for (const auto& p : aParts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::map<std::pair<int, int>, std::string> expectedMatrix() {
  std::map<std::pair<int, int>, std::string> m;
  auto row = [&m](TnxFieldType aSource, const char* aClass, const std::vector<TnxFieldType>& aTargets) {
    for (TnxFieldType t : aTargets) m[{aSource, t}] = aClass;
  };
  const auto nscb = join({N, S, C, {nxtByteArray}});
  row(nxtBoolean, "TnxBooleanMapper", nscb);
  row(nxtChar, "TnxCharMapper", nscb);
  row(nxtWideChar, "TnxWideCharMapper", nscb);
  row(nxtByte, "TnxByte8Mapper", nscb);
  row(nxtWord16, "TnxWord16Mapper", nscb);
  row(nxtWord32, "TnxWord32Mapper", nscb);
  row(nxtInt8, "TnxInt8Mapper", nscb);
  row(nxtInt16, "TnxInt16Mapper", nscb);
  row(nxtInt32, "TnxInt32Mapper", nscb);
  row(nxtInt64, "TnxInt64Mapper", nscb);
  row(nxtAutoInc, "TnxWord32Mapper", nscb);
  row(nxtRecRev, "TnxWord32Mapper", nscb);
  row(nxtSingle, "TnxSingleMapper", nscb);
  row(nxtDouble, "TnxDoubleMapper", join({nscb, {nxtDateTime}}));
  row(nxtExtended, "TnxExtendedMapper", nscb);
  row(nxtCurrency, "TnxCurrencyMapper", nscb);
  row(nxtBCD, "TnxCurrencyMapper", nscb);
  row(nxtDate, "TnxDateMapper", join({S, {nxtDate, nxtTime, nxtDateTime, nxtByteArray}}));
  row(nxtTime, "TnxTimeMapper", join({S, {nxtDate, nxtTime, nxtDateTime, nxtByteArray}}));
  row(nxtDateTime, "TnxDateTimeMapper", join({S, {nxtDouble, nxtDate, nxtTime, nxtDateTime, nxtByteArray}}));
  row(nxtGuid, "TnxGuidMapper", join({S, {nxtByteArray, nxtGuid}}));
  row(nxtRefNr, "TnxInt64Mapper", join({S, {nxtInt64, nxtRefNr}}));
  const auto parsed = join({N, C, {nxtDate, nxtTime, nxtDateTime, nxtByteArray, nxtGuid}});
  row(nxtShortString, "TnxShortStringMapper", parsed);
  row(nxtNullString, "TnxNullStringMapper", parsed);
  row(nxtWideString, "TnxWideStringMapper", parsed);
  m[{nxtShortString, nxtShortString}] = "TnxShortStringToShortStringMapper";
  m[{nxtShortString, nxtNullString}] = "TnxShortStringToNullStringMapper";
  m[{nxtShortString, nxtWideString}] = "TnxAnsiStringToWideStringMapper";
  m[{nxtNullString, nxtNullString}] = "TnxNullStringToNullStringMapper";
  m[{nxtNullString, nxtShortString}] = "TnxNullStringToShortStringMapper";
  m[{nxtNullString, nxtWideString}] = "TnxAnsiStringToWideStringMapper";
  m[{nxtWideString, nxtShortString}] = "TnxWideStringToAnsiStringMapper";
  m[{nxtWideString, nxtNullString}] = "TnxWideStringToAnsiStringMapper";
  m[{nxtWideString, nxtWideString}] = "TnxWideStringToWideStringMapper";
  row(nxtByteArray, "TnxByteArrayMapper", join({S, {nxtByteArray, nxtGuid}}));
  const auto fmt = join({N, {nxtFmtBCD}});
  row(nxtFmtBCD, "TnxFmtBCDMapper", fmt);
  for (TnxFieldType t : fmt)
    if (t != nxtBoolean) m[{t, nxtFmtBCD}] = "TnxFmtBCDMapper";
  m.erase({nxtFmtBCD, nxtBoolean});
  return m;
}

using RegistryTest = MapperTest;

TEST_F(RegistryTest, EveryCellHoldsTheClassesOfTheMatrix) {
  const auto expected = expectedMatrix();
  std::size_t registrations = 0;
  for (int s = 0; s < nxFieldTypeCount; ++s) {
    for (int t = 0; t < nxFieldTypeCount; ++t) {
      const auto cell = nxFieldMapperCell(static_cast<TnxFieldType>(s), static_cast<TnxFieldType>(t));
      registrations += cell.size();
      const auto it = expected.find({s, t});
      SCOPED_TRACE(platform::toUtf8(nxString(nxFieldTypeNames[s])) + " -> " +
                   platform::toUtf8(nxString(nxFieldTypeNames[t])));
      if (it == expected.end()) {
        EXPECT_TRUE(cell.empty());
      } else {
        ASSERT_EQ(cell.size(), 1u);
        EXPECT_EQ(std::string(cell[0]->name), it->second);
      }
    }
  }
  // The value mappers' own registrations; the BLOB classes add theirs with
  // the mapper engines.
  EXPECT_EQ(registrations, 499u);
  EXPECT_EQ(expected.size(), 499u);
}

TEST_F(RegistryTest, PairsWithoutMapperFindNone) {
  const std::pair<F, F> pairs[] = {
      {{nxtInterval}, {nxtInt32}}, {{nxtInt32}, {nxtInterval}}, {{nxtDate}, {nxtInt32}},
      {{nxtGuid}, {nxtInt32}},     {{nxtBlob}, {nxtByteArray, 8}}, {{nxtRefNr}, {nxtInt32}},
      {{nxtInt64}, {nxtRefNr}},
  };
  for (const auto& [s, t] : pairs) {
    const Mapped m = mapOnce(s, i64(0), t, Best);
    EXPECT_FALSE(m.found) << static_cast<int>(s.type) << " -> " << static_cast<int>(t.type);
  }
}

TEST_F(RegistryTest, SameTypePairsCopyThroughTheirOwnClass) {
  checkRows({
      {"Boolean", {nxtBoolean}, u8(7), {nxtBoolean}, Fail, 0, u8(7)},
      {"Int32", {nxtInt32}, i32(-5), {nxtInt32}, Fail, 0, i32(-5)},
      {"Int64", {nxtInt64}, i64(1LL << 40), {nxtInt64}, Fail, 0, i64(1LL << 40)},
      {"Double", {nxtDouble}, f64(0.1), {nxtDouble}, Fail, 0, f64(0.1)},
      {"Date", {nxtDate}, i32(738521), {nxtDate}, Fail, 0, i32(738521)},
      {"Guid", {nxtGuid}, Bytes(16, 0xAB), {nxtGuid}, Fail, 0, Bytes(16, 0xAB)},
      {"RefNr", {nxtRefNr}, i64(-9), {nxtRefNr}, Fail, 0, i64(-9)},
  });
}

// A class that takes only targets of 7 units and more, registered into an
// occupied cell after start-up.
class TnxWideTargetMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static int asked;
  static TnxResult Mark(const void*, const void*, void* t) {
    std::memcpy(t, "WIDE", 4);
    return 0;
  }
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor&, TnxAbstractCursor*, TnxFieldDescriptor& aTarget,
                                                  TnxAbstractCursor*, const TnxFieldMapperDescriptor*,
                                                  TnxMappingMethod& aMapper) {
    ++asked;
    if (aTarget.fdUnits >= 7) aMapper = {Mark, &staticClassInfo()};
    return nullptr;
  }
};
int TnxWideTargetMapper::asked = 0;
PL_CLASS_INFO_IMPL_TABLE(TnxWideTargetMapper, TnxBaseFieldMapper, "TnxWideTargetMapper", nullptr,
                         platform::bindClassTable(nxFieldMapperFuncs<TnxWideTargetMapper>))

TEST_F(RegistryTest, ALaterClassIsAskedFirstAndTheEarlierOneWhenItDeclines) {
  RegisterFieldMapper(TnxWideTargetMapper::staticClassInfo(), nxtInt32, nxtNullString);
  TnxWideTargetMapper::asked = 0;
  const Mapped wide = mapOnce({nxtInt32}, i32(42), {nxtNullString, 8}, Fail);
  EXPECT_EQ(TnxWideTargetMapper::asked, 1);
  EXPECT_EQ(Bytes(wide.target.begin(), wide.target.begin() + 4), (Bytes{'W', 'I', 'D', 'E'}));
  const Mapped narrow = mapOnce({nxtInt32}, i32(42), {nxtNullString, 6}, Fail);
  EXPECT_EQ(TnxWideTargetMapper::asked, 2);
  EXPECT_EQ(narrow.result, 0);
  EXPECT_EQ(Bytes(narrow.target.begin(), narrow.target.begin() + 3), nstr("42"));
  UnregisterFieldMapper(TnxWideTargetMapper::staticClassInfo());
  EXPECT_EQ(nxFieldMapperCell(nxtInt32, nxtNullString).size(), 1u);
}

TEST_F(RegistryTest, ANilDescriptorChoosesTheCheckingRoutine) {
  EXPECT_EQ(mapOnce({nxtInt32}, i32(300), {nxtInt8}, NoDesc).result, nxErrInvalidFieldXform);
  EXPECT_EQ(mapOnce({nxtInt32}, i32(300), {nxtInt8}, Best).result, 0);
}

// ---------------------------------------------------------------- descriptors

Bytes written(TnxFieldMapperDescriptor& aDesc) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aDesc.WriteToWriter(w, 47501);
    w.FlushBuffer();
  }
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

TnxFieldMapperDescriptor* readBack(const Bytes& b) {
  TnxMemoryStream s;
  s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
  s.SetPosition(0);
  TnxReader r(s);
  return TnxFieldMapperDescriptor::CreateFromReader(r);
}

// Writes a stream by hand: class name, names, action, version, flag.
Bytes handStream(const char16_t* aClass, const char16_t* aAction, std::int32_t aVersion) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteIdent(aClass);
    w.WriteString(platform::UnicodeStringView(u"Src"));
    w.WriteString(platform::UnicodeStringView(u"Tgt"));
    w.WriteString(platform::UnicodeStringView(aAction));
    w.WriteInteger(aVersion);
    w.WriteBoolean(true);
    w.FlushBuffer();
  }
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

TEST_F(RegistryTest, DescriptorStreamsRoundTrip) {
  for (TnxDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
    for (bool applyDefault : {false, true}) {
      TnxOwned<TnxFieldMapperDescriptor> d(platform::create<TnxFieldMapperDescriptor>(u"Name", u"Ziel", action));
      EXPECT_FALSE(d->ApplyDefault());
      d->SetApplyDefault(applyDefault);
      TnxOwned<TnxFieldMapperDescriptor> copy(readBack(written(*d)));
      EXPECT_EQ(&copy->classInfo(), &TnxFieldMapperDescriptor::staticClassInfo());
      EXPECT_EQ(copy->SourceName(), u"Name");
      EXPECT_EQ(copy->TargetName(), u"Ziel");
      EXPECT_EQ(copy->DataLossAction(), action);
      EXPECT_EQ(copy->ApplyDefault(), applyDefault);
    }
  }
  // The layout: what a hand-written stream holds reads back the same.
  TnxOwned<TnxFieldMapperDescriptor> d(platform::create<TnxFieldMapperDescriptor>(u"Src", u"Tgt", dlaNull));
  d->SetApplyDefault(true);
  EXPECT_EQ(written(*d), handStream(u"TnxFieldMapperDescriptor", u"dlaNull", 1));
}

TEST_F(RegistryTest, DescriptorStreamsRefuseOtherVersionsClassesAndActions) {
  nxtest::expectCode<EnxFieldMapperDescriptorException>(
      [] { readBack(handStream(u"TnxFieldMapperDescriptor", u"dlaFail", 2)); }, nxErrIncompatibleStream);
  nxtest::expectCode<EnxFieldMapperDescriptorException>(
      [] { readBack(handStream(u"TnxFieldMapperDescriptorX", u"dlaFail", 1)); }, nxErrUnsupportedDescriptor,
      u"FieldMapperDescriptor class is not supported: TnxFieldMapperDescriptorX");
  nxtest::expectCode<EnxFieldMapperDescriptorException>(
      [] { readBack(handStream(u"TnxFieldMapperDescriptor", u"dlaMaybe", 1)); }, nxErrIncompatibleStream);
}

TEST_F(RegistryTest, MappingByNamesFindsTheFieldsOrRaises10038) {
  TnxOwned<TnxDataDictionary> source(platform::create<TnxDataDictionary>());
  TnxOwned<TnxDataDictionary> target(platform::create<TnxDataDictionary>());
  source->FieldsDescriptor()->AddField(u"Qty", u"", nxtInt32, 0, 0, false);
  target->FieldsDescriptor()->AddField(u"Amount", u"", nxtInt16, 0, 0, false);
  TnxOwned<TnxFieldMapperDescriptor> good(platform::create<TnxFieldMapperDescriptor>(u"Qty", u"Amount", dlaBestFit));
  TnxMappingMethod method;
  TnxOwned<TnxBaseFieldMapper> mapper(
      TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, *good, method));
  ASSERT_TRUE(method.Assigned());
  const Bytes value = i32(70000);
  Bytes out(2, 0);
  EXPECT_EQ(method(value.data(), out.data()), 0);
  EXPECT_EQ(out, i16(32767));
  TnxOwned<TnxFieldMapperDescriptor> bad(platform::create<TnxFieldMapperDescriptor>(u"Qty", u"Amuont", dlaBestFit));
  nxtest::expectCode<EnxBaseFieldMapperException>(
      [&] { TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, *bad, method); },
      nxErrInvalidFieldName);
  EXPECT_FALSE(method.Assigned());
}

}  // namespace
