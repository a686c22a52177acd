#include "plCollation.h"

#include "plCodePage.h"
#include "plErrors.h"
#include "plNormalize.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr std::uint32_t kKnownFlags = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS |
                                      SORT_STRINGSORT | NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};

// One collator per effective locale, set up once and then only read.
const UCollator* sharedCollator(Lcid lcid) {
  static std::mutex mutex;
  static std::map<Lcid, std::unique_ptr<UCollator, CollatorCloser>> cache;
  const Lcid id = convertDefaultLocale(lcid);
  std::lock_guard<std::mutex> lock(mutex);
  if (auto it = cache.find(id); it != cache.end()) return it->second.get();
  const std::string icu = localeToIcu(id);
  UErrorCode err = U_ZERO_ERROR;
  std::unique_ptr<UCollator, CollatorCloser> c(ucol_open(icu.c_str(), &err));
  if (U_FAILURE(err)) throw OsError(ENOENT, "Collation data missing for " + icu + ": " + u_errorName(err));
  ucol_setAttribute(c.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
  ucol_setAttribute(c.get(), UCOL_STRENGTH, UCOL_IDENTICAL, &err);
  if (U_FAILURE(err)) throw OsError(EINVAL, std::string("Cannot set up collator: ") + u_errorName(err));
  return cache.emplace(id, std::move(c)).first->second.get();
}

// Each thread remembers the collators it used, so comparisons take no lock.
const UCollator* collatorFor(Lcid lcid) {
  thread_local std::vector<std::pair<Lcid, const UCollator*>> used;
  for (const auto& [id, c] : used)
    if (id == lcid) return c;
  const UCollator* c = sharedCollator(lcid);
  used.emplace_back(lcid, c);
  return c;
}

void checkFlags(std::uint32_t flags) {
  if (flags & ~kKnownFlags) throw OsError(EINVAL, "CompareString: invalid flags " + std::to_string(flags));
}

// Hyphen and apostrophe get the word-sort treatment; rank orders them.
int specialRank(char16_t u) {
  switch (u) {
    case u'\'': return 1;
    case u'-': return 2;
    case u'\uFF07': return 3;
    case u'\uFF0D': return 4;
    default: return 0;
  }
}

bool hasSpecials(UnicodeStringView s) {
  return std::any_of(s.begin(), s.end(), [](char16_t u) { return specialRank(u) != 0; });
}

bool isSymbolCategory(UChar32 c) {
  switch (u_charType(c)) {
    case U_CONNECTOR_PUNCTUATION: case U_DASH_PUNCTUATION: case U_START_PUNCTUATION:
    case U_END_PUNCTUATION: case U_INITIAL_PUNCTUATION: case U_FINAL_PUNCTUATION:
    case U_OTHER_PUNCTUATION: case U_MATH_SYMBOL: case U_CURRENCY_SYMBOL:
    case U_MODIFIER_SYMBOL: case U_OTHER_SYMBOL: case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR: case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

template <class Keep>
UnicodeString filterCodePoints(UnicodeStringView s, Keep keep) {
  UnicodeString out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const UChar*>(s.data());
  const auto n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    const int32_t start = i;
    UChar32 c;
    U16_NEXT(p, i, n, c);
    if (keep(c)) out.append(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
  }
  return out;
}

UnicodeString removeNonSpacing(UnicodeStringView s) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(err);
  if (U_FAILURE(err)) throw OsError(ENOENT, std::string("Unicode normalization data missing: ") + u_errorName(err));
  const icu::UnicodeString d =
      nfd->normalize(icu::UnicodeString(reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size())), err);
  const UnicodeStringView dv(reinterpret_cast<const char16_t*>(d.getBuffer()), static_cast<std::size_t>(d.length()));
  return filterCodePoints(dv, [](UChar32 c) { return u_charType(c) != U_NON_SPACING_MARK; });
}

UnicodeString lowerCase(UnicodeStringView s) {
  UnicodeString out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const UChar*>(s.data());
  const auto n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    const int32_t start = i;
    UChar32 c;
    U16_NEXT(p, i, n, c);
    const UChar32 m = u_tolower(c);
    if (U16_LENGTH(m) != i - start) {
      out.append(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    } else if (m <= 0xFFFF) {
      out += static_cast<char16_t>(m);
    } else {
      out += static_cast<char16_t>(U16_LEAD(m));
      out += static_cast<char16_t>(U16_TRAIL(m));
    }
  }
  return out;
}

struct Special {
  std::uint32_t position;
  int rank;
  auto operator<=>(const Special&) const = default;
};

// A text prepared for the collator: the flags' foldings applied and, for
// word sort, hyphens and apostrophes taken out and remembered.
struct Prepared {
  UnicodeString text;
  std::vector<Special> specials;
};

Prepared prepare(std::uint32_t flags, UnicodeStringView s) {
  Prepared p;
  p.text = UnicodeString(s);
  if (flags & NORM_IGNOREWIDTH) p.text = foldWidth(p.text);
  if (flags & NORM_IGNOREKANATYPE) p.text = katakanaToHiragana(p.text);
  if (flags & NORM_IGNORECASE) p.text = lowerCase(p.text);
  if (flags & NORM_IGNORENONSPACE) p.text = removeNonSpacing(p.text);
  if (flags & NORM_IGNORESYMBOLS) {
    p.text = filterCodePoints(p.text, [](UChar32 c) { return !isSymbolCategory(c); });
  } else if (!(flags & SORT_STRINGSORT) && hasSpecials(p.text)) {
    UnicodeString stripped;
    for (std::size_t i = 0; i < p.text.size(); ++i) {
      if (const int r = specialRank(p.text[i])) {
        p.specials.push_back(Special{static_cast<std::uint32_t>(i), r});
      } else {
        stripped += p.text[i];
      }
    }
    p.text = std::move(stripped);
  }
  return p;
}

int32_t icuLength(std::size_t n) {
  if (n > static_cast<std::size_t>(INT32_MAX)) throw RangeError("Text too long for comparison");
  return static_cast<int32_t>(n);
}

int collate(const UCollator* c, UnicodeStringView a, UnicodeStringView b) {
  const UCollationResult r =
      ucol_strcoll(c, reinterpret_cast<const UChar*>(a.data()), icuLength(a.size()),
                   reinterpret_cast<const UChar*>(b.data()), icuLength(b.size()));
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

// Specials: none first; then by position, then by which character.
int compareSpecials(const std::vector<Special>& a, const std::vector<Special>& b) {
  const auto r = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

}  // namespace

int compareString(Lcid lcid, std::uint32_t flags, UnicodeStringView a, UnicodeStringView b) {
  checkFlags(flags);
  const UCollator* c = collatorFor(lcid);
  const bool wordSort = !(flags & (SORT_STRINGSORT | NORM_IGNORESYMBOLS));
  if ((flags & ~SORT_STRINGSORT) == 0 && !(wordSort && (hasSpecials(a) || hasSpecials(b))))
    return collate(c, a, b);
  const Prepared pa = prepare(flags, a);
  const Prepared pb = prepare(flags, b);
  if (const int r = collate(c, pa.text, pb.text)) return r;
  return compareSpecials(pa.specials, pb.specials);
}

int compareStringA(Lcid lcid, std::uint32_t flags, std::string_view a, std::string_view b) {
  checkFlags(flags);
  const std::uint16_t cp = localeAnsiCodePage(lcid);
  return compareString(lcid, flags, decodeText(a, cp), decodeText(b, cp));
}

std::string sortKey(Lcid lcid, std::uint32_t flags, UnicodeStringView text) {
  checkFlags(flags);
  const UCollator* c = collatorFor(lcid);
  const Prepared p = prepare(flags, text);
  const auto* src = reinterpret_cast<const UChar*>(p.text.data());
  const int32_t n = icuLength(p.text.size());
  std::string key(static_cast<std::size_t>(ucol_getSortKey(c, src, n, nullptr, 0)), '\0');
  ucol_getSortKey(c, src, n, reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
  if (!key.empty() && key.back() == '\0') key.pop_back();
  if (!p.specials.empty()) {
    // After the collator's key (whose bytes are all above 1 besides its level
    // separators 01), one separator and each special as 3 position bytes and
    // 1 rank byte, every byte non-zero.
    key += '\x01';
    for (const Special& s : p.specials) {
      const std::uint32_t pos = std::min<std::uint32_t>(s.position, (1u << 21) - 1);
      key += static_cast<char>(((pos >> 14) & 0x7F) + 1);
      key += static_cast<char>(((pos >> 7) & 0x7F) + 1);
      key += static_cast<char>((pos & 0x7F) + 1);
      key += static_cast<char>(s.rank);
    }
  }
  return key;
}

NlsVersion nlsVersion(Lcid lcid) {
  const UCollator* c = collatorFor(lcid);
  UVersionInfo v;
  ucol_getVersion(c, v);
  UVersionInfo u;
  u_getUnicodeVersion(u);
  auto pack = [](const UVersionInfo& x) {
    return (std::uint32_t(x[0]) << 24) | (std::uint32_t(x[1]) << 16) | (std::uint32_t(x[2]) << 8) | x[3];
  };
  NlsVersion r;
  r.nlsVersion = pack(v);
  r.definedVersion = pack(u);
  r.effectiveLocale = convertDefaultLocale(lcid);
  return r;
}

}  // namespace platform
