// Null fields and string tails left out of stored records.
#include "nxseRecordCompressionEngineSmart.h"

#include <cstring>

NX_IMPLEMENT_EXCEPTION(EnxSmartRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxSmartRecordCompressionEngine, TnxBaseRecordCompressionEngine,
                         "TnxSmartRecordCompressionEngine", nullptr,
                         platform::bindClassTable(nxRecordCompressionEngineFuncs<TnxSmartRecordCompressionEngine>))

namespace {

bool isNull(const std::uint8_t* aBitmap, std::int32_t aField) { return (aBitmap[aField >> 3] >> (aField & 7)) & 1; }

// Bytes of a null string up to and including its zero byte; 0 when there is
// none within aLimit bytes.
std::uint32_t nullStringBytes(const std::uint8_t* aValue, std::uint32_t aLimit) {
  const void* zero = std::memchr(aValue, 0, aLimit);
  return zero ? static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(zero) - aValue) + 1 : 0;
}

// Bytes of a wide string up to and including its zero character; 0 when
// there is none within aLimit bytes.
std::uint32_t wideStringBytes(const std::uint8_t* aValue, std::uint32_t aLimit) {
  for (std::uint32_t i = 0; i + 1 < aLimit; i += 2)
    if (aValue[i] == 0 && aValue[i + 1] == 0) return i + 2;
  return 0;
}

}  // namespace

TnxSmartRecordCompressionEngine::TnxSmartRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                                 std::int32_t aTableVersion)
    : TnxBaseRecordCompressionEngine(aDescriptor, aTableVersion),
      srceFieldsDescriptor(nxFieldsOfCompressionDescriptor(aDescriptor)) {
  nxAssert(srceFieldsDescriptor != nullptr, "Smart record compression outside a table");
}

void TnxSmartRecordCompressionEngine::RaiseCorrupt(std::int32_t aField) {
  throw EnxSmartRecordCompressionEngineException(nxErrCorruptFile, u"Compressed record is corrupt at field %d",
                                                 {static_cast<std::int64_t>(aField)});
}

std::uint16_t TnxSmartRecordCompressionEngine::CompressRecord(const std::uint8_t* aSource, std::uint8_t* aTarget) {
  const TnxFieldsDescriptor& fields = *srceFieldsDescriptor;
  const std::int32_t count = fields.FieldCount();
  const std::uint8_t* bitmap = aSource + fields.LogicalRecordLength();
  const std::uint32_t bitmapBytes = static_cast<std::uint32_t>(count + 7) / 8;
  std::memcpy(aTarget, bitmap, bitmapBytes);
  std::uint32_t out = bitmapBytes;
  std::uint32_t offset = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const TnxFieldDescriptor* field = fields.Fields(i);
    const std::uint32_t length = static_cast<std::uint32_t>(field->fdLength);
    const std::uint8_t* value = aSource + offset;
    offset += length;
    if (isNull(bitmap, i)) continue;
    std::uint32_t bytes;
    switch (field->fdType) {
      case nxtShortString:
        bytes = std::uint32_t{value[0]} + 1;
        if (bytes > length) return 0;
        break;
      case nxtNullString:
        bytes = nullStringBytes(value, length);
        if (bytes == 0) return 0;
        break;
      case nxtWideString:
        bytes = wideStringBytes(value, length);
        if (bytes == 0) return 0;
        break;
      default:
        bytes = length;
    }
    std::memcpy(aTarget + out, value, bytes);
    out += bytes;
  }
  return static_cast<std::uint16_t>(out);
}

void TnxSmartRecordCompressionEngine::DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize,
                                                       std::uint8_t* aTarget) {
  const TnxFieldsDescriptor& fields = *srceFieldsDescriptor;
  const std::int32_t count = fields.FieldCount();
  fields.InitRecord(aTarget);
  std::uint8_t* bitmap = aTarget + fields.LogicalRecordLength();
  const std::uint32_t bitmapBytes = static_cast<std::uint32_t>(count + 7) / 8;
  if (aSize < bitmapBytes) RaiseCorrupt(-1);
  std::memcpy(bitmap, aSource, bitmapBytes);
  std::uint32_t in = bitmapBytes;
  std::uint32_t offset = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const TnxFieldDescriptor* field = fields.Fields(i);
    const std::uint32_t length = static_cast<std::uint32_t>(field->fdLength);
    std::uint8_t* target = aTarget + offset;
    offset += length;
    if (isNull(bitmap, i)) continue;
    const std::uint8_t* value = aSource + in;
    const std::uint32_t left = aSize - in;
    const std::uint32_t limit = left < length ? left : length;
    std::uint32_t bytes;
    switch (field->fdType) {
      case nxtShortString:
        if (left == 0) RaiseCorrupt(i);
        bytes = std::uint32_t{value[0]} + 1;
        if (bytes > limit) RaiseCorrupt(i);
        break;
      case nxtNullString:
        bytes = nullStringBytes(value, limit);
        if (bytes == 0) RaiseCorrupt(i);
        break;
      case nxtWideString:
        bytes = wideStringBytes(value, limit);
        if (bytes == 0) RaiseCorrupt(i);
        break;
      default:
        bytes = length;
        if (bytes > left) RaiseCorrupt(i);
    }
    std::memcpy(target, value, bytes);
    in += bytes;
  }
  // Left-over bytes mean the bitmap and the values disagree.
  if (in != aSize) RaiseCorrupt(count);
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordCompressionEngineSmartModuleStarts{0};
}  // namespace

void nxseRecordCompressionEngineSmartInitialize() {
  TnxCountedStart started(gRecordCompressionEngineSmartModuleStarts);
  if (!started) return;
  TnxBaseRecordCompressionEngine::RegisterEngine(TnxSmartRecordCompressionEngine::staticClassInfo(), "Smart");
}

void nxseRecordCompressionEngineSmartFinalize() {
  if (!nxUseCountLeave(gRecordCompressionEngineSmartModuleStarts)) return;
  TnxBaseRecordCompressionEngine::UnregisterEngine(TnxSmartRecordCompressionEngine::staticClassInfo());
}
