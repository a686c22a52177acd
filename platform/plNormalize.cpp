#include "plNormalize.h"

#include "plErrors.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

[[noreturn]] void invalidFlags(const char* service, std::uint32_t flags) {
  throw OsError(EINVAL, std::string(service) + ": invalid flags " + std::to_string(flags));
}

const icu::Normalizer2& normalizer(const char* name, UNormalization2Mode mode) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getInstance(nullptr, name, mode, err);
  if (U_FAILURE(err) || !n) throw OsError(ENOENT, std::string("Unicode normalization data missing: ") + u_errorName(err));
  return *n;
}
const icu::Normalizer2& nfc() { return normalizer("nfc", UNORM2_COMPOSE); }
const icu::Normalizer2& nfd() { return normalizer("nfc", UNORM2_DECOMPOSE); }
const icu::Normalizer2& nfkd() { return normalizer("nfkc", UNORM2_DECOMPOSE); }
const icu::Normalizer2& nfkc() { return normalizer("nfkc", UNORM2_COMPOSE); }

UnicodeString fromIcu(const icu::UnicodeString& s) {
  return UnicodeString(reinterpret_cast<const char16_t*>(s.getBuffer()), static_cast<std::size_t>(s.length()));
}

void appendCodePoint(UnicodeString& out, UChar32 c) {
  if (c <= 0xFFFF) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(U16_LEAD(c));
    out += static_cast<char16_t>(U16_TRAIL(c));
  }
}

// Calls f(codePoint) for each code point; unpaired surrogates come through as themselves.
template <class F>
void forEachCodePoint(UnicodeStringView s, F f) {
  const auto* p = reinterpret_cast<const UChar*>(s.data());
  const auto n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(p, i, n, c);
    f(c);
  }
}

bool isTurkic(Lcid lcid) {
  const std::uint32_t lang = convertDefaultLocale(lcid) & 0x3FF;
  return lang == 0x1F || lang == 0x2C;  // Turkish, Azeri
}

// Singletons: the canonical decomposition is one other character.
bool isSingleton(UChar32 c) {
  icu::UnicodeString d;
  return nfd().getRawDecomposition(c, d) && d.countChar32() == 1;
}

// Normalizes the runs between singletons, which stay as they are.
UnicodeString normalizeKeepingSingletons(UnicodeStringView text, const icu::Normalizer2& n) {
  if (text.size() <= static_cast<std::size_t>(INT32_MAX)) {
    // Text surely in the form already (the usual case) holds no singleton
    // either: a singleton is never in either form.
    UErrorCode err = U_ZERO_ERROR;
    const icu::UnicodeString alias(false, reinterpret_cast<const UChar*>(text.data()),
                                   static_cast<int32_t>(text.size()));
    if (n.quickCheck(alias, err) == UNORM_YES && U_SUCCESS(err)) return UnicodeString(text);
  }
  UnicodeString out;
  icu::UnicodeString run;
  auto flush = [&] {
    if (run.isEmpty()) return;
    UErrorCode err = U_ZERO_ERROR;
    const icu::UnicodeString r = n.normalize(run, err);
    if (U_FAILURE(err)) throw OsError(EINVAL, std::string("Normalization failed: ") + u_errorName(err));
    out += fromIcu(r);
    run.remove();
  };
  forEachCodePoint(text, [&](UChar32 c) {
    if (isSingleton(c)) {
      flush();
      appendCodePoint(out, c);
    } else {
      run.append(c);
    }
  });
  flush();
  return out;
}

}  // namespace

UnicodeString foldWidth(UnicodeStringView text) {
  UnicodeString out;
  out.reserve(text.size());
  bool compose = false;
  forEachCodePoint(text, [&](UChar32 c) {
    const auto dt = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    icu::UnicodeString d;
    if ((dt == U_DT_WIDE || dt == U_DT_NARROW) && nfkd().getDecomposition(c, d)) {
      out += fromIcu(d);
      compose = compose || d.char32At(0) == 0x3099 || d.char32At(0) == 0x309A;
    } else {
      appendCodePoint(out, c);
    }
  });
  // Half-width voiced sound marks become combining marks: join them to their kana.
  if (compose) out = normalizeKeepingSingletons(out, nfc());
  return out;
}

UnicodeString katakanaToHiragana(UnicodeStringView text) {
  UnicodeString out(text);
  for (auto& u : out) {
    if (u >= 0x30A1 && u <= 0x30F6) u = static_cast<char16_t>(u - 0x60);
    else if (u == 0x30FD || u == 0x30FE) u = static_cast<char16_t>(u - 0x60);
  }
  return out;
}

namespace {

UnicodeString hiraganaToKatakana(UnicodeStringView text) {
  UnicodeString out(text);
  for (auto& u : out) {
    if ((u >= 0x3041 && u <= 0x3096) || u == 0x309D || u == 0x309E) u = static_cast<char16_t>(u + 0x60);
  }
  return out;
}

UnicodeString mapCase(UnicodeStringView text, bool upper, bool turkic) {
  UnicodeString out;
  out.reserve(text.size());
  forEachCodePoint(text, [&](UChar32 c) {
    UChar32 m;
    if (turkic && upper && c == u'i') m = 0x0130;
    else if (turkic && upper && c == 0x0131) m = u'I';
    else if (turkic && !upper && c == u'I') m = 0x0131;
    else if (turkic && !upper && c == 0x0130) m = u'i';
    else m = upper ? u_toupper(c) : u_tolower(c);
    // Keep lengths: a mapping that would change the unit count is not applied.
    if (U16_LENGTH(m) != U16_LENGTH(c)) m = c;
    appendCodePoint(out, m);
  });
  return out;
}

}  // namespace

UnicodeString lcMapString(Lcid lcid, std::uint32_t flags, UnicodeStringView text) {
  constexpr std::uint32_t known =
      LCMAP_LOWERCASE | LCMAP_UPPERCASE | LCMAP_HIRAGANA | LCMAP_KATAKANA | LCMAP_LINGUISTIC_CASING;
  const bool lower = flags & LCMAP_LOWERCASE, upper = flags & LCMAP_UPPERCASE;
  const bool hira = flags & LCMAP_HIRAGANA, kata = flags & LCMAP_KATAKANA;
  if ((flags & ~known) || (lower && upper) || (hira && kata) || !(lower || upper || hira || kata) ||
      ((flags & LCMAP_LINGUISTIC_CASING) && !(lower || upper)))
    invalidFlags("LCMapString", flags);
  // Rejects unknown locales; an id found good is not asked about again on
  // this thread (the answer never changes, and asking costs more than a
  // short mapping).
  thread_local Lcid lastGood = 0;
  thread_local bool anyGood = false;
  if (!anyGood || lcid != lastGood) {
    localeToIcu(lcid);
    lastGood = lcid;
    anyGood = true;
  }
  UnicodeString out(text);
  if (hira) out = katakanaToHiragana(out);
  if (kata) out = hiraganaToKatakana(out);
  if (lower || upper) out = mapCase(out, upper, (flags & LCMAP_LINGUISTIC_CASING) && isTurkic(lcid));
  return out;
}

UnicodeString foldString(std::uint32_t flags, UnicodeStringView text) {
  constexpr std::uint32_t known = MAP_FOLDCZONE | MAP_PRECOMPOSED | MAP_COMPOSITE | MAP_FOLDDIGITS;
  if (flags == 0 || (flags & ~known) || ((flags & MAP_PRECOMPOSED) && (flags & MAP_COMPOSITE)))
    invalidFlags("FoldString", flags);
  UnicodeString out(text);
  if (flags & (MAP_FOLDCZONE | MAP_FOLDDIGITS)) {
    UnicodeString folded;
    folded.reserve(out.size());
    forEachCodePoint(out, [&](UChar32 c) {
      if ((flags & MAP_FOLDDIGITS) && u_charType(c) == U_DECIMAL_DIGIT_NUMBER) {
        folded += static_cast<char16_t>(u'0' + u_charDigitValue(c));
        return;
      }
      icu::UnicodeString d;
      if ((flags & MAP_FOLDCZONE) && c >= 0xF900 && c <= 0xFFEF && nfkd().getDecomposition(c, d)) {
        UErrorCode err = U_ZERO_ERROR;
        folded += fromIcu(nfkc().normalize(d, err));
        return;
      }
      appendCodePoint(folded, c);
    });
    out = std::move(folded);
  }
  if (flags & MAP_PRECOMPOSED) out = normalizeKeepingSingletons(out, nfc());
  if (flags & MAP_COMPOSITE) out = normalizeKeepingSingletons(out, nfd());
  return out;
}

void charLower(char16_t* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const char16_t u = text[i];
    if (U16_IS_SURROGATE(u)) continue;
    const UChar32 m = u_tolower(u);
    if (m <= 0xFFFF) text[i] = static_cast<char16_t>(m);
  }
}

UnicodeString charLower(UnicodeStringView text) {
  UnicodeString out(text);
  charLower(out.data(), out.size());
  return out;
}

}  // namespace platform
