#include "plDbFields.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "nxllStreams.h"
#include "plCodePage.h"
#include "plDataSet.h"
#include "plFormat.h"

namespace platform {

namespace {

UnicodeString intText(std::int64_t aValue) { return Variant(static_cast<long long>(aValue)).toString(); }

UnicodeString trimRight(UnicodeString aText) {
  while (!aText.empty() && aText.back() == u' ') aText.pop_back();
  return aText;
}

// How many leading bytes of aBytes fit into aMax bytes without splitting a
// character of code page aCodePage.
std::size_t fitBytes(const std::string& aBytes, std::size_t aMax, std::uint16_t aCodePage) {
  if (aBytes.size() <= aMax) return aBytes.size();
  if (aCodePage == CP_UTF8) {
    std::size_t cut = aMax;
    while (cut > 0 && (static_cast<std::uint8_t>(aBytes[cut]) & 0xC0) == 0x80) --cut;
    return cut;
  }
  const CodePageInfo info = codePageInfo(aCodePage);
  std::size_t i = 0;
  while (i < aMax) {
    const std::size_t len = info.isLeadByte(static_cast<std::uint8_t>(aBytes[i])) ? 2 : 1;
    if (i + len > aMax) break;
    i += len;
  }
  return i;
}

struct FreeStream {
  void operator()(TStream* aStream) const { TObject::free(aStream); }
};
using StreamPtr = std::unique_ptr<TStream, FreeStream>;

}  // namespace

// ---------------------------------------------------------------------------
// TField

PL_CLASS_INFO_IMPL(TField, TComponent, "TField", nullptr)

TField::TField(TComponent* aOwner) : TComponent(aOwner) {}

TField::~TField() {
  if (fDataSet) fDataSet->dsFields.Remove(this);
}

void TField::beforeDestruction() {
  if (fDataSet) {
    fDataSet->dsFields.Remove(this);
    fDataSet = nullptr;
  }
  TComponent::beforeDestruction();
}

void TField::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == fDataSet) return;
  if (fDataSet) fDataSet->CheckInactive();
  if (aDataSet) {
    aDataSet->CheckInactive();
    aDataSet->dsFields.Add(this);  // refuses a duplicate name before anything changes
  }
  if (fDataSet) fDataSet->dsFields.Remove(this);
  fDataSet = aDataSet;
}

int TField::Index() const { return fDataSet ? fDataSet->dsFields.IndexOf(this) : -1; }

void TField::SetSize(int aSize) {
  if (aSize < 0) DatabaseError(dbmsg::SInvalidFieldSize);
  fSize = aSize;
}

bool TField::CanModify() const {
  return !fReadOnly && fFieldKind != fkCalculated && fFieldKind != fkLookup && fDataSet && fDataSet->CanModify();
}

bool TField::GetData(void* aBuffer) const {
  if (fValidating) {
    if (!fValidateBuffer) return false;
    if (aBuffer) {
      if (fDataType == ftVariant)
        *static_cast<Variant*>(aBuffer) = *static_cast<const Variant*>(fValidateBuffer);
      else
        std::memcpy(aBuffer, fValidateBuffer, static_cast<std::size_t>(DataSize()));
    }
    return true;
  }
  if (!fDataSet) DatabaseErrorFmt(dbmsg::SNoDataSet, {DisplayName()});
  return fDataSet->GetFieldData(const_cast<TField*>(this), aBuffer);
}

void TField::SetData(const void* aBuffer) {
  if (!fDataSet) DatabaseErrorFmt(dbmsg::SNoDataSet, {DisplayName()});
  fDataSet->SetFieldData(this, aBuffer);
}

void TField::Validate(const void* aBuffer) {
  if (!fOnValidate) return;
  fValidating = true;
  fValidateBuffer = aBuffer;
  try {
    fOnValidate(this);
  } catch (...) {
    fValidating = false;
    fValidateBuffer = nullptr;
    throw;
  }
  fValidating = false;
  fValidateBuffer = nullptr;
}

void TField::Change() {
  if (fOnChange) fOnChange(this);
}

Variant TField::Value() const { return IsNull() ? Variant::null() : AsVariant(); }

void TField::SetValue(const Variant& aValue) {
  if (aValue.isNullOrEmpty())
    Clear();
  else
    SetAsVariant(aValue);
}

void TField::AssignValue(const TField& aField) { SetValue(aField.Value()); }

void TField::AccessError(UnicodeStringView aTypeName) const {
  DatabaseErrorFmt(dbmsg::SFieldAccessError, {DisplayName(), aTypeName});
}

void TField::RangeError(const UnicodeString& aValue, const UnicodeString& aMin, const UnicodeString& aMax) const {
  DatabaseErrorFmt(dbmsg::SFieldRangeError, {aValue, DisplayName(), aMin, aMax});
}

UnicodeString TField::AsString() const { AccessError(u"String"); }
void TField::SetAsString(UnicodeStringView) { AccessError(u"String"); }
std::int32_t TField::AsInteger() const { AccessError(u"Integer"); }
void TField::SetAsInteger(std::int32_t) { AccessError(u"Integer"); }
std::int64_t TField::AsLargeInt() const { return AsInteger(); }
void TField::SetAsLargeInt(std::int64_t aValue) { SetAsVariant(Variant(static_cast<long long>(aValue))); }
double TField::AsFloat() const { AccessError(u"Float"); }
void TField::SetAsFloat(double) { AccessError(u"Float"); }
Currency TField::AsCurrency() const { return Currency::fromDouble(AsFloat()); }
void TField::SetAsCurrency(Currency aValue) { SetAsFloat(aValue.toDouble()); }
bool TField::AsBoolean() const { AccessError(u"Boolean"); }
void TField::SetAsBoolean(bool) { AccessError(u"Boolean"); }
DateTime TField::AsDateTime() const { AccessError(u"DateTime"); }
void TField::SetAsDateTime(DateTime) { AccessError(u"DateTime"); }
FmtBcd TField::AsBCD() const { AccessError(u"BCD"); }
void TField::SetAsBCD(const FmtBcd&) { AccessError(u"BCD"); }
std::vector<std::uint8_t> TField::AsBytes() const { AccessError(u"Bytes"); }
void TField::SetAsBytes(const std::vector<std::uint8_t>&) { AccessError(u"Bytes"); }
Variant TField::AsVariant() const { AccessError(u"Variant"); }
void TField::SetAsVariant(const Variant&) { AccessError(u"Variant"); }

// ---------------------------------------------------------------------------
// Strings

PL_CLASS_INFO_IMPL(TStringField, TField, "TStringField", &factoryFor<TStringField>)

TStringField::TStringField(TComponent* aOwner) : TField(aOwner) {
  SetDataType(ftString);
  TField::SetSize(20);
}

void TStringField::SetFixedChar(bool aValue) {
  sfFixedChar = aValue;
  if (DataType() == ftString || DataType() == ftFixedChar) SetDataType(aValue ? ftFixedChar : ftString);
}

AnsiString TStringField::AsAnsiString() const {
  std::string buffer(static_cast<std::size_t>(Size()) + 1, '\0');
  if (!GetData(buffer.data())) return AnsiString{{}, ansiCodePage()};
  if (sfTransliterate && DataSet()) DataSet()->Translate(buffer.data(), buffer.data(), false);
  buffer.resize(std::strlen(buffer.c_str()));
  return AnsiString{std::move(buffer), ansiCodePage()};
}

void TStringField::SetAsAnsiString(const AnsiString& aValue) {
  const std::uint16_t cp = ansiCodePage();
  std::string bytes = aValue.bytes;
  if (aValue.codePage != 0 && aValue.codePage != cp) bytes = encodeText(decodeText(bytes, aValue.codePage), cp);
  if (const auto nul = bytes.find('\0'); nul != std::string::npos) bytes.resize(nul);
  std::string buffer(static_cast<std::size_t>(Size()) + 1, '\0');
  const std::size_t n = fitBytes(bytes, static_cast<std::size_t>(Size()), cp);
  std::memcpy(buffer.data(), bytes.data(), n);
  if (sfTransliterate && DataSet()) DataSet()->Translate(buffer.data(), buffer.data(), true);
  SetData(buffer.data());
}

UnicodeString TStringField::AsString() const {
  const AnsiString bytes = AsAnsiString();
  UnicodeString text = decodeText(bytes.bytes, bytes.codePage);
  return sfFixedChar ? trimRight(std::move(text)) : text;
}

void TStringField::SetAsString(UnicodeStringView aValue) {
  SetAsAnsiString(AnsiString{encodeText(aValue, ansiCodePage()), ansiCodePage()});
}

std::int32_t TStringField::AsInteger() const { return IsNull() ? 0 : Variant(AsString()).toInt32(); }
void TStringField::SetAsInteger(std::int32_t aValue) { SetAsString(intText(aValue)); }
std::int64_t TStringField::AsLargeInt() const { return IsNull() ? 0 : Variant(AsString()).toInt64(); }
void TStringField::SetAsLargeInt(std::int64_t aValue) { SetAsString(intText(aValue)); }
double TStringField::AsFloat() const { return IsNull() ? 0.0 : Variant(AsString()).toDouble(); }
void TStringField::SetAsFloat(double aValue) { SetAsString(floatToStr(aValue)); }
bool TStringField::AsBoolean() const { return !IsNull() && Variant(AsString()).toBoolean(); }
void TStringField::SetAsBoolean(bool aValue) { SetAsString(aValue ? u"True" : u"False"); }
DateTime TStringField::AsDateTime() const { return IsNull() ? 0.0 : Variant(AsString()).toDateTime(); }
void TStringField::SetAsDateTime(DateTime aValue) { SetAsString(dateTimeToStr(aValue)); }
Variant TStringField::AsVariant() const { return Variant(AsString()); }
void TStringField::SetAsVariant(const Variant& aValue) {
  if (aValue.type() == varString)
    SetAsAnsiString(aValue.astring());
  else
    SetAsString(aValue.toString());
}

PL_CLASS_INFO_IMPL(TWideStringField, TStringField, "TWideStringField", &factoryFor<TWideStringField>)

TWideStringField::TWideStringField(TComponent* aOwner) : TStringField(aOwner) { SetDataType(ftWideString); }

UnicodeString TWideStringField::AsString() const {
  UnicodeString buffer(static_cast<std::size_t>(Size()) + 1, u'\0');
  if (!GetData(buffer.data())) return {};
  buffer.resize(std::char_traits<char16_t>::length(buffer.c_str()));
  return FixedChar() ? trimRight(std::move(buffer)) : buffer;
}

void TWideStringField::SetAsString(UnicodeStringView aValue) {
  UnicodeString buffer(static_cast<std::size_t>(Size()) + 1, u'\0');
  std::size_t n = std::min(aValue.size(), static_cast<std::size_t>(Size()));
  if (const auto nul = aValue.find(u'\0'); nul != UnicodeStringView::npos) n = std::min(n, nul);
  // Never keep half of a surrogate pair.
  if (n > 0 && n < aValue.size() && aValue[n - 1] >= 0xD800 && aValue[n - 1] <= 0xDBFF) --n;
  std::copy_n(aValue.data(), n, buffer.data());
  SetData(buffer.data());
}

Variant TWideStringField::AsVariant() const { return Variant(AsString()); }

PL_CLASS_INFO_IMPL(TGuidField, TStringField, "TGuidField", &factoryFor<TGuidField>)

TGuidField::TGuidField(TComponent* aOwner) : TStringField(aOwner) {
  SetDataType(ftGuid);
  TField::SetSize(38);
}

void TGuidField::SetSize(int) { TField::SetSize(38); }

Guid TGuidField::AsGuid() const {
  if (IsNull()) return Guid{};
  const UnicodeString text = AsString();
  try {
    return stringToGuid(UnicodeStringView(text));
  } catch (const ConvertError&) {
    DatabaseErrorFmt(dbmsg::SNotAGuid, {text});
  }
}

void TGuidField::SetAsGuid(const Guid& aValue) { TStringField::SetAsString(guidToString(aValue)); }

void TGuidField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty()) {
    Clear();
    return;
  }
  Guid g;
  try {
    g = stringToGuid(aValue);
  } catch (const ConvertError&) {
    DatabaseErrorFmt(dbmsg::SNotAGuid, {aValue});
  }
  SetAsGuid(g);
}

PL_CLASS_INFO_IMPL(TNumericField, TField, "TNumericField", nullptr)

// ---------------------------------------------------------------------------
// Integers

PL_CLASS_INFO_IMPL(TIntegerField, TNumericField, "TIntegerField", &factoryFor<TIntegerField>)

TIntegerField::TIntegerField(TComponent* aOwner) : TNumericField(aOwner) { SetDataType(ftInteger); }

int TIntegerField::DataSize() const {
  switch (DataType()) {
    case ftShortint: case ftByte: return 1;
    case ftSmallint: case ftWord: return 2;
    default: return 4;
  }
}

void TIntegerField::TypeRange(std::int64_t& aMin, std::int64_t& aMax) const {
  switch (DataType()) {
    case ftShortint: aMin = INT8_MIN; aMax = INT8_MAX; break;
    case ftByte: aMin = 0; aMax = UINT8_MAX; break;
    case ftSmallint: aMin = INT16_MIN; aMax = INT16_MAX; break;
    case ftWord: aMin = 0; aMax = UINT16_MAX; break;
    case ftLongWord: case ftAutoInc: aMin = 0; aMax = UINT32_MAX; break;
    default: aMin = INT32_MIN; aMax = INT32_MAX; break;
  }
}

bool TIntegerField::ReadValue(std::int64_t& aValue) const {
  std::uint8_t b[8] = {};
  if (!GetData(b)) {
    aValue = 0;
    return false;
  }
  switch (DataType()) {
    case ftShortint: { std::int8_t v; std::memcpy(&v, b, 1); aValue = v; break; }
    case ftByte: aValue = b[0]; break;
    case ftSmallint: { std::int16_t v; std::memcpy(&v, b, 2); aValue = v; break; }
    case ftWord: { std::uint16_t v; std::memcpy(&v, b, 2); aValue = v; break; }
    case ftLongWord: case ftAutoInc: { std::uint32_t v; std::memcpy(&v, b, 4); aValue = v; break; }
    default: { std::int32_t v; std::memcpy(&v, b, 4); aValue = v; break; }
  }
  return true;
}

void TIntegerField::WriteValue(std::int64_t aValue) {
  std::int64_t lo, hi;
  TypeRange(lo, hi);
  if (ifMinValue != 0 || ifMaxValue != 0) {
    lo = std::max(lo, ifMinValue);
    hi = std::min(hi, ifMaxValue);
  }
  if (aValue < lo || aValue > hi) RangeError(intText(aValue), intText(lo), intText(hi));
  std::uint8_t b[8] = {};
  switch (DataSize()) {
    case 1: { const auto v = static_cast<std::uint8_t>(aValue); std::memcpy(b, &v, 1); break; }
    case 2: { const auto v = static_cast<std::uint16_t>(aValue); std::memcpy(b, &v, 2); break; }
    default: { const auto v = static_cast<std::uint32_t>(aValue); std::memcpy(b, &v, 4); break; }
  }
  SetData(b);
}

UnicodeString TIntegerField::AsString() const {
  std::int64_t v;
  return ReadValue(v) ? intText(v) : UnicodeString();
}
void TIntegerField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty())
    Clear();
  else
    WriteValue(Variant(aValue).toInt64());
}
std::int32_t TIntegerField::AsInteger() const {
  std::int64_t v;
  ReadValue(v);
  return Variant(static_cast<long long>(v)).toInt32();
}
void TIntegerField::SetAsInteger(std::int32_t aValue) { WriteValue(aValue); }
std::int64_t TIntegerField::AsLargeInt() const {
  std::int64_t v;
  ReadValue(v);
  return v;
}
void TIntegerField::SetAsLargeInt(std::int64_t aValue) { WriteValue(aValue); }
double TIntegerField::AsFloat() const { return static_cast<double>(AsLargeInt()); }
void TIntegerField::SetAsFloat(double aValue) { WriteValue(Variant(aValue).toInt64()); }
Variant TIntegerField::AsVariant() const {
  std::int64_t v;
  if (!ReadValue(v)) return Variant::null();
  switch (DataType()) {
    case ftShortint: return Variant::fromShortInt(static_cast<std::int8_t>(v));
    case ftByte: return Variant::fromByte(static_cast<std::uint8_t>(v));
    case ftSmallint: return Variant::fromSmallint(static_cast<std::int16_t>(v));
    case ftWord: return Variant::fromWord(static_cast<std::uint16_t>(v));
    case ftLongWord: case ftAutoInc: return Variant::fromLongWord(static_cast<std::uint32_t>(v));
    default: return Variant(static_cast<int>(v));
  }
}
void TIntegerField::SetAsVariant(const Variant& aValue) { WriteValue(aValue.toInt64()); }

#define PL_INTEGER_FIELD(Cls, Type)                                            \
  PL_CLASS_INFO_IMPL(Cls, TIntegerField, #Cls, &factoryFor<Cls>)               \
  Cls::Cls(TComponent* aOwner) : TIntegerField(aOwner) { SetDataType(Type); }
PL_INTEGER_FIELD(TSmallintField, ftSmallint)
PL_INTEGER_FIELD(TShortintField, ftShortint)
PL_INTEGER_FIELD(TWordField, ftWord)
PL_INTEGER_FIELD(TByteField, ftByte)
PL_INTEGER_FIELD(TLongWordField, ftLongWord)
#undef PL_INTEGER_FIELD

PL_CLASS_INFO_IMPL(TUnsignedAutoIncField, TLongWordField, "TUnsignedAutoIncField", &factoryFor<TUnsignedAutoIncField>)
TUnsignedAutoIncField::TUnsignedAutoIncField(TComponent* aOwner) : TLongWordField(aOwner) { SetDataType(ftAutoInc); }

PL_CLASS_INFO_IMPL(TLargeintField, TNumericField, "TLargeintField", &factoryFor<TLargeintField>)

TLargeintField::TLargeintField(TComponent* aOwner) : TNumericField(aOwner) { SetDataType(ftLargeint); }

UnicodeString TLargeintField::AsString() const {
  std::int64_t v = 0;
  return GetData(&v) ? intText(v) : UnicodeString();
}
void TLargeintField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty())
    Clear();
  else
    SetAsLargeInt(Variant(aValue).toInt64());
}
std::int32_t TLargeintField::AsInteger() const { return Variant(static_cast<long long>(AsLargeInt())).toInt32(); }
void TLargeintField::SetAsInteger(std::int32_t aValue) { SetAsLargeInt(aValue); }
std::int64_t TLargeintField::AsLargeInt() const {
  std::int64_t v = 0;
  return GetData(&v) ? v : 0;
}
void TLargeintField::SetAsLargeInt(std::int64_t aValue) {
  if ((lfMinValue != 0 || lfMaxValue != 0) && (aValue < lfMinValue || aValue > lfMaxValue))
    RangeError(intText(aValue), intText(lfMinValue), intText(lfMaxValue));
  SetData(&aValue);
}
double TLargeintField::AsFloat() const { return static_cast<double>(AsLargeInt()); }
void TLargeintField::SetAsFloat(double aValue) { SetAsLargeInt(Variant(aValue).toInt64()); }
FmtBcd TLargeintField::AsBCD() const { return strToBcd(intText(AsLargeInt())); }
void TLargeintField::SetAsBCD(const FmtBcd& aValue) { SetAsLargeInt(Variant(aValue).toInt64()); }
Variant TLargeintField::AsVariant() const {
  std::int64_t v = 0;
  return GetData(&v) ? Variant(static_cast<long long>(v)) : Variant::null();
}
void TLargeintField::SetAsVariant(const Variant& aValue) { SetAsLargeInt(aValue.toInt64()); }

// ---------------------------------------------------------------------------
// Floats

PL_CLASS_INFO_IMPL(TFloatField, TNumericField, "TFloatField", &factoryFor<TFloatField>)

TFloatField::TFloatField(TComponent* aOwner) : TNumericField(aOwner) { SetDataType(ftFloat); }

int TFloatField::DataSize() const {
  switch (DataType()) {
    case ftSingle: return 4;
    case ftExtended: return 10;
    default: return 8;
  }
}

bool TFloatField::ReadValue(long double& aValue) const {
  std::uint8_t b[16] = {};
  aValue = 0;
  if (!GetData(b)) return false;
  switch (DataType()) {
    case ftSingle: { float f; std::memcpy(&f, b, 4); aValue = f; break; }
    case ftExtended: {
      std::uint16_t se;
      std::uint64_t m;
      std::memcpy(&m, b, 8);
      std::memcpy(&se, b + 8, 2);
      aValue = Extended::fromParts(se, m).toLongDouble();
      break;
    }
    default: { double d; std::memcpy(&d, b, 8); aValue = d; break; }
  }
  return true;
}

UnicodeString TFloatField::AsString() const {
  long double v;
  return ReadValue(v) ? floatToStr(v) : UnicodeString();
}
void TFloatField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty())
    Clear();
  else
    SetAsFloat(Variant(aValue).toDouble());
}
std::int32_t TFloatField::AsInteger() const { return Variant(AsFloat()).toInt32(); }
void TFloatField::SetAsInteger(std::int32_t aValue) { SetAsFloat(aValue); }
std::int64_t TFloatField::AsLargeInt() const { return Variant(AsFloat()).toInt64(); }
void TFloatField::SetAsLargeInt(std::int64_t aValue) { SetAsFloat(static_cast<double>(aValue)); }
double TFloatField::AsFloat() const {
  long double v;
  ReadValue(v);
  return static_cast<double>(v);
}
void TFloatField::SetAsFloat(double aValue) {
  if ((ffMinValue != 0 || ffMaxValue != 0) && (aValue < ffMinValue || aValue > ffMaxValue))
    RangeError(floatToStr(aValue), floatToStr(ffMinValue), floatToStr(ffMaxValue));
  std::uint8_t b[16] = {};
  switch (DataType()) {
    case ftSingle: {
      if (std::isfinite(aValue) && std::fabs(aValue) > std::numeric_limits<float>::max())
        RangeError(floatToStr(aValue), floatToStr(-std::numeric_limits<float>::max()),
                   floatToStr(std::numeric_limits<float>::max()));
      const float f = static_cast<float>(aValue);
      std::memcpy(b, &f, 4);
      break;
    }
    case ftExtended: {
      const Extended e = Extended::fromDouble(aValue);
      std::memcpy(b, &e, 10);
      break;
    }
    default:
      std::memcpy(b, &aValue, 8);
  }
  SetData(b);
}
Currency TFloatField::AsCurrency() const { return Currency::fromDouble(AsFloat()); }
void TFloatField::SetAsCurrency(Currency aValue) { SetAsFloat(aValue.toDouble()); }
Variant TFloatField::AsVariant() const {
  long double v;
  if (!ReadValue(v)) return Variant::null();
  if (DataType() == ftSingle) return Variant(static_cast<float>(v));
  return Variant(static_cast<double>(v));
}
void TFloatField::SetAsVariant(const Variant& aValue) { SetAsFloat(aValue.toDouble()); }

PL_CLASS_INFO_IMPL(TCurrencyField, TFloatField, "TCurrencyField", &factoryFor<TCurrencyField>)
TCurrencyField::TCurrencyField(TComponent* aOwner) : TFloatField(aOwner) { SetDataType(ftCurrency); }
Variant TCurrencyField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsCurrency()); }

PL_CLASS_INFO_IMPL(TSingleField, TFloatField, "TSingleField", &factoryFor<TSingleField>)
TSingleField::TSingleField(TComponent* aOwner) : TFloatField(aOwner) {
  SetDataType(ftSingle);
  SetPrecision(7);
}

PL_CLASS_INFO_IMPL(TExtendedField, TFloatField, "TExtendedField", &factoryFor<TExtendedField>)
TExtendedField::TExtendedField(TComponent* aOwner) : TFloatField(aOwner) {
  SetDataType(ftExtended);
  SetPrecision(19);
}

// ---------------------------------------------------------------------------
// BCD

PL_CLASS_INFO_IMPL(TBCDField, TNumericField, "TBCDField", &factoryFor<TBCDField>)

TBCDField::TBCDField(TComponent* aOwner) : TNumericField(aOwner) {
  SetDataType(ftBCD);
  TField::SetSize(4);
}

FmtBcd TBCDField::AsBCD() const {
  FmtBcd v;
  if (!GetData(&v)) return strToBcd(u"0");
  return v;
}
void TBCDField::SetAsBCD(const FmtBcd& aValue) {
  if (!aValue.isValid()) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
  SetData(&aValue);
}
UnicodeString TBCDField::AsString() const { return IsNull() ? UnicodeString() : bcdToStr(AsBCD()); }
void TBCDField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty())
    Clear();
  else
    SetAsBCD(strToBcd(aValue));
}
std::int32_t TBCDField::AsInteger() const { return Variant(AsBCD()).toInt32(); }
void TBCDField::SetAsInteger(std::int32_t aValue) { SetAsLargeInt(aValue); }
std::int64_t TBCDField::AsLargeInt() const { return Variant(AsBCD()).toInt64(); }
void TBCDField::SetAsLargeInt(std::int64_t aValue) { SetAsBCD(strToBcd(intText(aValue))); }
double TBCDField::AsFloat() const { return Variant(AsBCD()).toDouble(); }
void TBCDField::SetAsFloat(double aValue) {
  if (DataType() == ftBCD)
    SetAsCurrency(Currency::fromDouble(aValue));
  else
    SetAsBCD(Variant(aValue).toFmtBcd());
}
Currency TBCDField::AsCurrency() const {
  Currency c;
  if (!tryBcdToCurr(AsBCD(), c)) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
  return c;
}
void TBCDField::SetAsCurrency(Currency aValue) {
  FmtBcd v;
  currToBcd(aValue, v, 32, 4);
  SetAsBCD(v);
}
Variant TBCDField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsCurrency()); }
void TBCDField::SetAsVariant(const Variant& aValue) {
  if (aValue.type() == varFmtBcd)
    SetAsBCD(aValue.fmtBcd());
  else if (DataType() == ftBCD)
    SetAsCurrency(aValue.toCurrency());
  else
    SetAsBCD(aValue.toFmtBcd());
}

PL_CLASS_INFO_IMPL(TFMTBCDField, TBCDField, "TFMTBCDField", &factoryFor<TFMTBCDField>)
TFMTBCDField::TFMTBCDField(TComponent* aOwner) : TBCDField(aOwner) {
  SetDataType(ftFMTBcd);
  TField::SetSize(8);
  SetPrecision(15);
}
Variant TFMTBCDField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsBCD()); }

// ---------------------------------------------------------------------------
// Dates and times

PL_CLASS_INFO_IMPL(TDateTimeField, TField, "TDateTimeField", &factoryFor<TDateTimeField>)

TDateTimeField::TDateTimeField(TComponent* aOwner) : TField(aOwner) { SetDataType(ftDateTime); }

int TDateTimeField::DataSize() const { return DataType() == ftDateTime ? 8 : 4; }

DateTime TDateTimeField::AsDateTime() const {
  std::uint8_t b[8] = {};
  if (!GetData(b)) return 0.0;
  TimeStamp ts;
  switch (DataType()) {
    case ftDate: std::memcpy(&ts.date, b, 4); break;
    case ftTime: std::memcpy(&ts.time, b, 4); ts.date = kDateDelta; break;
    default: {
      double ms;
      std::memcpy(&ms, b, 8);
      const auto total = static_cast<std::int64_t>(std::llround(ms));
      ts.date = static_cast<std::int32_t>(total / kMSecsPerDay);
      ts.time = static_cast<std::int32_t>(total % kMSecsPerDay);
    }
  }
  const DateTime dt = timeStampToDateTime(ts);
  return DataType() == ftTime ? dt - 0.0 : dt;
}

void TDateTimeField::SetAsDateTime(DateTime aValue) {
  const TimeStamp ts = dateTimeToTimeStamp(aValue);
  std::uint8_t b[8] = {};
  switch (DataType()) {
    case ftDate: std::memcpy(b, &ts.date, 4); break;
    case ftTime: std::memcpy(b, &ts.time, 4); break;
    default: {
      const double ms = static_cast<double>(ts.date) * kMSecsPerDay + ts.time;
      std::memcpy(b, &ms, 8);
    }
  }
  SetData(b);
}

UnicodeString TDateTimeField::AsString() const {
  if (IsNull()) return {};
  const DateTime dt = AsDateTime();
  switch (DataType()) {
    case ftDate: return dateToStr(dt);
    case ftTime: return timeToStr(dt);
    default: return dateTimeToStr(dt);
  }
}
void TDateTimeField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty()) {
    Clear();
    return;
  }
  switch (DataType()) {
    case ftDate: SetAsDateTime(strToDate(aValue)); break;
    case ftTime: SetAsDateTime(strToTime(aValue)); break;
    default: SetAsDateTime(strToDateTime(aValue));
  }
}
double TDateTimeField::AsFloat() const { return AsDateTime(); }
void TDateTimeField::SetAsFloat(double aValue) { SetAsDateTime(aValue); }
Variant TDateTimeField::AsVariant() const { return IsNull() ? Variant::null() : Variant::fromDate(AsDateTime()); }
void TDateTimeField::SetAsVariant(const Variant& aValue) { SetAsDateTime(aValue.toDateTime()); }

PL_CLASS_INFO_IMPL(TDateField, TDateTimeField, "TDateField", &factoryFor<TDateField>)
TDateField::TDateField(TComponent* aOwner) : TDateTimeField(aOwner) { SetDataType(ftDate); }
PL_CLASS_INFO_IMPL(TTimeField, TDateTimeField, "TTimeField", &factoryFor<TTimeField>)
TTimeField::TTimeField(TComponent* aOwner) : TDateTimeField(aOwner) { SetDataType(ftTime); }

// ---------------------------------------------------------------------------
// Boolean

PL_CLASS_INFO_IMPL(TBooleanField, TField, "TBooleanField", &factoryFor<TBooleanField>)

TBooleanField::TBooleanField(TComponent* aOwner) : TField(aOwner) { SetDataType(ftBoolean); }

bool TBooleanField::AsBoolean() const {
  std::uint16_t v = 0;
  return GetData(&v) && v != 0;
}
void TBooleanField::SetAsBoolean(bool aValue) {
  const std::uint16_t v = aValue ? 0xFFFF : 0;
  SetData(&v);
}
UnicodeString TBooleanField::AsString() const {
  if (IsNull()) return {};
  return AsBoolean() ? u"True" : u"False";
}
void TBooleanField::SetAsString(UnicodeStringView aValue) {
  if (aValue.empty())
    Clear();
  else if (sameTextAscii(aValue, u"True"))
    SetAsBoolean(true);
  else if (sameTextAscii(aValue, u"False"))
    SetAsBoolean(false);
  else
    DatabaseErrorFmt(dbmsg::SNotABoolean, {aValue});
}
std::int32_t TBooleanField::AsInteger() const { return AsBoolean() ? 1 : 0; }
void TBooleanField::SetAsInteger(std::int32_t aValue) { SetAsBoolean(aValue != 0); }
Variant TBooleanField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsBoolean()); }
void TBooleanField::SetAsVariant(const Variant& aValue) { SetAsBoolean(aValue.toBoolean()); }

// ---------------------------------------------------------------------------
// Bytes

PL_CLASS_INFO_IMPL(TBytesField, TField, "TBytesField", &factoryFor<TBytesField>)

TBytesField::TBytesField(TComponent* aOwner) : TField(aOwner) {
  SetDataType(ftBytes);
  TField::SetSize(16);
}

int TBytesField::DataSize() const { return DataType() == ftVarBytes ? Size() + 2 : Size(); }

std::vector<std::uint8_t> TBytesField::AsBytes() const {
  std::vector<std::uint8_t> b(static_cast<std::size_t>(DataSize()));
  if (!GetData(b.data())) return {};
  if (DataType() != ftVarBytes) return b;
  std::uint16_t len;
  std::memcpy(&len, b.data(), 2);
  const std::size_t n = std::min<std::size_t>(len, static_cast<std::size_t>(Size()));
  return std::vector<std::uint8_t>(b.begin() + 2, b.begin() + 2 + static_cast<std::ptrdiff_t>(n));
}
void TBytesField::SetAsBytes(const std::vector<std::uint8_t>& aValue) {
  std::vector<std::uint8_t> b(static_cast<std::size_t>(DataSize()), 0);
  const std::size_t n = std::min(aValue.size(), static_cast<std::size_t>(Size()));
  if (DataType() == ftVarBytes) {
    const auto len = static_cast<std::uint16_t>(n);
    std::memcpy(b.data(), &len, 2);
    std::copy_n(aValue.begin(), n, b.begin() + 2);
  } else {
    std::copy_n(aValue.begin(), n, b.begin());
  }
  SetData(b.data());
}
UnicodeString TBytesField::AsString() const {
  const auto b = AsBytes();
  return decodeText(std::string(b.begin(), b.end()), ansiCodePage());
}
Variant TBytesField::AsVariant() const { return IsNull() ? Variant::null() : Variant::byteArray(AsBytes()); }
void TBytesField::SetAsVariant(const Variant& aValue) {
  if (aValue.isByteArray()) {
    const auto b = aValue.bytes();
    SetAsBytes(std::vector<std::uint8_t>(b.begin(), b.end()));
  } else {
    const std::string s = encodeText(aValue.toString(), ansiCodePage());
    SetAsBytes(std::vector<std::uint8_t>(s.begin(), s.end()));
  }
}

PL_CLASS_INFO_IMPL(TVarBytesField, TBytesField, "TVarBytesField", &factoryFor<TVarBytesField>)
TVarBytesField::TVarBytesField(TComponent* aOwner) : TBytesField(aOwner) { SetDataType(ftVarBytes); }

// ---------------------------------------------------------------------------
// Variant

PL_CLASS_INFO_IMPL(TVariantField, TField, "TVariantField", &factoryFor<TVariantField>)

TVariantField::TVariantField(TComponent* aOwner) : TField(aOwner) { SetDataType(ftVariant); }

Variant TVariantField::AsVariant() const {
  Variant v;
  return GetData(&v) ? v : Variant::null();
}
void TVariantField::SetAsVariant(const Variant& aValue) { SetData(&aValue); }
UnicodeString TVariantField::AsString() const { return varToStr(AsVariant()); }
void TVariantField::SetAsString(UnicodeStringView aValue) { SetAsVariant(Variant(aValue)); }
std::int32_t TVariantField::AsInteger() const { return AsVariant().toInt32(); }
void TVariantField::SetAsInteger(std::int32_t aValue) { SetAsVariant(Variant(aValue)); }
std::int64_t TVariantField::AsLargeInt() const { return AsVariant().toInt64(); }
void TVariantField::SetAsLargeInt(std::int64_t aValue) { SetAsVariant(Variant(static_cast<long long>(aValue))); }
double TVariantField::AsFloat() const { return AsVariant().toDouble(); }
void TVariantField::SetAsFloat(double aValue) { SetAsVariant(Variant(aValue)); }
bool TVariantField::AsBoolean() const { return AsVariant().toBoolean(); }
void TVariantField::SetAsBoolean(bool aValue) { SetAsVariant(Variant(aValue)); }
DateTime TVariantField::AsDateTime() const { return AsVariant().toDateTime(); }
void TVariantField::SetAsDateTime(DateTime aValue) { SetAsVariant(Variant::fromDate(aValue)); }

// ---------------------------------------------------------------------------
// BLOBs

PL_CLASS_INFO_IMPL(TBlobField, TField, "TBlobField", &factoryFor<TBlobField>)

TBlobField::TBlobField(TComponent* aOwner) : TField(aOwner) { SetDataType(ftBlob); }

std::vector<std::uint8_t> TBlobField::ReadAll() const {
  if (!DataSet()) DatabaseErrorFmt(dbmsg::SNoDataSet, {DisplayName()});
  StreamPtr stream(DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead));
  if (!stream) DatabaseErrorFmt(dbmsg::SBlobNotAvailable, {DisplayName()});
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::int32_t n = stream->Read(chunk, static_cast<std::int32_t>(sizeof chunk));
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

void TBlobField::WriteAll(const void* aData, std::size_t aSize) {
  if (!DataSet()) DatabaseErrorFmt(dbmsg::SNoDataSet, {DisplayName()});
  StreamPtr stream(DataSet()->CreateBlobStream(this, bmWrite));
  if (!stream) DatabaseErrorFmt(dbmsg::SBlobNotAvailable, {DisplayName()});
  const auto* p = static_cast<const std::uint8_t*>(aData);
  while (aSize > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::size_t>(aSize, 1 << 20));
    stream->WriteBuffer(p, n);
    p += n;
    aSize -= static_cast<std::size_t>(n);
  }
}

std::int64_t TBlobField::BlobSize() const {
  if (!DataSet()) DatabaseErrorFmt(dbmsg::SNoDataSet, {DisplayName()});
  StreamPtr stream(DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead));
  return stream ? stream->Size() : 0;
}

void TBlobField::LoadFromStream(TStream& aStream) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::int32_t n = aStream.Read(chunk, static_cast<std::int32_t>(sizeof chunk));
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  WriteAll(bytes.data(), bytes.size());
}

void TBlobField::SaveToStream(TStream& aStream) const {
  const auto bytes = ReadAll();
  if (!bytes.empty()) aStream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

UnicodeString TBlobField::AsString() const {
  const auto b = ReadAll();
  return decodeText(std::string(b.begin(), b.end()), ansiCodePage());
}
void TBlobField::SetAsString(UnicodeStringView aValue) {
  const std::string s = encodeText(aValue, ansiCodePage());
  WriteAll(s.data(), s.size());
}
std::vector<std::uint8_t> TBlobField::AsBytes() const { return ReadAll(); }
void TBlobField::SetAsBytes(const std::vector<std::uint8_t>& aValue) { WriteAll(aValue.data(), aValue.size()); }
Variant TBlobField::AsVariant() const { return IsNull() ? Variant::null() : Variant::byteArray(ReadAll()); }
void TBlobField::SetAsVariant(const Variant& aValue) {
  if (aValue.isByteArray()) {
    const auto b = aValue.bytes();
    WriteAll(b.data(), b.size());
  } else {
    SetAsString(aValue.toString());
  }
}

PL_CLASS_INFO_IMPL(TMemoField, TBlobField, "TMemoField", &factoryFor<TMemoField>)
TMemoField::TMemoField(TComponent* aOwner) : TBlobField(aOwner) { SetDataType(ftMemo); }
UnicodeString TMemoField::AsString() const { return TBlobField::AsString(); }
void TMemoField::SetAsString(UnicodeStringView aValue) { TBlobField::SetAsString(aValue); }
Variant TMemoField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsString()); }

PL_CLASS_INFO_IMPL(TWideMemoField, TBlobField, "TWideMemoField", &factoryFor<TWideMemoField>)
TWideMemoField::TWideMemoField(TComponent* aOwner) : TBlobField(aOwner) { SetDataType(ftWideMemo); }
UnicodeString TWideMemoField::AsString() const {
  const auto b = ReadAll();
  UnicodeString text(b.size() / 2, u'\0');
  std::memcpy(text.data(), b.data(), text.size() * 2);
  return text;
}
void TWideMemoField::SetAsString(UnicodeStringView aValue) { WriteAll(aValue.data(), aValue.size() * 2); }
Variant TWideMemoField::AsVariant() const { return IsNull() ? Variant::null() : Variant(AsString()); }

PL_CLASS_INFO_IMPL(TGraphicField, TBlobField, "TGraphicField", &factoryFor<TGraphicField>)
TGraphicField::TGraphicField(TComponent* aOwner) : TBlobField(aOwner) { SetDataType(ftGraphic); }

// ---------------------------------------------------------------------------

const ClassInfo* defaultFieldClass(TFieldType aType) {
  switch (aType) {
    case ftString: case ftFixedChar: return &TStringField::staticClassInfo();
    case ftWideString: case ftFixedWideChar: return &TWideStringField::staticClassInfo();
    case ftSmallint: return &TSmallintField::staticClassInfo();
    case ftInteger: return &TIntegerField::staticClassInfo();
    case ftWord: return &TWordField::staticClassInfo();
    case ftShortint: return &TShortintField::staticClassInfo();
    case ftByte: return &TByteField::staticClassInfo();
    case ftLongWord: return &TLongWordField::staticClassInfo();
    case ftAutoInc: return &TUnsignedAutoIncField::staticClassInfo();
    case ftLargeint: return &TLargeintField::staticClassInfo();
    case ftBoolean: return &TBooleanField::staticClassInfo();
    case ftFloat: return &TFloatField::staticClassInfo();
    case ftCurrency: return &TCurrencyField::staticClassInfo();
    case ftSingle: return &TSingleField::staticClassInfo();
    case ftExtended: return &TExtendedField::staticClassInfo();
    case ftBCD: return &TBCDField::staticClassInfo();
    case ftFMTBcd: return &TFMTBCDField::staticClassInfo();
    case ftDate: return &TDateField::staticClassInfo();
    case ftTime: return &TTimeField::staticClassInfo();
    case ftDateTime: return &TDateTimeField::staticClassInfo();
    case ftBytes: return &TBytesField::staticClassInfo();
    case ftVarBytes: return &TVarBytesField::staticClassInfo();
    case ftGuid: return &TGuidField::staticClassInfo();
    case ftVariant: return &TVariantField::staticClassInfo();
    case ftBlob: case ftTypedBinary: case ftParadoxOle: case ftDBaseOle: case ftOraBlob:
      return &TBlobField::staticClassInfo();
    case ftMemo: case ftFmtMemo: case ftOraClob: return &TMemoField::staticClassInfo();
    case ftWideMemo: return &TWideMemoField::staticClassInfo();
    case ftGraphic: return &TGraphicField::staticClassInfo();
    default: return nullptr;
  }
}

TField* createField(const ClassInfo& aClass, TComponent* aOwner) {
  TObject* object = aClass.construct();
  TField* field = objectAs<TField>(object);
  if (!field) {
    TObject::free(object);
    throw ConvertError("Not a field class: " + std::string(aClass.name));
  }
  if (aOwner) aOwner->InsertComponent(field);
  return field;
}

// ---------------------------------------------------------------------------
// TFields

TFields::~TFields() { Clear(); }

TField* TFields::Fields(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) DatabaseError(dbmsg::SFieldIndexError);
  return flFields[static_cast<std::size_t>(aIndex)];
}

TField* TFields::FindField(UnicodeStringView aName) const {
  for (TField* f : flFields)
    if (sameTextAscii(f->FieldName(), aName)) return f;
  return nullptr;
}

TField* TFields::FieldByName(UnicodeStringView aName) const {
  TField* f = FindField(aName);
  if (!f) DatabaseErrorFmt(dbmsg::SFieldNotFound, {aName});
  return f;
}

TField* TFields::FieldByNumber(int aFieldNo) const {
  for (TField* f : flFields)
    if (f->FieldNo() == aFieldNo) return f;
  return nullptr;
}

int TFields::IndexOf(const TField* aField) const {
  const auto it = std::find(flFields.begin(), flFields.end(), aField);
  return it == flFields.end() ? -1 : static_cast<int>(it - flFields.begin());
}

void TFields::Add(TField* aField) {
  if (!aField->FieldName().empty() && FindField(aField->FieldName()))
    DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {aField->FieldName()});
  flFields.push_back(aField);
}

void TFields::Remove(TField* aField) {
  const auto it = std::find(flFields.begin(), flFields.end(), aField);
  if (it != flFields.end()) flFields.erase(it);
}

void TFields::Clear() {
  while (!flFields.empty()) {
    TField* f = flFields.back();
    flFields.pop_back();
    f->fDataSet = nullptr;
    TObject::free(f);
  }
}

// ---------------------------------------------------------------------------
// Field definitions

TFieldDef::TFieldDef(TFieldDefs* aOwner, const UnicodeString& aName, TFieldType aDataType, int aSize,
                     bool aRequired, int aFieldNo)
    : fdName(aName), fdDataType(aDataType), fdSize(aSize), fdFieldNo(aFieldNo), fdOwner(aOwner) {
  SetRequired(aRequired);
}

void TFieldDef::SetRequired(bool aValue) {
  if (aValue)
    fdAttributes.add(faRequired);
  else
    fdAttributes.remove(faRequired);
}

const ClassInfo* TFieldDef::FieldClass() const {
  if (fdOwner && fdOwner->DataSet()) return fdOwner->DataSet()->GetFieldClass(fdDataType);
  return defaultFieldClass(fdDataType);
}

TField* TFieldDef::CreateField(TComponent* aOwner, TDataSet* aDataSet) const {
  const ClassInfo* cls = FieldClass();
  if (!cls) DatabaseErrorFmt(dbmsg::SUnknownFieldType, {fdName});
  TField* field = createField(*cls, aOwner);
  try {
    field->SetFieldName(fdName);
    switch (fdDataType) {
      case ftString: case ftFixedChar: case ftWideString: case ftFixedWideChar: case ftBytes: case ftVarBytes:
      case ftBCD: case ftFMTBcd:
        field->SetSize(fdSize);
        break;
      default:
        break;
    }
    if (TBCDField* bcd = objectAs<TBCDField>(field); bcd && fdPrecision > 0) bcd->SetPrecision(fdPrecision);
    if (TStringField* s = objectAs<TStringField>(field); s && (fdDataType == ftFixedChar || fdAttributes.contains(faFixed)))
      s->SetFixedChar(true);
    // Types that share a class keep the definition's own type.
    if (!objectAs<TStringField>(field) || fdDataType == ftFixedWideChar) field->SetDataType(fdDataType);
    field->SetRequired(Required() && !fdInternalCalcField);
    field->SetReadOnly(fdAttributes.contains(faReadonly));
    field->SetVisible(!fdAttributes.contains(faHiddenCol));
    if (fdInternalCalcField) field->SetFieldKind(fkInternalCalc);
    field->SetDataSet(aDataSet);
  } catch (...) {
    TObject::free(field);
    throw;
  }
  return field;
}

TFieldDef& TFieldDefs::Items(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) DatabaseError(dbmsg::SFieldIndexError);
  return *fdsItems[static_cast<std::size_t>(aIndex)];
}

TFieldDef& TFieldDefs::Add(const UnicodeString& aName, TFieldType aDataType, int aSize, bool aRequired,
                           int aFieldNo) {
  if (Find(aName)) DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {aName});
  fdsItems.push_back(std::make_unique<TFieldDef>(this, aName, aDataType, aSize, aRequired,
                                                 aFieldNo > 0 ? aFieldNo : Count() + 1));
  fdsUpdated = false;
  return *fdsItems.back();
}

void TFieldDefs::AddFromFields(const TFields& aFields) {
  for (int i = 0; i < aFields.Count(); ++i) {
    const TField* f = aFields.Fields(i);
    if (f->FieldKind() != fkData) continue;
    TFieldDef& def = Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
    if (const TBCDField* bcd = objectAs<TBCDField>(f)) def.SetPrecision(bcd->Precision());
    if (f->ReadOnly()) def.SetAttributes(def.Attributes().add(faReadonly));
  }
}

TFieldDef* TFieldDefs::Find(UnicodeStringView aName) const {
  const int i = IndexOf(aName);
  return i < 0 ? nullptr : fdsItems[static_cast<std::size_t>(i)].get();
}

int TFieldDefs::IndexOf(UnicodeStringView aName) const {
  for (std::size_t i = 0; i < fdsItems.size(); ++i)
    if (sameTextAscii(fdsItems[i]->Name(), aName)) return static_cast<int>(i);
  return -1;
}

void TFieldDefs::Clear() {
  fdsItems.clear();
  fdsUpdated = false;
}

// ---------------------------------------------------------------------------
// Index definitions

std::vector<UnicodeString> splitFieldNames(UnicodeStringView aNames) {
  std::vector<UnicodeString> names;
  std::size_t pos = 0;
  while (pos <= aNames.size()) {
    std::size_t end = aNames.find(u';', pos);
    if (end == UnicodeStringView::npos) end = aNames.size();
    UnicodeStringView part = aNames.substr(pos, end - pos);
    while (!part.empty() && part.front() <= u' ') part.remove_prefix(1);
    while (!part.empty() && part.back() <= u' ') part.remove_suffix(1);
    if (!part.empty()) names.emplace_back(part);
    pos = end + 1;
  }
  return names;
}

TIndexDef& TIndexDefs::Items(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) DatabaseError(dbmsg::SFieldIndexError);
  return *ixItems[static_cast<std::size_t>(aIndex)];
}

std::unique_ptr<TIndexDef> TIndexDefs::CreateItem(const UnicodeString& aName, const UnicodeString& aFields,
                                                  TIndexOptions aOptions) {
  return std::make_unique<TIndexDef>(aName, aFields, aOptions);
}

TIndexDef& TIndexDefs::Add(const UnicodeString& aName, const UnicodeString& aFields, TIndexOptions aOptions) {
  ixItems.push_back(CreateItem(aName, aFields, aOptions));
  return *ixItems.back();
}

TIndexDef* TIndexDefs::Find(UnicodeStringView aName) const {
  const int i = IndexOf(aName);
  return i < 0 ? nullptr : ixItems[static_cast<std::size_t>(i)].get();
}

int TIndexDefs::IndexOf(UnicodeStringView aName) const {
  for (std::size_t i = 0; i < ixItems.size(); ++i)
    if (sameTextAscii(ixItems[i]->Name(), aName)) return static_cast<int>(i);
  return -1;
}

TIndexDef* TIndexDefs::GetIndexForFields(UnicodeStringView aFields, bool aCaseInsensitive) const {
  const auto wanted = splitFieldNames(aFields);
  if (wanted.empty()) return nullptr;
  TIndexDef* leading = nullptr;
  for (const auto& item : ixItems) {
    if (aCaseInsensitive && !item->Options().contains(ixCaseInsensitive)) continue;
    const auto have = splitFieldNames(item->Fields());
    if (have.size() < wanted.size()) continue;
    bool match = true;
    for (std::size_t i = 0; i < wanted.size() && match; ++i) match = sameTextAscii(have[i], wanted[i]);
    if (!match) continue;
    if (have.size() == wanted.size()) return item.get();
    if (!leading) leading = item.get();
  }
  return leading;
}

TIndexDef& TIndexDefs::FindIndexForFields(UnicodeStringView aFields) const {
  TIndexDef* def = GetIndexForFields(aFields, false);
  if (!def) DatabaseErrorFmt(dbmsg::SNoIndexForFields, {aFields});
  return *def;
}

void TIndexDefs::Assign(const TIndexDefs& aSource) {
  if (&aSource == this) return;
  ixItems.clear();
  for (const auto& item : aSource.ixItems) {
    TIndexDef& copy = Add(item->Name(), item->Fields(), item->Options());
    copy.Assign(*item);
  }
}

}  // namespace platform
