#include "plLocale.h"

#include "plErrors.h"

#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace platform {

namespace {

constexpr Lcid kDefaultLocale = 1041;  // ja-JP

// Installed locales with their alternate sorts, ascending.
constexpr Lcid kSystemLocales[] = {
    1025,   1026,   1027,   1028,   1029,   1030,   1031,   1032,   1033,  1034,  1035,  1036,  1037,
    1038,   1039,   1040,   1041,   1042,   1043,   1044,   1045,   1046,  1048,  1049,  1050,  1051,
    1052,   1053,   1054,   1055,   1056,   1057,   1058,   1059,   1060,  1061,  1062,  1063,  1065,
    1066,   1067,   1068,   1069,   1071,   1078,   1079,   1080,   1081,  1086,  1087,  1088,  1089,
    1091,   1092,   1094,   1095,   1097,   1098,   1099,   1102,   1103,  1104,  1110,  1111,  1114,
    1125,   2049,   2052,   2055,   2057,   2058,   2060,   2064,   2067,  2068,  2070,  2074,  2077,
    2092,   2110,   2115,   3073,   3076,   3079,   3081,   3082,   3084,  3098,  4097,  4100,  4103,
    4105,   4106,   4108,   5121,   5124,   5127,   5129,   5130,   5132,  6145,  6153,  6154,  6156,
    7169,   7177,   7178,   8193,   8201,   8202,   9217,   9225,   9226,  10241, 10249, 10250, 11265,
    11273,  11274,  12289,  12297,  12298,  13313,  13321,  13322,  14337, 14346, 15361, 15370, 16385,
    16394,  17418,  18442,  19466,  20490,  66567,  66574,  66615,  133124, 135172, 136196, 197636,
};

// Ids whose ICU mapping loses the sort (or, for 127, would pick the POSIX
// byte order instead of the linguistic invariant sort).
struct Override {
  Lcid lcid;
  const char* icu;
};
constexpr Override kOverrides[] = {
    {0x007F, ""},
    {0x1404, "zh_MO@collation=pinyin"},
    {0x1040E, "hu_HU@collation=technical"},
    {0x10437, "ka_GE@collation=modern"},
    {0x21004, "zh_SG@collation=stroke"},
    {0x21404, "zh_MO@collation=stroke"},
    {0x30404, "zh_TW@collation=zhuyin"},
};

[[noreturn]] void unknownLocale(Lcid lcid) {
  throw OsError(EINVAL, "Invalid locale id: " + std::to_string(lcid));
}

std::string icuFor(Lcid lcid) {
  for (const auto& o : kOverrides)
    if (o.lcid == lcid) return o.icu;
  char buf[ULOC_FULLNAME_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = uloc_getLocaleForLCID(lcid, buf, sizeof buf, &err);
  if (U_FAILURE(err) || n <= 0 || err == U_STRING_NOT_TERMINATED_WARNING) unknownLocale(lcid);
  return std::string(buf, static_cast<std::size_t>(n));
}

// A neutral language id (no sublanguage): the id of its most likely country.
Lcid neutralToSpecific(Lcid lcid) {
  char lang[ULOC_FULLNAME_CAPACITY];
  char full[ULOC_FULLNAME_CAPACITY];
  char region[ULOC_COUNTRY_CAPACITY];
  char language[ULOC_LANG_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  uloc_getLocaleForLCID(lcid, lang, sizeof lang, &err);
  uloc_addLikelySubtags(lang, full, sizeof full, &err);
  uloc_getLanguage(full, language, sizeof language, &err);
  uloc_getCountry(full, region, sizeof region, &err);
  if (U_FAILURE(err)) return lcid;
  const std::string plain = std::string(language) + "_" + region;
  if (const Lcid id = uloc_getLCID(plain.c_str()); id != 0) return id;
  if (const Lcid id = uloc_getLCID(full); id != 0) return id;
  return lcid;
}

std::u16string fromIcuUChars(const UChar* s, int32_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), static_cast<std::size_t>(n));
}

}  // namespace

Lcid systemDefaultLocale() { return kDefaultLocale; }
Lcid userDefaultLocale() { return kDefaultLocale; }

Lcid convertDefaultLocale(Lcid lcid) {
  switch (lcid) {
    case LOCALE_NEUTRAL:
    case LOCALE_USER_DEFAULT:
      return userDefaultLocale();
    case LOCALE_SYSTEM_DEFAULT:
      return systemDefaultLocale();
    case LOCALE_INVARIANT:
      return lcid;
    default:
      break;
  }
  // Sublanguage 0 with a real primary language and no sort id: neutral.
  if ((lcid & 0xFFFFFC00u) == 0) return neutralToSpecific(lcid);
  return lcid;
}

std::string localeToIcu(Lcid lcid) { return icuFor(convertDefaultLocale(lcid)); }

Lcid localeFromIcu(std::string_view icuName) {
  for (const auto& o : kOverrides)
    if (icuName == o.icu) return o.lcid;
  const std::string name(icuName);
  return uloc_getLCID(name.c_str());
}

std::vector<Lcid> systemLocales() { return {std::begin(kSystemLocales), std::end(kSystemLocales)}; }

bool isValidLocale(Lcid lcid) {
  return std::binary_search(std::begin(kSystemLocales), std::end(kSystemLocales), lcid);
}

std::uint16_t localeAnsiCodePage(Lcid lcid) {
  lcid = convertDefaultLocale(lcid);
  icuFor(lcid);  // rejects unknown ids
  const std::uint32_t langId = lcid & 0xFFFF;
  switch (langId) {  // languages written in more than one script
    case 0x081A: return 1250;  // Serbian (Latin)
    case 0x0C1A: return 1251;  // Serbian (Cyrillic)
    case 0x042C: return 1254;  // Azeri (Latin)
    case 0x082C: return 1251;  // Azeri (Cyrillic)
    case 0x0443: return 1254;  // Uzbek (Latin)
    case 0x0843: return 1251;  // Uzbek (Cyrillic)
    case 0x0804: case 0x1004: return 936;              // Chinese (PRC, Singapore)
    case 0x0404: case 0x0C04: case 0x1404: return 950;  // Chinese (Taiwan, Hong Kong, Macau)
    default: break;
  }
  switch (langId & 0x3FF) {
    case 0x11: return 932;
    case 0x04: return 936;
    case 0x12: return 949;
    case 0x1E: return 874;
    case 0x2A: return 1258;
    case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1A: case 0x1B: case 0x1C: case 0x24:
      return 1250;
    case 0x02: case 0x19: case 0x22: case 0x23: case 0x2F: case 0x3F: case 0x40: case 0x44: case 0x50:
      return 1251;
    case 0x08: return 1253;
    case 0x1F: case 0x2C: case 0x43: return 1254;
    case 0x0D: return 1255;
    case 0x01: case 0x20: case 0x29: return 1256;
    case 0x25: case 0x26: case 0x27: return 1257;
    // Unicode-only scripts.
    case 0x2B: case 0x37: case 0x39: case 0x46: case 0x47: case 0x49: case 0x4A: case 0x4B:
    case 0x4E: case 0x4F: case 0x57: case 0x5A: case 0x65:
      return 0;
    default: return 1252;
  }
}

UnicodeString localeLanguageName(Lcid lcid) {
  const std::string icu = localeToIcu(lcid);
  char base[ULOC_FULLNAME_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  uloc_getBaseName(icu.c_str(), base, sizeof base, &err);
  UChar name[256];
  const int32_t n = uloc_getDisplayName(base, "en", name, 256, &err);
  if (U_FAILURE(err)) unknownLocale(lcid);
  if (icu.empty()) return u"Invariant Language (Invariant Country)";
  return fromIcuUChars(name, std::min(n, 256));
}

UnicodeString localeSortName(Lcid lcid) {
  const std::string icu = localeToIcu(lcid);
  char value[ULOC_KEYWORDS_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  const int32_t k = uloc_getKeywordValue(icu.c_str(), "collation", value, sizeof value, &err);
  if (U_FAILURE(err) || k <= 0) return u"Default";
  UChar name[256];
  const int32_t n = uloc_getDisplayKeywordValue(icu.c_str(), "collation", "en", name, 256, &err);
  if (U_FAILURE(err) || n <= 0) return u"Default";
  return fromIcuUChars(name, std::min(n, 256));
}

}  // namespace platform
