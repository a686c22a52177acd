#include "nxsdFieldMapperStrings.h"

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxShortStringToShortStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxShortStringToNullStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxNullStringToNullStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxNullStringToShortStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWideStringToAnsiStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxAnsiStringToWideStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWideStringToWideStringMapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

template <class M>
inline const char* nameOf(const M* m) {
  return m->className().data();
}

// The 8-bit to 8-bit class of a pair of source and target forms.
template <bool SrcShort, bool TgtShort>
struct AnsiClassOf;
template <>
struct AnsiClassOf<true, true> {
  using type = TnxShortStringToShortStringMapper;
};
template <>
struct AnsiClassOf<true, false> {
  using type = TnxShortStringToNullStringMapper;
};
template <>
struct AnsiClassOf<false, false> {
  using type = TnxNullStringToNullStringMapper;
};
template <>
struct AnsiClassOf<false, true> {
  using type = TnxNullStringToShortStringMapper;
};
template <bool SrcShort, bool TgtShort>
inline const auto* ansiMapper(const void* d) {
  return static_cast<const typename AnsiClassOf<SrcShort, TgtShort>::type*>(d);
}

template <bool Short>
inline std::string_view read8(const void* s, std::int32_t aLength) {
  return Short ? readShort(s, aLength) : readNull(s, aLength);
}
template <bool Short>
inline void writeString8(void* t, const char* p, std::size_t n) {
  if constexpr (Short)
    writeShort(t, p, n);
  else
    writeNull(t, p, n);
}

// Decoding work buffer: a ShortString always fits 256 units.
template <bool SrcShort>
constexpr std::size_t kWork = SrcShort ? 256 : 65536;

// A. Converting copy, best fit.
template <bool SrcShort, bool TgtShort, bool Trim>
TnxResult convertBest(const void* d, const void* s, void* t) {
  const auto* m = ansiMapper<SrcShort, TgtShort>(d);
  const std::string_view src = read8<SrcShort>(s, m->SourceLength());
  if (src.empty()) {
    writeString8<TgtShort>(t, nullptr, 0);
    return 0;
  }
  char16_t* work = wideWork(kWork<SrcShort>);
  std::size_t count = decode(m->SourceCodepage(), src, work, kWork<SrcShort>, nameOf(m), m->Label());
  const auto units = static_cast<std::size_t>(m->TargetLength() - 1);
  if (count >= static_cast<std::size_t>(m->TargetLength())) count = units;
  std::u16string_view text(work, count);
  if constexpr (Trim) text = trimWide(text);
  char* out = byteWork(units + 1);
  const std::size_t n = encodeFit(m->TargetCodepage(), text, out, units, nameOf(m), m->Label());
  writeString8<TgtShort>(t, out, n);
  return 0;
}

// B. Converting copy, checking.
template <bool SrcShort, bool TgtShort, bool Trim>
TnxResult convertCheck(const void* d, const void* s, void* t) {
  const auto* m = ansiMapper<SrcShort, TgtShort>(d);
  const std::string_view src = read8<SrcShort>(s, m->SourceLength());
  char16_t* work = wideWork(kWork<SrcShort>);
  const std::size_t count = decode(m->SourceCodepage(), src, work, kWork<SrcShort>, nameOf(m), m->Label());
  std::u16string_view text(work, count);
  if constexpr (Trim) text = trimWide(text);
  const auto units = static_cast<std::size_t>(m->TargetLength() - 1);
  char* out = byteWork(units + 1);
  std::size_t n = 0;
  if (!encode(m->TargetCodepage(), text, out, units, n, nameOf(m), m->Label())) {
    writeString8<TgtShort>(t, nullptr, 0);
    return nxErrInvalidFieldXform;
  }
  writeString8<TgtShort>(t, out, n);
  return 0;
}

// C1. ShortString into a ShortString at least as long.
template <bool Trim>
TnxResult copyShortWhole(const void* d, const void* s, void* t) {
  std::string_view src = readShort(s, static_cast<const TnxShortStringToShortStringMapper*>(d)->SourceLength());
  if constexpr (Trim) src = trimBytes(src);
  writeShort(t, src.data(), src.size());
  return 0;
}

// C2. Truncating copy.
template <bool SrcShort, bool TgtShort, bool Trim>
TnxResult copyTruncate(const void* d, const void* s, void* t) {
  const auto* m = ansiMapper<SrcShort, TgtShort>(d);
  std::string_view src = read8<SrcShort>(s, m->SourceLength());
  src = src.substr(0, static_cast<std::size_t>(m->TargetLength() - 1));
  if constexpr (Trim) src = trimBytes(src);
  writeString8<TgtShort>(t, src.data(), src.size());
  return 0;
}

// C3. Checking copy: the target stays as it was when the value is too long.
template <bool SrcShort, bool TgtShort, bool Trim>
TnxResult copyCheck(const void* d, const void* s, void* t) {
  const auto* m = ansiMapper<SrcShort, TgtShort>(d);
  std::string_view src = read8<SrcShort>(s, m->SourceLength());
  if constexpr (Trim) src = trimBytes(src);
  if (src.size() > static_cast<std::size_t>(m->TargetLength() - 1)) return nxErrInvalidFieldXform;
  writeString8<TgtShort>(t, src.data(), src.size());
  return 0;
}

// D. WideString into ShortString or NullString.
template <bool TgtShort, bool Trim, bool Best>
TnxResult wideToAnsi(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxWideStringToAnsiStringMapper*>(d);
  std::u16string_view text = readWide(s, m->SourceLength(), wideScratch());
  const auto units = static_cast<std::size_t>(m->TargetLength() - 1);
  if constexpr (Best)
    if (text.size() >= static_cast<std::size_t>(m->TargetLength())) text = text.substr(0, units);
  if constexpr (Trim) text = trimWide(text);
  char* out = byteWork(units + 1);
  std::size_t n = 0;
  if constexpr (Best) {
    n = encodeFit(m->TargetCodepage(), text, out, units, nameOf(m), m->Label());
  } else if (!encode(m->TargetCodepage(), text, out, units, n, nameOf(m), m->Label())) {
    writeString8<TgtShort>(t, nullptr, 0);
    return nxErrInvalidFieldXform;
  }
  writeString8<TgtShort>(t, out, n);
  return 0;
}

// E. ShortString or NullString into WideString.
template <bool SrcShort, bool Trim, bool Best>
TnxResult ansiToWide(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxAnsiStringToWideStringMapper*>(d);
  std::string_view src = read8<SrcShort>(s, m->SourceLength());
  if constexpr (Trim) src = trimBytes(src);
  const auto units = static_cast<std::size_t>(m->TargetUnits());
  if (src.empty() || units == 0) {
    if (!src.empty() && !Best) {
      writeWide(t, nullptr, 0);
      return nxErrInvalidFieldXform;
    }
    writeWide(t, nullptr, 0);
    return 0;
  }
  char16_t* work = wideWork(std::max(kWork<SrcShort>, units));
  std::size_t count = 0;
  try {
    count = platform::multiByteToWide(m->SourceCodepage(), src, work, units);
  } catch (const platform::InsufficientBuffer&) {
    if constexpr (!Best) {
      writeWide(t, nullptr, 0);
      return nxErrInvalidFieldXform;
    }
    count = std::min(decode(m->SourceCodepage(), src, work, kWork<SrcShort>, nameOf(m), m->Label()), units);
  } catch (const platform::OsError& e) {
    raiseConversion(e, nameOf(m), m->Label(), "MultiByteToWideChar");
  }
  writeWide(t, work, count);
  return 0;
}

// F. WideString into WideString.
template <bool Trim>
TnxResult wideCopyWhole(const void*, const void* s, void* t) {
  // The target holds every value of the source: copy up to the terminator.
  const auto* p = static_cast<const std::uint8_t*>(s);
  std::size_t n = 0;
  while ((p[2 * n] | p[2 * n + 1]) != 0) ++n;
  if constexpr (Trim)
    while (n > 0 && p[2 * n - 2] == ' ' && p[2 * n - 1] == 0) --n;
  std::memmove(t, s, n * 2);
  std::memset(static_cast<char*>(t) + n * 2, 0, 2);
  return 0;
}

template <bool Trim, bool Best>
TnxResult wideCopy(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxWideStringToWideStringMapper*>(d);
  std::u16string_view text = readWide(s, m->SourceLength(), wideScratch());
  const auto units = static_cast<std::size_t>(m->TargetUnits());
  if constexpr (Best) {
    text = text.substr(0, units);
    if constexpr (Trim) text = trimWide(text);
  } else {
    if constexpr (Trim) text = trimWide(text);
    if (text.size() > units) return nxErrInvalidFieldXform;
  }
  writeWide(t, text.data(), text.size());
  return 0;
}

// ---------------------------------------------------------------------------
// Choice of routine

inline bool trimOf(TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget) {
  return aSource.fdDecPl == 0 && aTarget.fdDecPl > 0;
}

template <bool SrcShort, bool TgtShort>
TnxMappingRoutine ansiRoutine(bool aConvert, bool aBest, bool aTrim, bool aFits) {
  if (aConvert) {
    if (aBest) return aTrim ? convertBest<SrcShort, TgtShort, true> : convertBest<SrcShort, TgtShort, false>;
    return aTrim ? convertCheck<SrcShort, TgtShort, true> : convertCheck<SrcShort, TgtShort, false>;
  }
  if (aFits && SrcShort && TgtShort) return aTrim ? copyShortWhole<true> : copyShortWhole<false>;
  if (aFits || aBest) return aTrim ? copyTruncate<SrcShort, TgtShort, true> : copyTruncate<SrcShort, TgtShort, false>;
  return aTrim ? copyCheck<SrcShort, TgtShort, true> : copyCheck<SrcShort, TgtShort, false>;
}

template <class Cls>
Cls* newStringMapper(TnxFieldDescriptor& aSourceField, TnxFieldDescriptor& aTargetField,
                     std::int32_t aSourceLength = -1) {
  Cls* self = platform::create<Cls>();
  self->SetFields(aSourceLength < 0 ? aSourceField.fdLength : aSourceLength, aTargetField.fdLength,
                  aTargetField.fdUnits, fieldCodePage(aSourceField), fieldCodePage(aTargetField));
  return self;
}

// The four 8-bit to 8-bit classes. aSourceLength -1: the source field's.
template <class Cls, TnxFieldType S, TnxFieldType T>
TnxBaseFieldMapper* createAnsiPrim(TnxFieldDescriptor& aSourceField, std::int32_t aSourceLength,
                                   TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                                   TnxMappingMethod& aMapper, const char* aLabelBest, const char* aLabelCheck) {
  aMapper.Clear();
  if (aTargetField.fdType != T || aTargetField.fdLength < 1) return nullptr;
  const std::int32_t sourceLength = aSourceLength < 0 ? aSourceField.fdLength : aSourceLength;
  const std::uint16_t sourceCp = fieldCodePage(aSourceField), targetCp = fieldCodePage(aTargetField);
  const bool convert = sourceCp != 0 && targetCp != 0 &&
                       (sourceCp != targetCp || (sourceLength > aTargetField.fdLength && isMultiByteCodePage(targetCp)));
  const bool best = nxIsBestFit(aMapperDesc);
  Cls* self = newStringMapper<Cls>(aSourceField, aTargetField, sourceLength);
  self->SetLabel(best ? aLabelBest : aLabelCheck);
  aMapper = {ansiRoutine<S == nxtShortString, T == nxtShortString>(convert, best, trimOf(aSourceField, aTargetField),
                                                                    sourceLength <= aTargetField.fdLength),
             self};
  return self;
}

template <class Cls, TnxFieldType S, TnxFieldType T>
TnxBaseFieldMapper* createAnsi(TnxFieldDescriptor& aSourceField, TnxFieldDescriptor& aTargetField,
                               const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper,
                               const char* aLabelBest, const char* aLabelCheck) {
  aMapper.Clear();
  if (aSourceField.fdType != S) return nullptr;
  return createAnsiPrim<Cls, S, T>(aSourceField, -1, aTargetField, aMapperDesc, aMapper, aLabelBest, aLabelCheck);
}

}  // namespace

TnxBaseFieldMapper* TnxShortStringToShortStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  return createAnsi<TnxShortStringToShortStringMapper, nxtShortString, nxtShortString>(
      aSourceField, aTargetField, aMapperDesc, aMapper, "ToShortStringConvert", "ToShortStringConvertCheck");
}

TnxBaseFieldMapper* TnxShortStringToNullStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  return createAnsi<TnxShortStringToNullStringMapper, nxtShortString, nxtNullString>(
      aSourceField, aTargetField, aMapperDesc, aMapper, "ToNullStringConvertCheck", "ToNullStringConvertCheck");
}

TnxBaseFieldMapper* TnxNullStringToNullStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  return createAnsi<TnxNullStringToNullStringMapper, nxtNullString, nxtNullString>(
      aSourceField, aTargetField, aMapperDesc, aMapper, "ToNullStringConvertCheck", "ToNullStringConvertCheck");
}

TnxBaseFieldMapper* TnxNullStringToShortStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  return createAnsi<TnxNullStringToShortStringMapper, nxtNullString, nxtShortString>(
      aSourceField, aTargetField, aMapperDesc, aMapper, "ToShortStringConvertCheck", "ToShortStringConvertCheck");
}

namespace {

TnxBaseFieldMapper* createWideToAnsi(TnxFieldDescriptor& aSourceField, std::int32_t aSourceLength,
                                     TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                                     TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType target = aTargetField.fdType;
  if ((target != nxtShortString && target != nxtNullString) || aTargetField.fdLength < 1) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc), trim = trimOf(aSourceField, aTargetField);
  auto* self = newStringMapper<TnxWideStringToAnsiStringMapper>(aSourceField, aTargetField, aSourceLength);
  TnxMappingRoutine routine;
  if (target == nxtShortString) {
    self->SetLabel(best ? "ToShortStringConvert" : "ToShortStringConvertCheck");
    routine = best ? (trim ? wideToAnsi<true, true, true> : wideToAnsi<true, false, true>)
                   : (trim ? wideToAnsi<true, true, false> : wideToAnsi<true, false, false>);
  } else {
    self->SetLabel(best ? "ToNullStringConvert" : "ToNullStringConvertCheck");
    routine = best ? (trim ? wideToAnsi<false, true, true> : wideToAnsi<false, false, true>)
                   : (trim ? wideToAnsi<false, true, false> : wideToAnsi<false, false, false>);
  }
  aMapper = {routine, self};
  return self;
}

}  // namespace

TnxBaseFieldMapper* TnxWideStringToAnsiStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.fdType != nxtWideString) return nullptr;
  return createWideToAnsi(aSourceField, -1, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* nxCreateAnsiStringToWideStringMapper(TnxFieldDescriptor& aSourceField,
                                                         TnxFieldDescriptor& aTargetField,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType source = aSourceField.fdType;
  const bool shortSource = source == nxtShortString;
  if (!shortSource && source != nxtNullString && source != nxtBlob && source != nxtBlobMemo &&
      source != nxtBlobGraphic)
    return nullptr;
  if (aTargetField.fdType != nxtWideString) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc), trim = trimOf(aSourceField, aTargetField);
  auto* self = newStringMapper<TnxAnsiStringToWideStringMapper>(aSourceField, aTargetField);
  TnxMappingRoutine routine;
  if (shortSource) {
    self->SetLabel(best ? "FromShortStringConvert" : "FromShortStringConvertCheck");
    routine = best ? (trim ? ansiToWide<true, true, true> : ansiToWide<true, false, true>)
                   : (trim ? ansiToWide<true, true, false> : ansiToWide<true, false, false>);
  } else {
    self->SetLabel(best ? "FromNullStringConvert" : "FromNullStringConvertCheck");
    routine = best ? (trim ? ansiToWide<false, true, true> : ansiToWide<false, false, true>)
                   : (trim ? ansiToWide<false, true, false> : ansiToWide<false, false, false>);
  }
  aMapper = {routine, self};
  return self;
}

TnxBaseFieldMapper* TnxAnsiStringToWideStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.fdType != nxtShortString && aSourceField.fdType != nxtNullString) return nullptr;
  return nxCreateAnsiStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxWideStringToWideStringMapper::InternalCreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor*, TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
    const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.fdType != nxtWideString || aTargetField.fdType != nxtWideString) return nullptr;
  const bool trim = trimOf(aSourceField, aTargetField);
  if (aTargetField.fdLength >= aSourceField.fdLength) {
    aMapper = {trim ? wideCopyWhole<true> : wideCopyWhole<false>, classData(staticClassInfo())};
    return nullptr;
  }
  const bool best = nxIsBestFit(aMapperDesc);
  auto* self = newStringMapper<TnxWideStringToWideStringMapper>(aSourceField, aTargetField);
  aMapper = {best ? (trim ? wideCopy<true, true> : wideCopy<false, true>)
                  : (trim ? wideCopy<true, false> : wideCopy<false, false>),
             self};
  return self;
}

TnxBaseFieldMapper* nxCreateStringMapperForText(const platform::ClassInfo& aClass, TnxFieldDescriptor& aSourceField,
                                                std::int32_t aSourceLength, TnxFieldDescriptor& aTargetField,
                                                const TnxFieldMapperDescriptor* aMapperDesc,
                                                TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (&aClass == &TnxShortStringToShortStringMapper::staticClassInfo())
    return createAnsiPrim<TnxShortStringToShortStringMapper, nxtShortString, nxtShortString>(
        aSourceField, aSourceLength, aTargetField, aMapperDesc, aMapper, "ToShortStringConvert",
        "ToShortStringConvertCheck");
  if (&aClass == &TnxNullStringToNullStringMapper::staticClassInfo())
    return createAnsiPrim<TnxNullStringToNullStringMapper, nxtNullString, nxtNullString>(
        aSourceField, aSourceLength, aTargetField, aMapperDesc, aMapper, "ToNullStringConvertCheck",
        "ToNullStringConvertCheck");
  if (&aClass == &TnxWideStringToAnsiStringMapper::staticClassInfo())
    return createWideToAnsi(aSourceField, aSourceLength, aTargetField, aMapperDesc, aMapper);
  if (&aClass == &TnxAnsiStringToWideStringMapper::staticClassInfo()) {
    TnxBaseFieldMapper* self = nxCreateAnsiStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
    if (auto* m = platform::objectAs<TnxAnsiStringToWideStringMapper>(self))
      m->SetFields(aSourceLength, m->TargetLength(), m->TargetUnits(), m->SourceCodepage(), m->TargetCodepage());
    return self;
  }
  if (&aClass == &TnxWideStringToWideStringMapper::staticClassInfo()) {
    if (aTargetField.fdType != nxtWideString) return nullptr;
    const bool best = nxIsBestFit(aMapperDesc), trim = trimOf(aSourceField, aTargetField);
    auto* self = newStringMapper<TnxWideStringToWideStringMapper>(aSourceField, aTargetField, aSourceLength);
    aMapper = {best ? (trim ? wideCopy<true, true> : wideCopy<false, true>)
                    : (trim ? wideCopy<true, false> : wideCopy<false, false>),
               self};
    return self;
  }
  return nullptr;
}

void nxsdFieldMapperRegisterStrings() {
  RegisterFieldMapper(TnxShortStringToShortStringMapper::staticClassInfo(), nxtShortString, nxtShortString);
  RegisterFieldMapper(TnxShortStringToNullStringMapper::staticClassInfo(), nxtShortString, nxtNullString);
  RegisterFieldMapper(TnxAnsiStringToWideStringMapper::staticClassInfo(), nxtShortString, nxtWideString);
  RegisterFieldMapper(TnxNullStringToNullStringMapper::staticClassInfo(), nxtNullString, nxtNullString);
  RegisterFieldMapper(TnxNullStringToShortStringMapper::staticClassInfo(), nxtNullString, nxtShortString);
  RegisterFieldMapper(TnxAnsiStringToWideStringMapper::staticClassInfo(), nxtNullString, nxtWideString);
  RegisterFieldMapper(TnxWideStringToAnsiStringMapper::staticClassInfo(), nxtWideString, nxtShortString);
  RegisterFieldMapper(TnxWideStringToAnsiStringMapper::staticClassInfo(), nxtWideString, nxtNullString);
  RegisterFieldMapper(TnxWideStringToWideStringMapper::staticClassInfo(), nxtWideString, nxtWideString);
}
