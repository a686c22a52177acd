#include "nxsdFieldMapperFloats.h"

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxSingleMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxDoubleMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxExtendedMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxCurrencyMapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

// The class of a source kind: 0 Single, 1 Double, 2 Extended, 3 Currency.
template <int K>
struct FloatClassOf;
template <>
struct FloatClassOf<0> {
  using type = TnxSingleMapper;
};
template <>
struct FloatClassOf<1> {
  using type = TnxDoubleMapper;
};
template <>
struct FloatClassOf<2> {
  using type = TnxExtendedMapper;
};
template <>
struct FloatClassOf<3> {
  using type = TnxCurrencyMapper;
};
template <int K>
using FloatClass = typename FloatClassOf<K>::type;

constexpr long double kMaxRaw = 9223372036854775807.0L;
constexpr std::int64_t kMaxRawInt = std::numeric_limits<std::int64_t>::max();

// ---------------------------------------------------------------------------
// Float sources; K: 0 Single, 1 Double, 2 Extended

template <int K>
inline long double fsrc(const void* p) {
  if constexpr (K == 0) return load<float>(p);
  if constexpr (K == 1) return load<double>(p);
  return loadExtended(p);
}
template <int K>
constexpr long double kResolution = K == 0 ? 1e-4L : K == 1 ? 1e-12L : 1e-16L;
template <int K>
constexpr std::size_t kFloatSize = K == 0 ? 4 : K == 1 ? 8 : 10;

template <int K, bool Best>
TnxResult floatToBool(const void*, const void* s, void* t) {
  const long double x = fsrc<K>(s);
  const bool zero = sameValue(x, 0, kResolution<K>);
  store(t, static_cast<std::uint8_t>(zero ? 0 : 0xFF));
  if constexpr (!Best)
    if (!zero && !sameValue(x, 1, kResolution<K>)) return nxErrInvalidFieldXform;
  return 0;
}

template <int K, TnxFieldType T, bool Best>
TnxResult floatToInt(const void*, const void* s, void* t) {
  long double x = fsrc<K>(s);
  constexpr long double lo = static_cast<long double>(lowOf(T)), hi = static_cast<long double>(highOf(T));
  if constexpr (Best) {
    if (std::isnan(x)) x = 0;
    x = x < lo ? lo : x > hi ? hi : roundEven(x);
  } else {
    if (!(x >= lo && x <= hi) || hasFraction(x)) return nxErrInvalidFieldXform;
    x = roundEven(x);
  }
  storeInt(t, T, static_cast<std::int64_t>(x));
  return 0;
}

template <int K, bool Best>
TnxResult floatToCurrency(const void*, const void* s, void* t) {
  long double e = fsrc<K>(s) * 10000.0L;
  if constexpr (Best) {
    if (std::isnan(e)) e = 0;
    e = e < -kMaxRaw ? -kMaxRaw : e > kMaxRaw ? kMaxRaw : roundEven(e);
  } else {
    if (!(e >= -kMaxRaw && e <= kMaxRaw) || hasFraction(e)) return nxErrInvalidFieldXform;
    e = roundEven(e);
  }
  // Rounding may reach 2^63 just above the largest value.
  store(t, e >= 9223372036854775807.0L ? kMaxRawInt : static_cast<std::int64_t>(e));
  return 0;
}

template <int K, bool Best>
TnxResult floatToBcd(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const FloatClass<K>*>(aData);
  const TnxFmtBcd value = nxDoubleToBcd(static_cast<double>(fsrc<K>(s)));
  return storeBcd(value, self->TargetUnits(), self->TargetDecPl(), Best, t);
}

template <int K>
TnxResult floatCopy(const void*, const void* s, void* t) {
  std::memcpy(t, s, kFloatSize<K>);
  return 0;
}

template <int K, class F>
TnxResult floatWiden(const void*, const void* s, void* t) {
  if constexpr (sizeof(F) > 8)
    storeExtended(t, fsrc<K>(s));
  else
    store(t, static_cast<F>(fsrc<K>(s)));
  return 0;
}

template <int K, class F, bool Best>
TnxResult floatNarrow(const void*, const void* s, void* t) {
  const long double x = fsrc<K>(s);
  constexpr long double maxF = std::numeric_limits<F>::max();
  constexpr long double minNormal = std::numeric_limits<F>::min();
  const long double ax = std::fabs(x);
  if constexpr (Best) {
    if (ax > maxF) {
      store(t, static_cast<F>(x < 0 ? -maxF : maxF));
      return 0;
    }
  } else {
    if (std::isnan(x) || ax > maxF || (x != 0 && ax < minNormal)) return nxErrInvalidFieldXform;
  }
  store(t, static_cast<F>(x));
  return 0;
}

TnxResult doubleToDateTime(const void*, const void* s, void* t) {
  try {
    const platform::TimeStamp ts = platform::dateTimeToTimeStamp(load<double>(s));
    store(t, static_cast<double>(ts.date) * platform::kMSecsPerDay + ts.time);
  } catch (const platform::RangeError&) {
    return nxErrInvalidFieldXform;  // no day of 0001-01-01 .. 9999-12-31
  }
  return 0;
}

template <int K, bool Best, bool Wide>
TnxResult floatToChar(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const FloatClass<K>*>(aData);
  const long double x = fsrc<K>(s);
  char16_t c;
  if constexpr (Best) {
    if constexpr (Wide) {
      const std::u16string text = floatText16(x, self->FormatSettings());
      c = text.empty() ? 0 : text[0];
    } else {
      const std::string text = floatText8(x, self->FormatSettings());
      c = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
    }
  } else {
    if (!(x >= 0 && x <= 9) || std::truncl(x) != x) return nxErrInvalidFieldXform;
    c = static_cast<char16_t>(u'0' + static_cast<int>(x));
  }
  if constexpr (Wide)
    store(t, c);
  else
    store(t, static_cast<char>(c));
  return 0;
}

// Text of a value v of the mapper's source, 8-bit or UTF-16.
template <class Cls, TnxFieldType T, bool Truncate>
TnxResult valueToText(const Cls* self, long double v, void* t) {
  if constexpr (T == nxtWideString)
    return putText16(t, self->TargetLength(), floatText16(v, self->FormatSettings()), Truncate);
  else
    return putText8(t, T == nxtShortString, self->TargetLength(), floatText8(v, self->FormatSettings()), Truncate);
}

template <int K, TnxFieldType T, bool Truncate>
TnxResult floatToText(const void* aData, const void* s, void* t) {
  return valueToText<FloatClass<K>, T, Truncate>(static_cast<const FloatClass<K>*>(aData), fsrc<K>(s), t);
}

template <int K, bool Best>
TnxMappingRoutine floatIntRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtByte: return floatToInt<K, nxtByte, Best>;
    case nxtWord16: return floatToInt<K, nxtWord16, Best>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return floatToInt<K, nxtWord32, Best>;
    case nxtInt8: return floatToInt<K, nxtInt8, Best>;
    case nxtInt16: return floatToInt<K, nxtInt16, Best>;
    case nxtInt32: return floatToInt<K, nxtInt32, Best>;
    case nxtInt64: return floatToInt<K, nxtInt64, Best>;
    case nxtBoolean: return floatToBool<K, Best>;
    case nxtCurrency: return floatToCurrency<K, Best>;
    case nxtSingle:
      if constexpr (K == 0) return floatCopy<K>;
      else return floatNarrow<K, float, Best>;
    case nxtDouble:
      if constexpr (K == 0) return floatWiden<K, double>;
      else if constexpr (K == 1) return floatCopy<K>;
      else return floatNarrow<K, double, Best>;
    case nxtExtended:
      if constexpr (K == 2) return floatCopy<K>;
      else return floatWiden<K, long double>;
    case nxtDateTime:
      if constexpr (K == 1) return doubleToDateTime;
      else return nullptr;
    default: return nullptr;
  }
}

template <int K, bool Best>
TnxMappingRoutine floatInstanceRoutine(TnxFieldType aTarget, bool aTruncate) {
  switch (aTarget) {
    case nxtBCD: return floatToBcd<K, Best>;
    case nxtChar: return floatToChar<K, Best, false>;
    case nxtWideChar: return floatToChar<K, Best, true>;
    case nxtShortString: return aTruncate ? floatToText<K, nxtShortString, true> : floatToText<K, nxtShortString, false>;
    case nxtNullString: return aTruncate ? floatToText<K, nxtNullString, true> : floatToText<K, nxtNullString, false>;
    case nxtWideString: return aTruncate ? floatToText<K, nxtWideString, true> : floatToText<K, nxtWideString, false>;
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Currency and BCD sources: raw is the stored value x 10000

inline std::int64_t raw(const void* p) { return load<std::int64_t>(p); }
inline long double currValue(std::int64_t r) { return static_cast<long double>(r) / 10000.0L; }

// Round(raw / 10000), halves to even.
inline std::int64_t roundRaw(std::int64_t r) {
  std::int64_t q = r / 10000;
  const std::int64_t m = r % 10000;
  if (m > 5000 || (m == 5000 && (q & 1) != 0)) ++q;
  if (m < -5000 || (m == -5000 && (q & 1) != 0)) --q;
  return q;
}

template <bool Best>
TnxResult currToBool(const void*, const void* s, void* t) {
  const std::int64_t r = raw(s);
  store(t, static_cast<std::uint8_t>(r != 0 ? 0xFF : 0));
  if constexpr (!Best)
    if (r != 0 && r != 10000) return nxErrInvalidFieldXform;
  return 0;
}

template <TnxFieldType T, bool Best>
TnxResult currToInt(const void*, const void* s, void* t) {
  const std::int64_t r = raw(s);
  constexpr std::int64_t lo = lowOf(T) * 10000, hi = highOf(T) * 10000;
  std::int64_t v;
  if constexpr (Best) {
    v = r < lo ? lowOf(T) : r > hi ? highOf(T) : roundRaw(r);
  } else {
    if (r < lo || r > hi || r % 10000 != 0) return nxErrInvalidFieldXform;
    v = r / 10000;
  }
  storeInt(t, T, v);
  return 0;
}

template <bool Best>
TnxResult currToInt64(const void*, const void* s, void* t) {
  const std::int64_t r = raw(s);
  if constexpr (!Best)
    if (r % 10000 != 0) return nxErrInvalidFieldXform;
  store(t, roundRaw(r));
  return 0;
}

template <class F>
TnxResult currToFloat(const void*, const void* s, void* t) {
  if constexpr (sizeof(F) > 8)
    storeExtended(t, currValue(raw(s)));
  else
    store(t, static_cast<F>(currValue(raw(s))));
  return 0;
}

TnxResult currCopy(const void*, const void* s, void* t) {
  const std::int64_t r = raw(s);
  store(t, r == std::numeric_limits<std::int64_t>::min() ? -kMaxRawInt : r);
  return 0;
}

template <bool Best>
TnxResult currToBcd(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const TnxCurrencyMapper*>(aData);
  TnxFmtBcd full{};
  nxCurrToBcd(full, 20, 4, raw(s));
  return storeBcd(full, self->TargetUnits(), self->TargetDecPl(), Best, t);
}

template <bool Best, bool Wide>
TnxResult currToChar(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const TnxCurrencyMapper*>(aData);
  const std::int64_t r = raw(s);
  char16_t c;
  if constexpr (Best) {
    if constexpr (Wide) {
      const std::u16string text = floatText16(currValue(r), self->FormatSettings());
      c = text.empty() ? 0 : text[0];
    } else {
      const std::string text = floatText8(currValue(r), self->FormatSettings());
      c = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
    }
  } else {
    if (r < 0 || r > 90000 || r % 10000 != 0) return nxErrInvalidFieldXform;
    c = static_cast<char16_t>(u'0' + r / 10000);
  }
  if constexpr (Wide)
    store(t, c);
  else
    store(t, static_cast<char>(c));
  return 0;
}

template <TnxFieldType T, bool Truncate>
TnxResult currToText(const void* aData, const void* s, void* t) {
  return valueToText<TnxCurrencyMapper, T, Truncate>(static_cast<const TnxCurrencyMapper*>(aData), currValue(raw(s)),
                                                     t);
}

TnxResult copyFloat8(const void*, const void* s, void* t) {
  std::memcpy(t, s, 8);
  return 0;
}

template <bool Best>
TnxMappingRoutine currClassRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtBoolean: return currToBool<Best>;
    case nxtByte: return currToInt<nxtByte, Best>;
    case nxtWord16: return currToInt<nxtWord16, Best>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return currToInt<nxtWord32, Best>;
    case nxtInt8: return currToInt<nxtInt8, Best>;
    case nxtInt16: return currToInt<nxtInt16, Best>;
    case nxtInt32: return currToInt<nxtInt32, Best>;
    case nxtInt64: return currToInt64<Best>;
    case nxtSingle: return currToFloat<float>;
    case nxtDouble: return currToFloat<double>;
    case nxtExtended: return currToFloat<long double>;
    case nxtCurrency: return currCopy;
    default: return nullptr;
  }
}

template <bool Best>
TnxMappingRoutine currInstanceRoutine(TnxFieldType aTarget, bool aTruncate) {
  switch (aTarget) {
    case nxtBCD: return currToBcd<Best>;
    case nxtChar: return currToChar<Best, false>;
    case nxtWideChar: return currToChar<Best, true>;
    case nxtShortString: return aTruncate ? currToText<nxtShortString, true> : currToText<nxtShortString, false>;
    case nxtNullString: return aTruncate ? currToText<nxtNullString, true> : currToText<nxtNullString, false>;
    case nxtWideString: return aTruncate ? currToText<nxtWideString, true> : currToText<nxtWideString, false>;
    default: return nullptr;
  }
}

bool needsInstance(TnxFieldType t) { return t == nxtBCD || isCharType(t) || isStringType(t); }

// Builds the instance and chooses the text routine by the sample text.
template <class Cls>
Cls* newFloatMapper(TnxFieldDescriptor& aTargetField, bool aBest, long double aSample, bool& aTruncate) {
  Cls* self = platform::create<Cls>();
  try {
    self->SetTarget(fieldFormatSettings(aTargetField), aTargetField);
  } catch (...) {
    platform::TObject::free(self);
    throw;
  }
  const TnxFieldType t = aTargetField.fdType;
  aTruncate = aBest;
  if (!aBest && isStringType(t)) {
    const std::size_t n = t == nxtWideString ? floatText16(aSample, self->FormatSettings()).size()
                                             : floatText8(aSample, self->FormatSettings()).size();
    aTruncate = sampleFits(t, self->TargetLength(), n);
  }
  return self;
}

template <class Cls, int K>
TnxBaseFieldMapper* createFloat(TnxFieldType aSource, long double aSample, TnxFieldDescriptor& aSourceField,
                                TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                                TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != aSource) return nullptr;
  const TnxFieldType target = aTargetField.fdType;
  const bool best = nxIsBestFit(aMapperDesc);
  if (target == nxtByteArray) {
    if (aTargetField.fdUnits < static_cast<std::int32_t>(kFloatSize<K>)) return nullptr;
    aMapper = {floatCopy<K>, classData(Cls::staticClassInfo())};
    return nullptr;
  }
  if (!needsInstance(target)) {
    TnxMappingRoutine routine = best ? floatIntRoutine<K, true>(target) : floatIntRoutine<K, false>(target);
    if (routine) aMapper = {routine, classData(Cls::staticClassInfo())};
    return nullptr;
  }
  bool truncate = false;
  Cls* self = newFloatMapper<Cls>(aTargetField, best, aSample, truncate);
  aMapper = {best ? floatInstanceRoutine<K, true>(target, truncate) : floatInstanceRoutine<K, false>(target, truncate),
             self};
  return self;
}

}  // namespace

TnxBaseFieldMapper* TnxSingleMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                          const TnxFieldMapperDescriptor* aMapperDesc,
                                                          TnxMappingMethod& aMapper) {
  return createFloat<TnxSingleMapper, 0>(nxtSingle, -3.4e38L, aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxDoubleMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                          const TnxFieldMapperDescriptor* aMapperDesc,
                                                          TnxMappingMethod& aMapper) {
  return createFloat<TnxDoubleMapper, 1>(nxtDouble, -1.7e308L, aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxExtendedMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  return createFloat<TnxExtendedMapper, 2>(nxtExtended, -1.7e308L, aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxCurrencyMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtCurrency && aSourceField.fdType != nxtBCD) return nullptr;
  const TnxFieldType target = aTargetField.fdType;
  const bool best = nxIsBestFit(aMapperDesc);
  const void* cls = classData(staticClassInfo());
  if (target == nxtByteArray) {
    if (aTargetField.fdUnits < 8) return nullptr;
    aMapper = {copyFloat8, cls};
    return nullptr;
  }
  if (target == nxtBCD && aTargetField.fdUnits == 20) {
    aMapper = {currCopy, cls};
    return nullptr;
  }
  if (!needsInstance(target)) {
    if (TnxMappingRoutine routine = best ? currClassRoutine<true>(target) : currClassRoutine<false>(target))
      aMapper = {routine, cls};
    return nullptr;
  }
  bool truncate = false;
  auto* self = newFloatMapper<TnxCurrencyMapper>(aTargetField, best, -922337203685477.5807L, truncate);
  aMapper = {best ? currInstanceRoutine<true>(target, truncate) : currInstanceRoutine<false>(target, truncate), self};
  return self;
}

void nxsdFieldMapperRegisterFloats() {
  nxsdFieldMapperRegisterRow(TnxSingleMapper::staticClassInfo(), nxtSingle, {nxtByteArray}, true);
  nxsdFieldMapperRegisterRow(TnxDoubleMapper::staticClassInfo(), nxtDouble, {nxtDateTime, nxtByteArray}, true);
  nxsdFieldMapperRegisterRow(TnxExtendedMapper::staticClassInfo(), nxtExtended, {nxtByteArray}, true);
  nxsdFieldMapperRegisterRow(TnxCurrencyMapper::staticClassInfo(), nxtCurrency, {nxtByteArray}, true);
  nxsdFieldMapperRegisterRow(TnxCurrencyMapper::staticClassInfo(), nxtBCD, {nxtByteArray}, true);
}
