#include "nxsdFieldMapperBytes.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

PL_CLASS_INFO_IMPL_TABLE(TnxByteArrayMapper, TnxBaseFieldMapper, "TnxByteArrayMapper", nullptr,
                         platform::bindClassTable(nxFieldMapperFuncs<TnxByteArrayMapper>))
PL_CLASS_INFO_IMPL_TABLE(TnxFmtBCDMapper, TnxBaseFieldMapper, "TnxFmtBCDMapper", nullptr,
                         platform::bindClassTable(nxFieldMapperFuncs<TnxFmtBCDMapper>))

using namespace nxfm;

namespace {

// ===========================================================================
// Byte arrays

inline const TnxByteArrayMapper* bam(const void* d) { return static_cast<const TnxByteArrayMapper*>(d); }

TnxResult copyBytes(const void* d, const void* s, void* t) {
  std::memmove(t, s, static_cast<std::size_t>(std::min(bam(d)->bamSourceLength, bam(d)->bamTargetLength)));
  return 0;
}

TnxResult copyGuid(const void* d, const void* s, void* t) {
  std::memmove(t, s, static_cast<std::size_t>(std::min(bam(d)->bamSourceLength, 16)));
  return 0;
}

// The array as text: empty when its first byte is zero, else all its bytes.
inline std::string_view arrayText(const TnxByteArrayMapper* m, const void* s) {
  const auto* p = static_cast<const char*>(s);
  if (p[0] == 0) return {};
  return {p, static_cast<std::size_t>(m->bamSourceLength)};
}

template <bool Short>
void writeBytes8(void* t, const char* p, std::size_t n) {
  if constexpr (Short)
    writeShort(t, p, n);
  else
    writeNull(t, p, n);
}

template <bool Short>
TnxResult rawText(const void* d, const void* s, void* t) {
  const auto* m = bam(d);
  const std::string_view text = arrayText(m, s);
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(m->bamTargetLength - 1));
  writeBytes8<Short>(t, text.data(), n);
  return 0;
}

constexpr std::size_t kWork8 = 256;

template <bool Short>
TnxResult convertBest(const void* d, const void* s, void* t) {
  const auto* m = bam(d);
  const std::string_view text = arrayText(m, s);
  if (text.empty()) {
    writeBytes8<Short>(t, nullptr, 0);
    return 0;
  }
  char16_t* work = wideWork(kWork8);
  std::size_t count = decode(m->bamSourceCodepage, text, work, kWork8, "TnxByteArrayMapper", m->bamLabel);
  const auto units = static_cast<std::size_t>(m->bamTargetLength - 1);
  if (count >= static_cast<std::size_t>(m->bamTargetLength)) count = units;
  char* out = byteWork(units + 1);
  const std::size_t n = encodeFit(m->bamTargetCodepage, std::u16string_view(work, count), out, units,
                                  "TnxByteArrayMapper", m->bamLabel);
  writeBytes8<Short>(t, out, n);
  return 0;
}

template <bool Short>
TnxResult convertCheck(const void* d, const void* s, void* t) {
  const auto* m = bam(d);
  const std::string_view text = arrayText(m, s);
  char16_t* work = wideWork(kWork8);
  const std::size_t count = decode(m->bamSourceCodepage, text, work, kWork8, "TnxByteArrayMapper", m->bamLabel);
  const auto units = static_cast<std::size_t>(m->bamTargetLength - 1);
  char* out = byteWork(units + 1);
  std::size_t n = 0;
  if (!encode(m->bamTargetCodepage, std::u16string_view(work, count), out, units, n, "TnxByteArrayMapper",
              m->bamLabel)) {
    writeBytes8<Short>(t, nullptr, 0);
    return nxErrInvalidFieldXform;
  }
  writeBytes8<Short>(t, out, n);
  return 0;
}

template <bool Best>
TnxResult toWide(const void* d, const void* s, void* t) {
  const auto* m = bam(d);
  const std::string_view text = arrayText(m, s);
  const auto units = static_cast<std::size_t>(m->bamTargetLength / 2 - 1);
  if (text.empty()) {
    writeWide(t, nullptr, 0);
    return 0;
  }
  constexpr std::size_t kWork16 = 65536;
  char16_t* work = wideWork(kWork16);
  std::size_t count = 0;
  try {
    if (units == 0) throw platform::InsufficientBuffer();
    count = platform::multiByteToWide(m->bamSourceCodepage, text, work, units);
  } catch (const platform::InsufficientBuffer&) {
    if constexpr (!Best) {
      writeWide(t, nullptr, 0);
      return nxErrInvalidFieldXform;
    }
    count = std::min(decode(m->bamSourceCodepage, text, work, kWork16, "TnxByteArrayMapper", m->bamLabel), units);
  } catch (const platform::OsError& e) {
    raiseConversion(e, "TnxByteArrayMapper", m->bamLabel, "MultiByteToWideChar");
  }
  writeWide(t, work, count);
  return 0;
}

// ===========================================================================
// Formatted decimals

inline const TnxFmtBCDMapper* fbm(const void* d) { return static_cast<const TnxFmtBCDMapper*>(d); }

// The largest magnitude of a precision and scale, with a sign.
TnxFmtBcd largestBcd(std::int32_t aPrecision, std::int32_t aScale, bool aNegative) {
  TnxFmtBcd v{};
  v.Precision = static_cast<std::uint8_t>(aPrecision);
  v.SignSpecialPlaces = static_cast<std::uint8_t>(aScale | (aNegative ? 0x80 : 0));
  for (std::int32_t i = 0; i < aPrecision; ++i) v.Fraction[i / 2] |= static_cast<std::uint8_t>(i % 2 ? 0x09 : 0x90);
  return v;
}

// Normalises to the target's precision and scale and stores. A dropped
// digit gives 10002 (target unchanged) when checking; best fit truncates
// fraction digits and clamps a value too large for the integer digits.
TnxResult storeFmt(const TnxFmtBCDMapper* m, const TnxFmtBcd& aValue, bool aBest, void* t) {
  TnxFmtBcd out{};
  const TnxBcdLoss loss = nxNormalizeBcd(aValue, out, m->fbmTargetUnits, m->fbmTargetDecPl);
  if (loss != 0 && !aBest) return nxErrInvalidFieldXform;
  if ((loss & nxBcdLossHigh) != 0)
    out = largestBcd(m->fbmTargetUnits, m->fbmTargetDecPl, (aValue.SignSpecialPlaces & 0x80) != 0);
  std::memcpy(t, &out, static_cast<std::size_t>(std::min<std::int32_t>(m->fbmTargetLength, sizeof out)));
  return 0;
}

template <TnxFieldType S>
std::u16string integerText(const void* s) {
  std::string text;
  switch (S) {
    case nxtByte: text = std::to_string(load<std::uint8_t>(s)); break;
    case nxtWord16: text = std::to_string(load<std::uint16_t>(s)); break;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: text = std::to_string(load<std::uint32_t>(s)); break;
    case nxtInt8: text = std::to_string(load<std::int8_t>(s)); break;
    case nxtInt16: text = std::to_string(load<std::int16_t>(s)); break;
    case nxtInt32: text = std::to_string(load<std::int32_t>(s)); break;
    default: text = std::to_string(load<std::int64_t>(s)); break;
  }
  return std::u16string(text.begin(), text.end());
}

template <TnxFieldType S, bool Best>
TnxResult integerToFmt(const void* d, const void* s, void* t) {
  TnxFmtBcd v{};
  nxStrToBcd(integerText<S>(s), v, u'.');
  return storeFmt(fbm(d), v, Best, t);
}

template <TnxFieldType S, bool Best>
TnxResult floatToFmt(const void* d, const void* s, void* t) {
  const double x = S == nxtSingle ? static_cast<double>(load<float>(s)) : load<double>(s);
  return storeFmt(fbm(d), nxDoubleToBcd(x), Best, t);
}

// The digits of an extended value at 19 significant digits, none beyond
// the 64th place after the point.
template <bool Best>
TnxResult extendedToFmt(const void* d, const void* s, void* t) {
  const long double x = loadExtended(s);
  if (!std::isfinite(x)) return nxErrInvalidFieldXform;
  TnxFloatRec rec{};
  rec.Negative = std::signbit(x) && x != 0;
  if (x != 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.18Le", std::fabs(x));
    std::string digits(1, buf[0]);
    digits.append(buf + 2, 18);
    const char* e = std::strchr(buf, 'e');
    rec.Exponent = static_cast<std::int16_t>(std::atoi(e + 1) + 1);
    const int keep = std::max(0, 64 + rec.Exponent);
    if (static_cast<int>(digits.size()) > keep) digits.resize(static_cast<std::size_t>(keep));
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    std::memcpy(rec.Digits, digits.data(), digits.size());
  }
  TnxFmtBcd v{};
  nxFloatRecToBcd(rec, v);
  return storeFmt(fbm(d), v, Best, t);
}

template <bool Best>
TnxResult currencyToFmt(const void* d, const void* s, void* t) {
  TnxFmtBcd v{};
  nxCurrToBcd(v, 32, 4, load<std::int64_t>(s));
  return storeFmt(fbm(d), v, Best, t);
}

// The source value as decimal text with "."; false for a stored value that
// is no packed decimal.
bool sourceText(const TnxFmtBCDMapper* m, const void* s, std::string& aText) {
  TnxFmtBcd v{};
  std::memcpy(&v, s, static_cast<std::size_t>(std::min<std::int32_t>(m->fbmSourceLength, sizeof v)));
  if (v.Precision > 64 || (v.SignSpecialPlaces & 0x3F) > v.Precision) return false;
  const nxString text = nxBcdToStr(v, u'.');
  aText.assign(text.begin(), text.end());
  return true;
}

bool parseInt64(std::string_view aText, std::int64_t& aValue) {
  const auto r = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
  return r.ec == std::errc() && r.ptr == aText.data() + aText.size() && !aText.empty();
}

bool parseFloat(const std::string& aText, long double& aValue) {
  if (aText.empty()) return false;
  char* end = nullptr;
  aValue = std::strtold(aText.c_str(), &end);
  return end == aText.c_str() + aText.size();
}

template <bool Best>
TnxResult fmtToInteger(const void* d, const void* s, void* t) {
  const auto* m = fbm(d);
  std::string text;
  if (!sourceText(m, s, text)) return nxErrInvalidFieldXform;
  const std::size_t point = text.find('.');
  if (point != std::string::npos) {
    if (!Best) return nxErrInvalidFieldXform;
    text.resize(point);
  }
  std::int64_t value = 0;
  if (!parseInt64(text, value)) return nxErrInvalidFieldXform;
  if (value < m->fbmTargetMinInt || value > m->fbmTargetMaxInt) {
    if (!Best) return nxErrInvalidFieldXform;
    value = std::clamp(value, m->fbmTargetMinInt, m->fbmTargetMaxInt);
  }
  storeInt(t, m->fbmTargetType, value);
  return 0;
}

template <TnxFieldType T, bool Best>
TnxResult fmtToFloat(const void* d, const void* s, void* t) {
  std::string text;
  long double x = 0;
  if (!sourceText(fbm(d), s, text) || !parseFloat(text, x)) return nxErrInvalidFieldXform;
  if constexpr (T == nxtSingle) {
    const float v = static_cast<float>(x);
    store(t, v);
    if (!Best && std::fabs(static_cast<long double>(v) - x) > 1e-7L) return nxErrInvalidFieldXform;
  } else if constexpr (T == nxtDouble) {
    const double v = static_cast<double>(x);
    store(t, v);
    if (!Best && std::fabs(static_cast<long double>(v) - x) > 1e-15L) return nxErrInvalidFieldXform;
  } else {
    storeExtended(t, x);
  }
  return 0;
}

template <bool Best>
TnxResult fmtToCurrency(const void* d, const void* s, void* t) {
  const auto* m = fbm(d);
  TnxFmtBcd v{};
  std::memcpy(&v, s, static_cast<std::size_t>(std::min<std::int32_t>(m->fbmSourceLength, sizeof v)));
  std::string text;
  if (!sourceText(m, s, text)) return nxErrInvalidFieldXform;
  if constexpr (!Best) {
    long double x = 0;
    if (!parseFloat(text, x)) return nxErrInvalidFieldXform;
    if (x * 10000 > 9223372036854775807.0L || x * 10000 < -9223372036854775807.0L) return nxErrInvalidFieldXform;
    const std::size_t point = text.find('.');
    if (point != std::string::npos && text.size() - point - 1 > 4) return nxErrInvalidFieldXform;
  }
  std::int64_t raw = 0;
  if (!nxTryBcdToCurr(v, raw)) return nxErrInvalidFieldXform;
  store(t, raw);
  return 0;
}

TnxResult fmtCopy(const void* d, const void* s, void* t) {
  std::memmove(t, s, static_cast<std::size_t>(fbm(d)->fbmTargetLength));
  return 0;
}

template <bool Best>
TnxResult fmtToFmt(const void* d, const void* s, void* t) {
  const auto* m = fbm(d);
  TnxFmtBcd v{};
  std::memcpy(&v, s, static_cast<std::size_t>(std::min<std::int32_t>(m->fbmSourceLength, sizeof v)));
  if (v.Precision > 64 || (v.SignSpecialPlaces & 0x3F) > v.Precision) return nxErrInvalidFieldXform;
  return storeFmt(m, v, Best, t);
}

bool isIntegerType(TnxFieldType t) {
  switch (t) {
    case nxtByte:
    case nxtWord16:
    case nxtWord32:
    case nxtInt8:
    case nxtInt16:
    case nxtInt32:
    case nxtInt64:
    case nxtAutoInc:
    case nxtRecRev: return true;
    default: return false;
  }
}
bool isFloatType(TnxFieldType t) { return t == nxtSingle || t == nxtDouble || t == nxtExtended; }

template <bool Best>
TnxMappingRoutine integerRoutine(TnxFieldType aSource) {
  switch (aSource) {
    case nxtByte: return integerToFmt<nxtByte, Best>;
    case nxtWord16: return integerToFmt<nxtWord16, Best>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return integerToFmt<nxtWord32, Best>;
    case nxtInt8: return integerToFmt<nxtInt8, Best>;
    case nxtInt16: return integerToFmt<nxtInt16, Best>;
    case nxtInt32: return integerToFmt<nxtInt32, Best>;
    default: return integerToFmt<nxtInt64, Best>;
  }
}

template <bool Best>
TnxMappingRoutine fmtRoutine(TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget) {
  const TnxFieldType source = aSource.fdType, target = aTarget.fdType;
  if (source == nxtFmtBCD) {
    if (isIntegerType(target)) return fmtToInteger<Best>;
    switch (target) {
      case nxtSingle: return fmtToFloat<nxtSingle, Best>;
      case nxtDouble: return fmtToFloat<nxtDouble, Best>;
      case nxtExtended: return fmtToFloat<nxtExtended, Best>;
      case nxtCurrency:
      case nxtBCD: return fmtToCurrency<Best>;
      default:
        if (aSource.fdLength == aTarget.fdLength && aSource.fdUnits == aTarget.fdUnits &&
            aSource.fdDecPl == aTarget.fdDecPl)
          return fmtCopy;
        return fmtToFmt<Best>;
    }
  }
  if (isIntegerType(source)) return integerRoutine<Best>(source);
  switch (source) {
    case nxtSingle: return floatToFmt<nxtSingle, Best>;
    case nxtDouble: return floatToFmt<nxtDouble, Best>;
    case nxtExtended: return extendedToFmt<Best>;
    default: return currencyToFmt<Best>;
  }
}

}  // namespace

TnxBaseFieldMapper* TnxByteArrayMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                             TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                             const TnxFieldMapperDescriptor* aMapperDesc,
                                                             TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType target = aTargetField.fdType;
  if (aSourceField.fdType != nxtByteArray ||
      (target != nxtByteArray && target != nxtShortString && target != nxtNullString && target != nxtWideString &&
       target != nxtGuid))
    return nullptr;
  const std::int32_t sourceLength = aSourceField.fdLength, targetLength = aTargetField.fdLength;
  const std::uint16_t sourceCp = fieldCodePage(aSourceField), targetCp = fieldCodePage(aTargetField);
  const bool best = nxIsBestFit(aMapperDesc);
  const bool convert = sourceCp != 0 && targetCp != 0 &&
                       (sourceCp != targetCp || (isMultiByteCodePage(targetCp) && targetLength < sourceLength));
  TnxMappingRoutine routine = nullptr;
  const char* label = "";
  switch (target) {
    case nxtByteArray:
      if (best || targetLength >= sourceLength) routine = copyBytes;
      break;
    case nxtGuid:
      if (best || sourceLength >= 16) routine = copyGuid;
      break;
    case nxtShortString:
    case nxtNullString: {
      const bool isShort = target == nxtShortString;
      if (targetLength < 1) break;
      if (convert) {
        label = isShort ? (best ? "ToShortStringConvert" : "ToShortStringConvertCheck")
                        : (best ? "ToNullStringConvert" : "ToNullStringConvertCheck");
        routine = isShort ? (best ? convertBest<true> : convertCheck<true>)
                          : (best ? convertBest<false> : convertCheck<false>);
      } else if (best || sourceLength < targetLength) {
        routine = isShort ? rawText<true> : rawText<false>;
      }
      break;
    }
    default:  // WideString
      if (best) {
        label = "ToWideString";
        routine = toWide<true>;
      } else if (sourceLength < targetLength / 2) {
        label = "ToWideStringCheck";
        routine = toWide<false>;
      }
  }
  if (!routine) return nullptr;
  auto* self = platform::create<TnxByteArrayMapper>();
  self->bamFormatSettings = fieldFormatSettings(aTargetField);
  self->bamSourceLength = sourceLength;
  self->bamTargetLength = targetLength;
  self->bamSourceCodepage = sourceCp;
  self->bamTargetCodepage = targetCp;
  self->bamLabel = label;
  aMapper = {routine, self};
  return self;
}

TnxBaseFieldMapper* TnxFmtBCDMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                          const TnxFieldMapperDescriptor* aMapperDesc,
                                                          TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType source = aSourceField.fdType, target = aTargetField.fdType;
  auto numeric = [](TnxFieldType t) { return isIntegerType(t) || isFloatType(t) || t == nxtCurrency || t == nxtBCD; };
  const bool served = (source == nxtFmtBCD && (numeric(target) || target == nxtFmtBCD)) ||
                      (numeric(source) && target == nxtFmtBCD);
  if (!served) return nullptr;
  auto* self = platform::create<TnxFmtBCDMapper>();
  self->fbmSourceType = source;
  self->fbmSourceLength = aSourceField.fdLength;
  self->fbmSourceUnits = aSourceField.fdUnits;
  self->fbmSourceDecPl = aSourceField.fdDecPl;
  self->fbmSourceFormatSettings = fieldFormatSettings(aSourceField);
  self->fbmTargetType = target;
  self->fbmTargetLength = aTargetField.fdLength;
  self->fbmTargetUnits = aTargetField.fdUnits;
  self->fbmTargetDecPl = aTargetField.fdDecPl;
  self->fbmTargetFormatSettings = fieldFormatSettings(aTargetField);
  if (isIntegerType(target)) {
    self->fbmTargetMinInt = lowOf(target);
    self->fbmTargetMaxInt = highOf(target);
  }
  aMapper = {nxIsBestFit(aMapperDesc) ? fmtRoutine<true>(aSourceField, aTargetField)
                                      : fmtRoutine<false>(aSourceField, aTargetField),
             self};
  return self;
}

void nxsdFieldMapperRegisterBytes() {
  const platform::ClassInfo& bytes = TnxByteArrayMapper::staticClassInfo();
  for (TnxFieldType t : {nxtByteArray, nxtGuid, nxtShortString, nxtNullString, nxtWideString})
    RegisterFieldMapper(bytes, nxtByteArray, t);
  const platform::ClassInfo& fmt = TnxFmtBCDMapper::staticClassInfo();
  for (TnxFieldType t : {nxtByte, nxtWord16, nxtWord32, nxtInt8, nxtInt16, nxtInt32, nxtInt64, nxtAutoInc, nxtRecRev,
                         nxtSingle, nxtDouble, nxtExtended, nxtCurrency, nxtBCD}) {
    RegisterFieldMapper(fmt, t, nxtFmtBCD);
    RegisterFieldMapper(fmt, nxtFmtBCD, t);
  }
  RegisterFieldMapper(fmt, nxtFmtBCD, nxtFmtBCD);
}
