// The string mappers of nxdbConversion: short, null-terminated and wide
// strings, with fill widths and code-page translation.
#include <algorithm>

#include "nxdbConversion.h"
#include "nxdbBase.h"
#include "nxdbConversionInt.h"
#include "nxllUtils.h"
#include "plCodePage.h"

using namespace nxdbconv;

namespace {

constexpr char16_t kInsufficientFieldSize[] = u"Insufficient field size after translation into storage codepage";

// Work buffers of the translations, in UTF-16 units.
constexpr std::size_t kShortWork = 256;
constexpr std::size_t kNullWork = 65536;

std::size_t dropTrailingSpaces(const char* aText, std::size_t aLength) {
  while (aLength > 0 && aText[aLength - 1] == ' ') --aLength;
  return aLength;
}
std::size_t dropTrailingSpaces(const char16_t* aText, std::size_t aLength) {
  while (aLength > 0 && aText[aLength - 1] == u' ') --aLength;
  return aLength;
}

// Spaces from aLength up to aPadding, then the terminator at aPadding (which
// cuts a longer text).
void padTo(char* aTo, std::size_t aLength, std::size_t aPadding) {
  if (aLength < aPadding) std::memset(aTo + aLength, ' ', aPadding - aLength);
  aTo[aPadding] = 0;
}

std::uint32_t clientCodePage() { return static_cast<std::uint32_t>(nxGetThreadAnsiCodePage()); }

// UTF-16 units before the terminator among the first aMax units of a
// buffer that may sit at any offset.
std::size_t wideLength(const void* aText, std::size_t aMax) {
  const auto* bytes = static_cast<const unsigned char*>(aText);
  for (std::size_t i = 0; i < aMax; ++i)
    if (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0) return i;
  return aMax;
}

}  // namespace

// ===========================================================================
// Cutting

void TnxCharCut::SetCodePage(std::uint32_t aCodePage) {
  ccKind = ccSingle;
  std::fill(std::begin(ccLead), std::end(ccLead), 0u);
  const std::uint16_t codePage = platform::resolveCodePage(aCodePage);
  if (codePage == platform::CP_UTF8) {
    ccKind = ccUtf8;
    return;
  }
  try {
    const platform::CodePageInfo info = platform::codePageInfo(codePage);
    if (info.maxCharSize < 2) return;
    for (unsigned b = 0; b < 256; ++b)
      if (info.isLeadByte(static_cast<std::uint8_t>(b))) ccLead[b / 32] |= 1u << (b % 32);
    ccKind = ccLeadBytes;
  } catch (const platform::OsError&) {
    // A code page the platform does not know is cut by bytes.
  }
}

std::size_t TnxCharCut::Fit(const char* aText, std::size_t aLength, std::size_t aMax) const {
  if (aLength <= aMax) return aLength;
  switch (ccKind) {
    case ccLeadBytes: {
      // Lead and trail bytes share values, so the characters are walked
      // from the start.
      std::size_t i = 0;
      while (i < aMax) {
        const auto b = static_cast<unsigned char>(aText[i]);
        const std::size_t step = (ccLead[b / 32] >> (b % 32)) & 1u ? 2 : 1;
        if (i + step > aMax) break;
        i += step;
      }
      return i;
    }
    case ccUtf8: {
      // Back to the start of the character that aText[aMax] belongs to.
      std::size_t i = aMax;
      while (i > 0 && (static_cast<unsigned char>(aText[i]) & 0xC0) == 0x80) --i;
      return i;
    }
    default: return aMax;
  }
}

// ===========================================================================
// Fill width, binding, code pages

void TnxBasePaddingVclFieldMapper::SetPadding(std::int32_t aDecPl) {
  std::int32_t padding = aDecPl <= 0 ? 0 : std::min(aDecPl, vsvfmUnits);
  bpvfmPadding = static_cast<std::uint16_t>(std::min(padding, 0xFFFF));
}

void TnxBaseStringVclFieldMapper::Bind(platform::TField* aField) {
  if (auto* field = platform::objectAs<platform::TStringField>(aField)) bsvfmField = field;
}

void TnxBaseStringVclFieldMapper::Setup(TnxFieldDescriptor& aFieldDescriptor) {
  SetPadding(aFieldDescriptor.fdDecPl);
  if (TnxLocaleDescriptor* locale = aFieldDescriptor.UsedLocaleDescriptor())
    bsvfmStorageCodepage = locale->StorageCodepage();
  const std::uint32_t client = clientCodePage();
  bsvfmTranslating = bsvfmStorageCodepage != 0 && bsvfmStorageCodepage != client;
  bsvfmCut.SetCodePage(client);
}

std::size_t TnxBaseStringVclFieldMapper::ClientToWide(std::string_view aText, char16_t* aTo, std::size_t aCapacity,
                                                      const char* aOperation) const {
  try {
    return platform::multiByteToWide(clientCodePage(), aText, aTo, aCapacity);
  } catch (const platform::InsufficientBuffer&) {
    throw EnxDatabaseError(kInsufficientFieldSize);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, platform::fromUtf8(className()) + u"." + platform::fromUtf8(aOperation));
  }
}

std::size_t TnxBaseStringVclFieldMapper::WideToStorage(std::u16string_view aText, char* aTo, std::size_t aCapacity,
                                                       const char* aOperation) const {
  // Capacity 0 would only ask for the size.
  if (aCapacity == 0) throw EnxDatabaseError(kInsufficientFieldSize);
  try {
    return platform::wideToMultiByte(bsvfmStorageCodepage, aText, aTo, aCapacity);
  } catch (const platform::InsufficientBuffer&) {
    throw EnxDatabaseError(kInsufficientFieldSize);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, platform::fromUtf8(className()) + u"." + platform::fromUtf8(aOperation));
  }
}

std::size_t TnxBaseStringVclFieldMapper::StorageToClient(std::string_view aText, char* aTo, std::size_t aCapacity,
                                                         char16_t* aWork, std::size_t aWorkCapacity) const {
  try {
    const std::size_t units = platform::multiByteToWide(bsvfmStorageCodepage, aText, aWork, aWorkCapacity);
    if (units == 0) return 0;
    if (aCapacity == 0) throw platform::InsufficientBuffer();
    return platform::wideToMultiByte(clientCodePage(), std::u16string_view(aWork, units), aTo, aCapacity);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"[unknown]");
  }
}

// ===========================================================================
// Short strings: a length byte, then the bytes

namespace {

// The framework text cut to aUnits bytes at a whole character.
std::size_t vclTextToUnits(const char* aText, std::size_t aUnits, const TnxCharCut& aCut) {
  return aCut.Fit(aText, boundedLength(aText, aUnits + 1), aUnits);
}

void storeShort(void* aTo, const char* aText, std::size_t aCount) {
  auto* to = static_cast<unsigned char*>(aTo);
  to[0] = static_cast<unsigned char>(aCount);
  std::memcpy(to + 1, aText, aCount);
}

}  // namespace

void TnxShortStringVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  const auto* from = static_cast<const unsigned char*>(aFrom);
  const std::size_t n = std::min<std::size_t>(from[0], static_cast<std::size_t>(vsvfmUnits));
  std::memcpy(aTo, from + 1, n);
  static_cast<char*>(aTo)[n] = 0;
}

void TnxShortStringVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  const auto* text = static_cast<const char*>(aFrom);
  storeShort(aTo, text, vclTextToUnits(text, static_cast<std::size_t>(vsvfmUnits), bsvfmCut));
}

void TnxShortStringVclFieldMapper::MapVadurDataToVclPadded(const void* aFrom, void* aTo) const {
  const auto* from = static_cast<const unsigned char*>(aFrom);
  const std::size_t n = std::min<std::size_t>(from[0], static_cast<std::size_t>(vsvfmUnits));
  std::memcpy(aTo, from + 1, n);
  padTo(static_cast<char*>(aTo), n, bpvfmPadding);
}

void TnxShortStringVclFieldMapper::MapVclDataToVadurPadded(const void* aFrom, void* aTo) const {
  const auto* text = static_cast<const char*>(aFrom);
  const std::size_t n = vclTextToUnits(text, static_cast<std::size_t>(vsvfmUnits), bsvfmCut);
  storeShort(aTo, text, dropTrailingSpaces(text, n));
}

void TnxShortStringVclFieldMapper::ToVclTranslated(const void* aFrom, void* aTo, bool aPadded) const {
  const auto* from = static_cast<const unsigned char*>(aFrom);
  auto* to = static_cast<char*>(aTo);
  const std::size_t n = std::min<std::size_t>(from[0], static_cast<std::size_t>(vsvfmUnits));
  std::size_t m = 0;
  if (n > 0) {
    char16_t work[kShortWork];
    m = StorageToClient(std::string_view(reinterpret_cast<const char*>(from + 1), n), to,
                        static_cast<std::size_t>(vsvfmUnits), work, kShortWork);
  }
  if (aPadded)
    padTo(to, m, bpvfmPadding);
  else
    to[m] = 0;
}

void TnxShortStringVclFieldMapper::MapVadurDataToVclTranslate(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVclTranslated(aFrom, aTo, false);
  else
    MapVadurDataToVcl(aFrom, aTo);
}

void TnxShortStringVclFieldMapper::MapVadurDataToVclTranslatePadded(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVclTranslated(aFrom, aTo, true);
  else
    MapVadurDataToVclPadded(aFrom, aTo);
}

void TnxShortStringVclFieldMapper::ToVadurTranslated(const void* aFrom, void* aTo, bool aPadded,
                                                     const char* aOperation) const {
  const auto* text = static_cast<const char*>(aFrom);
  auto* to = static_cast<unsigned char*>(aTo);
  // The text and its terminator fit the work buffer, or the text is too long.
  const std::size_t length = boundedLength(text, kShortWork);
  char16_t work[kShortWork];
  std::size_t units = length == 0 ? 0 : ClientToWide(std::string_view(text, length), work, kShortWork - 1, aOperation);
  if (aPadded) units = dropTrailingSpaces(work, units);
  std::size_t count = 0;
  if (units > 0)
    count = WideToStorage(std::u16string_view(work, units), reinterpret_cast<char*>(to + 1),
                          static_cast<std::size_t>(vsvfmUnits), aOperation);
  to[0] = static_cast<unsigned char>(count);
}

void TnxShortStringVclFieldMapper::MapVclDataToVadurTranslate(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVadurTranslated(aFrom, aTo, false, "MapVclDataToVadurTranslate");
  else
    MapVclDataToVadur(aFrom, aTo);
}

void TnxShortStringVclFieldMapper::MapVclDataToVadurTranslatePadded(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVadurTranslated(aFrom, aTo, true, "MapVclDataToVadurTranslatePadded");
  else
    MapVclDataToVadurPadded(aFrom, aTo);
}

// ===========================================================================
// Null-terminated strings: the text and a zero byte in units + 1 bytes

namespace {

// Stores aCount bytes and the terminator; after a cut the rest of the field
// is zeroed too, so no part of a character stays behind.
void storeNull(void* aTo, const char* aText, std::size_t aCount, std::size_t aUnits) {
  auto* to = static_cast<char*>(aTo);
  std::memcpy(to, aText, aCount);
  to[aCount] = 0;
  if (aCount < aUnits) std::memset(to + aCount + 1, 0, aUnits - aCount);
}

}  // namespace

void TnxNullStringVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  const auto* from = static_cast<const char*>(aFrom);
  const std::size_t n = boundedLength(from, static_cast<std::size_t>(vsvfmUnits));
  std::memcpy(aTo, from, n);
  static_cast<char*>(aTo)[n] = 0;
}

void TnxNullStringVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  const auto* text = static_cast<const char*>(aFrom);
  const auto units = static_cast<std::size_t>(vsvfmUnits);
  const std::size_t length = boundedLength(text, units + 1);
  const std::size_t n = bsvfmCut.Fit(text, length, units);
  if (n == length) {
    std::memcpy(aTo, text, n);
    static_cast<char*>(aTo)[n] = 0;
  } else {
    storeNull(aTo, text, n, units);
  }
}

void TnxNullStringVclFieldMapper::MapVadurDataToVclPadded(const void* aFrom, void* aTo) const {
  const auto* from = static_cast<const char*>(aFrom);
  const std::size_t n = boundedLength(from, static_cast<std::size_t>(vsvfmUnits));
  std::memcpy(aTo, from, n);
  padTo(static_cast<char*>(aTo), n, bpvfmPadding);
}

void TnxNullStringVclFieldMapper::MapVclDataToVadurPadded(const void* aFrom, void* aTo) const {
  const auto* text = static_cast<const char*>(aFrom);
  const auto units = static_cast<std::size_t>(vsvfmUnits);
  const std::size_t n = vclTextToUnits(text, units, bsvfmCut);
  storeNull(aTo, text, dropTrailingSpaces(text, n), units);
}

void TnxNullStringVclFieldMapper::ToVclTranslated(const void* aFrom, void* aTo, bool aPadded) const {
  const auto* from = static_cast<const char*>(aFrom);
  auto* to = static_cast<char*>(aTo);
  // The text up to its terminator: bytes after it are no part of the value.
  const std::size_t n = boundedLength(from, static_cast<std::size_t>(vsvfmUnits));
  std::size_t m = 0;
  if (n > 0) {
    char16_t work[kNullWork];
    m = StorageToClient(std::string_view(from, n), to, static_cast<std::size_t>(vsvfmUnits), work, kNullWork);
  }
  if (aPadded)
    padTo(to, m, bpvfmPadding);
  else
    to[m] = 0;
}

void TnxNullStringVclFieldMapper::MapVadurDataToVclTranslate(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVclTranslated(aFrom, aTo, false);
  else
    MapVadurDataToVcl(aFrom, aTo);
}

void TnxNullStringVclFieldMapper::MapVadurDataToVclTranslatePadded(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVclTranslated(aFrom, aTo, true);
  else
    MapVadurDataToVclPadded(aFrom, aTo);
}

void TnxNullStringVclFieldMapper::ToVadurTranslated(const void* aFrom, void* aTo, bool aPadded) const {
  static constexpr char kOperation[] = "MapVclDataToVadurTranslate";
  const auto* text = static_cast<const char*>(aFrom);
  auto* to = static_cast<char*>(aTo);
  const std::size_t length = boundedLength(text, kNullWork);
  char16_t work[kNullWork];
  std::size_t units = length == 0 ? 0 : ClientToWide(std::string_view(text, length), work, kNullWork - 1, kOperation);
  if (aPadded) units = dropTrailingSpaces(work, units);
  std::size_t count = 0;
  if (units > 0)
    count = WideToStorage(std::u16string_view(work, units), to, static_cast<std::size_t>(vsvfmUnits), kOperation);
  to[count] = 0;
}

void TnxNullStringVclFieldMapper::MapVclDataToVadurTranslate(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVadurTranslated(aFrom, aTo, false);
  else
    MapVclDataToVadur(aFrom, aTo);
}

void TnxNullStringVclFieldMapper::MapVclDataToVadurTranslatePadded(const void* aFrom, void* aTo) const {
  if (Transliterating())
    ToVadurTranslated(aFrom, aTo, true);
  else
    MapVclDataToVadurPadded(aFrom, aTo);
}

// ===========================================================================
// Wide strings: UTF-16 and a zero unit on both sides

namespace {

// The framework text cut to aUnits units, never between the two halves of a
// surrogate pair.
std::size_t vclWideToUnits(const void* aText, std::size_t aUnits) {
  std::size_t n = wideLength(aText, aUnits + 1);
  if (n > aUnits) {
    n = aUnits;
    if (n > 0) {
      const auto last = load<char16_t>(static_cast<const char*>(aText) + 2 * (n - 1));
      if (last >= 0xD800 && last <= 0xDBFF) --n;
    }
  }
  return n;
}

void storeWide(void* aTo, const void* aText, std::size_t aCount, std::size_t aUnits) {
  auto* to = static_cast<char*>(aTo);
  std::memcpy(to, aText, 2 * aCount);
  std::memset(to + 2 * aCount, 0, 2);
  if (aCount < aUnits) std::memset(to + 2 * aCount + 2, 0, 2 * (aUnits - aCount));
}

std::size_t dropTrailingWideSpaces(const void* aText, std::size_t aLength) {
  const auto* bytes = static_cast<const char*>(aText);
  while (aLength > 0 && load<char16_t>(bytes + 2 * (aLength - 1)) == u' ') --aLength;
  return aLength;
}

}  // namespace

void TnxWideStringVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  const std::size_t n = wideLength(aFrom, static_cast<std::size_t>(vsvfmUnits));
  auto* to = static_cast<char*>(aTo);
  std::memcpy(to, aFrom, 2 * n);
  std::memset(to + 2 * n, 0, 2);
}

void TnxWideStringVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  const auto units = static_cast<std::size_t>(vsvfmUnits);
  const std::size_t length = wideLength(aFrom, units + 1);
  if (length <= units) {
    auto* to = static_cast<char*>(aTo);
    std::memcpy(to, aFrom, 2 * length);
    std::memset(to + 2 * length, 0, 2);
  } else {
    storeWide(aTo, aFrom, vclWideToUnits(aFrom, units), units);
  }
}

void TnxWideStringVclFieldMapper::MapVadurDataToVclPadded(const void* aFrom, void* aTo) const {
  const std::size_t n = wideLength(aFrom, static_cast<std::size_t>(vsvfmUnits));
  auto* to = static_cast<char*>(aTo);
  std::memcpy(to, aFrom, 2 * n);
  for (std::size_t i = n; i < bpvfmPadding; ++i) store<char16_t>(to + 2 * i, u' ');
  std::memset(to + 2 * std::size_t{bpvfmPadding}, 0, 2);
}

void TnxWideStringVclFieldMapper::MapVclDataToVadurPadded(const void* aFrom, void* aTo) const {
  const auto units = static_cast<std::size_t>(vsvfmUnits);
  const std::size_t n = vclWideToUnits(aFrom, units);
  storeWide(aTo, aFrom, dropTrailingWideSpaces(aFrom, n), units);
}
