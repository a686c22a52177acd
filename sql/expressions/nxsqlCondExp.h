// Value expressions: how SQL classifies field types, which type two operands
// give, and how two values compare (by operator with tolerances and locale
// rules, three-way for ordering and joins, and natively over record buffers).
//
// Values are platform::Variant. Its two UTF-16 kinds (varOleStr, varUString)
// are one string kind here; an 8-bit varString is decoded through its code
// page first. Byte arrays compare by their bytes (unsigned; a proper prefix
// is less). Three-way results: 0 less, 1 equal, 2 greater, 3 a NULL met.
//
// Tolerances: = and <> of two doubles, singles or currency values are
// tolerant by 1e-10, of two dates by one millisecond; ordering is exact.
//
// Life: nxsqlCondExpInitialize / nxsqlCondExpFinalize are counted (after the
// node base); they set the tolerances and the date limits.
//
// Thread safety: every routine may run on any thread; a native comparer is
// used by the thread executing its statement.
#pragma once

#include <cstdint>
#include <memory>

#include "nxsqlBase.h"
#include "nxsdTypes.h"
#include "plDateTime.h"
#include "plVariant.h"

class TnxLocaleDescriptor;

enum TnxSqlRelOp : std::uint8_t {
  roNone = 0,
  roEQ = 1,
  roLE = 2,
  roL = 3,
  roG = 4,
  roGE = 5,
  roNE = 6,
  roBeginsWith = 7,
  roDoesNotBeginWith = 8,
  roInList = 9,
  roNotInList = 10,
};

// Where a column's bytes and null bit are in its table's current record: the
// variable holding the current record buffer (followed as it moves), the
// field's offset and its null bit.
struct TnxSqlNativeFieldAccess {
  const std::uint8_t* const* RecordBuffer = nullptr;
  std::int32_t FieldOffset = 0;
  std::int32_t NullOffset = 0;
  std::uint8_t NullMask = 0;
};

// What native comparers and nxSqlPickPromotedField read of a column: the
// field proxies implement it over their table's current record buffer.
class InxSqlNativeField {
 public:
  virtual bool NativeIsNull() = 0;
  // The field's bytes in the current record buffer.
  virtual const std::uint8_t* NativeFieldBuffer() = 0;
  virtual TnxFieldType NativeFieldType() = 0;
  virtual std::int32_t NativeUnits() = 0;
  // Non-zero for a fixed-length character column.
  virtual std::int32_t NativeDecimals() = 0;
  // The effective locale (own, else the table's); nil when none.
  virtual TnxLocaleDescriptor* NativeLocaleDesc() = 0;
  // The layout behind NativeIsNull and NativeFieldBuffer, when the column
  // has one; comparers then read the record without calls.
  virtual bool NativeAccess(TnxSqlNativeFieldAccess& /*aAccess*/) { return false; }

 protected:
  ~InxSqlNativeField() = default;
};

// ---- type classes
bool nxSqlIsIntegerType(TnxFieldType aType);
bool nxSqlIsNumericType(TnxFieldType aType);
bool nxSqlIsStringType(TnxFieldType aType);
bool nxSqlIsStringOrBlobType(TnxFieldType aType);
bool nxSqlIsDateTimeType(TnxFieldType aType);
bool nxSqlIsAdditiveType(TnxFieldType aType);
bool nxSqlIsAdditiveNonDateType(TnxFieldType aType);

// ---- promotion (left to right: the string table is not symmetric)
TnxFieldType nxSqlPromoteType(TnxFieldType a, TnxFieldType b);
TnxFieldType nxSqlPromoteNumericType(TnxFieldType a, TnxFieldType b);
TnxFieldType nxSqlPromoteStringType(TnxFieldType a, TnxFieldType b);
InxSqlNativeField* nxSqlPickPromotedField(InxSqlNativeField* aFirst, InxSqlNativeField* aSecond);

// ---- comparison
// False when either value is NULL; "Incompatible locales" unless the locales
// are compatible or aSkipLocaleCheck.
bool nxSqlCompareByRelOp(TnxSqlRelOp aRelOp, const platform::Variant& aLeft, const platform::Variant& aRight,
                         TnxLocaleDescriptor* aLeftLocale, TnxLocaleDescriptor* aRightLocale, bool aLeftPadded,
                         bool aRightPadded, bool aSkipLocaleCheck);
// Three-way; locale id 0 compares strings by code units.
std::int32_t nxSqlCompareVariants(const platform::Variant& aLeft, const platform::Variant& aRight,
                                  std::uint32_t aLocale, std::uint32_t aFlags);
// As nxSqlCompareVariants, but two NULLs are equal (1).
std::int32_t nxSqlCompareVariantsNullEqual(const platform::Variant& aLeft, const platform::Variant& aRight,
                                           std::uint32_t aLocale, std::uint32_t aFlags);
// Code unit by code unit (unsigned); a proper prefix is less; 0, 1 or 2.
std::int32_t nxSqlCompareWideOrdinal(platform::UnicodeStringView a, platform::UnicodeStringView b);

bool nxSqlLocalesCompatible(const TnxLocaleDescriptor* aFirst, const TnxLocaleDescriptor* aSecond);
bool nxSqlChooseLocale(TnxLocaleDescriptor* aFirst, TnxLocaleDescriptor* aSecond, TnxLocaleDescriptor*& aChosen);
void nxSqlComparisonLocale(const TnxLocaleDescriptor* aFirst, const TnxLocaleDescriptor* aSecond,
                           std::uint32_t& aLocale, std::uint32_t& aFlags);

// ---- helpers
// Without trailing U+0020 (other white space stays).
nxString nxSqlTrimTrailingBlanks(platform::UnicodeStringView S);
// Parts are added with carries; negative parts borrow (division truncates).
platform::DateTime nxSqlAddTimeParts(platform::DateTime aValue, std::int32_t aHours, std::int32_t aMinutes,
                                     std::int32_t aSeconds, std::int32_t aMilliseconds);
platform::VarType nxSqlVarType(const platform::Variant& V);
// 1-based, 0 when absent.
std::int32_t nxSqlFindChar(char16_t aUnit, platform::UnicodeStringView S);
// 1-based; 1 for an empty needle; 0 when absent or the haystack is shorter.
std::int32_t nxSqlFindSubstring(platform::UnicodeStringView aNeedle, platform::UnicodeStringView aHaystack);

// ---- module constants (set at start-up)
double nxSqlFloatTolerance();
double nxSqlDateTolerance();
platform::DateTime nxSqlLowestDate();
platform::DateTime nxSqlHighestDate();

void nxsqlCondExpInitialize();
void nxsqlCondExpFinalize();

// ---- native comparers

// Equality of two stored columns read straight from their record buffers.
// Only for pairs where the stored bytes decide equality exactly as "=" of
// their values does (see nxSqlNativeComparerFor). Not owner of its fields;
// reads whatever record they currently stand on.
class TnxSqlNativeComparer {
 public:
  TnxSqlNativeComparer(InxSqlNativeField* aF1, InxSqlNativeField* aF2);
  virtual ~TnxSqlNativeComparer() = default;
  TnxSqlNativeComparer(const TnxSqlNativeComparer&) = delete;
  TnxSqlNativeComparer& operator=(const TnxSqlNativeComparer&) = delete;

  // tsbUnknown when either field is NULL, else whether the bytes are equal.
  virtual TnxSqlTriStateBool Compare() = 0;
  virtual const char* ClassName() const = 0;

 protected:
  InxSqlNativeField* F1;
  InxSqlNativeField* F2;
  TnxSqlNativeFieldAccess A1, A2;
  bool FDirect;         // both fields gave their layout
  std::size_t FUnits;   // characters both fields hold
};

// A comparer for the pair, or null where the caller must compare values:
// types without one, two fields of different types, and character fields
// with a locale or a fixed length (their "=" collates and trims).
std::unique_ptr<TnxSqlNativeComparer> nxSqlNativeComparerFor(InxSqlNativeField* aF1, InxSqlNativeField* aF2);
