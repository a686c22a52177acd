// The engine's utilities: the identifier rule for names of dictionary items,
// three-way comparisons, minimum and maximum, bit arrays, small UTF-16 text
// routines, the ELF hash, text conversions with explicit format settings,
// operating-system errors as exceptions, descriptor clean-up, memory status,
// the locale and code-page catalogues and file identities.
//
// Contracts:
// - Comparisons answer -1, 0 or 1 (signed 8 bits): -1 when the first operand
//   is smaller.
// - Bit arrays are arrays of 32-bit words; bit i is bit (i and 31) of word
//   (i shr 5); an array of n bits occupies (n + 7) div 8 bytes.
// - Handles are file descriptors (an event is an eventfd); 0 and -1 stand for
//   "no handle".
// - The catalogues are built once, on first use, under their own lock and are
//   read-only afterwards; they live until nxllUtilsFinalize.
// - Thread safety: everything may be called from any thread; the pending
//   identifier message is per thread (EnxBaseException::nxSetMessage).
// - Operating-system failures raise EnxBaseException built by
//   nxCreateOSErrorException (OSError and Action infos); handle clean-up
//   failures raise platform::OsError.
// - Start-up (nxllUtilsInitialize) sets nxDefaultCodePage to the calling
//   thread's ANSI code page (3) before any conversion runs.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "nxllException.h"
#include "nxllTypes.h"
#include "plDateTime.h"
#include "plErrors.h"
#include "plFormatSettings.h"
#include "plGuid.h"
#include "plString.h"
#include "plStringList.h"
#include "plVariant.h"

// ---------------------------------------------------------------------------
// Identifiers

inline constexpr std::size_t nxMaxIdentifierLength = 128;
// The 81 characters an identifier may consist of.
extern const std::u16string_view nxValidIdentifierChars;
bool nxIsValidIdentifierChar(char16_t c);

// 0 when valid; otherwise leaves the code's standard-text placeholder and the
// reason as the pending message for aErrorCode (nxSetMessage) and answers
// aErrorCode. Checks, first failing one decides: empty
// (unless aAllowEmpty), leading/trailing space, longer than 128, a character
// outside nxValidIdentifierChars, a leading "$" (unless aAllowReserved).
TnxResult nxValidateIdentifier(const nxString& aName, TnxResult aErrorCode, bool aAllowEmpty = false,
                               bool aAllowReserved = false);
// Cut to 128 characters; leading and trailing spaces and every invalid
// character become "_".
nxString nxMakeValidIdentifier(nxString aName);

// ---------------------------------------------------------------------------
// Comparisons

std::int8_t nxCompareByte(std::uint8_t a, std::uint8_t b);
std::int8_t nxCompareWord(std::uint16_t a, std::uint16_t b);
std::int8_t nxCompareCardinal(std::uint32_t a, std::uint32_t b);
std::int8_t nxCompareShortInt(std::int8_t a, std::int8_t b);
std::int8_t nxCompareSmallInt(std::int16_t a, std::int16_t b);
std::int8_t nxCompareInteger(std::int32_t a, std::int32_t b);
std::int8_t nxCompareInt64(std::int64_t a, std::int64_t b);
std::int8_t nxCompareInt64Ref(const std::int64_t& a, const std::int64_t& b);
// Addresses as unsigned numbers.
std::int8_t nxCompareObject(const void* a, const void* b);
std::int8_t nxComparePointer(const void* a, const void* b);
// NaN against anything gives 0.
std::int8_t nxCompareSingle(float a, float b);
std::int8_t nxCompareDouble(double a, double b);
// aCount bytes, unsigned; 0 bytes compare equal.
std::int8_t nxCompareBytes(const void* a, const void* b, std::size_t aCount);
// The common prefix, then the lengths.
std::int8_t nxCompareByteArrays(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
// Length-prefixed 8-bit strings (byte 0 is the length), each length capped
// at aMax; the Text form takes "a".."z" as upper case.
std::int8_t nxCompareShortStr(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t aMax);
std::int8_t nxCompareShortText(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t aMax);
// Collation of the system default locale, case-sensitive / ignoring case.
std::int8_t nxLocaleCompareStr(const char16_t* a, const char16_t* b);
std::int8_t nxLocaleCompareText(const char16_t* a, const char16_t* b);
// Up to aMaxLen units of zero-terminated texts: the first unequal unit of a
// minus that of b (ILComp folds "a".."z" to upper case); 0 when equal.
int nxStrLCompW(const char16_t* a, const char16_t* b, std::size_t aMaxLen);
int nxStrLICompW(const char16_t* a, const char16_t* b, std::size_t aMaxLen);

bool nxSameByteArrays(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
bool nxSameGUID(const platform::Guid& a, const platform::Guid& b);
// a begins with b (case-sensitive).
bool nxStartsWith(const nxString& a, const nxString& b);

inline std::uint16_t nxMinWord(std::uint16_t a, std::uint16_t b) { return a < b ? a : b; }
inline std::uint16_t nxMaxWord(std::uint16_t a, std::uint16_t b) { return a > b ? a : b; }
inline std::uint32_t nxMinCardinal(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }
inline std::uint32_t nxMaxCardinal(std::uint32_t a, std::uint32_t b) { return a > b ? a : b; }
inline std::int32_t nxMinInteger(std::int32_t a, std::int32_t b) { return a < b ? a : b; }
inline std::int32_t nxMaxInteger(std::int32_t a, std::int32_t b) { return a > b ? a : b; }
inline std::int64_t nxMinInt64(std::int64_t a, std::int64_t b) { return a < b ? a : b; }
inline std::int64_t nxMaxInt64(std::int64_t a, std::int64_t b) { return a > b ? a : b; }

// ---------------------------------------------------------------------------
// Bit arrays

void nxClearAllBits(void* aBits, std::int32_t aBitCount);
void nxSetAllBits(void* aBits, std::int32_t aBitCount);
void nxClearBit(void* aBits, std::int32_t aBit);
void nxSetBit(void* aBits, std::int32_t aBit);
bool nxIsBitSet(const void* aBits, std::int32_t aBit);
// The lowest clear bit below aBitCount, or -1.
std::int32_t nxFindFirstClearBit(const void* aBits, std::int32_t aBitCount);
// ORs the bytes of an aBitCount-bit array into aDest.
void nxOrBits(void* aDest, const void* aSource, std::int32_t aBitCount);

// ---------------------------------------------------------------------------
// UTF-16 text routines

using TnxAnsiCharSet = std::bitset<256>;

// Lower case in place, unit by unit.
void nxCharLower(nxString& aText);
// The first occurrence of b in a (both zero-terminated); nil when either is
// nil, b is empty or longer than a.
const char16_t* nxStrPosW(const char16_t* a, const char16_t* b);
// 0 when b occurs in a, else -1.
int nxCompareSubStrW(const char16_t* a, const char16_t* b);
// At most aMaxLen units of aText and a terminating 0 (nothing for nil).
void nxStrPLCopy(const nxString& aText, char16_t* aBuffer, std::size_t aMaxLen);
// Splits at the first character below 256 that is in aSet; without one the
// whole text is aLeft and aRight is empty.
void nxSplitAtCharSet(const nxString& aText, const TnxAnsiCharSet& aSet, nxString& aLeft, nxString& aRight);
// aCount bytes zero-extended to units.
void nxAnsiToWideChars(const char* aSource, char16_t* aDest, std::size_t aCount);
// Swaps the two bytes of aCount units in place.
void nxSwapByteOrder(char16_t* aText, std::size_t aCount);

// ---------------------------------------------------------------------------
// Hashes

std::uint32_t nxElfHash(const void* aData, std::size_t aCount);
// Over the UTF-16 bytes of s (two per unit, low byte first); 0 for "".
std::uint32_t nxElfHashStr(const nxString& s);

// ---------------------------------------------------------------------------
// Names and the command line

// False for "" and for a name with any of " * . / : < > ? \ |.
bool nxIsValidFileName(const nxString& s);
inline bool nxIsValidTableName(const nxString& s) { return nxIsValidFileName(s); }
// True when an argument is "-" or "/" followed by aSwitch, letters compared
// ignoring case. The first form reads the program's own arguments.
bool nxFindCmdLineSwitch(const nxString& aSwitch);
bool nxFindCmdLineSwitch(const nxString& aSwitch, std::span<const nxString> aArguments);

// ---------------------------------------------------------------------------
// Text conversions (the 8-bit forms are in the system ANSI code page)

const platform::FormatSettings& nxInvariantFormatSettings();

nxString nxIntToStr(std::int32_t aValue);
platform::AnsiString nxIntToAnsiStr(std::int32_t aValue);
nxString nxInt64ToStr(std::int64_t aValue);
platform::AnsiString nxInt64ToAnsiStr(std::int64_t aValue);
// Decimal, or hexadecimal after "$" or "0x", with an optional sign and
// leading blanks; aDefault for anything else or outside 32 bits.
std::int32_t nxAnsiStrToIntDef(const platform::AnsiString& aText, std::int32_t aDefault);
nxString nxFloatToStr(long double aValue, const platform::FormatSettings& aSettings);
platform::AnsiString nxFloatToAnsiStr(long double aValue, const platform::FormatSettings& aSettings);
nxString nxTimeToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
platform::AnsiString nxTimeToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
nxString nxDateToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
platform::AnsiString nxDateToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
nxString nxDateTimeToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
platform::AnsiString nxDateTimeToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings);
// Braced upper-case form.
nxString nxGUIDToStr(const platform::Guid& aGuid);
platform::AnsiString nxGUIDToAnsiStr(const platform::Guid& aGuid);

// Drops trailing lines that are blank; one line left is right-trimmed, two
// or more are each followed by CR LF plus one more CR LF.
nxString nxTrimTrailingLines(const nxString& aText);
platform::TimeStamp nxMakeTimeStamp(std::int32_t aDate, std::int32_t aTime);

// ---------------------------------------------------------------------------
// Operating-system errors. The action names what failed; code 0 means 11047.

// The silent abort: an operation given up without a message.
class EnxSilentAbort : public platform::RuntimeError {
 public:
  EnxSilentAbort() : platform::RuntimeError("Operation aborted") {}
};

// Raises nxCreateOSErrorException(aCode, action) for aOsError: the message
// is "DazavAV: Operating system error in <action>: <system text>
// ($<hex>/<dec>) [$<code hex>/<code>]" ("A call to an OS function failed in
// <action>" when aOsError is 0).
[[noreturn]] void nxRaiseOSError(int aOsError, TnxResult aCode, const nxString& aAction);

// Not silent: raises for errno. Silent: raises EnxSilentAbort when errno is
// not 0, else answers 0.
TnxResult nxRaiseLastOSErrorEx(bool aSilent, const nxString& aAction, TnxResult aCode);
[[noreturn]] void nxRaiseLastOSError(const nxString& aAction, TnxResult aCode = 0);
[[noreturn]] void nxRaiseLastOSErrorUnknown();
// Answers aResult; false raises as nxRaiseLastOSError with code 0.
bool nxOSCheck(bool aResult, const nxString& aAction);

// ---------------------------------------------------------------------------
// Handles

// Takes the descriptor out of the variable atomically (two threads cannot
// close it twice); closes it unless it was 0 or -1. A failed close raises
// platform::OsError.
void nxCloseHandleAndNil(int& aHandle);
// The same for an eventfd, which is signalled before it is closed.
void nxSignalCloseHandleAndNil(int& aHandle);

// The destroy hook; none is installed, so the answer is E_NOTIMPL.
inline constexpr std::int32_t nxE_NOTIMPL = static_cast<std::int32_t>(0x80004001u);
std::int32_t nxCallDestroyHook(platform::TObject* aObject);

// ---------------------------------------------------------------------------
// Memory

// The 64-byte memory status record.
struct TnxMemoryStatusEx {
  std::uint32_t dwLength;
  std::uint32_t dwMemoryLoad;  // percent of physical memory in use
  std::uint64_t ullTotalPhys;
  std::uint64_t ullAvailPhys;
  std::uint64_t ullTotalPageFile;
  std::uint64_t ullAvailPageFile;
  std::uint64_t ullTotalVirtual;
  std::uint64_t ullAvailVirtual;
  std::uint64_t ullAvailExtendedVirtual;  // always 0
};
static_assert(sizeof(TnxMemoryStatusEx) == 64);
bool nxGlobalMemoryStatusEx(TnxMemoryStatusEx& aStatus);

// ---------------------------------------------------------------------------
// Locales and code pages

// A read-only name -> id catalogue sorted by name ignoring case; a second
// entry with an existing name is dropped.
class TnxNameIdList {
 public:
  TnxNameIdList() = default;
  TnxNameIdList(const TnxNameIdList&) = delete;
  TnxNameIdList& operator=(const TnxNameIdList&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }
  const nxString& Names(std::int32_t aIndex) const { return entries_.at(static_cast<std::size_t>(aIndex)).name; }
  std::int32_t Ids(std::int32_t aIndex) const { return entries_.at(static_cast<std::size_t>(aIndex)).id; }
  std::int32_t IndexOfName(platform::UnicodeStringView aName) const;
  std::int32_t IndexOfId(std::int32_t aId) const;

  // Building (before the list is published).
  void Add(nxString aName, std::int32_t aId);

 private:
  struct Entry {
    nxString name;
    std::int32_t id;
  };
  std::vector<Entry> entries_;
};

// The client's ANSI code page (the calling thread's, as the platform has no
// per-thread locale): platform::ansiCodePage(), 932 unless changed.
std::int32_t nxGetThreadAnsiCodePage();
const TnxNameIdList& nxGetLocaleList();
const TnxNameIdList& nxGetCodePageList();
bool nxIsValidLocale(std::int32_t aLocale);
bool nxIsValidCodePage(std::int32_t aCodePage);
// The id, or -1.
std::int32_t nxLocaleFromName(platform::UnicodeStringView aName);
std::int32_t nxCodePageFromName(platform::UnicodeStringView aName);
// The name, or "<Unknown>".
nxString nxLocaleToName(std::int32_t aLocale);
nxString nxCodePageToName(std::int32_t aCodePage);
// The name a code page's platform name gives: the text inside its first
// parentheses (the rest after "(" without ")"; the whole name without "(").
nxString nxCodePageNameFromInfo(platform::UnicodeStringView aInfoName);

// The 32-byte NLS version record.
struct TNLSVersionInfoEx {
  std::uint32_t dwNLSVersionInfoSize;
  std::uint32_t dwNLSVersion;
  std::uint32_t dwDefinedVersion;
  std::uint32_t dwEffectiveId;
  platform::Guid guidCustomVersion;
};
static_assert(sizeof(TNLSVersionInfoEx) == 32);
// The collation version of aLocale; the locale field is 0 unless valid.
void nxGetNLSVersionInfo(std::int32_t aLocale, TNLSVersionInfoEx& aInfo);

// ---------------------------------------------------------------------------
// Files

// 32 bytes: 0-7 birth time (file time, 0 when the file system keeps none),
// 8-15 the device, 16-31 the inode widened to 128 bits.
struct TnxFileIdentity {
  std::uint8_t bytes[32];
  bool operator==(const TnxFileIdentity&) const = default;
};
// False when the descriptor cannot be asked.
bool nxGetFileIdentity(int aHandle, TnxFileIdentity& aIdentity);
// File object ids do not exist here: the buffer is zero-filled and the answer
// is False.
bool nxGetFileObjectID(int aHandle, std::uint8_t (&aBuffer)[64]);

// ---------------------------------------------------------------------------
// Other routines

// High bound - low bound + 1 of a variant array.
std::int32_t nxVarArrayLength(const platform::Variant& v);
// a becomes the one element s, or empty for an empty s.
void nxUnicodeStringsAssign(const nxString& s, TnxUnicodeStrings& a);
void nxUnicodeStringsAppend(const nxString& s, TnxUnicodeStrings& a);
// Removes and answers the element (RangeError outside the array).
nxString nxUnicodeStringsExtract(TnxUnicodeStrings& a, std::int32_t aIndex);
// Replaces the lines inside one update bracket.
void nxUnicodeStringsToStrings(const TnxUnicodeStrings& a, platform::TStringList& aStrings);
void nxStringsToArray(const platform::TStringList& aStrings, TnxUnicodeStrings& a);

// Start-up and finalisation (counted); finalisation frees the catalogues.
void nxllUtilsInitialize();
void nxllUtilsFinalize();
