// Parameters of statements and stored procedures: a name, a data type, a
// kind (input, output, ...) and a value.
//
// Setting a value through an As... accessor also sets DataType to the
// accessor's type and marks the parameter Bound. GetData writes the value in
// the field type's native buffer form (as plDbFields describes), BLOB types
// as their bytes; GetDataSize answers how many bytes that is.
// Thread safety: none.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "plDbConsts.h"
#include "plDbFields.h"
#include "plVariant.h"

namespace platform {

class TParams;

class TParam {
 public:
  TParam(TParams* aOwner, const UnicodeString& aName, TFieldType aDataType, TParamType aParamType)
      : prOwner(aOwner), prName(aName), prDataType(aDataType), prParamType(aParamType) {}
  TParam(const TParam&) = delete;
  TParam& operator=(const TParam&) = delete;

  const UnicodeString& Name() const { return prName; }
  void SetName(const UnicodeString& aValue) { prName = aValue; }
  TFieldType DataType() const { return prDataType; }
  void SetDataType(TFieldType aValue);
  TParamType ParamType() const { return prParamType; }
  void SetParamType(TParamType aValue) { prParamType = aValue; }
  bool Bound() const { return prBound; }
  void SetBound(bool aValue) { prBound = aValue; }
  int Size() const { return prSize; }
  void SetSize(int aValue) { prSize = aValue; }
  int Precision() const { return prPrecision; }
  void SetPrecision(int aValue) { prPrecision = aValue; }
  int NumericScale() const { return prNumericScale; }
  void SetNumericScale(int aValue) { prNumericScale = aValue; }

  bool IsNull() const { return prValue.isNullOrEmpty(); }
  void Clear() { prValue = Variant::null(); }
  const Variant& Value() const { return prValue; }
  // Without a DataType the value's kind chooses one.
  void SetValue(const Variant& aValue);

  UnicodeString AsString() const { return IsNull() ? UnicodeString() : prValue.toString(); }
  void SetAsString(UnicodeStringView aValue) { SetTyped(ftString, Variant(aValue)); }
  UnicodeString AsWideString() const { return AsString(); }
  void SetAsWideString(UnicodeStringView aValue) { SetTyped(ftWideString, Variant(aValue)); }
  UnicodeString AsMemo() const { return AsString(); }
  void SetAsMemo(UnicodeStringView aValue) { SetTyped(ftMemo, Variant(aValue)); }
  std::int32_t AsInteger() const { return IsNull() ? 0 : prValue.toInt32(); }
  void SetAsInteger(std::int32_t aValue) { SetTyped(ftInteger, Variant(aValue)); }
  std::int16_t AsSmallInt() const { return IsNull() ? 0 : prValue.toInt16(); }
  void SetAsSmallInt(std::int16_t aValue) { SetTyped(ftSmallint, Variant::fromSmallint(aValue)); }
  std::uint16_t AsWord() const { return IsNull() ? 0 : prValue.toUInt16(); }
  void SetAsWord(std::uint16_t aValue) { SetTyped(ftWord, Variant::fromWord(aValue)); }
  std::int64_t AsLargeInt() const { return IsNull() ? 0 : prValue.toInt64(); }
  void SetAsLargeInt(std::int64_t aValue) { SetTyped(ftLargeint, Variant(static_cast<long long>(aValue))); }
  double AsFloat() const { return IsNull() ? 0.0 : prValue.toDouble(); }
  void SetAsFloat(double aValue) { SetTyped(ftFloat, Variant(aValue)); }
  Currency AsCurrency() const { return IsNull() ? Currency{} : prValue.toCurrency(); }
  void SetAsCurrency(Currency aValue) { SetTyped(ftCurrency, Variant(aValue)); }
  Currency AsBCD() const { return AsCurrency(); }
  void SetAsBCD(Currency aValue) { SetTyped(ftBCD, Variant(aValue)); }
  FmtBcd AsFMTBCD() const { return IsNull() ? FmtBcd{} : prValue.toFmtBcd(); }
  void SetAsFMTBCD(const FmtBcd& aValue) { SetTyped(ftFMTBcd, Variant(aValue)); }
  bool AsBoolean() const { return !IsNull() && prValue.toBoolean(); }
  void SetAsBoolean(bool aValue) { SetTyped(ftBoolean, Variant(aValue)); }
  DateTime AsDateTime() const { return IsNull() ? 0.0 : prValue.toDateTime(); }
  void SetAsDateTime(DateTime aValue) { SetTyped(ftDateTime, Variant::fromDate(aValue)); }
  DateTime AsDate() const { return AsDateTime(); }
  void SetAsDate(DateTime aValue) { SetTyped(ftDate, Variant::fromDate(aValue)); }
  DateTime AsTime() const { return AsDateTime(); }
  void SetAsTime(DateTime aValue) { SetTyped(ftTime, Variant::fromDate(aValue)); }
  std::vector<std::uint8_t> AsBytes() const;
  void SetAsBytes(const std::vector<std::uint8_t>& aValue) { SetTyped(ftBytes, Variant::byteArray(aValue)); }
  void SetAsBlob(const std::vector<std::uint8_t>& aValue) { SetTyped(ftBlob, Variant::byteArray(aValue)); }

  // Bytes GetData writes: text types with their terminator, BLOBs their
  // length, fixed types their width; 0 for null.
  int GetDataSize() const;
  // REQUIRES: aBuffer holds GetDataSize() bytes.
  void GetData(void* aBuffer) const;
  // Reads a native value of DataType (the length for variable types is
  // aSize; -1: up to the terminator).
  void SetData(const void* aBuffer, int aSize = -1);

  // Name, types, size, precision, scale, value and bound flag.
  void Assign(const TParam& aSource);
  // Value and type of a field; null stays null.
  void AssignField(const TField& aField);
  void AssignFieldValue(const TField& aField, const Variant& aValue);

 private:
  void SetTyped(TFieldType aType, const Variant& aValue);
  std::vector<std::uint8_t> Native() const;

  TParams* prOwner;
  UnicodeString prName;
  TFieldType prDataType;
  TParamType prParamType;
  Variant prValue = Variant::null();
  int prSize = 0;
  int prPrecision = 0;
  int prNumericScale = 0;
  bool prBound = false;
};

class TParams {
 public:
  TParams() = default;
  TParams(const TParams&) = delete;
  TParams& operator=(const TParams&) = delete;

  int Count() const { return static_cast<int>(psItems.size()); }
  TParam& Items(int aIndex) const;
  TParam& operator[](int aIndex) const { return Items(aIndex); }
  TParam& CreateParam(TFieldType aDataType, const UnicodeString& aName, TParamType aParamType);
  TParam& AddParam(const UnicodeString& aName) { return CreateParam(ftUnknown, aName, ptUnknown); }
  void RemoveParam(TParam& aParam);
  // Null for an unknown name (ASCII case ignored).
  TParam* FindParam(UnicodeStringView aName) const;
  // An unknown name raises the framework's "parameter not found" error.
  TParam& ParamByName(UnicodeStringView aName) const;
  // A copy of every parameter of aSource (this list is cleared first).
  void Assign(const TParams& aSource);
  // Each parameter of aSource whose name is also here gives its value.
  void AssignValues(const TParams& aSource);
  bool IsEqual(const TParams& aOther) const;
  void Clear() { psItems.clear(); }

 private:
  std::vector<std::unique_ptr<TParam>> psItems;
};

}  // namespace platform
