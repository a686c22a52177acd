#include "plDbParams.h"

#include <algorithm>
#include <cstring>

#include "plCodePage.h"

namespace platform {

namespace {

TFieldType typeOfVariant(const Variant& aValue) {
  if (aValue.isByteArray()) return ftBlob;
  switch (aValue.type()) {
    case varSmallint: case varShortInt: case varByte: return ftSmallint;
    case varWord: return ftWord;
    case varInteger: case varLongWord: return ftInteger;
    case varInt64: case varUInt64: return ftLargeint;
    case varSingle: case varDouble: return ftFloat;
    case varCurrency: return ftCurrency;
    case varDate: return ftDateTime;
    case varBoolean: return ftBoolean;
    case varFmtBcd: return ftFMTBcd;
    case varString: return ftString;
    case varOleStr: case varUString: return ftWideString;
    default: return ftUnknown;
  }
}

template <class T>
std::vector<std::uint8_t> paramBytesOf(const T& aValue) {
  std::vector<std::uint8_t> b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}

}  // namespace

void TParam::SetDataType(TFieldType aValue) {
  if (aValue == prDataType) return;
  prDataType = aValue;
  if (!IsNull()) {
    // The value follows the new type where it can.
    try {
      SetTyped(aValue, prValue);
    } catch (const RuntimeError&) {
      prValue = Variant::null();
    }
  }
}

void TParam::SetTyped(TFieldType aType, const Variant& aValue) {
  prDataType = aType;
  prValue = aValue;
  prBound = true;
}

void TParam::SetValue(const Variant& aValue) {
  if (prDataType == ftUnknown) prDataType = typeOfVariant(aValue);
  prValue = aValue.isEmpty() ? Variant::null() : aValue;
  prBound = true;
}

std::vector<std::uint8_t> TParam::AsBytes() const {
  if (IsNull()) return {};
  if (prValue.isByteArray()) {
    const auto b = prValue.bytes();
    return std::vector<std::uint8_t>(b.begin(), b.end());
  }
  const std::string s = encodeText(prValue.toString(), ansiCodePage());
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

std::vector<std::uint8_t> TParam::Native() const {
  if (IsNull()) return {};
  switch (prDataType) {
    case ftString: case ftFixedChar: case ftMemo: case ftFmtMemo: case ftGuid: {
      std::string s = prValue.type() == varString ? prValue.astring().bytes : encodeText(prValue.toString(), ansiCodePage());
      if (prDataType != ftMemo && prDataType != ftFmtMemo) s.push_back('\0');
      return std::vector<std::uint8_t>(s.begin(), s.end());
    }
    case ftWideString: case ftFixedWideChar: case ftWideMemo: {
      UnicodeString s = prValue.toString();
      if (prDataType != ftWideMemo) s.push_back(u'\0');
      std::vector<std::uint8_t> b(s.size() * 2);
      std::memcpy(b.data(), s.data(), b.size());
      return b;
    }
    case ftShortint: return paramBytesOf(prValue.toInt8());
    case ftByte: return paramBytesOf(prValue.toUInt8());
    case ftSmallint: return paramBytesOf(prValue.toInt16());
    case ftWord: return paramBytesOf(prValue.toUInt16());
    case ftInteger: return paramBytesOf(prValue.toInt32());
    case ftLongWord: case ftAutoInc: return paramBytesOf(prValue.toUInt32());
    case ftLargeint: return paramBytesOf(prValue.toInt64());
    case ftBoolean: return paramBytesOf(static_cast<std::uint16_t>(prValue.toBoolean() ? 0xFFFF : 0));
    case ftFloat: case ftCurrency: return paramBytesOf(prValue.toDouble());
    case ftSingle: return paramBytesOf(prValue.toSingle());
    case ftExtended: return paramBytesOf(Extended::fromDouble(prValue.toDouble()));
    case ftBCD: case ftFMTBcd: return paramBytesOf(prValue.toFmtBcd());
    case ftDate: return paramBytesOf(dateTimeToTimeStamp(prValue.toDateTime()).date);
    case ftTime: return paramBytesOf(dateTimeToTimeStamp(prValue.toDateTime()).time);
    case ftDateTime: case ftTimeStamp: {
      const TimeStamp ts = dateTimeToTimeStamp(prValue.toDateTime());
      return paramBytesOf(static_cast<double>(ts.date) * kMSecsPerDay + ts.time);
    }
    case ftVarBytes: {
      auto b = AsBytes();
      const auto len = static_cast<std::uint16_t>(std::min<std::size_t>(b.size(), 0xFFFF));
      b.resize(len);
      auto out = paramBytesOf(len);
      out.insert(out.end(), b.begin(), b.end());
      return out;
    }
    default:
      return AsBytes();
  }
}

int TParam::GetDataSize() const { return static_cast<int>(Native().size()); }

void TParam::GetData(void* aBuffer) const {
  const auto b = Native();
  if (!b.empty()) std::memcpy(aBuffer, b.data(), b.size());
}

void TParam::SetData(const void* aBuffer, int aSize) {
  const auto* p = static_cast<const std::uint8_t*>(aBuffer);
  auto read = [p](auto& v) { std::memcpy(&v, p, sizeof v); };
  Variant v;
  switch (prDataType) {
    case ftString: case ftFixedChar: case ftMemo: case ftFmtMemo: case ftGuid: {
      const auto* c = reinterpret_cast<const char*>(p);
      std::string t = aSize < 0 ? std::string(c) : std::string(c, static_cast<std::size_t>(aSize));
      if (const auto nul = t.find('\0'); nul != std::string::npos) t.resize(nul);
      v = Variant(decodeText(t, ansiCodePage()));
      break;
    }
    case ftWideString: case ftFixedWideChar: case ftWideMemo: {
      const auto* c = reinterpret_cast<const char16_t*>(p);
      UnicodeString t = aSize < 0 ? UnicodeString(c) : UnicodeString(c, static_cast<std::size_t>(aSize) / 2);
      if (const auto nul = t.find(u'\0'); nul != UnicodeString::npos) t.resize(nul);
      v = Variant(t);
      break;
    }
    case ftShortint: { std::int8_t x; read(x); v = Variant::fromShortInt(x); break; }
    case ftByte: { std::uint8_t x; read(x); v = Variant::fromByte(x); break; }
    case ftSmallint: { std::int16_t x; read(x); v = Variant::fromSmallint(x); break; }
    case ftWord: { std::uint16_t x; read(x); v = Variant::fromWord(x); break; }
    case ftInteger: { std::int32_t x; read(x); v = Variant(x); break; }
    case ftLongWord: case ftAutoInc: { std::uint32_t x; read(x); v = Variant::fromLongWord(x); break; }
    case ftLargeint: { std::int64_t x; read(x); v = Variant(static_cast<long long>(x)); break; }
    case ftBoolean: { std::uint16_t x; read(x); v = Variant(x != 0); break; }
    case ftFloat: { double x; read(x); v = Variant(x); break; }
    case ftCurrency: { double x; read(x); v = Variant(Currency::fromDouble(x)); break; }
    case ftBCD: case ftFMTBcd: { FmtBcd x; read(x); v = Variant(x); break; }
    case ftDate: { TimeStamp ts{0, 0}; read(ts.date); v = Variant::fromDate(timeStampToDateTime(ts)); break; }
    case ftTime: { TimeStamp ts{0, kDateDelta}; read(ts.time); v = Variant::fromDate(timeStampToDateTime(ts)); break; }
    case ftDateTime: case ftTimeStamp: {
      double ms;
      read(ms);
      const auto total = static_cast<std::int64_t>(ms);
      v = Variant::fromDate(timeStampToDateTime(
          TimeStamp{static_cast<std::int32_t>(total % kMSecsPerDay), static_cast<std::int32_t>(total / kMSecsPerDay)}));
      break;
    }
    default:
      if (aSize < 0) aSize = 0;
      v = Variant::byteArray(std::span<const std::uint8_t>(p, static_cast<std::size_t>(aSize)));
  }
  prValue = v;
  prBound = true;
}

void TParam::Assign(const TParam& aSource) {
  if (&aSource == this) return;
  prName = aSource.prName;
  prDataType = aSource.prDataType;
  prParamType = aSource.prParamType;
  prValue = aSource.prValue;
  prSize = aSource.prSize;
  prPrecision = aSource.prPrecision;
  prNumericScale = aSource.prNumericScale;
  prBound = aSource.prBound;
}

void TParam::AssignField(const TField& aField) {
  prName = aField.FieldName();
  AssignFieldValue(aField, aField.Value());
}

void TParam::AssignFieldValue(const TField& aField, const Variant& aValue) {
  prDataType = aField.DataType() == ftAutoInc ? ftInteger : aField.DataType();
  prSize = aField.Size();
  if (const TBCDField* bcd = objectAs<TBCDField>(&aField)) {
    prPrecision = bcd->Precision();
    prNumericScale = aField.Size();
  }
  prValue = aValue.isEmpty() ? Variant::null() : aValue;
  prBound = true;
}

TParam& TParams::Items(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) DatabaseError(dbmsg::SFieldIndexError);
  return *psItems[static_cast<std::size_t>(aIndex)];
}

TParam& TParams::CreateParam(TFieldType aDataType, const UnicodeString& aName, TParamType aParamType) {
  psItems.push_back(std::make_unique<TParam>(this, aName, aDataType, aParamType));
  return *psItems.back();
}

void TParams::RemoveParam(TParam& aParam) {
  const auto it = std::find_if(psItems.begin(), psItems.end(), [&](const auto& p) { return p.get() == &aParam; });
  if (it != psItems.end()) psItems.erase(it);
}

TParam* TParams::FindParam(UnicodeStringView aName) const {
  for (const auto& p : psItems)
    if (sameTextAscii(p->Name(), aName)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(UnicodeStringView aName) const {
  TParam* p = FindParam(aName);
  if (!p) DatabaseErrorFmt(dbmsg::SParameterNotFound, {aName});
  return *p;
}

void TParams::Assign(const TParams& aSource) {
  if (&aSource == this) return;
  psItems.clear();
  for (const auto& p : aSource.psItems) CreateParam(ftUnknown, UnicodeString(), ptUnknown).Assign(*p);
}

void TParams::AssignValues(const TParams& aSource) {
  for (const auto& p : aSource.psItems)
    for (const auto& mine : psItems)
      if (sameTextAscii(mine->Name(), p->Name())) mine->Assign(*p);
}

bool TParams::IsEqual(const TParams& aOther) const {
  if (Count() != aOther.Count()) return false;
  for (int i = 0; i < Count(); ++i) {
    const TParam& a = Items(i);
    const TParam& b = aOther.Items(i);
    if (a.Name() != b.Name() || a.DataType() != b.DataType() || a.ParamType() != b.ParamType() ||
        !(a.Value() == b.Value()))
      return false;
  }
  return true;
}

}  // namespace platform
