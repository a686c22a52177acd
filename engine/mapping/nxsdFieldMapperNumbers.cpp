#include "nxsdFieldMapperNumbers.h"

#include <charconv>

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxBooleanMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxByte8Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWord16Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWord32Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxInt8Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxInt16Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxInt32Mapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxInt64Mapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

constexpr std::int64_t kMaxCurrUnits = 922337203685477;

// ---------------------------------------------------------------------------
// Boolean sources: b is the stored byte

inline std::uint8_t boolByte(const void* p) { return *static_cast<const std::uint8_t*>(p); }
inline std::int8_t boolSigned(const void* p) { return static_cast<std::int8_t>(boolByte(p)); }

TnxResult boolToByte(const void*, const void* s, void* t) {
  store(t, boolByte(s));
  return 0;
}
TnxResult boolToWord16Unsigned(const void*, const void* s, void* t) {  // Int16: 0..255
  store(t, static_cast<std::uint16_t>(boolByte(s)));
  return 0;
}
TnxResult boolToInt32Unsigned(const void*, const void* s, void* t) {
  store(t, static_cast<std::uint32_t>(boolByte(s)));
  return 0;
}
TnxResult boolToInt64(const void*, const void* s, void* t) {
  store(t, static_cast<std::int64_t>(boolSigned(s)));
  return 0;
}
TnxResult boolToWord16(const void*, const void* s, void* t) {
  store(t, static_cast<std::uint16_t>(std::abs(boolSigned(s))));
  return 0;
}
TnxResult boolToWord32(const void*, const void* s, void* t) {
  store(t, static_cast<std::uint32_t>(std::abs(boolSigned(s))));
  return 0;
}
template <class F>
TnxResult boolToFloat(const void*, const void* s, void* t) {
  store(t, static_cast<F>(boolSigned(s)));
  return 0;
}
TnxResult boolToExtended(const void*, const void* s, void* t) {
  storeExtended(t, static_cast<long double>(boolSigned(s)));
  return 0;
}
TnxResult boolToCurrency(const void*, const void* s, void* t) {
  store(t, static_cast<std::int64_t>(boolSigned(s)) * 10000);
  return 0;
}
TnxResult boolToByteArray(const void*, const void* s, void* t) {
  store(t, static_cast<std::uint8_t>(boolByte(s) ? 0xFF : 0));
  return 0;
}
TnxResult boolToChar(const void*, const void* s, void* t) {
  store(t, boolByte(s) ? '1' : '0');
  return 0;
}
TnxResult boolToWideChar(const void*, const void* s, void* t) {
  store(t, boolByte(s) ? u'1' : u'0');
  return 0;
}
TnxResult boolToShortString(const void*, const void* s, void* t) {
  const char c = boolByte(s) ? '1' : '0';
  writeShort(t, &c, 1);
  return 0;
}
TnxResult boolToNullString(const void*, const void* s, void* t) {
  const char c = boolByte(s) ? '1' : '0';
  writeNull(t, &c, 1);
  return 0;
}
TnxResult boolToWideString(const void*, const void* s, void* t) {
  const char16_t c = boolByte(s) ? u'1' : u'0';
  writeWide(t, &c, 1);
  return 0;
}

TnxMappingRoutine booleanRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtBoolean:
    case nxtByte:
    case nxtInt8: return boolToByte;
    case nxtInt16: return boolToWord16Unsigned;
    case nxtInt32: return boolToInt32Unsigned;
    case nxtInt64: return boolToInt64;
    case nxtWord16: return boolToWord16;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return boolToWord32;
    case nxtSingle: return boolToFloat<float>;
    case nxtDouble: return boolToFloat<double>;
    case nxtExtended: return boolToExtended;
    case nxtCurrency:
    case nxtBCD: return boolToCurrency;
    case nxtByteArray: return boolToByteArray;
    case nxtChar: return boolToChar;
    case nxtWideChar: return boolToWideChar;
    case nxtShortString: return boolToShortString;
    case nxtNullString: return boolToNullString;
    case nxtWideString: return boolToWideString;
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Integer sources

template <class S, TnxFieldType T, bool Best>
TnxResult intToInt(const void*, const void* s, void* t) {
  std::int64_t v = load<S>(s);
  constexpr std::int64_t lo = lowOf(T), hi = highOf(T);
  if constexpr (std::numeric_limits<S>::min() < lo || std::numeric_limits<S>::max() > hi) {
    if (v < lo || v > hi) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      v = v < lo ? lo : hi;
    }
  }
  storeInt(t, T, v);
  return 0;
}

template <class S, bool Best>
TnxResult intToBool(const void*, const void* s, void* t) {
  const S v = load<S>(s);
  if constexpr (!Best)
    if (v != 0 && v != 1) return nxErrInvalidFieldXform;
  store(t, static_cast<std::uint8_t>(v != 0 ? 0xFF : 0));
  return 0;
}

template <class S, class F>
TnxResult intToFloat(const void*, const void* s, void* t) {
  store(t, static_cast<F>(load<S>(s)));
  return 0;
}
template <class S>
TnxResult intToExtended(const void*, const void* s, void* t) {
  storeExtended(t, static_cast<long double>(load<S>(s)));
  return 0;
}

template <class S>
TnxResult intToCurrency(const void*, const void* s, void* t) {
  std::int64_t v = load<S>(s);
  if constexpr (sizeof(S) == 8) v = std::clamp(v, -kMaxCurrUnits, kMaxCurrUnits);
  store(t, v * 10000);
  return 0;
}

template <class S>
TnxResult intToBytes(const void*, const void* s, void* t) {
  std::memcpy(t, s, sizeof(S));
  return 0;
}

inline std::string_view decimalText(std::int64_t v, char (&buf)[24]) {
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return {buf, static_cast<std::size_t>(r.ptr - buf)};
}

template <class S, bool Best, bool Wide>
TnxResult intToChar(const void*, const void* s, void* t) {
  const std::int64_t v = load<S>(s);
  char c;
  if constexpr (Best) {
    char buf[24];
    c = decimalText(v, buf)[0];
  } else {
    if (v < 0 || v > 9) return nxErrInvalidFieldXform;
    c = static_cast<char>('0' + v);
  }
  if constexpr (Wide)
    store(t, static_cast<char16_t>(c));
  else
    store(t, c);
  return 0;
}

template <class Cls, class S, TnxFieldType T, bool Truncate>
TnxResult intToText(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const Cls*>(aData);
  char buf[24];
  const std::string_view text = decimalText(load<S>(s), buf);
  if constexpr (T == nxtWideString) {
    char16_t wide[24];
    for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<char16_t>(text[i]);
    return putText16(t, self->TargetLength(), {wide, text.size()}, Truncate);
  } else {
    return putText8(t, T == nxtShortString, self->TargetLength(), text, Truncate);
  }
}

// Value x 10000 straight into a BCD wide enough for every source value.
template <class S>
TnxResult intToBcdDirect(const void*, const void* s, void* t) {
  store(t, static_cast<std::int64_t>(load<S>(s)) * 10000);
  return 0;
}
template <class Cls, class S, bool Best>
TnxResult intToBcd(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const Cls*>(aData);
  const std::int64_t v = load<S>(s);
  TnxFmtBcd full{};
  if (v >= -kMaxCurrUnits && v <= kMaxCurrUnits) {
    nxCurrToBcd(full, 20, 4, v * 10000);
  } else {
    char buf[24];
    const std::string_view text = decimalText(v, buf);
    nxStrToBcd(std::u16string(text.begin(), text.end()), full);
  }
  return storeBcd(full, self->TargetUnits(), self->TargetDecPl(), Best, t);
}

template <class S>
struct IntTraits;
template <>
struct IntTraits<std::uint8_t> {
  static constexpr int digits = 3;
  static constexpr std::int64_t sample = 255;
};
template <>
struct IntTraits<std::uint16_t> {
  static constexpr int digits = 5;
  static constexpr std::int64_t sample = 65535;
};
template <>
struct IntTraits<std::uint32_t> {
  static constexpr int digits = 10;
  static constexpr std::int64_t sample = 4294967295LL;
};
template <>
struct IntTraits<std::int8_t> {
  static constexpr int digits = 3;
  static constexpr std::int64_t sample = -128;
};
template <>
struct IntTraits<std::int16_t> {
  static constexpr int digits = 5;
  static constexpr std::int64_t sample = -32768;
};
template <>
struct IntTraits<std::int32_t> {
  static constexpr int digits = 10;
  static constexpr std::int64_t sample = -2147483648LL;
};
template <>
struct IntTraits<std::int64_t> {
  static constexpr int digits = 99;  // always through the packed decimal
  static constexpr std::int64_t sample = std::numeric_limits<std::int64_t>::min();
};

template <class S, bool Best>
TnxMappingRoutine intToIntRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtByte: return intToInt<S, nxtByte, Best>;
    case nxtWord16: return intToInt<S, nxtWord16, Best>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return intToInt<S, nxtWord32, Best>;
    case nxtInt8: return intToInt<S, nxtInt8, Best>;
    case nxtInt16: return intToInt<S, nxtInt16, Best>;
    case nxtInt32: return intToInt<S, nxtInt32, Best>;
    case nxtInt64:
    case nxtRefNr: return intToInt<S, nxtInt64, Best>;
    case nxtBoolean: return intToBool<S, Best>;
    case nxtChar: return intToChar<S, Best, false>;
    case nxtWideChar: return intToChar<S, Best, true>;
    default: return nullptr;
  }
}

template <class Cls, class S, bool Truncate>
TnxMappingRoutine intToTextRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtShortString: return intToText<Cls, S, nxtShortString, Truncate>;
    case nxtNullString: return intToText<Cls, S, nxtNullString, Truncate>;
    default: return intToText<Cls, S, nxtWideString, Truncate>;
  }
}

// The factory of one integer class: aSources are the types it serves.
template <class Cls, class S>
TnxBaseFieldMapper* createInteger(std::initializer_list<TnxFieldType> aSources, TnxFieldDescriptor& aSourceField,
                                  TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                                  TnxMappingMethod& aMapper) {
  if (std::find(aSources.begin(), aSources.end(), aSourceField.fdType) == aSources.end()) return nullptr;
  const TnxFieldType target = aTargetField.fdType;
  const bool best = nxIsBestFit(aMapperDesc);
  if (aSourceField.fdType == nxtRefNr && target != nxtInt64 && target != nxtRefNr && !isStringType(target))
    return nullptr;
  if (aSourceField.fdType == nxtInt64 && target == nxtRefNr) return nullptr;
  const void* cls = classData(Cls::staticClassInfo());
  TnxMappingRoutine routine = nullptr;
  switch (target) {
    case nxtSingle: routine = intToFloat<S, float>; break;
    case nxtDouble: routine = intToFloat<S, double>; break;
    case nxtExtended: routine = intToExtended<S>; break;
    case nxtCurrency: routine = intToCurrency<S>; break;
    case nxtByteArray:
      if (aTargetField.fdUnits < static_cast<std::int32_t>(sizeof(S))) return nullptr;
      routine = intToBytes<S>;
      break;
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
    case nxtBCD:
    case nxtChar:
    case nxtWideChar: break;  // instance routines below
    default:
      routine = best ? intToIntRoutine<S, true>(target) : intToIntRoutine<S, false>(target);
      if (!routine) return nullptr;
      break;
  }
  if (routine) {
    aMapper = {routine, cls};
    return nullptr;
  }
  Cls* self = platform::create<Cls>();
  self->SetTarget(aTargetField);
  if (target == nxtBCD) {
    routine = self->TargetUnits() - self->TargetDecPl() >= IntTraits<S>::digits ? intToBcdDirect<S>
              : best                                                         ? intToBcd<Cls, S, true>
                                                                             : intToBcd<Cls, S, false>;
  } else if (isCharType(target)) {
    routine = intToIntRoutine<S, true>(target);
    if (!best) routine = intToIntRoutine<S, false>(target);
  } else {
    char buf[24];
    const bool truncate =
        best || sampleFits(target, self->TargetLength(), decimalText(IntTraits<S>::sample, buf).size());
    routine = truncate ? intToTextRoutine<Cls, S, true>(target) : intToTextRoutine<Cls, S, false>(target);
  }
  aMapper = {routine, self};
  return self;
}

}  // namespace

TnxBaseFieldMapper* TnxBooleanMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                           TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                           const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtBoolean || aTargetField.fdLength < 1) return nullptr;
  if (TnxMappingRoutine routine = booleanRoutine(aTargetField.fdType))
    aMapper = {routine, classData(staticClassInfo())};
  return nullptr;
}

#define NX_INTEGER_FACTORY(Cls, S, ...)                                                                        \
  TnxBaseFieldMapper* Cls::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,          \
                                                TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,          \
                                                const TnxFieldMapperDescriptor* aMapperDesc,                   \
                                                TnxMappingMethod& aMapper) {                                   \
    return createInteger<Cls, S>({__VA_ARGS__}, aSourceField, aTargetField, aMapperDesc, aMapper);             \
  }

NX_INTEGER_FACTORY(TnxByte8Mapper, std::uint8_t, nxtByte)
NX_INTEGER_FACTORY(TnxWord16Mapper, std::uint16_t, nxtWord16)
NX_INTEGER_FACTORY(TnxWord32Mapper, std::uint32_t, nxtWord32, nxtAutoInc, nxtRecRev)
NX_INTEGER_FACTORY(TnxInt8Mapper, std::int8_t, nxtInt8)
NX_INTEGER_FACTORY(TnxInt16Mapper, std::int16_t, nxtInt16)
NX_INTEGER_FACTORY(TnxInt32Mapper, std::int32_t, nxtInt32)
NX_INTEGER_FACTORY(TnxInt64Mapper, std::int64_t, nxtInt64, nxtRefNr)

// Numeric targets N, the strings S and the characters C of the matrix.
extern const TnxFieldType kMapperNumbers[15];
const TnxFieldType kMapperNumbers[15] = {nxtBoolean, nxtByte,   nxtWord16, nxtWord32,   nxtInt8,
                                         nxtInt16,   nxtInt32,  nxtInt64,  nxtAutoInc,  nxtRecRev,
                                         nxtSingle,  nxtDouble, nxtExtended, nxtCurrency, nxtBCD};

void nxsdFieldMapperRegisterRow(const platform::ClassInfo& aClass, TnxFieldType aSource,
                                std::initializer_list<TnxFieldType> aExtra, bool aNumbersStringsChars) {
  if (aNumbersStringsChars) {
    for (TnxFieldType t : kMapperNumbers) RegisterFieldMapper(aClass, aSource, t);
    for (TnxFieldType t : {nxtShortString, nxtNullString, nxtWideString, nxtChar, nxtWideChar})
      RegisterFieldMapper(aClass, aSource, t);
  }
  for (TnxFieldType t : aExtra) RegisterFieldMapper(aClass, aSource, t);
}

void nxsdFieldMapperRegisterNumbers() {
  nxsdFieldMapperRegisterRow(TnxBooleanMapper::staticClassInfo(), nxtBoolean, {nxtByteArray}, true);
  const std::pair<const platform::ClassInfo*, TnxFieldType> rows[] = {
      {&TnxByte8Mapper::staticClassInfo(), nxtByte},     {&TnxWord16Mapper::staticClassInfo(), nxtWord16},
      {&TnxWord32Mapper::staticClassInfo(), nxtWord32},  {&TnxInt8Mapper::staticClassInfo(), nxtInt8},
      {&TnxInt16Mapper::staticClassInfo(), nxtInt16},    {&TnxInt32Mapper::staticClassInfo(), nxtInt32},
      {&TnxInt64Mapper::staticClassInfo(), nxtInt64},    {&TnxWord32Mapper::staticClassInfo(), nxtAutoInc},
      {&TnxWord32Mapper::staticClassInfo(), nxtRecRev},
  };
  for (const auto& [cls, source] : rows) nxsdFieldMapperRegisterRow(*cls, source, {nxtByteArray}, true);
  for (TnxFieldType t : {nxtShortString, nxtNullString, nxtWideString, nxtInt64, nxtRefNr})
    RegisterFieldMapper(TnxInt64Mapper::staticClassInfo(), nxtRefNr, t);
}
