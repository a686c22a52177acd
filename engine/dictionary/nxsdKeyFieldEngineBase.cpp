#include "nxsdKeyFieldEngineBase.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nxllBde.h"
#include "nxllList.h"
#include "nxllLockedFuncs.h"
#include "nxllOwners.h"
#include "nxllSync.h"
#include "nxllUtils.h"
#include "nxsdNativeVariantConverter.h"
#include "plCodePage.h"
#include "plCollation.h"
#include "plExtended.h"
#include "plGuid.h"

NX_IMPLEMENT_EXCEPTION(EnxCompositeKeyFieldEngineException, EnxBaseException)

PL_CLASS_INFO_IMPL_TABLE(TnxCompositeKeyFieldEngine, TnxPersistent, "TnxCompositeKeyFieldEngine", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxCompositeKeyFieldEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNumbersOnlyCKFE, TnxCompositeKeyFieldEngine, "TnxNumbersOnlyCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxNumbersOnlyCKFE>))
PL_CLASS_INFO_IMPL_TABLE(TnxDateOnlyCKFE, TnxCompositeKeyFieldEngine, "TnxDateOnlyCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxDateOnlyCKFE>))
PL_CLASS_INFO_IMPL_TABLE(TnxDateOnlyProcessCKFE, TnxCompositeKeyFieldEngine, "TnxDateOnlyProcessCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxDateOnlyProcessCKFE>))
PL_CLASS_INFO_IMPL_TABLE(TnxDateOnlyWeekCKFE, TnxDateOnlyProcessCKFE, "TnxDateOnlyWeekCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxDateOnlyWeekCKFE>))
PL_CLASS_INFO_IMPL_TABLE(TnxDateOnlyMonthCKFE, TnxDateOnlyProcessCKFE, "TnxDateOnlyMonthCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxDateOnlyMonthCKFE>))
PL_CLASS_INFO_IMPL_TABLE(TnxDateOnlyYearCKFE, TnxDateOnlyProcessCKFE, "TnxDateOnlyYearCKFE", nullptr,
                         platform::bindClassTable(nxKeyFieldEngineFuncs<TnxDateOnlyYearCKFE>))

using E = TnxCompositeKeyFieldEngine;
using R = TValueRelationship;

namespace {

// ---------------------------------------------------------------- registry

struct RegistryEntry {
  nxString name;
  const platform::ClassInfo* cls;
};
std::unique_ptr<std::vector<RegistryEntry>> gRegistry;  // created by the first registration
TnxOwned<TnxPadlock> gRegistryPadlock;
TnxUseCount gKeyFieldEngineBaseUseCount{0};

TnxPadlock& registryPadlock() {
  if (!gRegistryPadlock)
    throw EnxCompositeKeyFieldEngineException(nxErrNotSupported, u"Key field engines are not initialised");
  return *gRegistryPadlock;
}

// REQUIRES: the padlock is held.
const platform::ClassInfo* findEngineClass(const nxString& aName) {
  if (!gRegistry) return nullptr;
  for (const RegistryEntry& e : *gRegistry)
    if (nxCompareText(e.name, aName) == 0) return e.cls;
  return nullptr;
}

const TnxKeyFieldEngineClassFuncs& funcsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxKeyFieldEngineClassFuncs>();
  if (!funcs)
    throw EnxCompositeKeyFieldEngineException(nxErrNotSupported, u"%s is not a key field engine class",
                                              {platform::fromUtf8(aClass.name)});
  return *funcs;
}

// REQUIRES: the padlock is held.
const TnxKeyFieldEngineClassFuncs& lookup(TnxKeyFieldDescriptor* aKeyFieldDescriptor) {
  const nxString& name = aKeyFieldDescriptor->KeyFieldEngine();
  const platform::ClassInfo* cls = findEngineClass(name);
  if (!cls)
    throw EnxCompositeKeyFieldEngineException(nxErrUnsupportedSubEngine,
                                              u"CompositeKeyFieldEngine \"%s\" is not registered", {name});
  return funcsOf(*cls);
}

// ---------------------------------------------------------------- helpers

template <class T>
T keyOf(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline const std::uint8_t* bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }
inline std::uint8_t* bytes(void* p) { return static_cast<std::uint8_t*>(p); }
inline char16_t unitAt(const void* p, std::size_t i) { return keyOf<char16_t>(bytes(p) + 2 * i); }

inline R sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

template <class T>
R cmp(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

// Total order: NaN after every number, NaN equal to NaN, -0 equal to +0.
template <class F>
R cmpFloat(F a, F b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return cmp(a, b);
}

// Length of a zero-terminated 8-bit text inside aMax bytes.
inline std::size_t boundedLen(const void* p, std::size_t aMax) {
  const void* z = std::memchr(p, 0, aMax);
  return z ? static_cast<std::size_t>(static_cast<const char*>(z) - static_cast<const char*>(p)) : aMax;
}
inline std::size_t boundedLenW(const void* p, std::size_t aMaxUnits) {
  for (std::size_t i = 0; i < aMaxUnits; ++i)
    if (unitAt(p, i) == 0) return i;
  return aMaxUnits;
}

// An aligned copy of unaligned UTF-16 units; short texts stay on the stack.
class WideCopy {
 public:
  WideCopy(const void* p, std::size_t aUnits) : n_(aUnits) {
    if (aUnits > small_.size()) {
      big_.resize(aUnits);
      data_ = big_.data();
    } else {
      data_ = small_.data();
    }
    if (aUnits) std::memcpy(data_, p, aUnits * 2);
  }
  WideCopy(const WideCopy&) = delete;
  WideCopy& operator=(const WideCopy&) = delete;
  platform::UnicodeStringView view(std::size_t aUnits) const { return {data_, std::min(aUnits, n_)}; }
  platform::UnicodeStringView view() const { return {data_, n_}; }

 private:
  std::array<char16_t, 128> small_;
  std::u16string big_;
  char16_t* data_;
  std::size_t n_;
};

inline std::uint8_t upperAscii(std::uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - 32) : c; }
inline char16_t upperAsciiW(char16_t c) { return c >= 0x61 && c <= 0x7A ? static_cast<char16_t>(c & ~0x20) : c; }

// StrLComp / StrLIComp: the first unequal byte within aMax, sign only.
R strLComp(const void* a, const void* b, std::size_t aMax, bool aIgnoreCase) {
  const auto* pa = bytes(a);
  const auto* pb = bytes(b);
  for (std::size_t i = 0; i < aMax; ++i) {
    std::uint8_t ca = pa[i], cb = pb[i];
    if (aIgnoreCase) {
      ca = upperAscii(ca);
      cb = upperAscii(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

R strLCompW(const void* a, const void* b, std::size_t aMax, bool aIgnoreCase) {
  for (std::size_t i = 0; i < aMax; ++i) {
    char16_t ca = unitAt(a, i), cb = unitAt(b, i);
    if (aIgnoreCase) {
      ca = upperAsciiW(ca);
      cb = upperAsciiW(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

std::size_t shortStrLen(const void* p, std::size_t aCap) { return std::min<std::size_t>(bytes(p)[0], aCap); }

// The capacity in characters of a slot.
inline std::size_t cap8(const E& e) { return e.ckfeKeyLength > 0 ? static_cast<std::size_t>(e.ckfeKeyLength - 1) : 0; }
inline std::size_t capW(const E& e) {
  return e.ckfeKeyLength >= 2 ? static_cast<std::size_t>(e.ckfeKeyLength / 2 - 1) : 0;
}

std::int32_t resolvePartial(std::int32_t aPartialLen, std::size_t aLenA, std::size_t aLenB) {
  if (aPartialLen == nxPartialLenOfFirst) return static_cast<std::int32_t>(std::min<std::size_t>(aLenA, INT32_MAX));
  if (aPartialLen == nxPartialLenOfSecond) return static_cast<std::int32_t>(std::min<std::size_t>(aLenB, INT32_MAX));
  return aPartialLen;
}
inline std::size_t clampLen(std::int32_t aL, std::size_t aCap) {
  return aL <= 0 ? 0 : std::min(static_cast<std::size_t>(aL), aCap);
}

[[noreturn]] void raiseStep(const platform::OsError& aError, const char16_t* aStep) {
  nxRaiseOSError(aError.code(), 0, aStep);
}

platform::UnicodeString decodeOrRaise(std::string_view aBytes, std::uint16_t aCodePage, const char16_t* aStep) {
  try {
    return platform::decodeText(aBytes, aCodePage);
  } catch (const platform::OsError& e) {
    raiseStep(e, aStep);
  }
}

// Encodes aText into at most aCap bytes, dropping trailing units until it
// fits, so the cut falls on a character boundary.
std::string encodeCut(platform::UnicodeString aText, std::uint16_t aCodePage, std::size_t aCap,
                      const char16_t* aStep) {
  try {
    for (;;) {
      std::string s = platform::encodeText(aText, aCodePage);
      if (s.size() <= aCap) return s;
      // Drop a whole surrogate pair at once.
      std::size_t drop = 1;
      if (aText.size() >= 2 && aText.back() >= 0xDC00 && aText.back() <= 0xDFFF) drop = 2;
      aText.resize(aText.size() - std::min(drop, aText.size()));
    }
  } catch (const platform::OsError& e) {
    raiseStep(e, aStep);
  }
}

int osCompare(const E& e, platform::UnicodeStringView a, platform::UnicodeStringView b) {
  return platform::compareString(e.ckfeLocale, e.ckfeCompareFlags, a, b);
}
int osCompareA(const E& e, std::string_view a, std::string_view b) {
  return platform::compareStringA(e.ckfeLocale, e.ckfeCompareFlags, a, b);
}

// ---------------------------------------------------------------- compares

R cmpBoolean(const E&, const void* a, const void* b) {
  const bool va = bytes(a)[0] != 0, vb = bytes(b)[0] != 0;
  return cmp<int>(va, vb);
}
R cmpCharBytes(const E& e, const void* a, const void* b) {
  std::uint8_t ca = bytes(a)[0], cb = bytes(b)[0];
  if (e.ckfeIgnoreCase) {
    ca = upperAscii(ca);
    cb = upperAscii(cb);
  }
  return nxCompareByte(ca, cb);
}
R cmpCharLocale(const E& e, const void* a, const void* b) {
  return sign(osCompareA(e, std::string_view(static_cast<const char*>(a), 1),
                         std::string_view(static_cast<const char*>(b), 1)));
}
R cmpWideCharBytes(const E& e, const void* a, const void* b) {
  char16_t ca = unitAt(a, 0), cb = unitAt(b, 0);
  if (e.ckfeIgnoreCase) {
    ca = upperAsciiW(ca);
    cb = upperAsciiW(cb);
  }
  return nxCompareWord(ca, cb);
}
R cmpWideCharLocale(const E& e, const void* a, const void* b) {
  const char16_t ca = unitAt(a, 0), cb = unitAt(b, 0);
  return sign(osCompare(e, {&ca, 1}, {&cb, 1}));
}
R cmpByte(const E&, const void* a, const void* b) { return nxCompareByte(bytes(a)[0], bytes(b)[0]); }
R cmpWord(const E&, const void* a, const void* b) { return cmp(keyOf<std::uint16_t>(a), keyOf<std::uint16_t>(b)); }
R cmpCardinal(const E&, const void* a, const void* b) { return cmp(keyOf<std::uint32_t>(a), keyOf<std::uint32_t>(b)); }
R cmpInt8(const E&, const void* a, const void* b) { return cmp(keyOf<std::int8_t>(a), keyOf<std::int8_t>(b)); }
R cmpInt16(const E&, const void* a, const void* b) { return cmp(keyOf<std::int16_t>(a), keyOf<std::int16_t>(b)); }
R cmpInt32(const E&, const void* a, const void* b) { return cmp(keyOf<std::int32_t>(a), keyOf<std::int32_t>(b)); }
R cmpInt64(const E&, const void* a, const void* b) { return cmp(keyOf<std::int64_t>(a), keyOf<std::int64_t>(b)); }
R cmpSingle(const E&, const void* a, const void* b) { return cmpFloat(keyOf<float>(a), keyOf<float>(b)); }
R cmpDouble(const E&, const void* a, const void* b) { return cmpFloat(keyOf<double>(a), keyOf<double>(b)); }
R cmpExtended(const E&, const void* a, const void* b) {
  return cmpFloat(keyOf<platform::Extended>(a).toLongDouble(), keyOf<platform::Extended>(b).toLongDouble());
}

// Packed decimal: byte 0 precision, byte 1 sign (bit 7) and scale (bits
// 0-5), then two digits a byte, most significant first. Digits beyond the
// slot are not read.
struct Decimal {
  bool negative = false;
  std::string intDigits;   // no leading zeros
  std::string fracDigits;  // no trailing zeros
};
Decimal decodeBcd(const std::uint8_t* p, std::size_t aLen) {
  Decimal d;
  if (aLen < 2) return d;
  const std::size_t avail = (aLen - 2) * 2;
  const std::size_t precision = std::min<std::size_t>(p[0], avail);
  const std::size_t scale = std::min<std::size_t>(p[1] & 0x3F, precision);
  const std::size_t intCount = precision - scale;
  auto digit = [&](std::size_t i) -> char {
    const std::uint8_t b = p[2 + i / 2];
    return static_cast<char>('0' + std::min<int>((i & 1) ? (b & 0x0F) : (b >> 4), 9));
  };
  for (std::size_t i = 0; i < intCount; ++i) {
    const char c = digit(i);
    if (d.intDigits.empty() && c == '0') continue;
    d.intDigits.push_back(c);
  }
  for (std::size_t i = intCount; i < precision; ++i) d.fracDigits.push_back(digit(i));
  while (!d.fracDigits.empty() && d.fracDigits.back() == '0') d.fracDigits.pop_back();
  d.negative = (p[1] & 0x80) != 0 && !(d.intDigits.empty() && d.fracDigits.empty());
  return d;
}
R cmpFmtBcd(const E& e, const void* a, const void* b) {
  const Decimal da = decodeBcd(bytes(a), static_cast<std::size_t>(e.ckfeKeyLength));
  const Decimal db = decodeBcd(bytes(b), static_cast<std::size_t>(e.ckfeKeyLength));
  if (da.negative != db.negative) return da.negative ? -1 : 1;
  int r = cmp(da.intDigits.size(), db.intDigits.size());
  if (!r) r = sign(da.intDigits.compare(db.intDigits));
  if (!r) r = sign(da.fracDigits.compare(db.fracDigits));
  return static_cast<R>(da.negative ? -r : r);
}

R cmpByteArray(const E& e, const void* a, const void* b) {
  return nxCompareBytes(a, b, static_cast<std::size_t>(e.ckfeKeyLength));
}
R pcmpByteArray(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  return nxCompareBytes(a, b, clampLen(aPartialLen, static_cast<std::size_t>(e.ckfeKeyLength)));
}
R cmpGuidText(const E&, const void* a, const void* b) {
  const platform::UnicodeString ta = platform::guidToString(keyOf<platform::Guid>(a));
  const platform::UnicodeString tb = platform::guidToString(keyOf<platform::Guid>(b));
  return nxLocaleCompareStr(ta.c_str(), tb.c_str());
}

// Short strings.
R cmpShortBytes(const E& e, const void* a, const void* b) {
  const auto max = static_cast<std::uint8_t>(std::min<std::size_t>(cap8(e), 255));
  return e.ckfeIgnoreCase ? nxCompareShortText(bytes(a), bytes(b), max) : nxCompareShortStr(bytes(a), bytes(b), max);
}
R cmpShortLocale(const E& e, const void* a, const void* b) {
  const std::size_t la = shortStrLen(a, cap8(e)), lb = shortStrLen(b, cap8(e));
  return sign(osCompareA(e, {reinterpret_cast<const char*>(bytes(a) + 1), la},
                         {reinterpret_cast<const char*>(bytes(b) + 1), lb}));
}
R pcmpShortBytes(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::int32_t l = resolvePartial(aPartialLen, bytes(a)[0], bytes(b)[0]);
  const auto max = static_cast<std::uint8_t>(clampLen(l, std::min<std::size_t>(cap8(e), 255)));
  return e.ckfeIgnoreCase ? nxCompareShortText(bytes(a), bytes(b), max) : nxCompareShortStr(bytes(a), bytes(b), max);
}
R pcmpShortLocale(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::size_t la = shortStrLen(a, cap8(e)), lb = shortStrLen(b, cap8(e));
  const std::int32_t l = resolvePartial(aPartialLen, la, lb);
  const std::size_t n = clampLen(l, cap8(e));
  return sign(osCompareA(e, {reinterpret_cast<const char*>(bytes(a) + 1), std::min(n, la)},
                         {reinterpret_cast<const char*>(bytes(b) + 1), std::min(n, lb)}));
}
template <bool Descending>
R pcmpShortMbcs(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const char16_t* step = Descending ? u"DescendShortAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar"
                                    : u"ShortAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar";
  const std::size_t la = shortStrLen(a, cap8(e)), lb = shortStrLen(b, cap8(e));
  platform::UnicodeString wa =
      decodeOrRaise({reinterpret_cast<const char*>(bytes(a) + 1), la}, e.ckfeCompareCodepage, step);
  platform::UnicodeString wb =
      decodeOrRaise({reinterpret_cast<const char*>(bytes(b) + 1), lb}, e.ckfeCompareCodepage, step);
  const std::int32_t l = resolvePartial(aPartialLen, wa.size(), wb.size());
  const std::size_t n = clampLen(l, SIZE_MAX);
  const R r = sign(osCompare(e, platform::UnicodeStringView(wa).substr(0, n),
                             platform::UnicodeStringView(wb).substr(0, n)));
  return Descending ? static_cast<R>(-r) : r;
}

// Zero-terminated 8-bit strings.
R cmpNullBytes(const E& e, const void* a, const void* b) { return strLComp(a, b, cap8(e), e.ckfeIgnoreCase); }
R cmpNullLocale(const E& e, const void* a, const void* b) {
  const auto slot = static_cast<std::size_t>(e.ckfeKeyLength);
  return sign(osCompareA(e, {static_cast<const char*>(a), boundedLen(a, slot)},
                         {static_cast<const char*>(b), boundedLen(b, slot)}));
}
R pcmpNullBytes(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::size_t cap = cap8(e);
  const std::int32_t l = resolvePartial(aPartialLen, boundedLen(a, cap), boundedLen(b, cap));
  return strLComp(a, b, clampLen(l, cap), e.ckfeIgnoreCase);
}
R pcmpNullLocale(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::size_t cap = cap8(e);
  const std::size_t la = boundedLen(a, cap), lb = boundedLen(b, cap);
  const std::size_t n = clampLen(resolvePartial(aPartialLen, la, lb), cap);
  return sign(osCompareA(e, {static_cast<const char*>(a), std::min(n, la)},
                         {static_cast<const char*>(b), std::min(n, lb)}));
}
template <bool Descending>
R pcmpNullMbcs(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const char16_t* step = Descending ? u"DescendNullAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar"
                                    : u"NullAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar";
  const auto slot = static_cast<std::size_t>(e.ckfeKeyLength);
  platform::UnicodeString wa =
      decodeOrRaise({static_cast<const char*>(a), boundedLen(a, slot)}, e.ckfeCompareCodepage, step);
  platform::UnicodeString wb =
      decodeOrRaise({static_cast<const char*>(b), boundedLen(b, slot)}, e.ckfeCompareCodepage, step);
  const std::size_t n = clampLen(resolvePartial(aPartialLen, wa.size(), wb.size()), SIZE_MAX);
  const R r = sign(osCompare(e, platform::UnicodeStringView(wa).substr(0, n),
                             platform::UnicodeStringView(wb).substr(0, n)));
  return Descending ? static_cast<R>(-r) : r;
}

// Zero-terminated UTF-16 strings.
R cmpWideBytes(const E& e, const void* a, const void* b) { return strLCompW(a, b, capW(e), e.ckfeIgnoreCase); }
R cmpWideLocale(const E& e, const void* a, const void* b) {
  const auto slot = static_cast<std::size_t>(e.ckfeKeyLength / 2);
  const WideCopy wa(a, boundedLenW(a, slot)), wb(b, boundedLenW(b, slot));
  return sign(osCompare(e, wa.view(), wb.view()));
}
R pcmpWideBytes(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::size_t cap = capW(e);
  const std::int32_t l = resolvePartial(aPartialLen, boundedLenW(a, cap), boundedLenW(b, cap));
  return strLCompW(a, b, clampLen(l, cap), e.ckfeIgnoreCase);
}
R pcmpWideLocale(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  const std::size_t cap = capW(e);
  const std::size_t la = boundedLenW(a, cap), lb = boundedLenW(b, cap);
  const std::size_t n = clampLen(resolvePartial(aPartialLen, la, lb), cap);
  const WideCopy wa(a, std::min(n, la)), wb(b, std::min(n, lb));
  return sign(osCompare(e, wa.view(), wb.view()));
}

template <TnxCKFECompare F>
R descend(const E& e, const void* a, const void* b) {
  return static_cast<R>(-F(e, a, b));
}
template <TnxCKFEPartialCompare F>
R descendPartial(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  return static_cast<R>(-F(e, a, b, aPartialLen));
}

struct ComparePair {
  TnxCKFECompare asc, desc;
};
template <TnxCKFECompare F>
constexpr ComparePair pair() {
  return {F, &descend<F>};
}
struct PartialPair {
  TnxCKFEPartialCompare asc, desc;
};
template <TnxCKFEPartialCompare F>
constexpr PartialPair ppair() {
  return {F, &descendPartial<F>};
}

// ---------------------------------------------------------------- direct routines

// A zeroed slot of the engine's key length: on the stack when small, else
// from the engine's pool; returned whatever happens.
class TempSlot {
 public:
  explicit TempSlot(const E& e) : e_(e) {
    const auto n = static_cast<std::size_t>(e.ckfeKeyLength);
    if (n <= small_.size()) {
      p_ = small_.data();
    } else {
      p_ = e.ckfeAllocator.Alloc();
      pooled_ = true;
    }
    std::memset(p_, 0, n);
  }
  ~TempSlot() {
    if (pooled_) e_.ckfeAllocator.DisposeDirect(p_);
  }
  TempSlot(const TempSlot&) = delete;
  TempSlot& operator=(const TempSlot&) = delete;
  void* get() const { return p_; }

 private:
  const E& e_;
  alignas(8) std::array<std::uint8_t, 256> small_;
  void* p_;
  bool pooled_ = false;
};

R buildCompareFields(const E& e, const void* a, const void* b) {
  TempSlot ka(e), kb(e);
  e.BuildKey(a, ka.get());
  e.BuildKey(b, kb.get());
  return e.CompareKey(ka.get(), kb.get());
}
R buildCompareKeyToField(const E& e, const void* aKey, const void* aField) {
  TempSlot k(e);
  e.BuildKey(aField, k.get());
  return e.CompareKey(aKey, k.get());
}
R buildPartialFields(const E& e, const void* a, const void* b, std::int32_t aPartialLen) {
  TempSlot ka(e), kb(e);
  e.BuildKey(a, ka.get());
  e.BuildKey(b, kb.get());
  return e.PartialCompareKey(ka.get(), kb.get(), aPartialLen);
}
R buildPartialKeyToField(const E& e, const void* aKey, const void* aField, std::int32_t aPartialLen) {
  TempSlot k(e);
  e.BuildKey(aField, k.get());
  return e.PartialCompareKey(aKey, k.get(), aPartialLen);
}

TnxResult keyToRecordRefused(const E&, const void*, void*) { return nxErrNotSupported; }
TnxResult keyToRecordCopy(const E& e, const void* aKey, void* aField) {
  std::memcpy(aField, aKey, static_cast<std::size_t>(e.ckfeBuildKeyLength));
  return 0;
}

void keyAsVariant(const E& e, const void* aKey, platform::Variant& aValue) {
  nxFieldBufferToVariant(e.ckfeFieldType, e.ckfeCompareCodepage, e.ckfeKeyUnits, e.ckfeFieldDecPl, aKey,
                         static_cast<std::size_t>(e.ckfeKeyLength), aValue);
}

// ---------------------------------------------------------------- builds

void buildCopy(const E& e, const void* aField, void* aKey) {
  std::memcpy(aKey, aField, static_cast<std::size_t>(e.ckfeBuildKeyLength));
}

void buildShortCopy(const E& e, const void* aField, void* aKey) {
  const std::size_t len =
      std::min<std::size_t>({bytes(aField)[0], static_cast<std::size_t>(std::max(e.ckfeBuildKeyLength - 1, 0)),
                             static_cast<std::size_t>(std::max(e.ckfeFieldLength - 1, 0))});
  bytes(aKey)[0] = static_cast<std::uint8_t>(len);
  std::memcpy(bytes(aKey) + 1, bytes(aField) + 1, len);
}

// Through UTF-16: cut to the kept characters, then into aTargetCodePage.
template <bool Convert>
void buildShortRecode(const E& e, const void* aField, void* aKey) {
  const char16_t* decodeStep =
      Convert ? u"ShortStrBuildKeyConvert/MultiByteToWideChar" : u"ShortStrBuildKeyTruncate/MultiByteToWideChar";
  const char16_t* encodeStep =
      Convert ? u"ShortStrBuildKeyConvert/WideCharToMultiByte" : u"ShortStrBuildKeyTruncate/WideCharToMultiByte";
  const std::size_t len = std::min<std::size_t>(bytes(aField)[0], static_cast<std::size_t>(e.ckfeFieldLength - 1));
  platform::UnicodeString w =
      decodeOrRaise({reinterpret_cast<const char*>(bytes(aField) + 1), len}, e.ckfeStorageCodepage, decodeStep);
  if (w.size() > static_cast<std::size_t>(e.ckfeKeyChars)) w.resize(static_cast<std::size_t>(e.ckfeKeyChars));
  const std::uint16_t target = Convert ? e.ckfeCompareCodepage : e.ckfeStorageCodepage;
  const std::size_t cap = std::min<std::size_t>(static_cast<std::size_t>(e.ckfeKeyLength - 1), 255);
  const std::string s = encodeCut(std::move(w), target, cap, encodeStep);
  bytes(aKey)[0] = static_cast<std::uint8_t>(s.size());
  std::memcpy(bytes(aKey) + 1, s.data(), s.size());
}

void buildNullCopy(const E& e, const void* aField, void* aKey) {
  const auto n = static_cast<std::size_t>(e.ckfeBuildKeyLength);
  if (!n) return;
  std::memcpy(aKey, aField, n);
  bytes(aKey)[n - 1] = 0;
}

template <bool Convert>
void buildNullRecode(const E& e, const void* aField, void* aKey) {
  const char16_t* decodeStep =
      Convert ? u"NullStrBuildKeyConvert/MultiByteToWideChar" : u"NullStrBuildKeyTruncate/MultiByteToWideChar";
  const char16_t* encodeStep =
      Convert ? u"NullStrBuildKeyConvert/WideCharToMultiByte" : u"NullStrBuildKeyTruncate/WideCharToMultiByte";
  const std::size_t len = boundedLen(aField, static_cast<std::size_t>(e.ckfeFieldLength));
  platform::UnicodeString w = decodeOrRaise({static_cast<const char*>(aField), len}, e.ckfeStorageCodepage, decodeStep);
  if (w.size() > static_cast<std::size_t>(e.ckfeKeyChars)) w.resize(static_cast<std::size_t>(e.ckfeKeyChars));
  const std::uint16_t target = Convert ? e.ckfeCompareCodepage : e.ckfeStorageCodepage;
  const std::string s = encodeCut(std::move(w), target, static_cast<std::size_t>(e.ckfeKeyLength - 1), encodeStep);
  std::memcpy(aKey, s.data(), s.size());
  bytes(aKey)[s.size()] = 0;
}

void buildWideCopy(const E& e, const void* aField, void* aKey) {
  const auto n = static_cast<std::size_t>(e.ckfeBuildKeyLength) & ~std::size_t{1};
  if (n < 2) return;
  std::memcpy(aKey, aField, n);
  bytes(aKey)[n - 1] = 0;
  bytes(aKey)[n - 2] = 0;
}

void buildNumbersShort(const E& e, const void* aField, void* aKey) {
  const auto slot = static_cast<std::size_t>(std::max(e.ckfeBuildKeyLength, 0));
  std::memset(aKey, 0, slot);
  if (!slot) return;
  const std::size_t cap = slot - 1;
  const std::size_t len = std::min<std::size_t>(bytes(aField)[0], static_cast<std::size_t>(e.ckfeFieldLength - 1));
  std::size_t out = 0;
  for (std::size_t i = 0; i < len && out < cap; ++i) {
    const std::uint8_t c = bytes(aField)[1 + i];
    if (c >= '0' && c <= '9') bytes(aKey)[1 + out++] = c;
  }
  bytes(aKey)[0] = static_cast<std::uint8_t>(out);
}
void buildNumbersNull(const E& e, const void* aField, void* aKey) {
  const auto slot = static_cast<std::size_t>(std::max(e.ckfeBuildKeyLength, 0));
  if (!slot) return;
  const std::size_t cap = slot - 1;
  const std::size_t len = boundedLen(aField, static_cast<std::size_t>(e.ckfeFieldLength));
  std::size_t out = 0;
  for (std::size_t i = 0; i < len && out < cap; ++i) {
    const std::uint8_t c = bytes(aField)[i];
    if (c >= '0' && c <= '9') bytes(aKey)[out++] = c;
  }
  bytes(aKey)[out] = 0;
}
void buildNumbersWide(const E& e, const void* aField, void* aKey) {
  const auto units = static_cast<std::size_t>(std::max(e.ckfeBuildKeyLength, 0)) / 2;
  if (!units) return;
  const std::size_t cap = units - 1;
  const std::size_t len = boundedLenW(aField, static_cast<std::size_t>(e.ckfeFieldLength / 2));
  std::size_t out = 0;
  for (std::size_t i = 0; i < len && out < cap; ++i) {
    const char16_t c = unitAt(aField, i);
    if (c >= u'0' && c <= u'9') std::memcpy(bytes(aKey) + 2 * out++, &c, 2);
  }
  const char16_t zero = 0;
  std::memcpy(bytes(aKey) + 2 * out, &zero, 2);
}

constexpr double kMSecsPerDay = platform::kMSecsPerDay;

// The stored milliseconds as a time stamp; false for a value that is no day.
bool splitStamp(double aValue, platform::TimeStamp& aStamp) {
  if (!std::isfinite(aValue)) return false;
  const double r = std::nearbyint(aValue);
  if (r < 0 || r > (static_cast<double>(platform::kMaxDateNumber) + 1) * kMSecsPerDay) return false;
  const auto ms = static_cast<std::int64_t>(r);
  aStamp.date = static_cast<std::int32_t>(ms / platform::kMSecsPerDay);
  aStamp.time = static_cast<std::int32_t>(ms % platform::kMSecsPerDay);
  return true;
}

void buildDateOnly(const E&, const void* aField, void* aKey) {
  const double v = keyOf<double>(aField);
  platform::TimeStamp ts;
  double out = v;
  if (splitStamp(v, ts)) out = static_cast<double>(ts.date) * kMSecsPerDay;
  std::memcpy(aKey, &out, 8);
}
void buildDateOnlyProcess(const E& e, const void* aField, void* aKey) {
  const double v = keyOf<double>(aField);
  platform::TimeStamp ts;
  double out = v;
  if (splitStamp(v, ts)) {
    ts.time = 0;
    platform::TimeStamp processed;
    static_cast<const TnxDateOnlyProcessCKFE&>(e).ProcessTimeStamp(ts, processed);
    out = static_cast<double>(processed.date) * kMSecsPerDay;
  }
  std::memcpy(aKey, &out, 8);
}

constexpr TnxFieldTypes kBaseSupported = (nxFieldTypeBit(nxtInterval) * 2 - 1) |
                                         nxFieldTypeBit(nxtByteArray) | nxFieldTypeBit(nxtShortString) |
                                         nxFieldTypeBit(nxtNullString) | nxFieldTypeBit(nxtWideString) |
                                         nxFieldTypeBit(nxtRecRev) | nxFieldTypeBit(nxtGuid);
constexpr TnxFieldTypes kLocaleTextTypes = nxStringFieldTypes | nxFieldTypeBit(nxtChar) |
                                           nxFieldTypeBit(nxtWideChar) | nxFieldTypeBit(nxtBlobMemo) |
                                           nxFieldTypeBit(nxtBlobWideMemo);

// Wide-character keys without a locale inside a dictionary follow the
// dictionary's own UseByteOrderForWideString flag, not its version: a
// dictionary built under the old-collation switch may still reach version 5
// (for a RefNr field or caching) and then compares by locale.
bool dictionaryUsesByteOrderForWide(TnxDictionaryItem* aDictionary) {
  return aDictionary->DictionaryUsesByteOrderForWideString();
}

std::uint32_t maxCharSize(std::uint16_t aCodePage) {
  try {
    return platform::codePageInfo(aCodePage).maxCharSize;
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"GetCPInfo");
  }
}

}  // namespace

// ------------------------------------------------------------------ construction

TnxCompositeKeyFieldEngine::TnxCompositeKeyFieldEngine(TnxKeyFieldDescriptor* aKeyFieldDescriptor,
                                                       bool aKeySameAsRecordFormat)
    : KeySameAsRecordFormat(aKeySameAsRecordFormat) {
  fKeyAsVariant = &keyAsVariant;
  fCompareFieldDirect = &buildCompareFields;
  fCompareKeyToFieldDirect = &buildCompareKeyToField;
  fPartialCompareFieldDirect = &buildPartialFields;
  fPartialCompareKeyToFieldDirect = &buildPartialKeyToField;

  ckfeKeyChars = aKeyFieldDescriptor->KeyChars();
  Ascend = aKeyFieldDescriptor->Ascend();
  switch (aKeyFieldDescriptor->NullBehaviour()) {
    case nbBottom: InvertNull = true; break;
    case nbAsAscend: InvertNull = !Ascend; break;
    case nbFilterNull: FilterNull = true; break;
    case nbFilterNonNull: FilterNonNull = true; break;
    case nbTop: break;
  }

  TnxFieldDescriptor* field = aKeyFieldDescriptor->Field();
  if (!field)
    throw EnxCompositeKeyFieldEngineException(nxErrObjectNotFound, u"Key field refers to no field (%d)",
                                              {aKeyFieldDescriptor->FieldNumber()});
  ckfeFieldName = field->fdName;
  ckfeFieldType = field->fdType;
  ckfeFieldDecPl = field->fdDecPl;
  ckfeFieldLength = field->fdLength;
  ckfeFieldOffset = field->fdOffset;
  ckfeFieldNumber = field->fdNumber;
  ckfeFieldUnits = field->fdUnits;
  ckfeKeyUnits = nxFieldTypeIn(ckfeFieldType, nxStringFieldTypes) ? ckfeKeyChars : field->fdUnits;
  if (TnxLocaleDescriptor* fieldLocale = field->UsedLocaleDescriptor())
    ckfeStorageCodepage = fieldLocale->StorageCodepage();

  ckfeKeyLength = aKeyFieldDescriptor->KeyLength();
  ckfeBuildKeyLength = std::min(ckfeKeyLength, ckfeFieldLength);

  ckfeLocaleDescriptor = aKeyFieldDescriptor->UsedLocaleDescriptor();
  if (auto* text = platform::objectAs<TnxTextKeyFieldDescriptor>(aKeyFieldDescriptor)) {
    ckfeTextKeyField = true;
    if (text->IgnoreCase()) {
      ckfeCompareFlags |= platform::NORM_IGNORECASE;
      ckfeIgnoreCase = true;
    }
  }
  if (ckfeLocaleDescriptor) {
    ckfeLocale = ckfeLocaleDescriptor->Locale();
    ckfeCompareCodepage = ckfeLocaleDescriptor->CompareCodepage();
    if (ckfeLocaleDescriptor->IgnoreKanaType()) ckfeCompareFlags |= nxNORM_IGNOREKANATYPE;
    if (ckfeLocaleDescriptor->IgnoreNonSpace()) ckfeCompareFlags |= nxNORM_IGNORENONSPACE;
    if (ckfeLocaleDescriptor->IgnoreSymbols()) ckfeCompareFlags |= nxNORM_IGNORESYMBOLS;
    if (ckfeLocaleDescriptor->IgnoreWidth()) ckfeCompareFlags |= nxNORM_IGNOREWIDTH;
    if (ckfeLocaleDescriptor->UseStringSort()) ckfeCompareFlags |= nxSORT_STRINGSORT;
    if (nxFieldTypeIn(ckfeFieldType, kLocaleTextTypes) &&
        !ckfeLocaleDescriptor->CurrentLocaleVersionEqualToBuildVersion())
      ckfeNLSVersionChanged = true;
  }

  if (ckfeLocale != 0) {
    ckfeUseByteOrder = false;
  } else if (ckfeFieldType == nxtWideChar || ckfeFieldType == nxtWideString) {
    if (TnxDictionaryItem* dictionary = aKeyFieldDescriptor->FindDataDictionary())
      ckfeUseByteOrder = dictionaryUsesByteOrderForWide(dictionary);
    else
      ckfeUseByteOrder = !nxDisable30900LocaleFixes.load();
  } else {
    ckfeUseByteOrder = true;
  }

  ckfeStorageMultiByte = maxCharSize(ckfeStorageCodepage) > 1;
  ckfeCompareMultiByte = maxCharSize(ckfeCompareCodepage) > 1;

  ChooseCompare();
  fKeyToRecord = &keyToRecordRefused;
  ChooseBuild();

  if (KeySameAsRecordFormat && ckfeKeyLength == ckfeFieldLength) {
    fCompareFieldDirect = fCompareKey;
    fCompareKeyToFieldDirect = fCompareKey;
    fPartialCompareFieldDirect = fPartialCompareKey;
    fPartialCompareKeyToFieldDirect = fPartialCompareKey;
  }
  if (KeySameAsRecordFormat) fKeyToRecord = &keyToRecordCopy;
  if (!fPartialCompareKey) {
    fPartialCompareFieldDirect = nullptr;
    fPartialCompareKeyToFieldDirect = nullptr;
  }
  ckfeAllocator = nxGetPool(static_cast<std::size_t>(std::max(ckfeKeyLength, 1)));
}

void TnxCompositeKeyFieldEngine::ChooseCompare() {
  ComparePair c{};
  PartialPair p{};
  const bool bytesOrder = ckfeUseByteOrder;
  switch (ckfeFieldType) {
    case nxtBoolean: c = pair<cmpBoolean>(); break;
    case nxtChar: c = bytesOrder ? pair<cmpCharBytes>() : pair<cmpCharLocale>(); break;
    case nxtWideChar: c = bytesOrder ? pair<cmpWideCharBytes>() : pair<cmpWideCharLocale>(); break;
    case nxtByte: c = pair<cmpByte>(); break;
    case nxtWord16: c = pair<cmpWord>(); break;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: c = pair<cmpCardinal>(); break;
    case nxtInt8: c = pair<cmpInt8>(); break;
    case nxtInt16: c = pair<cmpInt16>(); break;
    case nxtInt32:
    case nxtDate:
    case nxtTime: c = pair<cmpInt32>(); break;
    case nxtInt64:
    case nxtRefNr:
    case nxtCurrency:
    case nxtBCD: c = pair<cmpInt64>(); break;
    case nxtSingle: c = pair<cmpSingle>(); break;
    case nxtExtended: c = pair<cmpExtended>(); break;
    case nxtDouble:
    case nxtDateTime:
    case nxtInterval: c = pair<cmpDouble>(); break;
    case nxtFmtBCD: c = pair<cmpFmtBcd>(); break;
    case nxtByteArray:
      c = pair<cmpByteArray>();
      p = ppair<pcmpByteArray>();
      break;
    case nxtGuid: c = ckfeTextKeyField ? pair<cmpGuidText>() : pair<cmpByteArray>(); break;
    case nxtShortString:
      if (bytesOrder) {
        c = pair<cmpShortBytes>();
        p = ppair<pcmpShortBytes>();
      } else {
        c = pair<cmpShortLocale>();
        p = ckfeCompareMultiByte ? PartialPair{&pcmpShortMbcs<false>, &pcmpShortMbcs<true>}
                                 : ppair<pcmpShortLocale>();
      }
      break;
    case nxtNullString:
      if (bytesOrder) {
        c = pair<cmpNullBytes>();
        p = ppair<pcmpNullBytes>();
      } else {
        c = pair<cmpNullLocale>();
        p = ckfeCompareMultiByte ? PartialPair{&pcmpNullMbcs<false>, &pcmpNullMbcs<true>}
                                 : ppair<pcmpNullLocale>();
      }
      break;
    case nxtWideString:
      if (bytesOrder) {
        c = pair<cmpWideBytes>();
        p = ppair<pcmpWideBytes>();
      } else {
        c = pair<cmpWideLocale>();
        p = ppair<pcmpWideLocale>();
      }
      break;
    default:
      throw EnxCompositeKeyFieldEngineException(
          nxErrNotSupported, u"FieldType \"%s\" not supported by TnxCompositeKeyFieldEngine",
          {nxString(nxFieldTypeDisplayNames[ckfeFieldType])});
  }
  fCompareKey = Ascend ? c.asc : c.desc;
  fPartialCompareKey = Ascend ? p.asc : p.desc;
}

void TnxCompositeKeyFieldEngine::ChooseBuild() {
  fBuildKey = &buildCopy;
  if (!nxFieldTypeIn(ckfeFieldType, nxStringFieldTypes)) return;
  const bool convert =
      ckfeStorageCodepage != 0 && ckfeCompareCodepage != 0 && ckfeStorageCodepage != ckfeCompareCodepage;
  const bool shortened = ckfeKeyChars < ckfeFieldUnits;
  switch (ckfeFieldType) {
    case nxtShortString:
      if (convert) {
        fBuildKey = &buildShortRecode<true>;
      } else if (!shortened) {
        fBuildKey = &buildShortCopy;
        return;
      } else if (ckfeStorageMultiByte) {
        fBuildKey = &buildShortRecode<false>;
      } else {
        ckfeBuildKeyLength = ckfeKeyChars + 1;
        fBuildKey = &buildShortCopy;
      }
      KeySameAsRecordFormat = false;
      break;
    case nxtNullString:
      if (convert) {
        fBuildKey = &buildNullRecode<true>;
      } else if (!shortened) {
        fBuildKey = &buildNullCopy;
        return;
      } else if (ckfeStorageMultiByte) {
        fBuildKey = &buildNullRecode<false>;
      } else {
        ckfeBuildKeyLength = ckfeKeyChars + 1;
        fBuildKey = &buildNullCopy;
      }
      KeySameAsRecordFormat = false;
      break;
    default:  // nxtWideString
      fBuildKey = &buildWideCopy;
      if (shortened) {
        ckfeBuildKeyLength = (ckfeKeyChars + 1) * 2;
        KeySameAsRecordFormat = false;
      }
      break;
  }
}

void TnxCompositeKeyFieldEngine::ReplaceBuildKey(TnxCKFEBuildKey aBuildKey) {
  fBuildKey = aBuildKey;
  KeySameAsRecordFormat = false;
  fKeyToRecord = &keyToRecordRefused;
  fCompareFieldDirect = &buildCompareFields;
  fCompareKeyToFieldDirect = &buildCompareKeyToField;
  if (fPartialCompareKey) {
    fPartialCompareFieldDirect = &buildPartialFields;
    fPartialCompareKeyToFieldDirect = &buildPartialKeyToField;
  }
}

std::int32_t TnxCompositeKeyFieldEngine::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldDescriptor::IID) {
    *aObj = static_cast<InxFieldDescriptor*>(this);
    return nxS_OK;
  }
  return TnxPersistent::QueryInterface(aIID, aObj);
}

bool TnxCompositeKeyFieldEngine::SupportsFieldType(TnxFieldType aFieldType) {
  return nxFieldTypeIn(aFieldType, kBaseSupported);
}

// ------------------------------------------------------------------ registry

void TnxCompositeKeyFieldEngine::Register(const nxString& aName, const platform::ClassInfo& aClass) {
  TnxPadlockGuard guard(registryPadlock());
  if (!gRegistry) gRegistry = std::make_unique<std::vector<RegistryEntry>>();
  auto it = std::lower_bound(gRegistry->begin(), gRegistry->end(), aName,
                             [](const RegistryEntry& e, const nxString& n) { return nxCompareText(e.name, n) < 0; });
  if (it != gRegistry->end() && nxCompareText(it->name, aName) == 0)
    throw platform::StringListError("String list does not allow duplicates");
  gRegistry->insert(it, RegistryEntry{aName, &aClass});
}

void TnxCompositeKeyFieldEngine::Unregister(const platform::ClassInfo& aClass) {
  TnxPadlockGuard guard(registryPadlock());
  if (!gRegistry) return;
  for (std::size_t i = gRegistry->size(); i-- > 0;)
    if ((*gRegistry)[i].cls->inheritsFrom(aClass)) gRegistry->erase(gRegistry->begin() + static_cast<std::ptrdiff_t>(i));
}

nxString TnxCompositeKeyFieldEngine::RegisteredEngines() {
  TnxPadlockGuard guard(registryPadlock());
  nxString result;
  if (!gRegistry) return result;
  for (const RegistryEntry& e : *gRegistry) {
    if (!result.empty()) result += u',';
    const bool quote = e.name.empty() || e.name.find_first_of(u" ,\"") != nxString::npos;
    result += quote ? u"\"" + e.name + u"\"" : e.name;
  }
  return result;
}

TnxCompositeKeyFieldEngine* TnxCompositeKeyFieldEngine::CreateEngine(TnxKeyFieldDescriptor* aKeyFieldDescriptor) {
  TnxPadlockGuard guard(registryPadlock());
  return lookup(aKeyFieldDescriptor).create(aKeyFieldDescriptor);
}

void TnxCompositeKeyFieldEngine::CheckValidDescriptor(const platform::ClassInfo& aClass,
                                                      TnxKeyFieldDescriptor* aKeyFieldDescriptor) {
  TnxCompositeKeyFieldEngine* engine = funcsOf(aClass).create(aKeyFieldDescriptor);
  platform::TObject::free(engine);
}

void TnxCompositeKeyFieldEngine::CheckValidBase(TnxKeyFieldDescriptor* aKeyFieldDescriptor) {
  TnxPadlockGuard guard(registryPadlock());
  const TnxKeyFieldEngineClassFuncs& funcs = lookup(aKeyFieldDescriptor);
  platform::TObject::free(funcs.create(aKeyFieldDescriptor));
}

bool TnxCompositeKeyFieldEngine::CheckSupportsFieldType(const nxString& aEngineName, TnxFieldType aFieldType) {
  TnxPadlockGuard guard(registryPadlock());
  const platform::ClassInfo* cls = findEngineClass(aEngineName);
  if (!cls) return false;
  const auto* funcs = cls->table<TnxKeyFieldEngineClassFuncs>();
  return funcs && funcs->supportsFieldType(aFieldType);
}

// ------------------------------------------------------------------ variants

TnxNumbersOnlyCKFE::TnxNumbersOnlyCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor)
    : TnxCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  switch (ckfeFieldType) {
    case nxtShortString: ReplaceBuildKey(&buildNumbersShort); break;
    case nxtNullString: ReplaceBuildKey(&buildNumbersNull); break;
    case nxtWideString: ReplaceBuildKey(&buildNumbersWide); break;
    default: ReplaceBuildKey(fBuildKey); break;
  }
}

bool TnxNumbersOnlyCKFE::SupportsFieldType(TnxFieldType aFieldType) {
  return nxFieldTypeIn(aFieldType, nxStringFieldTypes);
}

namespace {
void assertDateTime(TnxFieldType aType) {
  nxAssert(aType == nxtDateTime, "date key field engines need a date-time field");
}
}  // namespace

TnxDateOnlyCKFE::TnxDateOnlyCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor)
    : TnxCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  assertDateTime(ckfeFieldType);
  ReplaceBuildKey(&buildDateOnly);
}

bool TnxDateOnlyCKFE::SupportsFieldType(TnxFieldType aFieldType) { return aFieldType == nxtDateTime; }

TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor)
    : TnxCompositeKeyFieldEngine(aKeyFieldDescriptor, false) {
  assertDateTime(ckfeFieldType);
  ReplaceBuildKey(&buildDateOnlyProcess);
}

bool TnxDateOnlyProcessCKFE::SupportsFieldType(TnxFieldType aFieldType) { return aFieldType == nxtDateTime; }

void TnxDateOnlyProcessCKFE::ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const {
  aOut = aIn;
}

void TnxDateOnlyWeekCKFE::ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const {
  aOut.time = 0;
  aOut.date = aIn.date < 8 ? 1 : aIn.date - (aIn.date - 1) % 7;
}

void TnxDateOnlyMonthCKFE::ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const {
  aOut.time = 0;
  if (aIn.date < 32) {
    aOut.date = 1;
    return;
  }
  int y = 0, m = 0, d = 0;
  platform::decodeDate(static_cast<double>(aIn.date - platform::kDateDelta), y, m, d);
  aOut.date = aIn.date - d + 1;
}

void TnxDateOnlyYearCKFE::ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const {
  aOut.time = 0;
  if (aIn.date < 366) {
    aOut.date = 1;
    return;
  }
  int y = 0, m = 0, d = 0;
  platform::decodeDate(static_cast<double>(aIn.date - platform::kDateDelta), y, m, d);
  aOut.date = static_cast<std::int32_t>(platform::encodeDate(y, 1, 1)) + platform::kDateDelta;
}

// ------------------------------------------------------------------ module

namespace {
void unregisterAll() noexcept {
  gRegistry.reset();
  gRegistryPadlock.reset();
}
}  // namespace

void nxsdKeyFieldEngineBaseInitialize() {
  if (!nxUseCountEnter(gKeyFieldEngineBaseUseCount)) return;
  try {
    gRegistryPadlock = nxCreateOwned<TnxPadlock>();
    TnxCompositeKeyFieldEngine::Register(u"", TnxCompositeKeyFieldEngine::staticClassInfo());
    TnxCompositeKeyFieldEngine::Register(u"NumbersOnly", TnxNumbersOnlyCKFE::staticClassInfo());
    TnxCompositeKeyFieldEngine::Register(u"DateOnly", TnxDateOnlyCKFE::staticClassInfo());
    TnxCompositeKeyFieldEngine::Register(u"DateOnlyWeek", TnxDateOnlyWeekCKFE::staticClassInfo());
    TnxCompositeKeyFieldEngine::Register(u"DateOnlyMonth", TnxDateOnlyMonthCKFE::staticClassInfo());
    TnxCompositeKeyFieldEngine::Register(u"DateOnlyYear", TnxDateOnlyYearCKFE::staticClassInfo());
  } catch (...) {
    unregisterAll();
    nxUseCountLeave(gKeyFieldEngineBaseUseCount);
    throw;
  }
}

void nxsdKeyFieldEngineBaseFinalize() {
  if (nxUseCountLeave(gKeyFieldEngineBaseUseCount)) unregisterAll();
}
