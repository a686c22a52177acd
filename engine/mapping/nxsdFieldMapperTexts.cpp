#include "nxsdFieldMapperTexts.h"

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"
#include "plFormat.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxShortStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxNullStringMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxWideStringMapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

enum TnxTextSource { tsShort, tsNull, tsWide };

template <int Src>
struct TextClassOf;
template <>
struct TextClassOf<tsShort> {
  using type = TnxShortStringMapper;
};
template <>
struct TextClassOf<tsNull> {
  using type = TnxNullStringMapper;
};
template <>
struct TextClassOf<tsWide> {
  using type = TnxWideStringMapper;
};
template <int Src>
using TextClass = typename TextClassOf<Src>::type;

template <int Src>
std::string_view raw8(const TextClass<Src>* m, const void* s) {
  return Src == tsShort ? readShort(s, m->SourceLength()) : readNull(s, m->SourceLength());
}

// The source value as UTF-16 text (8-bit text decoded with the mapper's text
// code page), in a per-thread buffer.
template <int Src>
std::u16string_view text16(const TextClass<Src>* m, const void* s) {
  if constexpr (Src == tsWide) {
    return readWide(s, m->SourceLength(), wideScratch());
  } else {
    const std::string_view bytes = raw8<Src>(m, s);
    if (bytes.empty()) return {};
    char16_t* work = wideWork(bytes.size());
    const std::size_t n = decode(m->TextCodepage(), bytes, work, bytes.size(), m->className().data(), m->Action());
    return {work, n};
  }
}

// ---------------------------------------------------------------------------
// Parsers

struct TnxIntText {
  bool valid = false;
  __int128 value = 0;  // saturated far beyond 64 bits
};

// [spaces][+|-](digits | ($|x|X|0x|0X)hexdigits), nothing after. An invalid
// text keeps the value read up to the offending character.
TnxIntText parseInt(std::u16string_view s) {
  TnxIntText r;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && s[i] == u' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  int base = 10;
  if (i < n && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  constexpr __int128 kSaturate = static_cast<__int128>(1) << 80;
  bool any = false;
  for (; i < n; ++i) {
    const char16_t c = s[i];
    int d;
    if (c >= u'0' && c <= u'9')
      d = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f')
      d = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F')
      d = c - u'A' + 10;
    else
      break;
    r.value = std::min(r.value * base + d, kSaturate);
    any = true;
  }
  r.valid = any && i == n;
  if (negative) r.value = -r.value;
  return r;
}

// [spaces][+|-]digits[.digits][(E|e)[+|-]digits], nothing after, at least
// one digit before the exponent; "." whatever the locale.
bool parseFloat(std::u16string_view s, long double& aValue) {
  aValue = 0;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && s[i] == u' ') ++i;
  const std::size_t start = i;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) ++i;
  std::size_t digits = 0;
  while (i < n && s[i] >= u'0' && s[i] <= u'9') ++i, ++digits;
  if (i < n && s[i] == u'.') {
    ++i;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) ++i;
    std::size_t exponent = 0;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') ++i, ++exponent;
    if (exponent == 0) return false;
  }
  if (i != n) return false;
  return platform::tryStrToFloat(s.substr(start), aValue, platform::invariantFormatSettings());
}

bool isWord(std::u16string_view s, std::initializer_list<std::u16string_view> aWords) {
  for (std::u16string_view w : aWords)
    if (platform::sameTextAscii(s, w)) return true;
  return false;
}

// ---------------------------------------------------------------------------
// The routine: one per source kind, target type and action

template <int Src, TnxFieldType T, bool Best>
TnxResult textTo(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TextClass<Src>*>(d);
  if constexpr (T == nxtBoolean) {
    const std::u16string_view text = text16<Src>(m, s);
    const bool yes = isWord(text, {u"1", u"Y", u"Yes", u"T", u"True"});
    if constexpr (!Best)
      if (!yes && !isWord(text, {u"0", u"N", u"No", u"F", u"False"})) return nxErrInvalidFieldXform;
    store(t, static_cast<std::uint8_t>(yes ? 0xFF : 0));
    return 0;
  } else if constexpr (T == nxtByte || T == nxtWord16 || T == nxtWord32 || T == nxtInt8 || T == nxtInt16 ||
                       T == nxtInt32 || T == nxtInt64) {
    const TnxIntText v = parseInt(text16<Src>(m, s));
    constexpr __int128 lo = lowOf(T), hi = highOf(T);
    if constexpr (!Best)
      if (!v.valid || v.value < lo || v.value > hi) return nxErrInvalidFieldXform;
    storeInt(t, T, static_cast<std::int64_t>(std::clamp(v.value, lo, hi)));
    return 0;
  } else if constexpr (T == nxtSingle || T == nxtDouble || T == nxtExtended) {
    long double x;
    const bool valid = parseFloat(text16<Src>(m, s), x);
    constexpr long double maxF = T == nxtSingle ? std::numeric_limits<float>::max()
                                 : T == nxtDouble ? std::numeric_limits<double>::max()
                                                  : std::numeric_limits<long double>::max();
    if constexpr (!Best) {
      if (!valid || std::fabs(x) > maxF) return nxErrInvalidFieldXform;
    } else {
      x = std::clamp(x, -maxF, maxF);
    }
    if constexpr (T == nxtSingle) store(t, static_cast<float>(x));
    else if constexpr (T == nxtDouble) store(t, static_cast<double>(x));
    else storeExtended(t, x);
    return 0;
  } else if constexpr (T == nxtCurrency) {
    long double x;
    const bool valid = parseFloat(text16<Src>(m, s), x);
    if constexpr (!Best)
      if (!valid) return nxErrInvalidFieldXform;
    long double e = static_cast<long double>(static_cast<double>(x)) * 10000.0L;
    constexpr long double kMax = 9223372036854775807.0L;
    if constexpr (!Best) {
      if (!(e >= -kMax && e <= kMax)) return nxErrInvalidFieldXform;
    } else {
      e = std::isnan(e) ? 0 : std::clamp(e, -kMax, kMax);
    }
    e = roundEven(e);
    store(t, e >= kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(e));
    return 0;
  } else if constexpr (T == nxtBCD) {
    TnxFmtBcd value{};
    if (!nxTryStrToBcd(text16<Src>(m, s), value, platform::defaultFormatSettings().DecimalSeparator)) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      store(t, std::int64_t{0});
      return 0;
    }
    return storeBcd(value, m->TargetUnits(), m->TargetDecPl(), Best, t);
  } else if constexpr (T == nxtDate || T == nxtTime || T == nxtDateTime) {
    const std::u16string_view text = text16<Src>(m, s);
    platform::DateTime dt = 0;
    platform::TimeStamp ts{0, 1};
    bool valid;
    if constexpr (T == nxtDate) valid = platform::tryStrToDate(text, dt, m->FormatSettings());
    else if constexpr (T == nxtTime) valid = platform::tryStrToTime(text, dt, m->FormatSettings());
    else valid = platform::tryStrToDateTime(text, dt, m->FormatSettings());
    if constexpr (T == nxtTime) {
      if (!valid) dt = Best ? 0 : -1;
      if constexpr (!Best)
        if (dt < 0 || dt >= 1) return nxErrInvalidFieldXform;
      dt = platform::currentDate() + dt;
    }
    if (valid || T == nxtTime) {
      try {
        ts = platform::dateTimeToTimeStamp(dt);
      } catch (const platform::RangeError&) {
        ts = {0, 1};
      }
    }
    if constexpr (T == nxtDate) {
      if constexpr (!Best)
        if (ts.date == 1) return nxErrInvalidFieldXform;
      store(t, ts.date);
    } else if constexpr (T == nxtTime) {
      store(t, ts.time);
    } else {
      if constexpr (!Best)
        if (ts.date == 1 && ts.time == 0) return nxErrInvalidFieldXform;
      store(t, static_cast<double>(ts.date) * platform::kMSecsPerDay + ts.time);
    }
    return 0;
  } else if constexpr (T == nxtGuid) {
    try {
      store(t, platform::stringToGuid(text16<Src>(m, s)));
    } catch (const platform::ConvertError&) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      store(t, platform::Guid{});
    }
    return 0;
  } else if constexpr (T == nxtWideChar) {
    const std::u16string_view text = text16<Src>(m, s);
    if constexpr (Src == tsWide && !Best)
      if (text.size() > 1) return nxErrInvalidFieldXform;
    store(t, text.empty() ? u'\0' : text[0]);
    return 0;
  } else if constexpr (T == nxtChar) {
    char c = 0;
    if (Src != tsWide && m->TextCodepage() == 0) {
      // No conversion: the first byte as it is stored.
      const std::string_view bytes = raw8<Src>(m, s);
      c = bytes.empty() ? 0 : bytes[0];
    } else {
      const std::u16string_view text = text16<Src>(m, s);
      if (!text.empty()) {
        const std::size_t first = text.size() > 1 && text[0] >= 0xD800 && text[0] <= 0xDBFF ? 2 : 1;
        char out[8];
        std::size_t n = 0;
        encode(m->TargetCodepage(), text.substr(0, first), out, sizeof out, n, m->className().data(), m->Action(),
               "WidecharToMultiByte");
        c = n > 0 ? out[0] : 0;
      }
    }
    store(t, c);
    return 0;
  } else if constexpr (T == nxtByteArray) {
    std::size_t n;
    const void* bytes;
    if constexpr (Src == tsWide) {
      const std::u16string_view text = text16<Src>(m, s);
      n = text.size() * 2;
      bytes = text.data();
    } else {
      const std::string_view text = raw8<Src>(m, s);
      n = text.size();
      bytes = text.data();
    }
    const auto capacity = static_cast<std::size_t>(m->TargetLength());
    if (n > capacity) {
      if constexpr (!Best) return nxErrInvalidFieldXform;
      n = capacity;
    }
    if (n) std::memmove(t, bytes, n);
    return 0;
  } else {
    return nxErrInvalidFieldXform;
  }
}

template <int Src, bool Best>
TnxMappingRoutine textRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtBoolean: return textTo<Src, nxtBoolean, Best>;
    case nxtByte: return textTo<Src, nxtByte, Best>;
    case nxtWord16: return textTo<Src, nxtWord16, Best>;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return textTo<Src, nxtWord32, Best>;
    case nxtInt8: return textTo<Src, nxtInt8, Best>;
    case nxtInt16: return textTo<Src, nxtInt16, Best>;
    case nxtInt32: return textTo<Src, nxtInt32, Best>;
    case nxtInt64: return textTo<Src, nxtInt64, Best>;
    case nxtSingle: return textTo<Src, nxtSingle, Best>;
    case nxtDouble: return textTo<Src, nxtDouble, Best>;
    case nxtExtended: return textTo<Src, nxtExtended, Best>;
    case nxtCurrency: return textTo<Src, nxtCurrency, Best>;
    case nxtBCD: return textTo<Src, nxtBCD, Best>;
    case nxtDate: return textTo<Src, nxtDate, Best>;
    case nxtTime: return textTo<Src, nxtTime, Best>;
    case nxtDateTime: return textTo<Src, nxtDateTime, Best>;
    case nxtGuid: return textTo<Src, nxtGuid, Best>;
    case nxtChar: return textTo<Src, nxtChar, Best>;
    case nxtWideChar: return textTo<Src, nxtWideChar, Best>;
    case nxtByteArray: return textTo<Src, nxtByteArray, Best>;
    default: return nullptr;
  }
}

template <class Cls, int Src>
TnxBaseFieldMapper* createText(TnxFieldType aSource, TnxFieldDescriptor& aSourceField,
                               TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                               TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != aSource) return nullptr;
  const TnxFieldType target = aTargetField.fdType;
  const bool best = nxIsBestFit(aMapperDesc);
  const TnxMappingRoutine routine = best ? textRoutine<Src, true>(target) : textRoutine<Src, false>(target);
  if (!routine) return nullptr;
  Cls* self = platform::create<Cls>();
  try {
    const std::uint16_t sourceCp = fieldCodePage(aSourceField), targetCp = fieldCodePage(aTargetField);
    self->SetFields(fieldFormatSettings(aSourceField), aSourceField, aTargetField, sourceCp, targetCp);
    bool convert = false;
    if (Src != tsWide && sourceCp != 0 && targetCp != 0) {
      convert = (isCharType(target) && sourceCp != targetCp) ||
                (aTargetField.fdLength < aSourceField.fdLength && isMultiByteCodePage(sourceCp));
    }
    const bool sourcePage = convert || target == nxtWideChar || target == nxtCurrency || target == nxtDate ||
                            target == nxtTime || target == nxtDateTime;
    // A Char target reads the raw first byte unless it converts.
    const std::uint16_t textCp = sourcePage && !(target == nxtChar && !convert) ? sourceCp : 0;
    const std::u16string_view type = nxFieldTypeNames[target].substr(3);
    self->SetText(textCp,
                  "To" + std::string(type.begin(), type.end()) + (convert ? "Convert" : "") + (best ? "" : "Check"));
  } catch (...) {
    platform::TObject::free(self);
    throw;
  }
  aMapper = {routine, self};
  return self;
}

}  // namespace

TnxBaseFieldMapper* TnxShortStringMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                               TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                               const TnxFieldMapperDescriptor* aMapperDesc,
                                                               TnxMappingMethod& aMapper) {
  return createText<TnxShortStringMapper, tsShort>(nxtShortString, aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxNullStringMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                              TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                              const TnxFieldMapperDescriptor* aMapperDesc,
                                                              TnxMappingMethod& aMapper) {
  return createText<TnxNullStringMapper, tsNull>(nxtNullString, aSourceField, aTargetField, aMapperDesc, aMapper);
}

TnxBaseFieldMapper* TnxWideStringMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                              TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                              const TnxFieldMapperDescriptor* aMapperDesc,
                                                              TnxMappingMethod& aMapper) {
  return createText<TnxWideStringMapper, tsWide>(nxtWideString, aSourceField, aTargetField, aMapperDesc, aMapper);
}

void nxsdFieldMapperRegisterTexts() {
  const auto rows = {std::pair{&TnxShortStringMapper::staticClassInfo(), nxtShortString},
                     std::pair{&TnxNullStringMapper::staticClassInfo(), nxtNullString},
                     std::pair{&TnxWideStringMapper::staticClassInfo(), nxtWideString}};
  for (const auto& [cls, source] : rows) {
    for (TnxFieldType t : {nxtBoolean, nxtByte, nxtWord16, nxtWord32, nxtInt8, nxtInt16, nxtInt32, nxtInt64,
                           nxtAutoInc, nxtRecRev, nxtSingle, nxtDouble, nxtExtended, nxtCurrency, nxtBCD, nxtChar,
                           nxtWideChar, nxtDate, nxtTime, nxtDateTime, nxtByteArray, nxtGuid})
      RegisterFieldMapper(*cls, source, t);
  }
}
