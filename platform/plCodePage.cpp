#include "plCodePage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>

namespace platform {

InsufficientBuffer::InsufficientBuffer()
    : OsError(ERANGE, "The data area passed to a system call is too small") {}

bool CodePageInfo::isLeadByte(std::uint8_t b) const {
  for (std::size_t i = 0; i + 1 < leadByte.size() && leadByte[i] != 0; i += 2)
    if (b >= leadByte[i] && b <= leadByte[i + 1]) return true;
  return false;
}

namespace {

struct CodePageEntry {
  std::uint16_t codePage;
  const char* icuName;
  std::uint8_t maxCharSize;
  std::array<std::uint8_t, 12> leadByte;
  const char* title;
};

// The code pages this platform offers, ascending. ICU names are the exact
// converter names, so no alias lookup decides which table is used.
constexpr CodePageEntry kCodePages[] = {
    {437, "ibm-437_P100-1995", 1, {}, "OEM - United States"},
    {720, "ibm-720_P100-1997", 1, {}, "Arabic - Transparent ASMO"},
    {737, "ibm-737_P100-1997", 1, {}, "OEM - Greek 437G"},
    {775, "ibm-775_P100-1996", 1, {}, "OEM - Baltic"},
    {850, "ibm-850_P100-1995", 1, {}, "OEM - Multilingual Latin I"},
    {852, "ibm-852_P100-1995", 1, {}, "OEM - Latin II"},
    {855, "ibm-855_P100-1995", 1, {}, "OEM - Cyrillic"},
    {857, "ibm-857_P100-1995", 1, {}, "OEM - Turkish"},
    {858, "ibm-858_P100-1997", 1, {}, "OEM - Multilingual Latin I + Euro"},
    {860, "ibm-860_P100-1995", 1, {}, "OEM - Portuguese"},
    {861, "ibm-861_P100-1995", 1, {}, "OEM - Icelandic"},
    {862, "ibm-862_P100-1995", 1, {}, "OEM - Hebrew"},
    {863, "ibm-863_P100-1995", 1, {}, "OEM - Canadian French"},
    {864, "ibm-864_X110-1999", 1, {}, "OEM - Arabic"},
    {865, "ibm-865_P100-1995", 1, {}, "OEM - Nordic"},
    {866, "ibm-866_P100-1995", 1, {}, "OEM - Russian"},
    {869, "ibm-869_P100-1995", 1, {}, "OEM - Modern Greek"},
    {874, "windows-874-2000", 1, {}, "ANSI/OEM - Thai"},
    {932, "ibm-943_P15A-2003", 2, {0x81, 0x9F, 0xE0, 0xFC}, "ANSI/OEM - Japanese Shift-JIS"},
    {936, "windows-936-2000", 2, {0x81, 0xFE}, "ANSI/OEM - Simplified Chinese GBK"},
    {949, "windows-949-2000", 2, {0x81, 0xFE}, "ANSI/OEM - Korean"},
    {950, "windows-950-2000", 2, {0x81, 0xFE}, "ANSI/OEM - Traditional Chinese Big5"},
    {1200, "UTF-16LE", 4, {}, "Unicode"},
    {1250, "ibm-5346_P100-1998", 1, {}, "ANSI - Central Europe"},
    {1251, "ibm-5347_P100-1998", 1, {}, "ANSI - Cyrillic"},
    {1252, "ibm-5348_P100-1997", 1, {}, "ANSI - Latin I"},
    {1253, "ibm-5349_P100-1998", 1, {}, "ANSI - Greek"},
    {1254, "ibm-5350_P100-1998", 1, {}, "ANSI - Turkish"},
    {1255, "ibm-9447_P100-2002", 1, {}, "ANSI - Hebrew"},
    {1256, "ibm-9448_X100-2005", 1, {}, "ANSI - Arabic"},
    {1257, "ibm-9449_P100-2002", 1, {}, "ANSI - Baltic"},
    {1258, "ibm-5354_P100-1998", 1, {}, "ANSI/OEM - Viet Nam"},
    {20127, "US-ASCII", 1, {}, "US-ASCII"},
    {20866, "ibm-878_P100-1996", 1, {}, "Russian - KOI8"},
    {28591, "ISO-8859-1", 1, {}, "ISO 8859-1 Latin I"},
    {28592, "ibm-912_P100-1995", 1, {}, "ISO 8859-2 Central Europe"},
    {28593, "ibm-913_P100-2000", 1, {}, "ISO 8859-3 Latin 3"},
    {28594, "ibm-914_P100-1995", 1, {}, "ISO 8859-4 Baltic"},
    {28595, "ibm-915_P100-1995", 1, {}, "ISO 8859-5 Cyrillic"},
    {28596, "ibm-1089_P100-1995", 1, {}, "ISO 8859-6 Arabic"},
    {28597, "ibm-9005_X110-2007", 1, {}, "ISO 8859-7 Greek"},
    {28598, "ibm-5012_P100-1999", 1, {}, "ISO 8859-8 Hebrew; Visual"},
    {28599, "ibm-920_P100-1995", 1, {}, "ISO 8859-9 Latin 5"},
    {28603, "ibm-921_P100-1995", 1, {}, "ISO 8859-13 Latin 7"},
    {28605, "ibm-923_P100-1998", 1, {}, "ISO 8859-15 Latin 9"},
    {65001, "UTF-8", 4, {}, "UTF-8"},
};

const CodePageEntry* findEntry(std::uint16_t codePage) {
  const auto it = std::lower_bound(std::begin(kCodePages), std::end(kCodePages), codePage,
                                   [](const CodePageEntry& e, std::uint16_t cp) { return e.codePage < cp; });
  return it != std::end(kCodePages) && it->codePage == codePage ? it : nullptr;
}

const CodePageEntry& entryFor(std::uint32_t codePage) {
  const std::uint16_t cp = resolveCodePage(codePage);
  const CodePageEntry* e = codePage > 0xFFFF ? nullptr : findEntry(cp);
  if (!e) throw OsError(EINVAL, "Invalid code page: " + std::to_string(codePage));
  return *e;
}

// Best fit of 932 for characters without an exact code: the JIS-style
// characters that 932 carries under their full-width twins, plus the yen sign
// and overline on the ASCII bytes, plus the platform's private single bytes.
struct BestFit {
  char16_t unit;
  std::uint8_t bytes[2];
  std::uint8_t length;
};
constexpr BestFit kBestFit932[] = {
    {0x0080, {0x80}, 1},       {0x00A2, {0x81, 0x91}, 2}, {0x00A3, {0x81, 0x92}, 2},
    {0x00A5, {0x5C}, 1},       {0x00AC, {0x81, 0xCA}, 2}, {0x2016, {0x81, 0x61}, 2},
    {0x203E, {0x7E}, 1},       {0x2212, {0x81, 0x7C}, 2}, {0x301C, {0x81, 0x60}, 2},
    {0xF8F0, {0xA0}, 1},       {0xF8F1, {0xFD}, 1},       {0xF8F2, {0xFE}, 1},
    {0xF8F3, {0xFF}, 1},
};

const BestFit* bestFit932(UChar32 c) {
  for (const auto& b : kBestFit932)
    if (b.unit == c) return &b;
  return nullptr;
}

// ICU's 932 table follows the IBM habit of swapping three controls (U+001A
// <-> 7F, U+001C <-> 1A, U+007F <-> 1C); this platform maps 00-7F to
// themselves and stored text must not change, so 932 conversions permute
// these units around the ICU call. Neither side is ambiguous: the bytes are
// never trail bytes, the units never surrogates or best fits.
char16_t icuUnitOf932(char16_t u) {  // the unit ICU must see to write byte u
  switch (u) {
    case 0x001A: return 0x001C;
    case 0x001C: return 0x007F;
    case 0x007F: return 0x001A;
    default: return u;
  }
}

char16_t unitOfIcu932(char16_t u) {  // inverse of icuUnitOf932
  switch (u) {
    case 0x001C: return 0x001A;
    case 0x007F: return 0x001C;
    case 0x001A: return 0x007F;
    default: return u;
  }
}

bool isSwapped932(char16_t u) { return u == 0x001A || u == 0x001C || u == 0x007F; }

char16_t private932(std::uint8_t b) {
  switch (b) {
    case 0x80: return 0x0080;
    case 0xA0: return 0xF8F0;
    case 0xFD: return 0xF8F1;
    case 0xFE: return 0xF8F2;
    case 0xFF: return 0xF8F3;
    default: return 0;
  }
}

// Per-converter state the ICU callbacks see.
struct CallbackState {
  std::uint16_t codePage = 0;
  bool usedDefault = false;
};

void fromUnicodeCallback(const void* context, UConverterFromUnicodeArgs* args, const UChar*, int32_t,
                         UChar32 codePoint, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  auto* st = static_cast<CallbackState*>(const_cast<void*>(context));
  *err = U_ZERO_ERROR;
  if (st->codePage == 932 && reason == UCNV_UNASSIGNED) {
    if (const BestFit* b = bestFit932(codePoint)) {
      ucnv_cbFromUWriteBytes(args, reinterpret_cast<const char*>(b->bytes), b->length, 0, err);
      return;
    }
  }
  st->usedDefault = true;
  if (st->codePage == CP_UTF8) {
    ucnv_cbFromUWriteBytes(args, "\xEF\xBF\xBD", 3, 0, err);
  } else if (st->codePage == CP_UTF16LE) {
    ucnv_cbFromUWriteBytes(args, "\xFD\xFF", 2, 0, err);
  } else {
    ucnv_cbFromUWriteBytes(args, "?", 1, 0, err);
  }
}

void toUnicodeCallback(const void* context, UConverterToUnicodeArgs* args, const char* codeUnits,
                       int32_t length, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;
  const auto* st = static_cast<const CallbackState*>(context);
  *err = U_ZERO_ERROR;
  UChar out = 0xFFFD;
  if (st->codePage == 932) {
    out = 0x30FB;
    if (length == 1)
      if (const char16_t p = private932(static_cast<std::uint8_t>(codeUnits[0]))) out = p;
  }
  ucnv_cbToUWriteUChars(args, &out, 1, 0, err);
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};

struct Converter {
  std::uint16_t codePage;
  std::unique_ptr<UConverter, ConverterCloser> conv;
  std::unique_ptr<CallbackState> state;
};

// Converters are not thread-safe; each thread keeps its own.
Converter& converterFor(const CodePageEntry& entry) {
  thread_local std::vector<Converter> cache;
  for (auto& c : cache)
    if (c.codePage == entry.codePage) return c;
  UErrorCode err = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> conv(ucnv_open(entry.icuName, &err));
  if (U_FAILURE(err))
    throw OsError(EINVAL, std::string("Code page data missing: ") + entry.icuName + " (" + u_errorName(err) + ")");
  auto state = std::make_unique<CallbackState>();
  state->codePage = entry.codePage;
  ucnv_setFallback(conv.get(), true);
  ucnv_setFromUCallBack(conv.get(), fromUnicodeCallback, state.get(), nullptr, nullptr, &err);
  ucnv_setToUCallBack(conv.get(), toUnicodeCallback, state.get(), nullptr, nullptr, &err);
  if (U_FAILURE(err)) throw OsError(EINVAL, std::string("Cannot set up converter: ") + u_errorName(err));
  cache.push_back(Converter{entry.codePage, std::move(conv), std::move(state)});
  return cache.back();
}

int32_t checkedLength(std::size_t n) {
  if (n > static_cast<std::size_t>(INT32_MAX)) throw RangeError("Text too long for conversion");
  return static_cast<int32_t>(n);
}

// Result of one ICU conversion: throws on failure, InsufficientBuffer when the
// capacity was too small.
std::size_t finish(int32_t length, UErrorCode err, std::size_t capacity) {
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    if (capacity == 0) return static_cast<std::size_t>(length);
    throw InsufficientBuffer();
  }
  if (U_FAILURE(err)) throw OsError(EINVAL, std::string("Code page conversion failed: ") + u_errorName(err));
  return static_cast<std::size_t>(length);
}

}  // namespace

std::uint16_t resolveCodePage(std::uint32_t codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return ansiCodePage();
  return static_cast<std::uint16_t>(codePage);
}

bool isValidCodePage(std::uint32_t codePage) {
  return codePage <= 0xFFFF && findEntry(resolveCodePage(codePage)) != nullptr;
}

CodePageInfo codePageInfo(std::uint32_t codePage) {
  const CodePageEntry& e = entryFor(codePage);
  CodePageInfo info;
  info.codePage = e.codePage;
  info.maxCharSize = e.maxCharSize;
  info.defaultChar = '?';
  info.unicodeDefaultChar = e.codePage == 932 ? u'\u30FB' : e.codePage == CP_UTF8 || e.codePage == CP_UTF16LE ? u'\uFFFD' : u'?';
  info.leadByte = e.leadByte;
  std::string number = std::to_string(e.codePage);
  number.resize(std::max<std::size_t>(number.size() + 1, 6), ' ');
  info.name = number + "(" + e.title + ")";
  return info;
}

std::vector<std::uint16_t> systemCodePages() {
  std::vector<std::uint16_t> out;
  for (const auto& e : kCodePages) out.push_back(e.codePage);
  return out;
}

std::size_t multiByteToWide(std::uint32_t codePage, std::string_view src, char16_t* dst,
                            std::size_t capacity) {
  const CodePageEntry& e = entryFor(codePage);
  if (src.empty()) return 0;
  Converter& c = converterFor(e);
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_toUChars(c.conv.get(), reinterpret_cast<UChar*>(dst), checkedLength(capacity),
                                  src.data(), checkedLength(src.size()), &err);
  const std::size_t result = finish(n, err, capacity);
  if (e.codePage == 932 && capacity != 0)
    for (std::size_t i = 0; i < result; ++i) dst[i] = unitOfIcu932(dst[i]);
  return result;
}

std::size_t wideToMultiByte(std::uint32_t codePage, UnicodeStringView src, char* dst,
                            std::size_t capacity, bool* usedDefaultChar) {
  const CodePageEntry& e = entryFor(codePage);
  if (usedDefaultChar) *usedDefaultChar = false;
  if (src.empty()) return 0;
  Converter& c = converterFor(e);
  c.state->usedDefault = false;
  UnicodeString remapped;
  if (e.codePage == 932 && std::any_of(src.begin(), src.end(), isSwapped932)) {
    remapped.assign(src.begin(), src.end());
    for (char16_t& u : remapped) u = icuUnitOf932(u);
    src = remapped;
  }
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_fromUChars(c.conv.get(), dst, checkedLength(capacity),
                                    reinterpret_cast<const UChar*>(src.data()), checkedLength(src.size()), &err);
  const std::size_t result = finish(n, err, capacity);
  if (usedDefaultChar) *usedDefaultChar = c.state->usedDefault;
  return result;
}

namespace {

bool isPrintableAscii(std::string_view aBytes) {
  for (const char c : aBytes)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// Whether the code page decodes every printable ASCII byte to itself; asked
// of the converter once per code page (some OEM pages move '%' and others).
bool printableAsciiIsIdentity(std::uint32_t aCodePage) {
  static std::atomic<std::int8_t> known[std::size(kCodePages)];  // 0 unknown, 1 yes, -1 no
  const CodePageEntry& e = entryFor(aCodePage);
  std::atomic<std::int8_t>& state = known[static_cast<std::size_t>(&e - kCodePages)];
  std::int8_t answer = state.load(std::memory_order_acquire);
  if (answer == 0) {
    char ascii[0x7F - 0x20];
    char16_t wide[std::size(ascii)];
    for (std::size_t i = 0; i < std::size(ascii); ++i) ascii[i] = static_cast<char>(0x20 + i);
    bool same = false;
    try {
      same = multiByteToWide(e.codePage, std::string_view(ascii, std::size(ascii)), wide, std::size(wide)) ==
                 std::size(ascii) &&
             std::equal(std::begin(ascii), std::end(ascii), std::begin(wide),
                        [](char a, char16_t w) { return static_cast<char16_t>(a) == w; });
    } catch (const OsError&) {
    }
    answer = same ? 1 : -1;
    state.store(answer, std::memory_order_release);
  }
  return answer > 0;
}

}  // namespace

UnicodeString decodeText(std::string_view bytes, std::uint32_t codePage) {
  // Field texts are mostly plain ASCII: no converter round for them.
  if (isPrintableAscii(bytes) && printableAsciiIsIdentity(codePage)) return UnicodeString(bytes.begin(), bytes.end());
  UnicodeString out(multiByteToWide(codePage, bytes, nullptr, 0), u'\0');
  if (!out.empty()) out.resize(multiByteToWide(codePage, bytes, out.data(), out.size()));
  return out;
}

std::string encodeText(UnicodeStringView text, std::uint32_t codePage) {
  std::string out(wideToMultiByte(codePage, text, nullptr, 0), '\0');
  if (!out.empty()) out.resize(wideToMultiByte(codePage, text, out.data(), out.size()));
  return out;
}

UnicodeString ansiToUnicode(const AnsiString& s) { return decodeText(s.bytes, s.codePage); }

AnsiString unicodeToAnsi(UnicodeStringView text, std::uint16_t codePage) {
  return AnsiString{encodeText(text, codePage), codePage};
}

}  // namespace platform
