#include "nxdbConversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

#include "nxdbBase.h"
#include "nxdbConversionInt.h"
#include "nxllLockedFuncs.h"
#include "nxllUtils.h"
#include "nxsdFmtBcd.h"
#include "nxsdNativeVariantConverter.h"
#include "plCodePage.h"
#include "plGuid.h"

using namespace nxdbconv;

#define NX_VCL_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxVclFieldMapperFuncs<Cls>))
#define NX_VCL_MAPPER_BRANCH(Cls, Parent) PL_CLASS_INFO_IMPL(Cls, Parent, #Cls, nullptr)

NX_VCL_MAPPER_BRANCH(TnxBaseVclFieldMapper, TnxObject)
NX_VCL_MAPPER_BRANCH(TnxStaticVclFieldMapper, TnxBaseVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxBooleanVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBaseCharVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxAnsiCharVclFieldMapper, TnxBaseCharVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxWideCharVclFieldMapper, TnxBaseCharVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxByte8VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxWord16VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxWord32VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxAutoIncVclFieldMapper, TnxWord32VclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxRecRevVclFieldMapper, TnxWord32VclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxInt8VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxInt16VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxInt32VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxInt64VclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxRefNrVclFieldMapper, TnxInt64VclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBaseBlobVclFieldMapper, TnxInt64VclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxBlobVclFieldMapper, TnxBaseBlobVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxMemoVclFieldMapper, TnxBaseBlobVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxWideMemoVclFieldMapper, TnxMemoVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxGraphicVclFieldMapper, TnxBaseBlobVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBaseFloatVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxSingleVclFieldMapper, TnxBaseFloatVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxDoubleVclFieldMapper, TnxBaseFloatVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxExtendedVclFieldMapper, TnxBaseFloatVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxCurrencyVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxGuidVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxDateVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxTimeVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBaseDateTimeVclFieldMapper, TnxStaticVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxDateTimeVclFieldMapper, TnxBaseDateTimeVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxIntervalVclFieldMapper, TnxBaseDateTimeVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxInstantiatedVclFieldMapper, TnxBaseVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxBcdVclFieldMapper, TnxInstantiatedVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxFmtBcdVclFieldMapper, TnxInstantiatedVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxVariableSizeVclFieldMapper, TnxBaseVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxByteArrayVclFieldMapper, TnxVariableSizeVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBasePaddingVclFieldMapper, TnxVariableSizeVclFieldMapper)
NX_VCL_MAPPER_BRANCH(TnxBaseStringVclFieldMapper, TnxBasePaddingVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxShortStringVclFieldMapper, TnxBaseStringVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxNullStringVclFieldMapper, TnxBaseStringVclFieldMapper)
NX_VCL_MAPPER_CLASS(TnxWideStringVclFieldMapper, TnxBasePaddingVclFieldMapper)

// ===========================================================================
// Registries

namespace {

std::array<const platform::ClassInfo*, nxFieldTypeCount> gVadurMappers{};
std::array<const platform::ClassInfo*, platform::kFieldTypeCount> gVclMappers{};

const TnxVclFieldMapperClassFuncs* funcsOf(const platform::ClassInfo* aClass) {
  return aClass ? aClass->table<TnxVclFieldMapperClassFuncs>() : nullptr;
}
const TnxVclFieldMapperClassFuncs* vadurFuncs(TnxFieldType aType) {
  return aType < nxFieldTypeCount ? funcsOf(gVadurMappers[aType]) : nullptr;
}
const TnxVclFieldMapperClassFuncs* vclFuncs(platform::TFieldType aType) {
  return aType < platform::kFieldTypeCount ? funcsOf(gVclMappers[aType]) : nullptr;
}

}  // namespace

const platform::ClassInfo* nxVclMapperClassForVadurType(TnxFieldType aType) {
  return aType < nxFieldTypeCount ? gVadurMappers[aType] : nullptr;
}

const platform::ClassInfo* nxVclMapperClassForVclType(platform::TFieldType aType) {
  return aType < platform::kFieldTypeCount ? gVclMappers[aType] : nullptr;
}

void RegisterVadurFieldMapper(const platform::ClassInfo& aClass) {
  const auto* funcs = funcsOf(&aClass);
  nxAssert(funcs != nullptr, "mapper class without class functions");
  gVadurMappers[funcs->VadurFieldType()] = &aClass;
}

void RegisterVclFieldMapper(const platform::ClassInfo& aClass, platform::TFieldType aVclType) {
  nxAssert(funcsOf(&aClass) != nullptr, "mapper class without class functions");
  nxAssert(aVclType < platform::kFieldTypeCount, "framework field type out of range");
  gVclMappers[aVclType] = &aClass;
}

// ===========================================================================
// The class-level operations

TnxFieldType TnxBaseVclFieldMapper::VadurFieldType() {
  nxAssert(false, "TnxBaseVclFieldMapper.VadurFieldType");
  return nxtBoolean;
}

std::uint32_t TnxBaseVclFieldMapper::StorageLength(TnxFieldType aType, std::int32_t aUnits) {
  // The descriptor's normalisation without its refusal of lengths beyond a
  // record: a parameter's value may be longer than any field.
  std::int32_t decPl = 0;
  bool required = false;
  const std::int64_t length = nxFieldTypeSetup(aType, aUnits, decPl, required);
  return length <= 0 ? 0 : length > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(length);
}

TnxBaseVclFieldMapper* TnxBaseVclFieldMapper::GetMapperForDescriptor(TnxFieldDescriptor& aFieldDescriptor,
                                                                     TnxVclMapperMethod& aMapperVadurToVcl,
                                                                     TnxVclMapperMethod& aMapperVclToVadur) {
  aMapperVadurToVcl.Clear();
  aMapperVclToVadur.Clear();
  if (aFieldDescriptor.fdNoClientAccess) return nullptr;
  const auto* funcs = vadurFuncs(aFieldDescriptor.fdType);
  if (!funcs) return nullptr;
  return funcs->InternalGetMapperForDescriptor(aFieldDescriptor, aMapperVadurToVcl, aMapperVclToVadur);
}

void TnxBaseVclFieldMapper::MapVadurDescriptorToVcl(TnxFieldDescriptor& aFieldDescriptor,
                                                    platform::TFieldType& aFieldType, std::uint16_t& aSize,
                                                    platform::TFieldAttributes& aAttributes) {
  aFieldType = platform::ftUnknown;
  aSize = 0;
  aAttributes = {};
  if (aFieldDescriptor.fdNoClientAccess) aAttributes.add(platform::faHiddenCol).add(platform::faReadonly);
  if (aFieldDescriptor.fdRequired) aAttributes.add(platform::faRequired);
  if (const auto* funcs = vadurFuncs(aFieldDescriptor.fdType))
    funcs->InternalMapVadurDescriptorToVcl(aFieldDescriptor, aFieldType, aSize, aAttributes);
}

TnxFieldDescriptor* TnxBaseVclFieldMapper::AddDescriptorForFieldDef(TnxFieldsDescriptor& aFieldsDescriptor,
                                                                    const platform::TFieldDef& aFieldDef) {
  const auto* funcs = vclFuncs(aFieldDef.DataType());
  return funcs ? funcs->InternalAddDescriptorForFieldDef(aFieldsDescriptor, aFieldDef) : nullptr;
}

void TnxBaseVclFieldMapper::MapParamTypeAndSizeToVadur(platform::TFieldType aParamType, std::int32_t aParamSize,
                                                       TnxFieldType& aVadurType, std::uint32_t& aVadurSize) {
  aVadurSize = 0;
  if (const auto* funcs = vclFuncs(aParamType))
    funcs->InternalMapParamTypeAndSizeToVadur(aParamType, aParamSize, aVadurType, aVadurSize);
}

platform::TFieldType TnxBaseVclFieldMapper::MapVadurToParamType(TnxFieldType aVadurType) {
  const auto* funcs = vadurFuncs(aVadurType);
  return funcs ? funcs->InternalMapVadurToParamType(aVadurType) : platform::ftUnknown;
}

// ===========================================================================
// Class-bound conversions

namespace {

template <std::size_t N>
inline void copyBytes(const void* aFrom, void* aTo) {
  std::memcpy(aTo, aFrom, N);
}

}  // namespace

#define NX_VCL_COPY_MAPPER(Cls, N)                                                    \
  void Cls::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) { copyBytes<N>(aFrom, aTo); } \
  void Cls::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) { copyBytes<N>(aFrom, aTo); }

NX_VCL_COPY_MAPPER(TnxByte8VclFieldMapper, 1)
NX_VCL_COPY_MAPPER(TnxWord16VclFieldMapper, 2)
NX_VCL_COPY_MAPPER(TnxWord32VclFieldMapper, 4)
NX_VCL_COPY_MAPPER(TnxAutoIncVclFieldMapper, 4)
NX_VCL_COPY_MAPPER(TnxInt8VclFieldMapper, 1)
NX_VCL_COPY_MAPPER(TnxInt16VclFieldMapper, 2)
NX_VCL_COPY_MAPPER(TnxInt32VclFieldMapper, 4)
NX_VCL_COPY_MAPPER(TnxInt64VclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxBlobVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxMemoVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxWideMemoVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxGraphicVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxDoubleVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxExtendedVclFieldMapper, 10)
NX_VCL_COPY_MAPPER(TnxDateVclFieldMapper, 4)
NX_VCL_COPY_MAPPER(TnxTimeVclFieldMapper, 4)
NX_VCL_COPY_MAPPER(TnxDateTimeVclFieldMapper, 8)
NX_VCL_COPY_MAPPER(TnxIntervalVclFieldMapper, 8)

void TnxBooleanVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  store<std::uint16_t>(aTo, *static_cast<const std::uint8_t*>(aFrom) == 0 ? 0 : 0xFFFF);
}
void TnxBooleanVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  *static_cast<std::uint8_t*>(aTo) = load<std::uint16_t>(aFrom) == 0 ? 0 : 0xFF;
}

void TnxAnsiCharVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  auto* to = static_cast<char*>(aTo);
  to[0] = *static_cast<const char*>(aFrom);
  to[1] = 0;
}
void TnxAnsiCharVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  *static_cast<char*>(aTo) = *static_cast<const char*>(aFrom);
}

void TnxWideCharVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  store<char16_t>(aTo, load<char16_t>(aFrom));
  store<char16_t>(static_cast<char*>(aTo) + 2, 0);
}
void TnxWideCharVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  copyBytes<2>(aFrom, aTo);
}

void TnxRecRevVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  copyBytes<4>(aFrom, aTo);
}
void TnxRecRevVclFieldMapper::MapVclDataToVadur(const void*, const void*, void*) {
  throw EnxDatabaseError(nxErrReadOnlyField, u"RecRev fields are read-only");
}

void TnxRefNrVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  copyBytes<8>(aFrom, aTo);
}
void TnxRefNrVclFieldMapper::MapVclDataToVadur(const void*, const void*, void*) {
  throw EnxDatabaseError(nxErrReadOnlyField, u"RefNr fields are read-only");
}

void TnxSingleVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  store<double>(aTo, load<float>(aFrom));
}
void TnxSingleVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  // The conversion rounds to the nearest float (IEEE); beyond the float
  // range it gives an infinity.
  store<float>(aTo, static_cast<float>(load<double>(aFrom)));
}

void TnxCurrencyVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  store<double>(aTo, static_cast<double>(load<std::int64_t>(aFrom)) / 10000.0);
}
void TnxCurrencyVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  // Ties to even in the default rounding mode. A value outside the 64-bit
  // range (NaN and infinities included) would make the conversion
  // undefined: it is the BCD overflow, and nothing is stored.
  const double units = std::nearbyint(load<double>(aFrom) * 10000.0);
  if (!(units >= -9223372036854775808.0 && units < 9223372036854775808.0)) nxRaiseBcdOverflow();
  store<std::int64_t>(aTo, static_cast<std::int64_t>(units));
}

void TnxGuidVclFieldMapper::MapVadurDataToVcl(const void*, const void* aFrom, void* aTo) {
  // The text of nxGUIDToAnsiStr, written in place: a class-bound mapper
  // allocates nothing.
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto guid = load<platform::Guid>(aFrom);
  auto* to = static_cast<char*>(aTo);
  auto hex = [&to](std::uint64_t aValue, int aDigits) {
    for (int i = aDigits - 1; i >= 0; --i) *to++ = kHex[(aValue >> (4 * i)) & 0xF];
  };
  *to++ = '{';
  hex(guid.D1, 8);
  *to++ = '-';
  hex(guid.D2, 4);
  *to++ = '-';
  hex(guid.D3, 4);
  *to++ = '-';
  hex(guid.D4[0], 2);
  hex(guid.D4[1], 2);
  *to++ = '-';
  for (int i = 2; i < 8; ++i) hex(guid.D4[i], 2);
  *to++ = '}';
  *to = 0;
}
void TnxGuidVclFieldMapper::MapVclDataToVadur(const void*, const void* aFrom, void* aTo) {
  // The framework buffer holds 38 characters and the terminator.
  const auto* from = static_cast<const char*>(aFrom);
  const platform::Guid guid = platform::stringToGuid(std::string_view(from, boundedLength(from, 39)));
  store(aTo, guid);
}

// ===========================================================================
// BCD and FmtBCD

TnxBcdVclFieldMapper::TnxBcdVclFieldMapper(TnxFieldDescriptor& aFieldDescriptor)
    : bcdfmPrecision(aFieldDescriptor.fdUnits), bcdfmDecimals(aFieldDescriptor.fdDecPl) {
  if (aFieldDescriptor.fdUnits == 0) {
    if (aFieldDescriptor.fdDecPl <= 0 || aFieldDescriptor.fdDecPl > 4) bcdfmDecimals = 4;
    bcdfmPrecision = 16 + bcdfmDecimals;
  }
  bcdfmNeedNormalize = !(bcdfmPrecision == 20 && bcdfmDecimals == 4);
}

void TnxBcdVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  TnxFmtBcd bcd;
  nxCurrToBcdChecked(32, 4, 0, bcd, load<std::int64_t>(aFrom));
  std::memcpy(aTo, &bcd, sizeof bcd);
}

void TnxBcdVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  TnxFmtBcd value = load<TnxFmtBcd>(aFrom);
  if (bcdfmNeedNormalize) {
    TnxFmtBcd normalized;
    nxNormalizeBcdChecked(value, bcdfmPrecision, bcdfmDecimals, normalized, nxBcdLossLow);
    value = normalized;
  }
  // Without normalising (precision 20, scale 4) nothing bounds the integer
  // digits: a value beyond the currency range is the BCD overflow.
  std::int64_t currency = 0;
  if (!nxTryBcdToCurr(value, currency)) nxRaiseBcdOverflow();
  store(aTo, currency);
}

TnxFmtBcdVclFieldMapper::TnxFmtBcdVclFieldMapper(TnxFieldDescriptor& aFieldDescriptor)
    : fbfmPrecision(aFieldDescriptor.fdUnits),
      fbfmDecimals(aFieldDescriptor.fdDecPl),
      // Never more than the packed decimal the framework buffer holds.
      fbfmLength(std::clamp<std::int32_t>(aFieldDescriptor.fdLength, 0, sizeof(TnxFmtBcd))) {}

void TnxFmtBcdVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  std::memset(aTo, 0, sizeof(TnxFmtBcd));
  std::memcpy(aTo, aFrom, static_cast<std::size_t>(fbfmLength));
}

void TnxFmtBcdVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  TnxFmtBcd normalized;
  nxNormalizeBcdChecked(load<TnxFmtBcd>(aFrom), fbfmPrecision, fbfmDecimals, normalized, nxBcdLossLow);
  std::memcpy(aTo, &normalized, static_cast<std::size_t>(fbfmLength));
}

// ===========================================================================
// Byte arrays

void TnxByteArrayVclFieldMapper::MapVadurDataToVcl(const void* aFrom, void* aTo) const {
  std::memcpy(aTo, aFrom, static_cast<std::size_t>(vsvfmUnits));
}
void TnxByteArrayVclFieldMapper::MapVclDataToVadur(const void* aFrom, void* aTo) const {
  std::memcpy(aTo, aFrom, static_cast<std::size_t>(vsvfmUnits));
}

// ===========================================================================
// Parameters

void nxMapParamToSqlParamDesc(const platform::TParam& aParam, TnxSqlParamDesc& aDesc) {
  aDesc.piDataType = nxtBoolean;
  aDesc.piData.clear();
  const platform::TFieldType type = aParam.DataType();
  // The size reaches only the units of the variable-size classes; the
  // others ignore it (and a BLOB's value need not have a data size).
  std::int32_t size = 0;
  switch (type) {
    case platform::ftWideString:
      size = aParam.IsNull() ? 0 : static_cast<std::int32_t>(aParam.AsWideString().size());
      break;
    case platform::ftLargeint: size = 8; break;
    case platform::ftGuid: size = 16; break;
    case platform::ftString:
    case platform::ftFixedChar:
    case platform::ftBytes: size = aParam.IsNull() ? 0 : aParam.GetDataSize(); break;
    default: break;
  }
  std::uint32_t vadurSize = 0;
  TnxBaseVclFieldMapper::MapParamTypeAndSizeToVadur(type, size, aDesc.piDataType, vadurSize);
  if (aParam.IsNull()) return;
  // A type without a class has no storage form to send: sending it as the
  // zero type (Boolean) would change the value.
  if (!nxVclMapperClassForVclType(type))
    throw EnxDatabaseError(u"Invalid value for param '%s'", {aParam.Name()});

  const platform::Variant& value = aParam.Value();
  switch (aDesc.piDataType) {
    case nxtBlob:
    case nxtBlobGraphic:
      if (value.isArray()) {
        if (value.isByteArray()) {
          const auto bytes = value.bytes();
          aDesc.piData.assign(bytes.begin(), bytes.end());
        } else {
          const std::int32_t count = nxVarArrayLength(value);
          const std::int32_t low = value.arrayLowBound();
          aDesc.piData.resize(static_cast<std::size_t>(count > 0 ? count : 0));
          for (std::int32_t i = 0; i < count; ++i)
            aDesc.piData[static_cast<std::size_t>(i)] = value.arrayGet(low + i).toUInt8();
        }
      } else {
        const int dataSize = aParam.GetDataSize();
        aDesc.piData.resize(static_cast<std::size_t>(dataSize > 0 ? dataSize : 0));
        if (dataSize > 0) aParam.GetData(aDesc.piData.data());
      }
      break;
    case nxtBCD:
      nxVariantToBytes(nxtBCD, platform::CP_UTF8, aParam.Precision() != 0 ? aParam.Precision() : 20,
                       aParam.NumericScale() != 0 ? aParam.NumericScale() : 4, value, aDesc.piData);
      break;
    case nxtFmtBCD:
      nxVariantToBytes(nxtFmtBCD, platform::CP_UTF8, aParam.Precision() != 0 ? aParam.Precision() : 64,
                       aParam.NumericScale() != 0 ? aParam.NumericScale() : 24, value, aDesc.piData);
      break;
    default: nxVariantToBytes(aDesc.piDataType, platform::CP_UTF8, 0, 0, value, aDesc.piData); break;
  }
}

// ===========================================================================
// Start-up

namespace {

TnxUseCount gUseCount{0};

void startDictionary() { nxsdDataDictionaryInitialize(); }
void finishDictionary() { nxsdDataDictionaryFinalize(); }

constexpr TnxModuleDependency kDependencies[] = {
    {nxllUtilsInitialize, nxllUtilsFinalize},
    {startDictionary, finishDictionary},
};

template <class T>
void registerVadur() {
  RegisterVadurFieldMapper(T::staticClassInfo());
}
template <class T>
void registerVcl(std::initializer_list<platform::TFieldType> aTypes) {
  for (platform::TFieldType type : aTypes) RegisterVclFieldMapper(T::staticClassInfo(), type);
}

void clearRegistries() {
  gVadurMappers.fill(nullptr);
  gVclMappers.fill(nullptr);
}

void registerMappers() {
  using namespace platform;
  registerVadur<TnxBooleanVclFieldMapper>();
  registerVadur<TnxAnsiCharVclFieldMapper>();
  registerVadur<TnxWideCharVclFieldMapper>();
  registerVadur<TnxByte8VclFieldMapper>();
  registerVadur<TnxWord16VclFieldMapper>();
  registerVadur<TnxWord32VclFieldMapper>();
  registerVadur<TnxInt8VclFieldMapper>();
  registerVadur<TnxInt16VclFieldMapper>();
  registerVadur<TnxInt32VclFieldMapper>();
  registerVadur<TnxInt64VclFieldMapper>();
  registerVadur<TnxRefNrVclFieldMapper>();
  registerVadur<TnxAutoIncVclFieldMapper>();
  registerVadur<TnxRecRevVclFieldMapper>();
  registerVadur<TnxSingleVclFieldMapper>();
  registerVadur<TnxDoubleVclFieldMapper>();
  registerVadur<TnxExtendedVclFieldMapper>();
  registerVadur<TnxCurrencyVclFieldMapper>();
  registerVadur<TnxBcdVclFieldMapper>();
  registerVadur<TnxFmtBcdVclFieldMapper>();
  registerVadur<TnxDateVclFieldMapper>();
  registerVadur<TnxTimeVclFieldMapper>();
  registerVadur<TnxDateTimeVclFieldMapper>();
  registerVadur<TnxIntervalVclFieldMapper>();
  registerVadur<TnxBlobVclFieldMapper>();
  registerVadur<TnxMemoVclFieldMapper>();
  registerVadur<TnxWideMemoVclFieldMapper>();
  registerVadur<TnxGraphicVclFieldMapper>();
  registerVadur<TnxByteArrayVclFieldMapper>();
  registerVadur<TnxShortStringVclFieldMapper>();
  registerVadur<TnxNullStringVclFieldMapper>();
  registerVadur<TnxWideStringVclFieldMapper>();
  registerVadur<TnxGuidVclFieldMapper>();

  registerVcl<TnxBooleanVclFieldMapper>({ftBoolean});
  registerVcl<TnxByte8VclFieldMapper>({ftByte});
  registerVcl<TnxWord16VclFieldMapper>({ftWord});
  registerVcl<TnxWord32VclFieldMapper>({ftLongWord});
  registerVcl<TnxInt8VclFieldMapper>({ftShortint});
  registerVcl<TnxInt16VclFieldMapper>({ftSmallint});
  registerVcl<TnxInt32VclFieldMapper>({ftInteger});
  registerVcl<TnxInt64VclFieldMapper>({ftLargeint});
  registerVcl<TnxAutoIncVclFieldMapper>({ftAutoInc});
  registerVcl<TnxDoubleVclFieldMapper>({ftFloat});
  registerVcl<TnxExtendedVclFieldMapper>({ftExtended});
  registerVcl<TnxCurrencyVclFieldMapper>({ftCurrency});
  registerVcl<TnxBcdVclFieldMapper>({ftBCD});
  registerVcl<TnxFmtBcdVclFieldMapper>({ftFMTBcd});
  registerVcl<TnxDateVclFieldMapper>({ftDate});
  registerVcl<TnxTimeVclFieldMapper>({ftTime});
  registerVcl<TnxDateTimeVclFieldMapper>({ftDateTime, ftTimeStamp});
  registerVcl<TnxBlobVclFieldMapper>({ftBlob, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftBlob});
  registerVcl<TnxMemoVclFieldMapper>({ftMemo});
  registerVcl<TnxWideMemoVclFieldMapper>({ftWideMemo});
  registerVcl<TnxGraphicVclFieldMapper>({ftGraphic});
  registerVcl<TnxByteArrayVclFieldMapper>({ftBytes});
  registerVcl<TnxNullStringVclFieldMapper>({ftString, ftFixedChar});
  registerVcl<TnxWideStringVclFieldMapper>({ftWideString});
  registerVcl<TnxGuidVclFieldMapper>({ftGuid});
}

}  // namespace

void nxdbConversionInitialize() {
  nxUseCountStart(gUseCount, kDependencies, [] {
    try {
      registerMappers();
    } catch (...) {
      clearRegistries();
      throw;
    }
  });
}

void nxdbConversionFinalize() { nxUseCountFinish(gUseCount, kDependencies, [] { clearRegistries(); }); }
