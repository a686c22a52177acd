#include "nxsdFieldMapperChars.h"

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxCharMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWideCharMapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

// The source character as a code: the byte (Char) or the unit (WideChar).
template <bool Wide>
inline char16_t source(const void* s) {
  if constexpr (Wide)
    return load<char16_t>(s);
  else
    return static_cast<unsigned char>(load<char>(s));
}
inline int digitOf(char16_t c) { return c >= u'0' && c <= u'9' ? c - u'0' : -1; }

// ---------------------------------------------------------------------------
// Class-level routines

template <bool Wide, bool Best>
TnxResult charToBool(const void*, const void* s, void* t) {
  const char16_t c = source<Wide>(s);
  bool value;
  if constexpr (!Wide) {
    const bool no = c == u'0' || c == u'F' || c == u'N';
    if constexpr (!Best)
      if (!no && c != u'1' && c != u'T' && c != u'Y') return nxErrInvalidFieldXform;
    value = !no;
  } else {
    const int d = digitOf(c);
    if constexpr (!Best)
      if (d < 0 || d > 1) return nxErrInvalidFieldXform;
    value = d > 0;
  }
  store(t, static_cast<std::uint8_t>(value ? 0xFF : 0));
  return 0;
}

template <bool Wide, bool Best, class V>
TnxResult charToNumber(const void*, const void* s, void* t) {
  int d = digitOf(source<Wide>(s));
  if (d < 0) {
    if constexpr (!Best) return nxErrInvalidFieldXform;
    d = 0;
  }
  if constexpr (std::is_same_v<V, long double>)
    storeExtended(t, static_cast<long double>(d));
  else
    store(t, static_cast<V>(d));
  return 0;
}

template <bool Wide, bool Best>
TnxResult charToCurrency(const void*, const void* s, void* t) {
  int d = digitOf(source<Wide>(s));
  if (d < 0) {
    if constexpr (!Best) return nxErrInvalidFieldXform;
    d = 0;
  }
  store(t, static_cast<std::int64_t>(d) * 10000);
  return 0;
}

template <std::size_t N>
TnxResult copyN(const void*, const void* s, void* t) {
  std::memcpy(t, s, N);
  return 0;
}

template <bool Wide, bool Best>
TnxMappingRoutine classRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtBoolean: return charToBool<Wide, Best>;
    case nxtByte: return charToNumber<Wide, Best, std::uint8_t>;
    case nxtInt8: return charToNumber<Wide, Best, std::int8_t>;
    case nxtWord16: return charToNumber<Wide, Best, std::uint16_t>;
    case nxtInt16: return charToNumber<Wide, Best, std::int16_t>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return charToNumber<Wide, Best, std::uint32_t>;
    case nxtInt32: return charToNumber<Wide, Best, std::int32_t>;
    case nxtInt64: return charToNumber<Wide, Best, std::int64_t>;
    case nxtSingle: return charToNumber<Wide, Best, float>;
    case nxtDouble: return charToNumber<Wide, Best, double>;
    case nxtExtended: return charToNumber<Wide, Best, long double>;
    case nxtCurrency:
    case nxtBCD: return charToCurrency<Wide, Best>;
    case nxtByteArray: return Wide ? copyN<2> : copyN<1>;
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Char instance routines

inline const TnxCharMapper* cm(const void* d) { return static_cast<const TnxCharMapper*>(d); }

// Decodes the byte into one unit; false when the platform refuses (best fit).
template <bool Best>
bool decodeByte(const TnxCharMapper* m, char c, char16_t& u, const char* aLabel) {
  try {
    char16_t out[4];
    const std::size_t n = platform::multiByteToWide(m->ccSourceCodepage, std::string_view(&c, 1), out, 4);
    u = n > 0 ? out[0] : 0;
    return true;
  } catch (const platform::OsError& e) {
    if constexpr (Best) return false;
    raiseConversion(e, "TnxCharMapper", aLabel, "MultiByteToWideChar");
  }
}

TnxResult charConvertChar(const void* d, const void* s, void* t) {
  const auto* m = cm(d);
  const char c = load<char>(s);
  if (c == 0) {
    store(t, char{0});
    return 0;
  }
  char16_t u;
  decodeByte<false>(m, c, u, "ToCharConvert");
  char out[4];
  std::size_t n = 0;
  if (!encode(m->ccTargetCodepage, std::u16string_view(&u, 1), out, 1, n, "TnxCharMapper", "ToCharConvert") || n != 1)
    return nxErrInvalidFieldXform;
  store(t, out[0]);
  return 0;
}

template <bool Short>
TnxResult charPlain(const void*, const void* s, void* t) {
  const char c = load<char>(s);
  if constexpr (Short)
    writeShort(t, &c, 1);
  else
    writeNull(t, &c, 1);
  return 0;
}

template <bool Short, bool Best>
TnxResult charConvertText(const void* d, const void* s, void* t) {
  const auto* m = cm(d);
  const char* label = Short ? "ToShortStringConvertCheck" : "ToNullStringConvertCheck";
  const char c = load<char>(s);
  std::size_t n = 0;
  char out[8];
  if (c != 0) {
    char16_t u;
    decodeByte<false>(m, c, u, label);
    const auto units = std::min<std::size_t>(static_cast<std::size_t>(m->ccTargetLength - 1), sizeof out);
    if (!encode(m->ccTargetCodepage, std::u16string_view(&u, 1), out, units, n, "TnxCharMapper", label)) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      n = 0;
    }
  }
  if constexpr (Short)
    writeShort(t, out, n);
  else
    writeNull(t, out, n);
  return 0;
}

template <bool String, bool Best>
TnxResult charToWide(const void* d, const void* s, void* t) {
  const auto* m = cm(d);
  const char c = load<char>(s);
  char16_t u = 0;
  if (c != 0 && !decodeByte<Best>(m, c, u, String ? "ToWideStringConvertCheck" : "ToWideCharConvertCheck"))
    return 0;  // best fit leaves the target as it was
  if constexpr (String)
    writeWide(t, &u, u ? 1 : 0);
  else
    store(t, u);
  return 0;
}

// ---------------------------------------------------------------------------
// WideChar instance routines

inline const TnxWideCharMapper* wm(const void* d) { return static_cast<const TnxWideCharMapper*>(d); }

TnxResult wideToChar(const void* d, const void* s, void* t) {
  const char16_t w = load<char16_t>(s);
  char out[8] = {};
  std::size_t n = 0;
  if (w != 0) encode(wm(d)->wccTargetCodepage, std::u16string_view(&w, 1), out, sizeof out, n, "TnxWideCharMapper", "ToCharConvert");
  store(t, n > 0 ? out[0] : char{0});
  return 0;
}

TnxResult wideToWideString(const void*, const void* s, void* t) {
  const char16_t w = load<char16_t>(s);
  writeWide(t, &w, w ? 1 : 0);
  return 0;
}

template <bool Short, bool Best>
TnxResult wideToText(const void* d, const void* s, void* t) {
  const auto* m = wm(d);
  const char16_t w = load<char16_t>(s);
  char out[8];
  std::size_t n = 0;
  if (w != 0) {
    const auto units = std::min<std::size_t>(static_cast<std::size_t>(m->wccTargetLength - 1), sizeof out);
    if (!encode(m->wccTargetCodepage, std::u16string_view(&w, 1), out, units, n, "TnxWideCharMapper",
                Short ? "ToShortStringConvertCheck" : "ToNullStringConvertCheck")) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      n = 0;
    }
  }
  if constexpr (Short)
    writeShort(t, out, n);
  else
    writeNull(t, out, n);
  return 0;
}

bool refused(TnxFieldType t) {
  return t == nxtBlob || t == nxtBlobMemo || t == nxtBlobGraphic || t == nxtBlobWideMemo || t == nxtGuid;
}

}  // namespace

TnxBaseFieldMapper* TnxCharMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                        TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  const TnxFieldType target = aTargetField.fdType;
  if (aSourceField.fdType != nxtChar || refused(target)) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc);
  if (!isCharType(target) && !isStringType(target)) {
    if (TnxMappingRoutine r = best ? classRoutine<false, true>(target) : classRoutine<false, false>(target))
      aMapper = {r, classData(staticClassInfo())};
    return nullptr;
  }
  if (aTargetField.fdLength <= 0) return nullptr;
  const std::uint16_t sourceCp = fieldCodePage(aSourceField), targetCp = fieldCodePage(aTargetField);
  const bool convert = sourceCp != 0 && targetCp != 0 && sourceCp != targetCp;
  if (target == nxtChar && !convert) {
    aMapper = {copyN<1>, classData(staticClassInfo())};
    return nullptr;
  }
  auto* self = platform::create<TnxCharMapper>();
  self->ccTargetLength = aTargetField.fdLength;
  self->ccSourceCodepage = sourceCp;
  self->ccTargetCodepage = targetCp;
  TnxMappingRoutine routine = nullptr;
  switch (target) {
    case nxtChar: routine = charConvertChar; break;
    case nxtShortString:
      routine = !convert ? charPlain<true> : best ? charConvertText<true, true> : charConvertText<true, false>;
      break;
    case nxtNullString:
      routine = !convert ? charPlain<false> : best ? charConvertText<false, true> : charConvertText<false, false>;
      break;
    case nxtWideChar: routine = best ? charToWide<false, true> : charToWide<false, false>; break;
    default: routine = best ? charToWide<true, true> : charToWide<true, false>; break;
  }
  aMapper = {routine, self};
  return self;
}

TnxBaseFieldMapper* TnxWideCharMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  const TnxFieldType target = aTargetField.fdType;
  if (aSourceField.fdType != nxtWideChar || refused(target)) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc);
  if (!isCharType(target) && !isStringType(target)) {
    if (TnxMappingRoutine r = best ? classRoutine<true, true>(target) : classRoutine<true, false>(target))
      aMapper = {r, classData(staticClassInfo())};
    return nullptr;
  }
  if (target == nxtWideChar) {
    aMapper = {copyN<2>, classData(staticClassInfo())};
    return nullptr;
  }
  if (aTargetField.fdLength <= 0) return nullptr;
  auto* self = platform::create<TnxWideCharMapper>();
  self->wccTargetLength = aTargetField.fdLength;
  self->wccSourceCodepage = fieldCodePage(aSourceField);
  self->wccTargetCodepage = fieldCodePage(aTargetField);
  TnxMappingRoutine routine = nullptr;
  switch (target) {
    case nxtChar: routine = wideToChar; break;
    case nxtWideString: routine = wideToWideString; break;
    case nxtShortString: routine = best ? wideToText<true, true> : wideToText<true, false>; break;
    default: routine = best ? wideToText<false, true> : wideToText<false, false>; break;
  }
  aMapper = {routine, self};
  return self;
}

void nxsdFieldMapperRegisterChars() {
  nxsdFieldMapperRegisterRow(TnxCharMapper::staticClassInfo(), nxtChar, {nxtByteArray}, true);
  nxsdFieldMapperRegisterRow(TnxWideCharMapper::staticClassInfo(), nxtWideChar, {nxtByteArray}, true);
}
