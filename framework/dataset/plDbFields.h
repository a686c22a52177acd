// Fields, field definitions and index definitions of the dataset framework.
//
// A field reads and writes its value through its dataset's GetFieldData /
// SetFieldData in the field type's native buffer form:
//   ftString, ftFixedChar, ftGuid  8-bit text of Size bytes (client ANSI code
//                                  page) and a zero byte
//   ftWideString                   UTF-16 text of Size units and a zero unit
//   ftSmallint/ftInteger/ftShortint/ftWord/ftByte/ftLongWord/ftAutoInc
//                                  the integer of that width (ftAutoInc: unsigned 32)
//   ftLargeint                     signed 64-bit
//   ftBoolean                      16-bit, 0 = False, anything else True ($FFFF written)
//   ftFloat, ftCurrency            64-bit float; ftSingle 32-bit; ftExtended 80-bit
//   ftBCD, ftFMTBcd                34-byte FmtBcd
//   ftDate                         signed 32-bit day number, 0001-01-01 = day 1
//   ftTime                         signed 32-bit milliseconds since midnight
//   ftDateTime                     64-bit float: day number * 86400000 + milliseconds
//   ftBytes                        Size bytes; ftVarBytes: 16-bit length then Size bytes
//   ftVariant                      a platform::Variant object
// BLOB fields (ftBlob, ftMemo, ftWideMemo, ftGraphic, ...) have no native
// buffer: their values pass only through the dataset's BLOB streams.
//
// Ownership: fields belong to their dataset, which frees them when it is
// freed; a field freed earlier leaves the dataset's list.
// Thread safety: none, as for the dataset.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nxllComponent.h"
#include "plComponent.h"
#include "plCurrency.h"
#include "plDateTime.h"
#include "plDbConsts.h"
#include "plExtended.h"
#include "plFmtBcd.h"
#include "plGuid.h"
#include "plVariant.h"

class TStream;

namespace platform {

class TDataSet;
class TField;
using TFieldNotifyEvent = TnxMethod<TField*>;

class TField : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TField(TComponent* aOwner = nullptr);
  ~TField() override;
  void beforeDestruction() override;

  TDataSet* DataSet() const { return fDataSet; }
  // Moves the field into aDataSet's field list (the dataset must be closed).
  void SetDataSet(TDataSet* aDataSet);

  const UnicodeString& FieldName() const { return fFieldName; }
  void SetFieldName(const UnicodeString& aName) { fFieldName = aName; }
  UnicodeString DisplayName() const { return fDisplayLabel.empty() ? fFieldName : fDisplayLabel; }
  void SetDisplayLabel(const UnicodeString& aLabel) { fDisplayLabel = aLabel; }
  TFieldType DataType() const { return fDataType; }
  TFieldKind FieldKind() const { return fFieldKind; }
  void SetFieldKind(TFieldKind aKind) { fFieldKind = aKind; }
  bool IsDataField() const { return fFieldKind == fkData || fFieldKind == fkInternalCalc; }
  // 1-based number of the field definition; 0 for calculated fields
  // (negative numbers are the dataset's own for calculated fields).
  int FieldNo() const { return fFieldNo; }
  int Index() const;
  int Size() const { return fSize; }
  virtual void SetSize(int aSize);
  // Bytes of the native buffer; 0 for BLOB fields.
  virtual int DataSize() const { return 0; }
  // Offset of a calculated field's value in the calculated-field area.
  int Offset() const { return fOffset; }
  bool ReadOnly() const { return fReadOnly; }
  void SetReadOnly(bool aValue) { fReadOnly = aValue; }
  bool Required() const { return fRequired; }
  void SetRequired(bool aValue) { fRequired = aValue; }
  bool Visible() const { return fVisible; }
  void SetVisible(bool aValue) { fVisible = aValue; }
  bool IsBlob() const { return isBlobType(fDataType); }
  bool CanModify() const;

  // Raw access: answers whether the value is not null; aBuffer null only
  // tests. While OnValidate runs, the value being validated is answered.
  bool GetData(void* aBuffer) const;
  // aBuffer null sets the field null.
  void SetData(const void* aBuffer);
  // Runs OnValidate with aBuffer as the field's value (null: a null value).
  void Validate(const void* aBuffer);
  // Runs OnChange (the dataset calls it after a field-change event).
  void Change();

  bool IsNull() const { return !GetData(nullptr); }
  void Clear() { SetData(nullptr); }
  Variant Value() const;
  void SetValue(const Variant& aValue);
  // Assigns the value of aField (null stays null).
  void AssignValue(const TField& aField);

  virtual UnicodeString AsString() const;
  virtual void SetAsString(UnicodeStringView aValue);
  virtual std::int32_t AsInteger() const;
  virtual void SetAsInteger(std::int32_t aValue);
  virtual std::int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(std::int64_t aValue);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double aValue);
  virtual Currency AsCurrency() const;
  virtual void SetAsCurrency(Currency aValue);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool aValue);
  virtual DateTime AsDateTime() const;
  virtual void SetAsDateTime(DateTime aValue);
  virtual FmtBcd AsBCD() const;
  virtual void SetAsBCD(const FmtBcd& aValue);
  virtual std::vector<std::uint8_t> AsBytes() const;
  virtual void SetAsBytes(const std::vector<std::uint8_t>& aValue);
  virtual Variant AsVariant() const;
  virtual void SetAsVariant(const Variant& aValue);

  TFieldNotifyEvent OnValidate() const { return fOnValidate; }
  void SetOnValidate(TFieldNotifyEvent aEvent) { fOnValidate = aEvent; }
  TFieldNotifyEvent OnChange() const { return fOnChange; }
  void SetOnChange(TFieldNotifyEvent aEvent) { fOnChange = aEvent; }

 protected:
  [[noreturn]] void AccessError(UnicodeStringView aTypeName) const;
  [[noreturn]] void RangeError(const UnicodeString& aValue, const UnicodeString& aMin,
                               const UnicodeString& aMax) const;
  void SetDataType(TFieldType aType) { fDataType = aType; }
  // Reads the native value into aBuffer (DataSize bytes); false for null.
  bool ReadNative(void* aBuffer) const { return GetData(aBuffer); }

 private:
  friend class TDataSet;
  friend class TFields;
  friend class TFieldDef;

  TDataSet* fDataSet = nullptr;
  UnicodeString fFieldName;
  UnicodeString fDisplayLabel;
  TFieldType fDataType = ftUnknown;
  TFieldKind fFieldKind = fkData;
  int fFieldNo = 0;
  int fSize = 0;
  int fOffset = 0;
  bool fReadOnly = false;
  bool fRequired = false;
  bool fVisible = true;
  bool fValidating = false;
  const void* fValidateBuffer = nullptr;
  TFieldNotifyEvent fOnValidate;
  TFieldNotifyEvent fOnChange;
};

// 8-bit text in the client ANSI code page. Transliterate: the dataset's
// Translate runs over the bytes on reading and writing (the engine's
// mappers also read it to convert from the storage code page). FixedChar:
// trailing blanks are dropped on reading.
class TStringField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TStringField(TComponent* aOwner = nullptr);
  int DataSize() const override { return Size() + 1; }
  bool Transliterate() const { return sfTransliterate; }
  void SetTransliterate(bool aValue) { sfTransliterate = aValue; }
  bool FixedChar() const { return sfFixedChar; }
  void SetFixedChar(bool aValue);
  // The bytes as stored (client code page), without the terminator.
  AnsiString AsAnsiString() const;
  void SetAsAnsiString(const AnsiString& aValue);

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool aValue) override;
  DateTime AsDateTime() const override;
  void SetAsDateTime(DateTime aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 private:
  bool sfTransliterate = true;
  bool sfFixedChar = false;
};

class TWideStringField : public TStringField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TWideStringField(TComponent* aOwner = nullptr);
  int DataSize() const override { return (Size() + 1) * 2; }
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  Variant AsVariant() const override;
};

// A GUID as its 38-character text.
class TGuidField : public TStringField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TGuidField(TComponent* aOwner = nullptr);
  void SetSize(int aSize) override;
  Guid AsGuid() const;
  void SetAsGuid(const Guid& aValue);
  void SetAsString(UnicodeStringView aValue) override;
};

class TNumericField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  using TField::TField;
};

// The 8-, 16- and 32-bit integer types (by DataType). MinValue/MaxValue both
// 0: no range beyond the type's own.
class TIntegerField : public TNumericField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TIntegerField(TComponent* aOwner = nullptr);
  int DataSize() const override;
  std::int64_t MinValue() const { return ifMinValue; }
  std::int64_t MaxValue() const { return ifMaxValue; }
  void SetMinValue(std::int64_t aValue) { ifMinValue = aValue; }
  void SetMaxValue(std::int64_t aValue) { ifMaxValue = aValue; }

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 protected:
  // The range of the data type itself.
  void TypeRange(std::int64_t& aMin, std::int64_t& aMax) const;

 private:
  bool ReadValue(std::int64_t& aValue) const;
  void WriteValue(std::int64_t aValue);
  std::int64_t ifMinValue = 0;
  std::int64_t ifMaxValue = 0;
};

class TSmallintField : public TIntegerField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TSmallintField(TComponent* aOwner = nullptr);
};
class TShortintField : public TIntegerField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TShortintField(TComponent* aOwner = nullptr);
};
class TWordField : public TIntegerField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TWordField(TComponent* aOwner = nullptr);
};
class TByteField : public TIntegerField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TByteField(TComponent* aOwner = nullptr);
};
class TLongWordField : public TIntegerField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TLongWordField(TComponent* aOwner = nullptr);
};
// ftAutoInc: an unsigned 32-bit counter, read-only for the user.
class TUnsignedAutoIncField : public TLongWordField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TUnsignedAutoIncField(TComponent* aOwner = nullptr);
};

class TLargeintField : public TNumericField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TLargeintField(TComponent* aOwner = nullptr);
  int DataSize() const override { return 8; }
  std::int64_t MinValue() const { return lfMinValue; }
  std::int64_t MaxValue() const { return lfMaxValue; }
  void SetMinValue(std::int64_t aValue) { lfMinValue = aValue; }
  void SetMaxValue(std::int64_t aValue) { lfMaxValue = aValue; }

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  FmtBcd AsBCD() const override;
  void SetAsBCD(const FmtBcd& aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 private:
  std::int64_t lfMinValue = 0;
  std::int64_t lfMaxValue = 0;
};

// ftFloat (also the base of ftCurrency, whose buffer is a float too),
// ftSingle and ftExtended, by DataType.
class TFloatField : public TNumericField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TFloatField(TComponent* aOwner = nullptr);
  int DataSize() const override;
  double MinValue() const { return ffMinValue; }
  double MaxValue() const { return ffMaxValue; }
  void SetMinValue(double aValue) { ffMinValue = aValue; }
  void SetMaxValue(double aValue) { ffMaxValue = aValue; }
  int Precision() const { return ffPrecision; }
  void SetPrecision(int aValue) { ffPrecision = aValue; }

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  Currency AsCurrency() const override;
  void SetAsCurrency(Currency aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 private:
  bool ReadValue(long double& aValue) const;
  double ffMinValue = 0;
  double ffMaxValue = 0;
  int ffPrecision = 15;
};

class TCurrencyField : public TFloatField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TCurrencyField(TComponent* aOwner = nullptr);
  Variant AsVariant() const override;
};
class TSingleField : public TFloatField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TSingleField(TComponent* aOwner = nullptr);
};
class TExtendedField : public TFloatField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TExtendedField(TComponent* aOwner = nullptr);
};

// ftBCD (Size = decimals, Precision = digits) and ftFMTBcd; both keep a
// 34-byte FmtBcd buffer.
class TBCDField : public TNumericField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TBCDField(TComponent* aOwner = nullptr);
  int DataSize() const override { return static_cast<int>(sizeof(FmtBcd)); }
  int Precision() const { return bfPrecision; }
  void SetPrecision(int aValue) { bfPrecision = aValue; }

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  Currency AsCurrency() const override;
  void SetAsCurrency(Currency aValue) override;
  FmtBcd AsBCD() const override;
  void SetAsBCD(const FmtBcd& aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 private:
  int bfPrecision = 0;
};

class TFMTBCDField : public TBCDField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TFMTBCDField(TComponent* aOwner = nullptr);
  Variant AsVariant() const override;
};

// ftDateTime, ftDate and ftTime by DataType.
class TDateTimeField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDateTimeField(TComponent* aOwner = nullptr);
  int DataSize() const override;
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  DateTime AsDateTime() const override;
  void SetAsDateTime(DateTime aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;
};
class TDateField : public TDateTimeField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDateField(TComponent* aOwner = nullptr);
};
class TTimeField : public TDateTimeField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TTimeField(TComponent* aOwner = nullptr);
};

class TBooleanField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TBooleanField(TComponent* aOwner = nullptr);
  int DataSize() const override { return 2; }
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;
};

// ftBytes (fixed Size bytes) and ftVarBytes (16-bit length, then Size bytes).
class TBytesField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TBytesField(TComponent* aOwner = nullptr);
  int DataSize() const override;
  UnicodeString AsString() const override;
  std::vector<std::uint8_t> AsBytes() const override;
  void SetAsBytes(const std::vector<std::uint8_t>& aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;
};
class TVarBytesField : public TBytesField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TVarBytesField(TComponent* aOwner = nullptr);
};

class TVariantField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TVariantField(TComponent* aOwner = nullptr);
  int DataSize() const override { return static_cast<int>(sizeof(Variant)); }
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t aValue) override;
  std::int64_t AsLargeInt() const override;
  void SetAsLargeInt(std::int64_t aValue) override;
  double AsFloat() const override;
  void SetAsFloat(double aValue) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool aValue) override;
  DateTime AsDateTime() const override;
  void SetAsDateTime(DateTime aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;
};

// BLOB fields: every value passes through the dataset's CreateBlobStream.
// Modified is set by the streams that wrote the field.
class TBlobField : public TField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TBlobField(TComponent* aOwner = nullptr);
  bool Modified() const { return bfModified; }
  void SetModified(bool aValue) { bfModified = aValue; }
  std::int64_t BlobSize() const;
  void LoadFromStream(TStream& aStream);
  void SaveToStream(TStream& aStream) const;

  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  std::vector<std::uint8_t> AsBytes() const override;
  void SetAsBytes(const std::vector<std::uint8_t>& aValue) override;
  Variant AsVariant() const override;
  void SetAsVariant(const Variant& aValue) override;

 protected:
  std::vector<std::uint8_t> ReadAll() const;
  void WriteAll(const void* aData, std::size_t aSize);

 private:
  bool bfModified = false;
};

// 8-bit text in the client ANSI code page.
class TMemoField : public TBlobField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TMemoField(TComponent* aOwner = nullptr);
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  Variant AsVariant() const override;
};
// UTF-16 text.
class TWideMemoField : public TBlobField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TWideMemoField(TComponent* aOwner = nullptr);
  UnicodeString AsString() const override;
  void SetAsString(UnicodeStringView aValue) override;
  Variant AsVariant() const override;
};
class TGraphicField : public TBlobField {
  PL_CLASS_INFO_DECL()
 public:
  explicit TGraphicField(TComponent* aOwner = nullptr);
};

// The framework's field class for a data type; null when it has none.
const ClassInfo* defaultFieldClass(TFieldType aType);
// Creates a field of aClass (one of the classes above or a descendant with
// the one-owner constructor registered through registerFieldClass).
// A field of aClass through its class factory (every field class has one),
// inserted into aOwner's components when given.
TField* createField(const ClassInfo& aClass, TComponent* aOwner);

// ---------------------------------------------------------------------------
// The dataset's field list. Owns its fields.
class TFields {
 public:
  explicit TFields(TDataSet* aDataSet) : flDataSet(aDataSet) {}
  ~TFields();
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;

  int Count() const { return static_cast<int>(flFields.size()); }
  // Index out of range: the framework's "field index out of range" error.
  TField* Fields(int aIndex) const;
  TField* operator[](int aIndex) const { return Fields(aIndex); }
  TField* FindField(UnicodeStringView aName) const;
  // Unknown name: "field not found" error naming aName.
  TField* FieldByName(UnicodeStringView aName) const;
  TField* FieldByNumber(int aFieldNo) const;
  int IndexOf(const TField* aField) const;
  void Add(TField* aField);
  void Remove(TField* aField);
  // Frees every field.
  void Clear();

 private:
  TDataSet* flDataSet;
  std::vector<TField*> flFields;
};

// ---------------------------------------------------------------------------
// Field definitions

class TFieldDefs;

class TFieldDef {
 public:
  TFieldDef(TFieldDefs* aOwner, const UnicodeString& aName, TFieldType aDataType, int aSize, bool aRequired,
            int aFieldNo);

  const UnicodeString& Name() const { return fdName; }
  void SetName(const UnicodeString& aName) { fdName = aName; }
  const UnicodeString& DisplayName() const { return fdDisplayName.empty() ? fdName : fdDisplayName; }
  void SetDisplayName(const UnicodeString& aName) { fdDisplayName = aName; }
  TFieldType DataType() const { return fdDataType; }
  void SetDataType(TFieldType aType) { fdDataType = aType; }
  int Size() const { return fdSize; }
  void SetSize(int aSize) { fdSize = aSize; }
  int Precision() const { return fdPrecision; }
  void SetPrecision(int aValue) { fdPrecision = aValue; }
  bool Required() const { return fdAttributes.contains(faRequired); }
  void SetRequired(bool aValue);
  int FieldNo() const { return fdFieldNo; }
  void SetFieldNo(int aValue) { fdFieldNo = aValue; }
  TFieldAttributes Attributes() const { return fdAttributes; }
  void SetAttributes(TFieldAttributes aValue) { fdAttributes = aValue; }
  bool InternalCalcField() const { return fdInternalCalcField; }
  void SetInternalCalcField(bool aValue) { fdInternalCalcField = aValue; }
  // The framework's field class for the definition's type.
  const ClassInfo* FieldClass() const;
  // A field of FieldClass on aDataSet, its properties taken from the definition.
  TField* CreateField(TComponent* aOwner, TDataSet* aDataSet) const;

 private:
  UnicodeString fdName;
  UnicodeString fdDisplayName;
  TFieldType fdDataType;
  int fdSize;
  int fdPrecision = 0;
  int fdFieldNo;
  TFieldAttributes fdAttributes;
  bool fdInternalCalcField = false;
  TFieldDefs* fdOwner;
};

class TFieldDefs {
 public:
  explicit TFieldDefs(TDataSet* aDataSet = nullptr) : fdsDataSet(aDataSet) {}
  TFieldDefs(const TFieldDefs&) = delete;
  TFieldDefs& operator=(const TFieldDefs&) = delete;

  int Count() const { return static_cast<int>(fdsItems.size()); }
  TFieldDef& Items(int aIndex) const;
  // aFieldNo 0: the next number (Count + 1).
  TFieldDef& Add(const UnicodeString& aName, TFieldType aDataType, int aSize = 0, bool aRequired = false,
                 int aFieldNo = 0);
  // A definition per data field of aFields (defs from fields).
  void AddFromFields(const TFields& aFields);
  TFieldDef* Find(UnicodeStringView aName) const;
  int IndexOf(UnicodeStringView aName) const;
  void Clear();
  void BeginUpdate() { ++fdsUpdateCount; }
  void EndUpdate() { --fdsUpdateCount; }
  bool Updated() const { return fdsUpdated; }
  void SetUpdated(bool aValue) { fdsUpdated = aValue; }
  TDataSet* DataSet() const { return fdsDataSet; }

 private:
  TDataSet* fdsDataSet;
  std::vector<std::unique_ptr<TFieldDef>> fdsItems;
  int fdsUpdateCount = 0;
  bool fdsUpdated = false;
};

// ---------------------------------------------------------------------------
// Index definitions

class TIndexDef {
 public:
  TIndexDef(const UnicodeString& aName, const UnicodeString& aFields, TIndexOptions aOptions)
      : idName(aName), idFields(aFields), idOptions(aOptions) {}
  virtual ~TIndexDef() = default;
  TIndexDef(const TIndexDef&) = default;
  TIndexDef& operator=(const TIndexDef&) = default;

  const UnicodeString& Name() const { return idName; }
  void SetName(const UnicodeString& aValue) { idName = aValue; }
  // Field names joined by ";".
  const UnicodeString& Fields() const { return idFields; }
  void SetFields(const UnicodeString& aValue) { idFields = aValue; }
  const UnicodeString& CaseInsFields() const { return idCaseInsFields; }
  void SetCaseInsFields(const UnicodeString& aValue) { idCaseInsFields = aValue; }
  const UnicodeString& DescFields() const { return idDescFields; }
  void SetDescFields(const UnicodeString& aValue) { idDescFields = aValue; }
  TIndexOptions Options() const { return idOptions; }
  void SetOptions(TIndexOptions aValue) { idOptions = aValue; }
  const UnicodeString& Expression() const { return idExpression; }
  void SetExpression(const UnicodeString& aValue) { idExpression = aValue; }
  virtual void Assign(const TIndexDef& aSource) { *this = aSource; }

 private:
  UnicodeString idName;
  UnicodeString idFields;
  UnicodeString idCaseInsFields;
  UnicodeString idDescFields;
  UnicodeString idExpression;
  TIndexOptions idOptions;
};

// Index definitions. A descendant's collection makes its own item class by
// overriding CreateItem.
class TIndexDefs {
 public:
  TIndexDefs() = default;
  virtual ~TIndexDefs() = default;
  TIndexDefs(const TIndexDefs&) = delete;
  TIndexDefs& operator=(const TIndexDefs&) = delete;

  int Count() const { return static_cast<int>(ixItems.size()); }
  TIndexDef& Items(int aIndex) const;
  TIndexDef& Add(const UnicodeString& aName, const UnicodeString& aFields, TIndexOptions aOptions);
  TIndexDef* Find(UnicodeStringView aName) const;
  int IndexOf(UnicodeStringView aName) const;
  // The first index whose leading fields are aFields (";"-separated, ASCII
  // case ignored); aCaseInsensitive also requires ixCaseInsensitive. None:
  // the framework's "no index for fields" error.
  TIndexDef& FindIndexForFields(UnicodeStringView aFields) const;
  TIndexDef* GetIndexForFields(UnicodeStringView aFields, bool aCaseInsensitive) const;
  void Clear() { ixItems.clear(); }
  // Copies every item of aSource.
  void Assign(const TIndexDefs& aSource);
  // The collection's "updated" mark: the items reflect the dataset.
  bool Updated() const { return ixUpdated; }
  void SetUpdated(bool aValue) { ixUpdated = aValue; }

 protected:
  virtual std::unique_ptr<TIndexDef> CreateItem(const UnicodeString& aName, const UnicodeString& aFields,
                                                TIndexOptions aOptions);

 private:
  std::vector<std::unique_ptr<TIndexDef>> ixItems;
  bool ixUpdated = false;
};

// Splits "A;B; C" into trimmed names.
std::vector<UnicodeString> splitFieldNames(UnicodeStringView aNames);

}  // namespace platform
