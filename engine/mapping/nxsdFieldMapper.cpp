#include "nxsdFieldMapper.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxsdFieldMapperInt.h"
#include "plLocale.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFieldMapperException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxFieldMapperDescriptorException, EnxBaseRegisterableDescriptorException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseFieldMapper, TnxObject, "TnxBaseFieldMapper", nullptr,
                         platform::bindClassTable(nxFieldMapperFuncs<TnxBaseFieldMapper>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldMapperDescriptor, TnxBaseRegisterableDescriptor, "TnxFieldMapperDescriptor",
                         nullptr, platform::bindClassTable(nxFieldMapperDescriptorFuncs<TnxFieldMapperDescriptor>))

namespace {

TnxClassList gFieldMapperDescriptorClasses;

// The matrix; nil until start-up creates it.
using TnxCell = std::vector<const platform::ClassInfo*>;
std::array<std::array<TnxCell, nxFieldTypeCount>, nxFieldTypeCount>* gMatrix = nullptr;

constexpr const char16_t* kActionNames[] = {u"dlaFail", u"dlaNull", u"dlaBestFit"};

[[noreturn]] void raiseUnsupported(const nxString& aName) {
  throw EnxFieldMapperDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                          {nxString(u"FieldMapperDescriptor"), aName});
}

}  // namespace

// ===========================================================================
// The descriptor

TnxFieldMapperDescriptor::TnxFieldMapperDescriptor(const nxString& aSourceName, const nxString& aTargetName,
                                                   TnxDataLossAction aDataLossAction)
    : bfcdSourceName(aSourceName), bfcdTargetName(aTargetName), bfcdDataLossAction(aDataLossAction) {}

TnxClassList& TnxFieldMapperDescriptor::GetList() { return gFieldMapperDescriptorClasses; }

TnxFieldMapperDescriptor* TnxFieldMapperDescriptor::CreateFromReader(TnxReader& aReader) {
  const nxString name = aReader.ReadIdent();
  const platform::ClassInfo* cls = nxFindClassIn(gFieldMapperDescriptorClasses, platform::toUtf8(name));
  const auto* funcs = cls ? cls->table<TnxFieldMapperDescriptorClassFuncs>() : nullptr;
  if (!funcs || !cls->inheritsFrom(staticClassInfo())) raiseUnsupported(name);
  const nxString source = aReader.ReadString();
  const nxString target = aReader.ReadString();
  const nxString actionName = aReader.ReadString();
  const auto* found = std::find(std::begin(kActionNames), std::end(kActionNames), actionName);
  if (found == std::end(kActionNames))
    throw EnxFieldMapperDescriptorException(nxErrIncompatibleStream);
  TnxFieldMapperDescriptor* result =
      funcs->create(source, target, static_cast<TnxDataLossAction>(found - std::begin(kActionNames)));
  try {
    result->InternalLoadFromReader(aReader);
  } catch (...) {
    platform::TObject::free(result);
    throw;
  }
  return result;
}

void TnxFieldMapperDescriptor::WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteIdent(platform::fromUtf8(classInfo().name));
  aWriter.WriteString(platform::UnicodeStringView(bfcdSourceName));
  aWriter.WriteString(platform::UnicodeStringView(bfcdTargetName));
  aWriter.WriteString(platform::UnicodeStringView(kActionNames[bfcdDataLossAction <= dlaBestFit ? bfcdDataLossAction : 0]));
  InternalWriteToWriter(aWriter, aClientVersion);
}

void TnxFieldMapperDescriptor::InternalWriteToWriter(TnxWriter& aWriter, std::int32_t /*aClientVersion*/) {
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(bfcdApplyDefault);
}

void TnxFieldMapperDescriptor::InternalLoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxFieldMapperDescriptorException(nxErrIncompatibleStream);
  bfcdApplyDefault = aReader.ReadBoolean();
}

// ===========================================================================
// The registry

TnxBaseFieldMapper* TnxBaseFieldMapper::InternalCreateMapper(TnxFieldDescriptor&, TnxAbstractCursor*,
                                                             TnxFieldDescriptor&, TnxAbstractCursor*,
                                                             const TnxFieldMapperDescriptor*, TnxMappingMethod&) {
  return nullptr;
}

TnxBaseFieldMapper* TnxBaseFieldMapper::CreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                     TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                     const TnxFieldMapperDescriptor* aMapperDesc,
                                                     TnxMappingMethod& aMapper) {
  aMapper.Clear();
  TnxBaseFieldMapper* result = nullptr;
  if (!gMatrix || aSourceField.fdType >= nxFieldTypeCount || aTargetField.fdType >= nxFieldTypeCount) return result;
  const TnxCell& cell = (*gMatrix)[aSourceField.fdType][aTargetField.fdType];
  for (auto it = cell.rbegin(); it != cell.rend(); ++it) {
    const auto* funcs = (*it)->table<TnxFieldMapperClassFuncs>();
    result = funcs->InternalCreateMapper(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc,
                                         aMapper);
    if (aMapper.Assigned()) break;
  }
  return result;
}

TnxBaseFieldMapper* TnxBaseFieldMapper::CreateMapper(const TnxBaseTableDescriptor& aSourceTable,
                                                     TnxAbstractCursor* aSourceCursor,
                                                     const TnxBaseTableDescriptor& aTargetTable,
                                                     TnxAbstractCursor* aTargetCursor,
                                                     const TnxFieldMapperDescriptor& aMapperDesc,
                                                     TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const std::int32_t source = aSourceTable.GetFieldFromName(aMapperDesc.SourceName());
  const std::int32_t target = aTargetTable.GetFieldFromName(aMapperDesc.TargetName());
  if (source < 0 || target < 0) throw EnxBaseFieldMapperException(nxErrInvalidFieldName);
  return CreateMapper(*aSourceTable.FieldsDescriptor()->Fields(source), aSourceCursor,
                      *aTargetTable.FieldsDescriptor()->Fields(target), aTargetCursor, &aMapperDesc, aMapper);
}

void RegisterFieldMapper(const platform::ClassInfo& aClass, TnxFieldType aSourceType, TnxFieldType aTargetType) {
  nxAssert(gMatrix && aSourceType < nxFieldTypeCount && aTargetType < nxFieldTypeCount &&
               aClass.table<TnxFieldMapperClassFuncs>(),
           "field mapper registration");
  (*gMatrix)[aSourceType][aTargetType].push_back(&aClass);
}

void UnregisterFieldMapper(const platform::ClassInfo& aClass) {
  if (!gMatrix) return;
  for (auto& row : *gMatrix)
    for (TnxCell& cell : row) std::erase(cell, &aClass);
}

std::span<const platform::ClassInfo* const> nxFieldMapperCell(TnxFieldType aSourceType, TnxFieldType aTargetType) {
  if (!gMatrix || aSourceType >= nxFieldTypeCount || aTargetType >= nxFieldTypeCount) return {};
  const TnxCell& cell = (*gMatrix)[aSourceType][aTargetType];
  return {cell.data(), cell.size()};
}

// ===========================================================================
// Shared helpers

namespace nxfm {

TnxResult putText8(void* aTarget, bool aShort, std::int32_t aLength, std::string_view aText, bool aTruncate) {
  const auto capacity = static_cast<std::size_t>(std::max(aLength - 1, 0));
  std::size_t n = aText.size();
  if (n > capacity) {
    if (!aTruncate) return nxErrInvalidFieldXform;
    n = capacity;
  }
  if (aShort)
    writeShort(aTarget, aText.data(), n);
  else
    writeNull(aTarget, aText.data(), n);
  return 0;
}

TnxResult putText16(void* aTarget, std::int32_t aLength, std::u16string_view aText, bool aTruncate) {
  const auto capacity = static_cast<std::size_t>(std::max(aLength / 2 - 1, 0));
  std::size_t n = aText.size();
  if (n > capacity) {
    if (!aTruncate) return nxErrInvalidFieldXform;
    n = capacity;
  }
  writeWide(aTarget, aText.data(), n);
  return 0;
}

std::string_view readShort(const void* aSource, std::int32_t aLength) {
  const auto* p = static_cast<const char*>(aSource);
  const std::size_t n = std::min<std::size_t>(static_cast<std::uint8_t>(p[0]), static_cast<std::size_t>(std::max(aLength - 1, 0)));
  return {p + 1, n};
}

std::string_view readNull(const void* aSource, std::int32_t aLength) {
  const auto* p = static_cast<const char*>(aSource);
  const auto max = static_cast<std::size_t>(std::max(aLength, 0));
  const void* zero = std::memchr(p, 0, max);
  return {p, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - p) : max};
}

std::u16string_view readWide(const void* aSource, std::int32_t aLength, std::u16string& aBuffer) {
  const auto* p = static_cast<const std::uint8_t*>(aSource);
  const auto max = static_cast<std::size_t>(std::max(aLength, 0)) / 2;
  std::size_t n = 0;
  while (n < max && (p[2 * n] | p[2 * n + 1]) != 0) ++n;
  aBuffer.resize(n);
  std::memcpy(aBuffer.data(), p, n * 2);
  return aBuffer;
}

std::u16string& wideScratch() {
  thread_local std::u16string buffer;
  return buffer;
}

void writeShort(void* aTarget, const char* aBytes, std::size_t aCount) {
  auto* p = static_cast<char*>(aTarget);
  p[0] = static_cast<char>(aCount);
  if (aCount) std::memmove(p + 1, aBytes, aCount);
}

void writeNull(void* aTarget, const char* aBytes, std::size_t aCount) {
  auto* p = static_cast<char*>(aTarget);
  if (aCount) std::memmove(p, aBytes, aCount);
  p[aCount] = 0;
}

void writeWide(void* aTarget, const char16_t* aUnits, std::size_t aCount) {
  auto* p = static_cast<char*>(aTarget);
  if (aCount) std::memmove(p, aUnits, aCount * 2);
  std::memset(p + aCount * 2, 0, 2);
}

TnxResult storeBcd(const TnxFmtBcd& aValue, std::int32_t aPrecision, std::int32_t aScale, bool aBestFit,
                   void* aTarget) {
  if (aPrecision < 1 || aPrecision > 64 || aScale < 0 || aScale > aPrecision || aScale > 4)
    return nxErrInvalidFieldXform;
  TnxFmtBcd fitted{};
  const TnxBcdLoss loss = nxNormalizeBcd(aValue, fitted, aPrecision, aScale);
  if (loss != 0 && !aBestFit) return nxErrInvalidFieldXform;
  std::int64_t raw = 0;
  if ((loss & nxBcdLossHigh) != 0 || !nxTryBcdToCurr(fitted, raw)) {
    if (!aBestFit) return nxErrInvalidFieldXform;
    // The largest magnitude of the precision and scale, in ten-thousandths.
    __int128 unit = 1;
    for (int i = aScale; i < 4; ++i) unit *= 10;
    __int128 magnitude = 1;
    for (int i = 0; i < aPrecision && magnitude <= std::numeric_limits<std::int64_t>::max(); ++i) magnitude *= 10;
    magnitude = (magnitude - 1) * unit;
    const __int128 limit = std::numeric_limits<std::int64_t>::max() / unit * unit;
    raw = static_cast<std::int64_t>(std::min(magnitude, limit));
    if ((aValue.SignSpecialPlaces & 0x80) != 0) raw = -raw;
  }
  store(aTarget, raw);
  return 0;
}

platform::FormatSettings fieldFormatSettings(TnxFieldDescriptor& aField) {
  TnxLocaleDescriptor* locale = aField.UsedLocaleDescriptor();
  const std::uint32_t lcid = locale && locale->Locale() != 0 ? locale->Locale() : platform::LOCALE_SYSTEM_DEFAULT;
  return platform::localeFormatSettings(lcid);
}

bool isMultiByteCodePage(std::uint16_t aCodePage) {
  try {
    return platform::codePageInfo(aCodePage).maxCharSize > 1;
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"GetCPInfo");
  }
}

void raiseConversion(const platform::OsError& aError, const char* aClass, const char* aLabel, const char* aCall) {
  nxString action = platform::fromUtf8(aClass);
  action.append(u".").append(platform::fromUtf8(aLabel)).append(u"/").append(platform::fromUtf8(aCall));
  nxRaiseOSError(aError.code(), 0, action);
}

std::size_t decode(std::uint16_t aCodePage, std::string_view aText, char16_t* aBuffer, std::size_t aCapacity,
                   const char* aClass, const char* aLabel) {
  if (aText.empty()) return 0;
  try {
    return platform::multiByteToWide(aCodePage, aText, aBuffer, aCapacity);
  } catch (const platform::OsError& e) {
    raiseConversion(e, aClass, aLabel, "MultiByteToWideChar");
  }
}

bool encode(std::uint16_t aCodePage, std::u16string_view aText, char* aBuffer, std::size_t aCapacity,
            std::size_t& aCount, const char* aClass, const char* aLabel, const char* aCall) {
  aCount = 0;
  if (aText.empty()) return true;
  if (aCapacity == 0) return false;  // capacity 0 would ask for the size
  try {
    aCount = platform::wideToMultiByte(aCodePage, aText, aBuffer, aCapacity);
    return true;
  } catch (const platform::InsufficientBuffer&) {
    aCount = 0;
    return false;
  } catch (const platform::OsError& e) {
    raiseConversion(e, aClass, aLabel, aCall);
  }
}

std::size_t encodeFit(std::uint16_t aCodePage, std::u16string_view aText, char* aBuffer, std::size_t aCapacity,
                      const char* aClass, const char* aLabel) {
  std::size_t count = aText.size();
  while (count > 0) {
    std::size_t n = 0;
    if (encode(aCodePage, aText.substr(0, count), aBuffer, aCapacity, n, aClass, aLabel)) return n;
    --count;
    if (count > 0 && aText[count - 1] >= 0xD800 && aText[count - 1] <= 0xDBFF) --count;
  }
  return 0;
}

char16_t* wideWork(std::size_t aCount) {
  thread_local std::u16string buffer;
  if (buffer.size() < aCount) buffer.resize(aCount);
  return buffer.data();
}

char* byteWork(std::size_t aCount) {
  thread_local std::string buffer;
  if (buffer.size() < aCount) buffer.resize(aCount);
  return buffer.data();
}

}  // namespace nxfm

// ===========================================================================
// Start-up

namespace {

TnxUseCount gFieldMapperUseCount{0};

void startDictionary() { nxsdDataDictionaryInitialize(); }
void finishDictionary() { nxsdDataDictionaryFinalize(); }

constexpr TnxModuleDependency kFieldMapperDeps[] = {
    {nxllUtilsInitialize, nxllUtilsFinalize},
    {startDictionary, finishDictionary},
};

}  // namespace

void nxsdFieldMapperInitialize() {
  nxUseCountStart(gFieldMapperUseCount, kFieldMapperDeps, [] {
    nxRegisterClassIn(gFieldMapperDescriptorClasses, TnxFieldMapperDescriptor::staticClassInfo(), {});
    gMatrix = new std::array<std::array<TnxCell, nxFieldTypeCount>, nxFieldTypeCount>();
    try {
      nxsdFieldMapperRegisterNumbers();
      nxsdFieldMapperRegisterFloats();
      nxsdFieldMapperRegisterDates();
      nxsdFieldMapperRegisterStrings();
      nxsdFieldMapperRegisterTexts();
      nxsdFieldMapperRegisterChars();
      nxsdFieldMapperRegisterBytes();
    } catch (...) {
      delete gMatrix;
      gMatrix = nullptr;
      nxFreeClassList(gFieldMapperDescriptorClasses);
      throw;
    }
  });
}

void nxsdFieldMapperFinalize() {
  nxUseCountFinish(gFieldMapperUseCount, kFieldMapperDeps, [] {
    delete gMatrix;
    gMatrix = nullptr;
    nxFreeClassList(gFieldMapperDescriptorClasses);
  });
}
