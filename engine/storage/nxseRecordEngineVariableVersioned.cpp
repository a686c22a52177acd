// Variable records that carry their layout version.
#include "nxseRecordEngineVariableVersioned.h"

#include <algorithm>
#include <cstring>

NX_IMPLEMENT_EXCEPTION(EnxVariableVersionedRecordEngineException, EnxVariableRecordEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxVariableVersionedRecordEngine, TnxVariableRecordEngine, "TnxVariableVersionedRecordEngine",
                         nullptr, platform::bindClassTable(nxSubEngineFuncs<TnxVariableVersionedRecordEngine>))

namespace {

constexpr TnxVariableRecordFormat kVersionedFormat{2, 10};
constexpr std::int32_t kMaxVersion = 255;

TnxFieldsDescriptor* fieldsOf(TnxDictionaryItem* aDescriptor) {
  TnxDictionaryItem* table = aDescriptor;
  while (table && !platform::objectAs<TnxBaseTableDescriptor>(table)) table = table->ParentItem();
  auto* t = platform::objectAs<TnxBaseTableDescriptor>(table);
  nxAssert(t != nullptr, "Versioned record engine outside a table");
  return t->FieldsDescriptor();
}

std::int32_t versionOf(TnxFieldsDescriptor* aFields) {
  return aFields->FieldCount() - aFields->OriginalFieldCount();
}

[[noreturn]] void raiseVersion(std::int32_t aVersion) {
  throw EnxVariableVersionedRecordEngineException(
      nxErrInvalidDesc, u"The table has %d fields more than it was made with; at most 255 can be added as record versions",
      {static_cast<std::int64_t>(aVersion)});
}

}  // namespace

TnxVariableVersionedRecordEngine::TnxVariableVersionedRecordEngine(TnxDictionaryItem* aDescriptor,
                                                                   TnxBaseTransaction* aTrans,
                                                                   const TnxBlockAccessArray& aFiles)
    : TnxVariableRecordEngine(aDescriptor, aTrans, aFiles, kVersionedFormat) {
  reFieldsDescriptor = fieldsOf(aDescriptor);
  reOriginalFieldCount = reFieldsDescriptor->OriginalFieldCount();
  reFieldCount = reFieldsDescriptor->FieldCount();
  reCurrentVersion = reFieldCount - reOriginalFieldCount;
  if (reCurrentVersion < 0 || reCurrentVersion > kMaxVersion || reOriginalFieldCount < 1) raiseVersion(reCurrentVersion);
  reCurrentVersionFlags = static_cast<std::uint16_t>(reCurrentVersion << 8);
  reFieldInfos.resize(static_cast<std::size_t>(reCurrentVersion) + 1);
  std::int32_t length = 0;
  for (std::int32_t i = 0; i < reOriginalFieldCount - 1; ++i) length += reFieldsDescriptor->Fields(i)->fdLength;
  for (std::int32_t v = 0; v <= reCurrentVersion; ++v) {
    const std::int32_t last = reOriginalFieldCount - 1 + v;
    length += reFieldsDescriptor->Fields(last)->fdLength;
    FieldInfo& info = reFieldInfos[static_cast<std::size_t>(v)];
    info.fiFieldsLength = length;
    info.fiNullBitsOffset = (length + 3) & ~3;
    info.fiNullBitsSize = 4 * ((last + 1 + 31) / 32);
  }
  const FieldInfo& current = reFieldInfos.back();
  reCurrentFieldsLength = current.fiFieldsLength;
  reCurrentNullBitsOffset = current.fiNullBitsOffset;
  reCurrentNullBitsSize = current.fiNullBitsSize;
  for (FieldInfo& info : reFieldInfos) info.fiClearBytesCount = reCurrentNullBitsOffset - info.fiFieldsLength;
}

void TnxVariableVersionedRecordEngine::CheckEngineDescriptor(TnxDictionaryItem* aTable) {
  auto* table = platform::objectAs<TnxBaseTableDescriptor>(aTable);
  nxAssert(table != nullptr, "Record engine check without a table");
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(table->RecordDescriptor());
  if (!record)
    throw EnxVariableVersionedRecordEngineException(nxErrInvalidDesc, u"Record descriptor must be a TnxHeapRecordDescriptor");
  TnxVariableRecordEngine::CheckEngineDescriptor(aTable);
  TnxBaseRecordCompressionDescriptor* compression = record->RecordCompressionDescriptor();
  if (!compression)
    throw EnxVariableVersionedRecordEngineException(nxErrInvalidDesc, u"A RecordCompressionDescriptor is required");
  const nxString& name = compression->RecordCompressionEngine();
  const nxString expected = u"compressor";
  const bool same = name.size() == expected.size() &&
                    std::equal(name.begin(), name.end(), expected.begin(), [](char16_t a, char16_t b) {
                      return (a >= u'A' && a <= u'Z' ? static_cast<char16_t>(a + 32) : a) == b;
                    });
  if (!same)
    throw EnxVariableVersionedRecordEngineException(nxErrInvalidDesc, u"Only \"Compressor\" RecordCompressionEngine is supported");
  const std::int32_t version = versionOf(table->FieldsDescriptor());
  if (version < 0 || version > kMaxVersion) raiseVersion(version);
}

bool TnxVariableVersionedRecordEngine::CanAddField(TnxFieldDescriptor* aFieldDesc) {
  return aFieldDesc && !aFieldDesc->fdRequired && !aFieldDesc->DefaultValue() && !aFieldDesc->Validations();
}

void TnxVariableVersionedRecordEngine::ReplaceAllRecords(TnxBaseTransaction*, const TnxGetRecordCallback&) {
  throw EnxVariableVersionedRecordEngineException(
      nxErrNotSupported, u"ReplaceAllRecords is not supported by TnxVariableVersionedRecordEngine");
}

std::uint32_t TnxVariableVersionedRecordEngine::RawLength(std::uint16_t aFlags) const {
  const std::int32_t version = aFlags >> 8;
  if (version >= reCurrentVersion) return breRecordLength;
  // A raw record of an older version holds that version's record.
  const FieldInfo& info = reFieldInfos[static_cast<std::size_t>(version)];
  return static_cast<std::uint32_t>(std::min<std::int32_t>(info.fiNullBitsOffset + info.fiNullBitsSize,
                                                           breRecordLength));
}

void TnxVariableVersionedRecordEngine::AfterDecode(TnxRefNr, std::uint16_t aFlags, PnxRecordBuffer aRecord) {
  const std::int32_t version = aFlags >> 8;
  if (version >= reCurrentVersion) return;
  const FieldInfo& info = reFieldInfos[static_cast<std::size_t>(version)];
  std::uint8_t* record = aRecord;
  std::memmove(record + reCurrentNullBitsOffset, record + info.fiNullBitsOffset,
               static_cast<std::size_t>(info.fiNullBitsSize));
  std::memset(record + info.fiFieldsLength, 0, static_cast<std::size_t>(info.fiClearBytesCount));
  // The bitmap words the old version did not have.
  std::memset(record + reCurrentNullBitsOffset + info.fiNullBitsSize, 0,
              static_cast<std::size_t>(reCurrentNullBitsSize - info.fiNullBitsSize));
  for (std::int32_t field = reOriginalFieldCount + version; field < reFieldCount; ++field)
    record[reCurrentNullBitsOffset + field / 8] |= static_cast<std::uint8_t>(1u << (field % 8));
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordEngineVariableVersionedModuleStarts{0};
}  // namespace

void nxseRecordEngineVariableVersionedInitialize() {
  TnxCountedStart started(gRecordEngineVariableVersionedModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxVariableVersionedRecordEngine::staticClassInfo(), "VariableVersioned");
}

void nxseRecordEngineVariableVersionedFinalize() {
  if (!nxUseCountLeave(gRecordEngineVariableVersionedModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxVariableVersionedRecordEngine::staticClassInfo());
}
