// Conversion of single values between field buffers (the bytes of one field
// in the storage form of its type) and variants, and the storage form as a
// free-standing byte array (SQL parameter data).
//
// Storage forms (little-endian): Boolean 1 byte (0 = False, written as 1);
// Char 1 byte of 8-bit text; WideChar 1 UTF-16 unit; Byte/Word16/Word32,
// Int8..Int64 and AutoInc/RecRev (unsigned 32-bit), RefNr (signed 64-bit) as
// integers; Single/Double/Extended as IEEE single, double, 80-bit extended;
// Currency and BCD a 64-bit count of ten-thousandths; Date a 32-bit day
// number (0001-01-01 = 1); Time 32-bit milliseconds since midnight; DateTime
// a double of day number x 86 400 000 + milliseconds; NullString/BlobMemo
// zero-terminated 8-bit text (at most length - 1 bytes); ShortString a length
// byte and the text; WideString/BlobWideMemo zero-terminated UTF-16LE (at most
// length - 2 bytes); ByteArray/Blob/BlobGraphic raw bytes; Guid 16 bytes in
// memory order; FmtBCD the first (units + 1) div 2 + 2 bytes of a packed
// decimal. Interval is not converted here.
//
// Code page 0: the field has no code page of its own; 8-bit text is written
// and read in the system ANSI code page (platform::ansiCodePage()), so what is
// written reads back the same. Decimals > 0 on a string field mark a
// fixed-width column: text read is padded with spaces to that many characters
// and trailing spaces are removed before text is stored.
//
// Failures:
// - integer range: platform::RangeError "Value out of range for the target
//   column type: <value>"; text or bytes too wide: platform::RangeError
//   "Source string data is too wide (<size>) for the target field (<room>)"
//   or "Source string data is too wide for the target field (<room>)";
//   aTruncate cuts byte arrays, wide strings and text in the system code page
//   instead (never inside a multi-byte character or a surrogate pair); into a
//   null-terminated string with a field code page it keeps the characters
//   that fit the room by count, whose bytes must then fit; a short string
//   with a field code page, or of UTF-16 text in the system code page, must
//   fit whole whatever aTruncate says;
// - "Invalid char format (length must be exactly 1)": EnxBaseException
//   without a code; "0 (zero) is not a valid timestamp", "Could not convert
//   FmtBCD to Extended": platform::ConvertError;
// - a code-page conversion the platform refuses: the engine's OS error
//   exception (EnxBaseException 11047, "Operating system error in
//   <action>: ...", OSError set); packed decimals: EnxBcdOverflow
//   (nxsdFmtBcd); other variant conversions: the runtime's errors;
// - Interval, a type code of 32 or more, a store into Blob or BlobGraphic, or
//   a buffer shorter than a fixed-size type: platform::RuntimeError naming
//   this module (an internal error).
// Thread safety: works only on the caller's buffers and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nxllTypes.h"
#include "nxsdTypes.h"
#include "plFormatSettings.h"
#include "plVariant.h"

// The buffer's aLength bytes as a variant (aUnits is not consulted). Only the
// low 7 bits of aType count.
void nxFieldBufferToVariant(TnxFieldType aType, TnxWord32 aCodePage, int aUnits, int aDecimals,
                            const void* aBuffer, std::size_t aLength, platform::Variant& aValue);

// nxVariantToFieldBufferEx with the process format settings, no truncation.
void nxVariantToFieldBuffer(TnxFieldType aType, TnxWord32 aCodePage, int aUnits, int aDecimals,
                            const platform::Variant& aValue, void* aBuffer, std::size_t aLength);
// Stores aValue into the aLength bytes of aBuffer. aTruncate cuts text and
// byte arrays that are too long instead of failing.
void nxVariantToFieldBufferEx(const platform::FormatSettings& aFormatSettings, TnxFieldType aType,
                              TnxWord32 aCodePage, bool aTruncate, std::size_t aLength, void* aBuffer,
                              const platform::Variant& aValue, int aDecimals, int aUnits);

// The storage form as a byte array sized to the value; a null variant gives
// an empty array. aBytes is resized and filled in place (a Blob leaves it as
// it was given). Integers are range-checked as in a store; Booleans are $FF
// or $00; strings carry their terminator (ShortString its length byte).
void nxVariantToBytes(TnxFieldType aType, TnxWord32 aCodePage, int aUnits, int aDecimals,
                      const platform::Variant& aValue, std::vector<std::uint8_t>& aBytes);
// The same; the settings are accepted for symmetry and not consulted.
void nxVariantToBytesEx(const platform::FormatSettings& aFormatSettings, TnxFieldType aType,
                        TnxWord32 aCodePage, int aUnits, int aDecimals, const platform::Variant& aValue,
                        std::vector<std::uint8_t>& aBytes);

// True when aValue lies in the type's range; outside, with aRaise, the range
// error above.
bool nxCheckByteRange(bool aRaise, std::int64_t aValue);
bool nxCheckWord16Range(bool aRaise, std::int64_t aValue);
bool nxCheckWord32Range(bool aRaise, std::int64_t aValue);
bool nxCheckInt8Range(bool aRaise, std::int64_t aValue);
bool nxCheckInt16Range(bool aRaise, std::int64_t aValue);
bool nxCheckInt32Range(bool aRaise, std::int64_t aValue);

// Unassigned or null.
bool nxVarIsNullOrEmpty(const platform::Variant& aValue);
// The bytes of a byte-array variant as text, one character per byte.
void nxVarBytesToString(const platform::Variant& aValue, nxString& aText);
