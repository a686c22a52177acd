#include "nxsdTypes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllLockedFuncs.h"
#include "nxllMemoryManager.h"
#include "plString.h"

const std::array<std::u16string_view, nxFieldTypeCount> nxFieldTypeNames = {
    u"nxtBoolean",   u"nxtChar",        u"nxtWideChar",    u"nxtByte",         u"nxtWord16",
    u"nxtWord32",    u"nxtInt8",        u"nxtInt16",       u"nxtInt32",        u"nxtInt64",
    u"nxtAutoInc",   u"nxtSingle",      u"nxtDouble",      u"nxtExtended",     u"nxtCurrency",
    u"nxtDate",      u"nxtTime",        u"nxtDateTime",    u"nxtInterval",     u"nxtBlob",
    u"nxtBlobMemo",  u"nxtBlobGraphic", u"nxtByteArray",   u"nxtShortString",  u"nxtNullString",
    u"nxtWideString", u"nxtRecRev",     u"nxtGuid",        u"nxtBCD",          u"nxtBlobWideMemo",
    u"nxtFmtBCD",    u"nxtRefNr"};

const std::array<std::u16string_view, nxFieldTypeCount> nxFieldTypeDisplayNames = {
    u"Boolean",   u"Char",        u"Wide Char",  u"Byte",          u"Word16",
    u"Word32",    u"Int8",        u"Int16",      u"Int32",         u"Int64",
    u"AutoInc",   u"Single",      u"Double",     u"Extended",      u"Currency",
    u"Date",      u"Time",        u"DateTime",   u"Interval",      u"BLOB",
    u"BLOB Memo", u"BLOB Graphic", u"Byte Array", u"ShortString",  u"NullString",
    u"WideString", u"RecRev",     u"GUID",       u"BCD",           u"BLOB Wide Memo",
    u"Formatted BCD", u"RefNr"};

const std::array<std::array<std::u16string_view, 3>, nxFieldTypeCount> nxFieldTypeSqlNames = {{
    {u"nxtBoolean", u"BOOLEAN", u"BOOLEAN"},
    {u"nxtChar", u"SINGLECHAR", u"SINGLECHAR"},
    {u"nxtWideChar", u"NSINGLECHAR", u"NSINGLECHAR"},
    {u"nxtByte", u"BYTE", u"BYTE"},
    {u"nxtWord16", u"WORD", u"WORD"},
    {u"nxtWord32", u"DWORD", u"DWORD"},
    {u"nxtInt8", u"SHORTINT", u"SHORTINT"},
    {u"nxtInt16", u"SMALLINT", u"SMALLINT"},
    {u"nxtInt32", u"INTEGER", u"INTEGER"},
    {u"nxtInt64", u"BIGINT", u"BIGINT"},
    {u"nxtAutoInc", u"AUTOINC", u"AUTOINC"},
    {u"nxtSingle", u"FLOAT", u"FLOAT"},
    {u"nxtDouble", u"DOUBLE PRECISION", u"DOUBLE PRECISION"},
    {u"nxtExtended", u"EXTENDED", u"EXTENDED"},
    {u"nxtCurrency", u"MONEY", u"MONEY"},
    {u"nxtDate", u"DATE", u"DATE"},
    {u"nxtTime", u"TIME", u"TIME"},
    {u"nxtDateTime", u"TIMESTAMP", u"TIMESTAMP"},
    {u"nxtInterval", u"", u""},
    {u"nxtBLOB", u"BINARY LARGE OBJECT", u"BINARY LARGE OBJECT"},
    {u"nxtBLOBMemo", u"CHARACTER LARGE OBJECT", u"CHARACTER LARGE OBJECT"},
    {u"nxtBLOBGraphic", u"IMAGE", u"IMAGE"},
    {u"nxtByteArray", u"BYTEARRAY", u"BYTEARRAY"},
    {u"nxtShortString", u"SHORTSTRING", u"SHORTSTRING"},
    {u"nxtNullString", u"CHARACTER", u"CHARACTER VARYING"},
    {u"nxtWideString", u"NATIONAL CHARACTER", u"NATIONAL CHARACTER VARYING"},
    {u"nxtRecRev", u"RECREV", u"RECREV"},
    {u"nxtGUID", u"GUID", u"GUID"},
    {u"nxtBCD", u"DECIMAL", u"DECIMAL"},
    {u"nxtBLOBWideMemo", u"NATIONAL CHARACTER LARGE OBJECT", u"NATIONAL CHARACTER LARGE OBJECT"},
    {u"nxtFmtBCD", u"DECIMAL", u"DECIMAL"},
    {u"nxtRefNr", u"REFNR", u"REFNR"},
}};

const std::array<std::uint8_t, nxFieldTypeCount> nxFieldTypeFixedLength = {
    1, 1, 2, 1, 2, 4, 1, 2, 4, 8,   // Boolean .. Int64
    4, 4, 8, 10, 8, 4, 4, 8, 8,     // AutoInc .. Interval
    8, 8, 8,                        // BLOB types
    0, 0, 0, 0,                     // ByteArray, ShortString, NullString, WideString
    4, 16, 8, 8, 0, 8};             // RecRev, Guid, BCD, BlobWideMemo, FmtBCD, RefNr

const std::array<std::u16string_view, 5> nxParamTypeNames = {u"", u"IN", u"OUT", u"INOUT", u"RESULT"};

std::int32_t nxFieldTypeStorageLength(TnxFieldType aType, std::int32_t aUnits) {
  switch (aType) {
    case nxtByteArray: return aUnits;
    case nxtShortString:
    case nxtNullString: return aUnits + 1;
    case nxtWideString: return 2 * aUnits + 2;
    case nxtFmtBCD: return (aUnits + 1) / 2 + 2;
    default: return aType < nxFieldTypeCount ? nxFieldTypeFixedLength[aType] : 0;
  }
}

namespace {

void unitsInRange(std::int32_t& aUnits, std::int32_t aMax) {
  if (aUnits < 1 || aUnits > aMax) aUnits = aMax;
}

void moneyRule(std::int32_t& aUnits, std::int32_t& aDecimals) {
  if (aDecimals < 0 || aDecimals > 4) aDecimals = 4;
  if (aUnits <= 0 || aUnits > aDecimals + 16) aUnits = aDecimals + 16;
  if (aUnits <= aDecimals) aUnits = aDecimals + 1;
}

}  // namespace

std::int32_t nxFieldTypeSetup(TnxFieldType aType, std::int32_t& aUnits, std::int32_t& aDecimals,
                              bool& aRequired) {
  if (aType >= nxFieldTypeCount) return 0;
  switch (aType) {
    case nxtChar:
    case nxtWideChar: aUnits = 1; aDecimals = 0; break;
    case nxtByte:
    case nxtInt8: unitsInRange(aUnits, 3); aDecimals = 0; break;
    case nxtWord16:
    case nxtInt16: unitsInRange(aUnits, 5); aDecimals = 0; break;
    case nxtWord32:
    case nxtInt32: unitsInRange(aUnits, 10); aDecimals = 0; break;
    case nxtInt64: unitsInRange(aUnits, 20); aDecimals = 0; break;
    case nxtAutoInc:
    case nxtRecRev: aUnits = 10; aDecimals = 0; aRequired = false; break;
    case nxtRefNr: aUnits = 20; aDecimals = 0; aRequired = false; break;
    case nxtSingle:
    case nxtDouble:
    case nxtExtended: break;
    case nxtCurrency:
    case nxtBCD: moneyRule(aUnits, aDecimals); break;
    case nxtByteArray: aDecimals = 0; break;
    case nxtShortString:
      if (aUnits > 255) aUnits = 255;
      if (aDecimals > 0) aDecimals = aUnits;
      break;
    case nxtNullString:
    case nxtWideString:
      if (aDecimals > 0) aDecimals = aUnits;
      break;
    case nxtFmtBCD:
      if (aDecimals < 0) aDecimals = 0;
      if (aDecimals > 63) aDecimals = 63;
      if (aUnits <= aDecimals)
        aUnits = aDecimals + 1;
      else if (aUnits > 64)
        aUnits = 64;
      break;
    default: aUnits = 0; aDecimals = 0; break;  // Boolean, date/time, BLOB types, Guid
  }
  return nxFieldTypeStorageLength(aType, aUnits);
}

namespace {

constexpr auto buildStorageCompatible() {
  std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> t{};
  for (int i = 0; i < nxFieldTypeCount; ++i) t[i][i] = true;
  auto group = [&t](std::initializer_list<TnxFieldType> aMembers) {
    for (TnxFieldType a : aMembers)
      for (TnxFieldType b : aMembers) t[a][b] = true;
  };
  group({nxtWord32, nxtAutoInc, nxtRecRev});
  group({nxtCurrency, nxtBCD, nxtFmtBCD});
  group({nxtDateTime, nxtInterval});
  group({nxtBlob, nxtBlobMemo, nxtBlobGraphic, nxtBlobWideMemo});
  group({nxtInt64, nxtRefNr});
  // A record reference and a currency share 8 bytes but not their meaning:
  // neither may be read as the other, in either direction.
  return t;
}

}  // namespace

const std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> nxFieldTypeStorageCompatible =
    buildStorageCompatible();

bool nxRecIDIsValid(const TnxRecID& aRecID) { return aRecID.ridRefNr != 0 && aRecID.ridInsertLSN != 0; }

bool nxRecIDIsUnknown(const TnxRecID& aRecID) { return aRecID.ridRefNr == -1 && aRecID.ridInsertLSN == -1; }

void nxRecordCacheInfoClear(TnxRecordCacheInfo& aInfo) {
  aInfo.rciRefNr = 0;
  aInfo.rciModifyLSN = 0;
}

bool nxRecordCacheInfoIsEmpty(const TnxRecordCacheInfo& aInfo) {
  return aInfo.rciRefNr == 0 || aInfo.rciModifyLSN == 0;
}

bool nxRecordCacheInfoIsValid(const TnxRecordCacheInfo& aInfo) { return !nxRecordCacheInfoIsEmpty(aInfo); }

bool nxRecordCacheInfoEqual(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo& b) {
  return a.rciRefNr == b.rciRefNr && a.rciModifyLSN == b.rciModifyLSN && nxRecordCacheInfoIsValid(a);
}

bool nxRecordCacheInfoMatches(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo* b) {
  return b && nxRecordCacheInfoEqual(a, *b);
}

bool nxIndexedRecordCacheInfoMatches(const TnxIndexedRecordCacheInfo& a, const TnxIndexedRecordCacheInfo* b) {
  if (!b) return false;
  return nxRecordCacheInfoEqual({a.irciRefNr, a.irciModifyLSN}, {b->irciRefNr, b->irciModifyLSN});
}

void nxNextBlobInfo(PnxRecordCacheInfoBlobInfo& aBlobInfo) {
  if (!aBlobInfo) return;
  auto* bytes = reinterpret_cast<std::uint8_t*>(aBlobInfo);
  aBlobInfo = reinterpret_cast<PnxRecordCacheInfoBlobInfo>(bytes + 2 + 8 * std::size_t{aBlobInfo->rcibiCount});
}

// ---- Counted records ----------------------------------------------------

namespace {

// Counted records live in the engine allocator, zero-filled.
template <class T>
T* newCountedRecord() {
  return new (nxAllocMem(sizeof(T))) T{};
}

template <class T>
void freeCountedRecord(T* aRecord) {
  aRecord->~T();
  nxFreeMem(aRecord);
}

}  // namespace

PnxSpecialFieldsInfo nxNewSpecialFieldsInfo() {
  auto* info = newCountedRecord<TnxSpecialFieldsInfo>();
  nxInitSpecialFieldsInfo(info);
  info->sfiRefCount = 1;
  return info;
}

void nxInitSpecialFieldsInfo(PnxSpecialFieldsInfo aInfo) {
  aInfo->sfiFields.fill(-1);
  aInfo->sfiOffsets.fill(-1);
  aInfo->sfiBlobFields.clear();
  aInfo->sfiFieldsToBlobFields.clear();
}

PnxSpecialFieldsInfo nxAddRefSpecialFieldsInfo(PnxSpecialFieldsInfo aInfo) {
  if (aInfo) aInfo->sfiRefCount.fetch_add(1, std::memory_order_relaxed);
  return aInfo;
}

void nxReleaseSpecialFieldsInfo(PnxSpecialFieldsInfo& aInfo) {
  PnxSpecialFieldsInfo info = std::exchange(aInfo, nullptr);
  if (info && info->sfiRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) freeCountedRecord(info);
}

PnxCacheableInfo nxNewCacheableInfo() {
  auto* info = newCountedRecord<TnxCacheableInfo>();
  nxInitCacheableInfo(info);
  info->ciRefCount = 1;
  return info;
}

void nxInitCacheableInfo(PnxCacheableInfo aInfo) {
  nxReleaseSpecialFieldsInfo(aInfo->ciSFI);
  aInfo->ciModifyLSNIndex = -1;
  aInfo->ciGraveyardLSNIndex = -1;
  aInfo->ciGraveyardRefNrIndex = -1;
  aInfo->ciCachedBlobsIndex = -1;
  aInfo->ciBlobNrCounterIndex = -1;
}

void nxReleaseCacheableInfo(PnxCacheableInfo& aInfo) {
  PnxCacheableInfo info = std::exchange(aInfo, nullptr);
  if (info && info->ciRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    nxReleaseSpecialFieldsInfo(info->ciSFI);
    freeCountedRecord(info);
  }
}

PnxDiffCompressorInfo nxNewDiffCompressorInfo(std::uint16_t aRecordLength) {
  const std::uint32_t words = (std::uint32_t{aRecordLength} + 3) / 4;
  const std::uint32_t bitmapBytes = (words + 7) / 8;
  const std::uint32_t bitmapWords = (bitmapBytes + 3) / 4;
  const std::uint32_t byte8s = 4 * bitmapWords;
  auto* info = new (nxAllocMem(sizeof(TnxDiffCompressorInfo) + byte8s)) TnxDiffCompressorInfo{};
  info->dciRefCount = 1;
  info->dciSourceWord32Count = static_cast<std::uint16_t>(words);
  info->dciBitsLengthByte8s = static_cast<std::uint16_t>(byte8s);
  info->dciBitsLengthWord32s = static_cast<std::uint16_t>(bitmapWords);
  info->dciTargetWord32Count = static_cast<std::uint16_t>(words - bitmapWords);
  return info;
}

PnxDiffCompressorInfo nxAddRefDiffCompressorInfo(PnxDiffCompressorInfo aInfo) {
  if (aInfo) aInfo->dciRefCount.fetch_add(1, std::memory_order_relaxed);
  return aInfo;
}

void nxReleaseDiffCompressorInfo(PnxDiffCompressorInfo& aInfo) {
  PnxDiffCompressorInfo info = std::exchange(aInfo, nullptr);
  if (info && info->dciRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) freeCountedRecord(info);
}

void nxDiffCompressorMarkRequired(PnxDiffCompressorInfo aInfo, const std::uint8_t* aImage1,
                                  const std::uint8_t* aImage2) {
  std::uint8_t* bits = aInfo->dciRequiredBits();
  std::memset(bits, 0, aInfo->dciBitsLengthByte8s);
  for (std::uint32_t i = 0; i < aInfo->dciSourceWord32Count; ++i)
    if (std::memcmp(aImage1 + 4 * i, aImage2 + 4 * i, 4) != 0)
      bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
}

void nxDiffDecompressRecord(const TnxDiffCompressorInfo* aInfo, const std::uint8_t* aOldRecord,
                            const std::uint8_t* aDiff, std::uint8_t* aNewRecord) {
  const std::uint8_t* bitmap = aDiff;
  const std::uint8_t* next = aDiff + aInfo->dciBitsLengthByte8s;
  for (std::uint32_t i = 0; i < aInfo->dciSourceWord32Count; ++i) {
    if ((bitmap[i / 8] >> (i % 8)) & 1u) {
      std::memcpy(aNewRecord + 4 * i, next, 4);
      next += 4;
    } else {
      std::memmove(aNewRecord + 4 * i, aOldRecord + 4 * i, 4);
    }
  }
}

bool nxBlobBatchRequestIsValid(const TnxBlobBatchRequest& aRequest) {
  return nxRecIDIsValid(aRequest.bbrqRecID) && !aRequest.bbrqEntries.empty();
}

// ---- Names --------------------------------------------------------------

namespace {

using NameList = std::vector<std::pair<std::u16string_view, TnxFieldType>>;

bool nameBefore(const NameList::value_type& aEntry, std::u16string_view aName) {
  return platform::compareTextAscii(aEntry.first, aName) < 0;
}

// Sorted case-insensitively; where two types share a name the first type wins.
const NameList& sqlTypeNames() {
  static const NameList list = [] {
    NameList l;
    auto enter = [&l](std::u16string_view aName, TnxFieldType aType) {
      auto it = std::lower_bound(l.begin(), l.end(), aName, nameBefore);
      if (it == l.end() || !platform::sameTextAscii(it->first, aName)) l.insert(it, {aName, aType});
    };
    for (int t = 0; t < nxFieldTypeCount; ++t) {
      enter(nxFieldTypeSqlNames[t][1], static_cast<TnxFieldType>(t));
      enter(nxFieldTypeSqlNames[t][2], static_cast<TnxFieldType>(t));
    }
    return l;
  }();
  return list;
}

}  // namespace

TnxFieldType nxSqlTypeNameToFieldType(std::u16string_view aName) {
  const NameList& l = sqlTypeNames();
  auto it = std::lower_bound(l.begin(), l.end(), aName, nameBefore);
  if (it == l.end() || !platform::sameTextAscii(it->first, aName)) throw EnxBaseException(nxErrObjectNotFound);
  return it->second;
}

TnxParamType nxParamTypeFromName(std::u16string_view aName) {
  for (int i = nxptInput; i <= nxptResult; ++i)
    if (platform::sameTextAscii(aName, nxParamTypeNames[i])) return static_cast<TnxParamType>(i);
  return nxptUnknown;
}
