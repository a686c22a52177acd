// Field format conversion between engine records and the dataset framework.
//
// Per field of an open dataset a pair of conversion methods (engine storage
// form to the framework's native buffer and back) is chosen once, when the
// dataset opens (GetMapperForDescriptor); each call then converts one value
// without dispatch on type. The same mapper classes translate field
// descriptors into field definitions and back, and framework parameters into
// the engine's SQL parameter records.
//
// Classes and registries: one mapper class per engine field type, found
// through two registries (32 entries by engine field type, 52 by framework
// field type), filled by nxdbConversionInitialize in a fixed order and
// emptied by nxdbConversionFinalize. The registries are written only then and
// read without locks otherwise. Class-level operations are the class's
// TnxVclFieldMapperClassFuncs table, built for every registered class from
// its (inherited or redeclared) statics.
//
// Mappers: a class-bound mapper (most types) needs no object: its methods
// carry the class metadata as their data. BCD, FmtBCD, byte array and string
// fields get one mapper object each; it belongs to the caller of
// GetMapperForDescriptor (the dataset keeps them in a list that frees them,
// platform::TObject::free). A string mapper keeps the TStringField it is
// bound to (Bind) without owning it and reads its Transliterate at every
// conversion. A mapper object is used by the one thread that uses its
// dataset.
//
// Buffers: the engine side addresses the field's bytes in an engine record
// (fdOffset; not aligned); the framework side a native field buffer as
// plDbFields describes it (strings zero-terminated: Size bytes or units and
// the terminator; ftBCD/ftFMTBcd a 34-byte packed decimal; ftGuid 38
// characters and a zero byte; ftCurrency a double).
//
// Failures: engine failures derive from EnxBaseException (BCD overflow 9985,
// the OS error of a failed code-page conversion); the client's own refusals
// (read-only RefNr/RecRev fields 10502, a translated text that does not fit
// its field, a parameter type without a mapper) raise the client database
// error EnxDatabaseError without a component, its message
// "<text> [$<hex>/<dec>]" or "<text> [no error code]". A failure may leave the
// destination partly written; callers discard it (the engine buffer is left
// unchanged by every refusal that is raised before a byte is written).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "nxllBase.h"
#include "nxsdDataDictionary.h"
#include "nxsdTypes.h"
#include "plDbFields.h"
#include "plDbParams.h"

class TnxBaseVclFieldMapper;

// A conversion routine and what it is bound to: the mapper object, or the
// class metadata of a class-bound mapper. aFrom addresses the source value,
// aTo the destination buffer.
using TnxVclMapperRoutine = void (*)(const void* aSelf, const void* aFrom, void* aTo);
struct TnxVclMapperMethod {
  TnxVclMapperRoutine Code = nullptr;
  const void* Data = nullptr;

  bool Assigned() const { return Code != nullptr; }
  void Clear() {
    Code = nullptr;
    Data = nullptr;
  }
  void operator()(const void* aFrom, void* aTo) const { Code(Data, aFrom, aTo); }
};

// The class-level operations of one mapper class.
struct TnxVclFieldMapperClassFuncs {
  TnxFieldType (*VadurFieldType)();
  void (*InternalMapVadurDescriptorToVcl)(TnxFieldDescriptor& aFieldDescriptor, platform::TFieldType& aFieldType,
                                          std::uint16_t& aSize, platform::TFieldAttributes& aAttributes);
  TnxBaseVclFieldMapper* (*InternalGetMapperForDescriptor)(TnxFieldDescriptor& aFieldDescriptor,
                                                           TnxVclMapperMethod& aMapperVadurToVcl,
                                                           TnxVclMapperMethod& aMapperVclToVadur);
  TnxFieldDescriptor* (*InternalAddDescriptorForFieldDef)(TnxFieldsDescriptor& aFieldsDescriptor,
                                                          const platform::TFieldDef& aFieldDef);
  void (*InternalMapParamTypeAndSizeToVadur)(platform::TFieldType aParamType, std::int32_t aParamSize,
                                             TnxFieldType& aVadurType, std::uint32_t& aVadurSize);
  platform::TFieldType (*InternalMapVadurToParamType)(TnxFieldType aVadurType);
};
template <class T>
inline constexpr TnxVclFieldMapperClassFuncs nxVclFieldMapperFuncs{
    &T::VadurFieldType,
    &T::template InternalMapVadurDescriptorToVcl<T>,
    &T::template InternalGetMapperForDescriptor<T>,
    &T::template InternalAddDescriptorForFieldDef<T>,
    &T::template InternalMapParamTypeAndSizeToVadur<T>,
    &T::template InternalMapVadurToParamType<T>};

// Calls the member aMethod of the mapper object aSelf (a T); the member is
// chosen when the method is handed out, so a call does no dispatch.
template <class T, void (T::*aMethod)(const void*, void*) const>
void nxVclMapperThunk(const void* aSelf, const void* aFrom, void* aTo) {
  (static_cast<const T*>(aSelf)->*aMethod)(aFrom, aTo);
}
template <class T, void (T::*aMethod)(const void*, void*) const>
TnxVclMapperMethod nxVclMapperMethodOf(const T* aMapper) {
  return {&nxVclMapperThunk<T, aMethod>, aMapper};
}

// ---------------------------------------------------------------------------
// The base: the five class-level operations and the defaults of the
// per-class operations (templates over the class they run for).

class TnxBaseVclFieldMapper : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Clears both methods; a field with fdNoClientAccess gets none (nil).
  // Otherwise the engine-type class fills the pair and answers the mapper
  // object it made (the caller owns it), or nil for a class-bound mapper.
  static TnxBaseVclFieldMapper* GetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                       TnxVclMapperMethod& aMapperVadurToVcl,
                                                       TnxVclMapperMethod& aMapperVclToVadur);
  // ftUnknown: make no field definition.
  static void MapVadurDescriptorToVcl(TnxFieldDescriptor& aFieldDescriptor, platform::TFieldType& aFieldType,
                                      std::uint16_t& aSize, platform::TFieldAttributes& aAttributes);
  // Appends an engine field for the definition; nil (nothing added) when its
  // framework type has no class.
  static TnxFieldDescriptor* AddDescriptorForFieldDef(TnxFieldsDescriptor& aFieldsDescriptor,
                                                      const platform::TFieldDef& aFieldDef);
  // aVadurSize is 0 and aVadurType untouched when the type has no class.
  static void MapParamTypeAndSizeToVadur(platform::TFieldType aParamType, std::int32_t aParamSize,
                                         TnxFieldType& aVadurType, std::uint32_t& aVadurSize);
  // ftUnknown when the type has no class.
  static platform::TFieldType MapVadurToParamType(TnxFieldType aVadurType);

  // Called for every data field that has a mapper object, once the fields
  // exist; only the string mappers keep the field.
  virtual void Bind(platform::TField* /*aField*/) {}

  static TnxFieldType VadurFieldType();  // the base serves no type

  template <class T>
  static void InternalMapVadurDescriptorToVcl(TnxFieldDescriptor& /*aFieldDescriptor*/,
                                              platform::TFieldType& aFieldType, std::uint16_t& aSize,
                                              platform::TFieldAttributes& /*aAttributes*/) {
    aFieldType = T::VclFieldType();
    aSize = static_cast<std::uint16_t>(T::VclFieldSize());
  }
  template <class T>
  static TnxFieldDescriptor* InternalAddDescriptorForFieldDef(TnxFieldsDescriptor& aFieldsDescriptor,
                                                              const platform::TFieldDef& aFieldDef) {
    return aFieldsDescriptor.AddField(aFieldDef.Name(), nxString(), T::VadurFieldType(), aFieldDef.Size(),
                                      aFieldDef.Precision(), aFieldDef.Required());
  }
  template <class T>
  static void InternalMapParamTypeAndSizeToVadur(platform::TFieldType /*aParamType*/, std::int32_t aParamSize,
                                                 TnxFieldType& aVadurType, std::uint32_t& aVadurSize) {
    aVadurType = T::VadurFieldType();
    aVadurSize = StorageLength(aVadurType, T::UnitsFromParamSize(aParamSize));
  }
  template <class T>
  static platform::TFieldType InternalMapVadurToParamType(TnxFieldType /*aVadurType*/) {
    return T::VclFieldType();
  }

  // Units of the class-bound and BCD classes for a parameter size.
  static std::int32_t UnitsFromParamSize(std::int32_t /*aParamSize*/) { return 0; }

 protected:
  // The storage length SetupField gives a field of aType with aUnits.
  static std::uint32_t StorageLength(TnxFieldType aType, std::int32_t aUnits);
};

// ---------------------------------------------------------------------------
// Class-bound mappers: never instantiated.

class TnxStaticVclFieldMapper : public TnxBaseVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static int VclFieldSize() { return 0; }

  template <class T>
  static TnxBaseVclFieldMapper* InternalGetMapperForDescriptor(TnxFieldDescriptor& /*aFieldDescriptor*/,
                                                               TnxVclMapperMethod& aMapperVadurToVcl,
                                                               TnxVclMapperMethod& aMapperVclToVadur) {
    aMapperVadurToVcl = {&T::MapVadurDataToVcl, &T::staticClassInfo()};
    aMapperVclToVadur = {&T::MapVclDataToVadur, &T::staticClassInfo()};
    return nullptr;
  }
};

// A class-bound mapper class: its engine and framework types and its two
// conversion routines.
#define NX_VCL_STATIC_MAPPER(Cls, Parent, aVadurType, aVclType, aVclSize)         \
  class Cls : public Parent {                                                     \
    PL_CLASS_INFO_DECL()                                                          \
   public:                                                                        \
    static TnxFieldType VadurFieldType() { return aVadurType; }                   \
    static platform::TFieldType VclFieldType() { return aVclType; }               \
    static int VclFieldSize() { return aVclSize; }                                \
    static void MapVadurDataToVcl(const void* aSelf, const void* aFrom, void* aTo); \
    static void MapVclDataToVadur(const void* aSelf, const void* aFrom, void* aTo); \
  };
// An abstract family root below the static branch.
#define NX_VCL_ABSTRACT_MAPPER(Cls, Parent) \
  class Cls : public Parent {               \
    PL_CLASS_INFO_DECL()                    \
  };

NX_VCL_STATIC_MAPPER(TnxBooleanVclFieldMapper, TnxStaticVclFieldMapper, nxtBoolean, platform::ftBoolean, 0)
NX_VCL_ABSTRACT_MAPPER(TnxBaseCharVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_STATIC_MAPPER(TnxAnsiCharVclFieldMapper, TnxBaseCharVclFieldMapper, nxtChar, platform::ftString, 1)
NX_VCL_STATIC_MAPPER(TnxWideCharVclFieldMapper, TnxBaseCharVclFieldMapper, nxtWideChar, platform::ftWideString, 1)
NX_VCL_STATIC_MAPPER(TnxByte8VclFieldMapper, TnxStaticVclFieldMapper, nxtByte, platform::ftByte, 0)
NX_VCL_STATIC_MAPPER(TnxWord16VclFieldMapper, TnxStaticVclFieldMapper, nxtWord16, platform::ftWord, 0)
NX_VCL_STATIC_MAPPER(TnxWord32VclFieldMapper, TnxStaticVclFieldMapper, nxtWord32, platform::ftLongWord, 0)
NX_VCL_STATIC_MAPPER(TnxAutoIncVclFieldMapper, TnxWord32VclFieldMapper, nxtAutoInc, platform::ftAutoInc, 0)
NX_VCL_STATIC_MAPPER(TnxRecRevVclFieldMapper, TnxWord32VclFieldMapper, nxtRecRev, platform::ftLongWord, 0)
NX_VCL_STATIC_MAPPER(TnxInt8VclFieldMapper, TnxStaticVclFieldMapper, nxtInt8, platform::ftShortint, 0)
NX_VCL_STATIC_MAPPER(TnxInt16VclFieldMapper, TnxStaticVclFieldMapper, nxtInt16, platform::ftSmallint, 0)
NX_VCL_STATIC_MAPPER(TnxInt32VclFieldMapper, TnxStaticVclFieldMapper, nxtInt32, platform::ftInteger, 0)
NX_VCL_STATIC_MAPPER(TnxInt64VclFieldMapper, TnxStaticVclFieldMapper, nxtInt64, platform::ftLargeint, 0)
NX_VCL_STATIC_MAPPER(TnxRefNrVclFieldMapper, TnxInt64VclFieldMapper, nxtRefNr, platform::ftLargeint, 0)
NX_VCL_ABSTRACT_MAPPER(TnxBaseBlobVclFieldMapper, TnxInt64VclFieldMapper)
NX_VCL_STATIC_MAPPER(TnxBlobVclFieldMapper, TnxBaseBlobVclFieldMapper, nxtBlob, platform::ftBlob, 0)
NX_VCL_STATIC_MAPPER(TnxMemoVclFieldMapper, TnxBaseBlobVclFieldMapper, nxtBlobMemo, platform::ftMemo, 0)
NX_VCL_STATIC_MAPPER(TnxWideMemoVclFieldMapper, TnxMemoVclFieldMapper, nxtBlobWideMemo, platform::ftWideMemo, 0)
NX_VCL_STATIC_MAPPER(TnxGraphicVclFieldMapper, TnxBaseBlobVclFieldMapper, nxtBlobGraphic, platform::ftGraphic, 0)
NX_VCL_ABSTRACT_MAPPER(TnxBaseFloatVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_STATIC_MAPPER(TnxSingleVclFieldMapper, TnxBaseFloatVclFieldMapper, nxtSingle, platform::ftFloat, 0)
NX_VCL_STATIC_MAPPER(TnxDoubleVclFieldMapper, TnxBaseFloatVclFieldMapper, nxtDouble, platform::ftFloat, 0)
NX_VCL_STATIC_MAPPER(TnxExtendedVclFieldMapper, TnxBaseFloatVclFieldMapper, nxtExtended, platform::ftExtended, 0)
NX_VCL_STATIC_MAPPER(TnxCurrencyVclFieldMapper, TnxStaticVclFieldMapper, nxtCurrency, platform::ftCurrency, 0)
NX_VCL_STATIC_MAPPER(TnxDateVclFieldMapper, TnxStaticVclFieldMapper, nxtDate, platform::ftDate, 0)
NX_VCL_STATIC_MAPPER(TnxTimeVclFieldMapper, TnxStaticVclFieldMapper, nxtTime, platform::ftTime, 0)
NX_VCL_ABSTRACT_MAPPER(TnxBaseDateTimeVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_STATIC_MAPPER(TnxDateTimeVclFieldMapper, TnxBaseDateTimeVclFieldMapper, nxtDateTime, platform::ftDateTime, 0)
NX_VCL_STATIC_MAPPER(TnxIntervalVclFieldMapper, TnxBaseDateTimeVclFieldMapper, nxtInterval, platform::ftDateTime, 0)

// The GUID's framework form is its 38-character text.
class TnxGuidVclFieldMapper : public TnxStaticVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxFieldType VadurFieldType() { return nxtGuid; }
  static platform::TFieldType VclFieldType() { return platform::ftGuid; }
  static int VclFieldSize() { return 38; }
  static void MapVadurDataToVcl(const void* aSelf, const void* aFrom, void* aTo);
  // A text that is not a GUID raises the platform's conversion error.
  static void MapVclDataToVadur(const void* aSelf, const void* aFrom, void* aTo);
};

// RefNr and RecRev fields are read-only.
template <>
inline void TnxBaseVclFieldMapper::InternalMapVadurDescriptorToVcl<TnxRefNrVclFieldMapper>(
    TnxFieldDescriptor&, platform::TFieldType& aFieldType, std::uint16_t& aSize,
    platform::TFieldAttributes& aAttributes) {
  aFieldType = platform::ftLargeint;
  aSize = 0;
  aAttributes.add(platform::faReadonly);
}
template <>
inline void TnxBaseVclFieldMapper::InternalMapVadurDescriptorToVcl<TnxRecRevVclFieldMapper>(
    TnxFieldDescriptor&, platform::TFieldType& aFieldType, std::uint16_t& aSize,
    platform::TFieldAttributes& aAttributes) {
  aFieldType = platform::ftLongWord;
  aSize = 0;
  aAttributes.add(platform::faReadonly);
}

// ---------------------------------------------------------------------------
// Mappers with per-field parameters: one object per field.

class TnxInstantiatedVclFieldMapper : public TnxBaseVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static int VclFieldSize() { return 0; }

  template <class T>
  static TnxBaseVclFieldMapper* InternalGetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                               TnxVclMapperMethod& aMapperVadurToVcl,
                                                               TnxVclMapperMethod& aMapperVclToVadur) {
    T* mapper = platform::create<T>(aFieldDescriptor);
    aMapperVadurToVcl = nxVclMapperMethodOf<T, &T::MapVadurDataToVcl>(mapper);
    aMapperVclToVadur = nxVclMapperMethodOf<T, &T::MapVclDataToVadur>(mapper);
    return mapper;
  }
  // Units = the definition's Precision, decimals = its Size.
  template <class T>
  static TnxFieldDescriptor* InternalAddDescriptorForFieldDef(TnxFieldsDescriptor& aFieldsDescriptor,
                                                              const platform::TFieldDef& aFieldDef) {
    return aFieldsDescriptor.AddField(aFieldDef.Name(), nxString(), T::VadurFieldType(), aFieldDef.Precision(),
                                      aFieldDef.Size(), aFieldDef.Required());
  }
};

// nxtBCD: stored as currency (ten-thousandths); the framework's form is a
// 34-byte packed decimal.
class TnxBcdVclFieldMapper : public TnxInstantiatedVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  // Units 0: decimals 4 (unless 1 to 4), precision 16 + decimals.
  explicit TnxBcdVclFieldMapper(TnxFieldDescriptor& aFieldDescriptor);
  static TnxFieldType VadurFieldType() { return nxtBCD; }
  static platform::TFieldType VclFieldType() { return platform::ftBCD; }
  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  // Normalised to precision and decimals unless they are 20 and 4 (fraction
  // digits dropped, integer overflow 9985); a value beyond the currency
  // range raises 9985 too. Nothing is stored on failure.
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;

  std::int32_t bcdfmPrecision;
  std::int32_t bcdfmDecimals;
  bool bcdfmNeedNormalize;
};

// nxtFmtBCD: stored as the first fdLength bytes of the packed decimal.
class TnxFmtBcdVclFieldMapper : public TnxInstantiatedVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFmtBcdVclFieldMapper(TnxFieldDescriptor& aFieldDescriptor);
  static TnxFieldType VadurFieldType() { return nxtFmtBCD; }
  static platform::TFieldType VclFieldType() { return platform::ftFMTBcd; }
  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  // Always normalised (fraction digits dropped, integer overflow 9985).
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;

  std::int32_t fbfmPrecision;
  std::int32_t fbfmDecimals;
  std::int32_t fbfmLength;
};

// ---------------------------------------------------------------------------
// Mappers whose size follows the field's units: one object per field.

class TnxVariableSizeVclFieldMapper : public TnxBaseVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxVariableSizeVclFieldMapper(std::int32_t aUnits) : vsvfmUnits(aUnits < 0 ? 0 : aUnits) {}

  // Type and the descriptor's units as size.
  template <class T>
  static void InternalMapVadurDescriptorToVcl(TnxFieldDescriptor& aFieldDescriptor,
                                              platform::TFieldType& aFieldType, std::uint16_t& aSize,
                                              platform::TFieldAttributes& /*aAttributes*/) {
    aFieldType = T::VclFieldType();
    aSize = static_cast<std::uint16_t>(aFieldDescriptor.fdUnits);
  }
  template <class T>
  static TnxBaseVclFieldMapper* InternalGetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                               TnxVclMapperMethod& aMapperVadurToVcl,
                                                               TnxVclMapperMethod& aMapperVclToVadur) {
    T* mapper = platform::create<T>(aFieldDescriptor.fdUnits);
    aMapperVadurToVcl = nxVclMapperMethodOf<T, &T::MapVadurDataToVcl>(mapper);
    aMapperVclToVadur = nxVclMapperMethodOf<T, &T::MapVclDataToVadur>(mapper);
    return mapper;
  }

  std::int32_t vsvfmUnits;
};

class TnxByteArrayVclFieldMapper : public TnxVariableSizeVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxVariableSizeVclFieldMapper::TnxVariableSizeVclFieldMapper;
  static TnxFieldType VadurFieldType() { return nxtByteArray; }
  static platform::TFieldType VclFieldType() { return platform::ftBytes; }
  static std::int32_t UnitsFromParamSize(std::int32_t aParamSize) { return aParamSize; }
  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;
};

// Where a text is cut to a field's bytes: never inside a character of the
// code page the bytes are in (double-byte and UTF-8 code pages).
class TnxCharCut {
 public:
  void SetCodePage(std::uint32_t aCodePage);
  // The longest prefix of the aLength bytes at aText of whole characters
  // that holds at most aMax bytes.
  std::size_t Fit(const char* aText, std::size_t aLength, std::size_t aMax) const;

 private:
  enum : std::uint8_t { ccSingle, ccLeadBytes, ccUtf8 } ccKind = ccSingle;
  std::uint32_t ccLead[8] = {};
};

// Strings with an optional fill width (fixed-width columns).
class TnxBasePaddingVclFieldMapper : public TnxVariableSizeVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxVariableSizeVclFieldMapper::TnxVariableSizeVclFieldMapper;

  // Adds faFixed when the descriptor has a fill width.
  template <class T>
  static void InternalMapVadurDescriptorToVcl(TnxFieldDescriptor& aFieldDescriptor,
                                              platform::TFieldType& aFieldType, std::uint16_t& aSize,
                                              platform::TFieldAttributes& aAttributes) {
    TnxVariableSizeVclFieldMapper::InternalMapVadurDescriptorToVcl<T>(aFieldDescriptor, aFieldType, aSize,
                                                                      aAttributes);
    if (aFieldDescriptor.fdDecPl > 0) aAttributes.add(platform::faFixed);
  }
  // A ftFixedChar or faFixed definition gets the fill width of its length.
  template <class T>
  static TnxFieldDescriptor* InternalAddDescriptorForFieldDef(TnxFieldsDescriptor& aFieldsDescriptor,
                                                              const platform::TFieldDef& aFieldDef) {
    TnxFieldDescriptor* field =
        TnxBaseVclFieldMapper::InternalAddDescriptorForFieldDef<T>(aFieldsDescriptor, aFieldDef);
    if (aFieldDef.DataType() == platform::ftFixedChar || aFieldDef.Attributes().contains(platform::faFixed)) {
      field->fdDecPl = field->fdUnits;
      field->UpdateSetup();
    }
    return field;
  }

  std::uint16_t bpvfmPadding = 0;

 protected:
  // The fill width of the descriptor, never beyond the units the framework
  // buffer holds.
  void SetPadding(std::int32_t aDecPl);
};

// 8-bit strings: a storage code page other than the client's makes the
// translating methods the field's pair.
class TnxBaseStringVclFieldMapper : public TnxBasePaddingVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBasePaddingVclFieldMapper::TnxBasePaddingVclFieldMapper;
  static std::int32_t UnitsFromParamSize(std::int32_t aParamSize) { return aParamSize - 1; }

  template <class T>
  static TnxBaseVclFieldMapper* InternalGetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                               TnxVclMapperMethod& aMapperVadurToVcl,
                                                               TnxVclMapperMethod& aMapperVclToVadur) {
    T* mapper = platform::create<T>(aFieldDescriptor.fdUnits);
    try {
      mapper->Setup(aFieldDescriptor);
    } catch (...) {
      platform::TObject::free(mapper);
      throw;
    }
    const bool padded = mapper->bpvfmPadding > 0;
    if (mapper->Translating()) {
      aMapperVadurToVcl = padded ? nxVclMapperMethodOf<T, &T::MapVadurDataToVclTranslatePadded>(mapper)
                                 : nxVclMapperMethodOf<T, &T::MapVadurDataToVclTranslate>(mapper);
      aMapperVclToVadur = padded ? nxVclMapperMethodOf<T, &T::MapVclDataToVadurTranslatePadded>(mapper)
                                 : nxVclMapperMethodOf<T, &T::MapVclDataToVadurTranslate>(mapper);
    } else {
      aMapperVadurToVcl = padded ? nxVclMapperMethodOf<T, &T::MapVadurDataToVclPadded>(mapper)
                                 : nxVclMapperMethodOf<T, &T::MapVadurDataToVcl>(mapper);
      aMapperVclToVadur = padded ? nxVclMapperMethodOf<T, &T::MapVclDataToVadurPadded>(mapper)
                                 : nxVclMapperMethodOf<T, &T::MapVclDataToVadur>(mapper);
    }
    return mapper;
  }

  // Keeps aField when it is a TStringField (not owned).
  void Bind(platform::TField* aField) override;
  // Whether the translating methods were chosen.
  bool Translating() const { return bsvfmTranslating; }

  platform::TStringField* bsvfmField = nullptr;
  std::uint16_t bsvfmStorageCodepage = 0;

 protected:
  // Fill width, storage code page and the choice of methods, against the
  // client code page at this moment.
  void Setup(TnxFieldDescriptor& aFieldDescriptor);
  bool Transliterating() const { return bsvfmField && bsvfmField->Transliterate(); }
  // Framework text (client code page) to UTF-16 and UTF-16 to the storage
  // code page: text that does not fit raises "Insufficient field size after
  // translation into storage codepage", any other failure the OS error
  // naming "<class>.<aOperation>".
  std::size_t ClientToWide(std::string_view aText, char16_t* aTo, std::size_t aCapacity,
                           const char* aOperation) const;
  std::size_t WideToStorage(std::u16string_view aText, char* aTo, std::size_t aCapacity,
                            const char* aOperation) const;
  // Stored text to the client code page through aWork; any failure, text
  // that does not fit included, is the OS error of "[unknown]".
  std::size_t StorageToClient(std::string_view aText, char* aTo, std::size_t aCapacity, char16_t* aWork,
                              std::size_t aWorkCapacity) const;

  TnxCharCut bsvfmCut;  // cuts of untranslated text (client code page)
  bool bsvfmTranslating = false;
};

// nxtShortString: a length byte, then up to units bytes.
class TnxShortStringVclFieldMapper : public TnxBaseStringVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseStringVclFieldMapper::TnxBaseStringVclFieldMapper;
  static TnxFieldType VadurFieldType() { return nxtShortString; }
  static platform::TFieldType VclFieldType() { return platform::ftString; }
  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclPadded(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurPadded(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclTranslate(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurTranslate(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclTranslatePadded(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurTranslatePadded(const void* aFrom, void* aTo) const;

 private:
  void ToVclTranslated(const void* aFrom, void* aTo, bool aPadded) const;
  void ToVadurTranslated(const void* aFrom, void* aTo, bool aPadded, const char* aOperation) const;
};

// nxtNullString: zero-terminated text in units + 1 bytes.
class TnxNullStringVclFieldMapper : public TnxBaseStringVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseStringVclFieldMapper::TnxBaseStringVclFieldMapper;
  static TnxFieldType VadurFieldType() { return nxtNullString; }
  static platform::TFieldType VclFieldType() { return platform::ftString; }
  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclPadded(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurPadded(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclTranslate(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurTranslate(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclTranslatePadded(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurTranslatePadded(const void* aFrom, void* aTo) const;

 private:
  void ToVclTranslated(const void* aFrom, void* aTo, bool aPadded) const;
  void ToVadurTranslated(const void* aFrom, void* aTo, bool aPadded) const;
};

// nxtWideString: zero-terminated UTF-16 in units + 1 units, both sides.
class TnxWideStringVclFieldMapper : public TnxBasePaddingVclFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBasePaddingVclFieldMapper::TnxBasePaddingVclFieldMapper;
  static TnxFieldType VadurFieldType() { return nxtWideString; }
  static platform::TFieldType VclFieldType() { return platform::ftWideString; }
  static std::int32_t UnitsFromParamSize(std::int32_t aParamSize) { return aParamSize / 2; }

  template <class T>
  static TnxBaseVclFieldMapper* InternalGetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                               TnxVclMapperMethod& aMapperVadurToVcl,
                                                               TnxVclMapperMethod& aMapperVclToVadur) {
    T* mapper = platform::create<T>(aFieldDescriptor.fdUnits);
    mapper->SetPadding(aFieldDescriptor.fdDecPl);
    const bool padded = mapper->bpvfmPadding > 0;
    aMapperVadurToVcl = padded ? nxVclMapperMethodOf<T, &T::MapVadurDataToVclPadded>(mapper)
                               : nxVclMapperMethodOf<T, &T::MapVadurDataToVcl>(mapper);
    aMapperVclToVadur = padded ? nxVclMapperMethodOf<T, &T::MapVclDataToVadurPadded>(mapper)
                               : nxVclMapperMethodOf<T, &T::MapVclDataToVadur>(mapper);
    return mapper;
  }

  void MapVadurDataToVcl(const void* aFrom, void* aTo) const;
  void MapVclDataToVadur(const void* aFrom, void* aTo) const;
  void MapVadurDataToVclPadded(const void* aFrom, void* aTo) const;
  void MapVclDataToVadurPadded(const void* aFrom, void* aTo) const;
};

// ---------------------------------------------------------------------------
// Parameters and the registries

// One framework parameter into aDesc's piDataType and piData (name and kind
// are the caller's). A null parameter gives empty data (NULL); a non-null
// parameter whose type has no mapper class is refused with
// "Invalid value for param '<name>'".
void nxMapParamToSqlParamDesc(const platform::TParam& aParam, TnxSqlParamDesc& aDesc);

// The class registered for an engine or framework type; nil when none.
const platform::ClassInfo* nxVclMapperClassForVadurType(TnxFieldType aType);
const platform::ClassInfo* nxVclMapperClassForVclType(platform::TFieldType aType);
// Module start-up only: aClass (with its class table) under its engine
// type, or under aVclType; a later registration of an entry replaces it.
void RegisterVadurFieldMapper(const platform::ClassInfo& aClass);
void RegisterVclFieldMapper(const platform::ClassInfo& aClass, platform::TFieldType aVclType);

// Counted start-up (fills both registries) and finalisation (sets all 32 +
// 52 entries back to nil). Call from the main thread.
void nxdbConversionInitialize();
void nxdbConversionFinalize();
