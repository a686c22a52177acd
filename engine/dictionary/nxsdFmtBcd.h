// Packed decimals (TnxFmtBcd): change of precision and scale with an exact
// report of lost digits, and conversions from and to currency, integers,
// decimal digit records, text and double.
//
// Layout (see nxllTypes.h): Precision = number of digits (1..64);
// SignSpecialPlaces bit 7 = negative, bit 6 = special flag (carried along),
// bits 0-5 = scale (digits after the point, 0..Precision); Fraction = digit
// nibbles, most significant first, high nibble first; unused nibbles are 0.
// Currency values are signed 64-bit counts of ten-thousandths. Variants carry
// packed decimals as the runtime's formatted-BCD kind (platform::varFmtBcd).
// The currency conversions go through the runtime's (plFmtBcd); the text
// conversions here follow the engine's own rules (no exponent or blanks,
// "0.50" kept for a value without integer positions), which is why they do
// not use the runtime's text conversions. Without an explicit separator they
// use the decimal separator of the process format settings.
// All operations are pure functions of their arguments (thread-safe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "nxllException.h"
#include "nxllTypes.h"
#include "plErrors.h"
#include "plVariant.h"

// Loss flags of a change of precision or scale.
using TnxBcdLoss = std::uint8_t;
inline constexpr TnxBcdLoss nxBcdLossHigh = 1;  // a non-zero integer digit was dropped: value wrong
inline constexpr TnxBcdLoss nxBcdLossLow = 2;   // a non-zero fraction digit was dropped: value truncated

// Failures of the text conversions.
class EBcdException : public platform::ConvertError {
 public:
  using platform::ConvertError::ConvertError;
};
class EBcdOverflowException : public EBcdException {
 public:
  using EBcdException::EBcdException;
};

// Engine failures of the packed-decimal arithmetic.
NX_DECLARE_EXCEPTION(EnxBcdException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxBcdOverflow, EnxBcdException)

// Raises EnxBcdOverflow(9985, "BCD overflow").
[[noreturn]] void nxRaiseBcdOverflow();

// Decimal digit record of a float: value = 0.d1d2d3... x 10^Exponent.
struct TnxFloatRec {
  std::int16_t Exponent;
  bool Negative;
  char Digits[21];  // ASCII digits, zero-terminated
};

// Copies aSource into precision aPrecision (1..64) and scale aScale
// (0..aPrecision); answers the loss flags. Dropped low digits truncate toward
// zero. An invalid target precision or scale, or a source precision above
// 64, raises the BCD overflow.
TnxBcdLoss nxNormalizeBcd(const TnxFmtBcd& aSource, TnxFmtBcd& aTarget, int aPrecision, int aScale);
// The same; a loss flag outside aAllowedLoss raises the BCD overflow.
void nxNormalizeBcdChecked(const TnxFmtBcd& aSource, int aPrecision, int aScale, TnxFmtBcd& aTarget,
                           TnxBcdLoss aAllowedLoss);

TnxBcdLoss nxCurrToBcd(TnxFmtBcd& aTarget, int aPrecision, int aScale, std::int64_t aValue);
void nxCurrToBcdChecked(int aPrecision, int aScale, TnxBcdLoss aAllowedLoss, TnxFmtBcd& aTarget,
                        std::int64_t aValue);

// The value as an integer. With aTruncate fraction digits are dropped;
// without it a non-zero fraction, like a value beyond 64 bits, throws
// platform::ConvertError.
std::int64_t nxBcdToInt64(const TnxFmtBcd& aValue, bool aTruncate);

// More than 64 nibbles raise the BCD overflow.
void nxFloatRecToBcd(const TnxFloatRec& aFloatRec, TnxFmtBcd& aTarget);

// Decimal text; an invalid precision or scale throws EBcdOverflowException.
nxString nxBcdToStr(const TnxFmtBcd& aValue);
nxString nxBcdToStr(const TnxFmtBcd& aValue, char16_t aSeparator);
// Accepts an optional leading "-", digits and at most one aSeparator, with at
// least one digit (the empty text is zero). Fraction digits beyond 64
// characters are cut; texts that need more than 64 integer digits are refused.
bool nxTryStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue, char16_t aSeparator);
// As nxTryStrToBcd; a refused text throws EBcdException.
void nxStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue);
void nxStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue, char16_t aSeparator);

// Through the decimal text (15 significant digits); NaN, infinities and
// values needing more than 64 integer digits throw EBcdException.
TnxFmtBcd nxDoubleToBcd(double aValue);
double nxBcdToDouble(const TnxFmtBcd& aValue);

// Rounded to ten-thousandths (ties to even); False when the value does not
// fit a currency, the precision is invalid or a nibble is not a digit. A
// scale above the precision reads as leading fraction zeros.
bool nxTryBcdToCurr(const TnxFmtBcd& aValue, std::int64_t& aCurrency);

// Stores aValue as a packed decimal of aPrecision and aScale into a field
// buffer of aSize bytes: surplus fraction digits are cut, integer overflow or
// a buffer smaller than (aPrecision + 1) div 2 + 2 bytes raise the BCD
// overflow. At most the 34 bytes of the record are written.
void nxBcdToBcdBuffer(const TnxFmtBcd& aValue, int aPrecision, int aScale, void* aBuffer, std::size_t aSize);

// Currency aCurrency cut to aScale decimals and checked against the integer
// digits that aPrecision and aScale allow (aAsFloat is the same value as a
// float, used for wide precisions). Raises the BCD overflow.
std::int64_t nxCurrToScaledCurr(std::int64_t aCurrency, double aAsFloat, int aPrecision, int aScale);

// ---- Variants ------------------------------------------------------------

platform::Variant nxBcdToVariant(const TnxFmtBcd& aValue);
// A formatted-BCD variant as it is; any other kind converted by the runtime
// (null, arrays and unreadable text raise the runtime's conversion errors).
TnxFmtBcd nxVarToBcd(const platform::Variant& aValue);
// nxBcdToBcdBuffer of the variant's packed decimal.
void nxVariantToBcdBuffer(const platform::Variant& aValue, int aPrecision, int aScale, void* aBuffer,
                          std::size_t aSize);
// The variant as currency, cut to aScale decimals and checked against the
// integer digits aPrecision and aScale allow (nxCurrToScaledCurr).
std::int64_t nxVarToScaledCurr(const platform::Variant& aValue, int aPrecision, int aScale);

// Unary operation on a formatted-BCD variant, for the runtime's operator
// table: nxVarOpNegate flips the sign and leaves a formatted-BCD variant in
// aRight (whatever numeric kind it held); any other operation raises
// platform::VariantTypeError "Invalid variant operation".
inline constexpr int nxVarOpNegate = 12;
inline constexpr int nxVarOpNot = 13;
void nxFmtBcdUnaryOp(platform::Variant& aRight, int aOperator);
