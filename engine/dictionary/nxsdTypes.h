// Field types and the plain types every engine layer shares: record
// references, BLOB numbers, log sequence numbers, record identities, buffer
// pointers, the enumerations of the server objects and storage engines, and
// the counted records that describe a table's record layout to its users.
//
// Counted records (TnxSpecialFieldsInfo, TnxCacheableInfo,
// TnxDiffCompressorInfo) come zero-filled from the engine allocator
// (nxAllocMem) and are shared by pointer between threads. Reference
// counts change only through interlocked operations; a release first takes the
// pointer out of the holder's variable by an atomic exchange with nil, so a
// variable is never released twice. Everything else here is plain data.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "nxllTypes.h"

// ---- Field types --------------------------------------------------------

enum TnxFieldType : std::uint8_t {
  nxtBoolean,       // 0
  nxtChar,          // 1
  nxtWideChar,      // 2
  nxtByte,          // 3
  nxtWord16,        // 4
  nxtWord32,        // 5
  nxtInt8,          // 6
  nxtInt16,         // 7
  nxtInt32,         // 8
  nxtInt64,         // 9
  nxtAutoInc,       // 10
  nxtSingle,        // 11
  nxtDouble,        // 12
  nxtExtended,      // 13
  nxtCurrency,      // 14
  nxtDate,          // 15
  nxtTime,          // 16
  nxtDateTime,      // 17
  nxtInterval,      // 18
  nxtBlob,          // 19
  nxtBlobMemo,      // 20
  nxtBlobGraphic,   // 21
  nxtByteArray,     // 22
  nxtShortString,   // 23
  nxtNullString,    // 24
  nxtWideString,    // 25
  nxtRecRev,        // 26
  nxtGuid,          // 27
  nxtBCD,           // 28
  nxtBlobWideMemo,  // 29
  nxtFmtBCD,        // 30
  nxtRefNr,         // 31
};
inline constexpr int nxFieldTypeCount = 32;

// Set of field types: bit i for value i.
using TnxFieldTypes = std::uint32_t;
constexpr TnxFieldTypes nxFieldTypeBit(TnxFieldType aType) { return TnxFieldTypes{1} << aType; }
constexpr bool nxFieldTypeIn(TnxFieldType aType, TnxFieldTypes aSet) {
  return aType < nxFieldTypeCount && (aSet & nxFieldTypeBit(aType)) != 0;
}

inline constexpr TnxFieldTypes nxBlobFieldTypes = nxFieldTypeBit(nxtBlob) | nxFieldTypeBit(nxtBlobMemo) |
                                                  nxFieldTypeBit(nxtBlobGraphic) |
                                                  nxFieldTypeBit(nxtBlobWideMemo);
inline constexpr TnxFieldTypes nxStringFieldTypes =
    nxFieldTypeBit(nxtShortString) | nxFieldTypeBit(nxtNullString) | nxFieldTypeBit(nxtWideString);

// Enumeration value names ("nxtBoolean" .. "nxtRefNr"), as stored in streams.
extern const std::array<std::u16string_view, nxFieldTypeCount> nxFieldTypeNames;
// Display names for messages ("Boolean", "Wide Char", ...).
extern const std::array<std::u16string_view, nxFieldTypeCount> nxFieldTypeDisplayNames;
// Per type: identifier text (BLOB and GUID in capitals), SQL type name,
// SQL name of the varying form (equal to the SQL name where there is none).
extern const std::array<std::array<std::u16string_view, 3>, nxFieldTypeCount> nxFieldTypeSqlNames;

// Storage length in a record buffer of a type with fixed length; 0 for the
// types whose length follows from their units (see nxFieldTypeStorageLength).
extern const std::array<std::uint8_t, nxFieldTypeCount> nxFieldTypeFixedLength;

// Storage length in a record buffer for a type with the given (already
// normalised) units; 0 for a type value of 32 or more. 64-bit: units from a
// stream or a caller may make it larger than any record (see
// nxFieldLengthFits) without overflowing.
std::int64_t nxFieldTypeStorageLength(TnxFieldType aType, std::int32_t aUnits);

// The per-type normalisation of units, decimals and the required flag that a
// field descriptor applies in its setup; answers the storage length. A type
// value of 32 or more leaves all values untouched and answers 0.
std::int64_t nxFieldTypeSetup(TnxFieldType aType, std::int32_t& aUnits, std::int32_t& aDecimals,
                              bool& aRequired);

// Row = first operand, column = second. Symmetric: a currency is never read
// as a record reference or the reverse.
extern const std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> nxFieldTypeStorageCompatible;

// ---- Scalar types -------------------------------------------------------

using TnxRefNr = std::int64_t;
using TnxBlobNr = std::int64_t;
using TnxLSN = std::int64_t;
using PnxRefNr = TnxRefNr*;
using PnxBlobNr = TnxBlobNr*;
using PnxLSN = TnxLSN*;
using TnxFilterID = std::uint32_t;
using TnxKeyFilterID = std::uint32_t;
using TnxGrowSize = std::int32_t;  // 1 .. 2147483647

inline constexpr std::int32_t nxMaxRecordBufferSize = 65536;  // record and key buffers
// A field or key length a record or key buffer can hold.
constexpr bool nxFieldLengthFits(std::int64_t aLength) { return aLength >= 0 && aLength <= nxMaxRecordBufferSize; }
using PnxRecordBuffer = std::uint8_t*;
using PPnxRecordBuffer = PnxRecordBuffer*;
using PnxKeyBuffer = std::uint8_t*;
using PnxFieldBuffer = std::uint8_t*;
using PnxBookmarkBuffer = std::uint8_t*;
using PnxKeyOrRecordBuffer = std::uint8_t*;

using TnxBlockSignature = std::array<char, 4>;
using TnxBlobNrs = std::vector<TnxBlobNr>;
// Bit k (word k div 32, bit k mod 32) marks the BLOB field with BLOB index k.
using TnxMarkedBlobsByBlobIdx = std::vector<std::uint32_t>;

// ---- Enumerations (one byte; sets are one-byte masks, bit = value) ------

enum TnxTransactionLevelState : std::uint8_t { tlsCorrupted, tlsDeadlocked, tlsNoMoreNested };
enum TnxTransactionState : std::uint8_t { tsFailsafe, tsSnapshot, tsForBlobRead, tsFailed };
enum TnxRecordGetBatchExOption : std::uint8_t {
  gboBlobs,
  gboBookmarks,
  gboBackwards,
  gboAllowClientFilter,
  gboSetToBeginOrEnd,
  gboBlobNrs,
  gboBlobsOnlyMarked,
};
enum TnxOpenMode : std::uint8_t { omReadOnly, omWriteOnly, omReadWrite, omNone };
enum TnxShareMode : std::uint8_t { smExclusive, smShared, smShareRead };
enum TnxLockType : std::uint8_t { nxltNoLock, nxltReadLock, nxltWriteLock };
enum TnxLockPresent : std::uint8_t { lpNotAtAll, lpYesByUs, lpYesByAnother };
enum TnxSearchKeyAction : std::uint8_t {
  skaEqualFirst,
  skaGreaterEqual,
  skaGreater,
  skaEqualLast,
  skaSmallerEqual,
  skaSmaller,
  skaAnyEqual,
  skaAnyGreaterEqual,
  skaAnyGreater,
  skaAnySmallerEqual,
  skaAnySmaller,
};
enum TnxBlobCopyMode : std::uint8_t { nxbcmNoCopy, nxbcmCopyFull, nxbcmCreateLink };
enum TnxParamType : std::uint8_t { nxptUnknown, nxptInput, nxptOutput, nxptInputOutput, nxptResult };
enum TnxStatementType : std::uint8_t { stQuery, stStoredProcedure };
enum TnxRecordCountOption : std::uint8_t {
  rcoTotalRecordCount,
  rcoTotalKeyCount,
  rcoRangedKeyCount,
  rcoServerFilteredKeyCount,
  rcoClientFilteredKeyCount,
};
enum TnxIndexPathPosition : std::uint8_t { ippUnknown, ippBof, ippOnCrackBefore, ippOnCrackAfter, ippOnKey, ippEof };
enum TnxClassListType : std::uint8_t {
  setAutoIncEngines,
  setBlobEngines,
  setIndexEngines,
  setEncryptionEngines,
  setDefaultDescriptors,
  setValidationDescriptors,
  setRecordDescriptors,
  setRIActionDescriptors,
};
enum TnxLockResult : std::uint8_t {
  lrGrantedNew,
  lrGrantedExisting,
  lrConflictUnknown,
  lrConflictCursorWriteLock,
  lrConflictCursorReadLockSingle,
  lrConflictCursorReadLockMultiple,
  lrConflictCursorRecordLockSingle,
  lrConflictCursorRecordLockMultiple,
  lrConflictTransaction,
};
enum TnxLockRequestType : std::uint8_t { lrtRecordLock, lrtReadLock, lrtWriteLock };
enum TnxInsertOption : std::uint8_t { ioSetDefault, ioSetAutoInc, ioValidate, ioModifyIfFound };
enum TnxRecordIteratorResult : std::uint8_t { rirContinue, rirStop };
enum TnxKeyIteratorResult : std::uint8_t { kirContinue, kirSkipKey, kirStop };
enum TnxSecurityToken : std::uint8_t { stAdmin, stRead, stWrite };
enum TnxBlobReadSnapshotState : std::uint8_t {
  brssNone,
  brssRequestStart,
  brssUnneccesary,
  brssFailedToStart,
  brssStarted,
  brssRequestClose,
  brssFailedToClose,
  brssClosed,
};
enum TnxSpecialFieldType : std::uint8_t { sftAutoInc, sftAutoGuid, sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN };
inline constexpr int nxSpecialFieldTypeCount = 6;
enum TnxTableCachingState : std::uint8_t { tcsNone, tcsCacheable, tcsIsCache };
enum TnxCachedBlobStateInfo : std::uint8_t { cbsiCreated, cbsiCreatedFile, cbsiDeleted, cbsiModified };

// One-byte set of a small enumeration.
template <class E>
struct TnxSmallSet {
  std::uint8_t Bits = 0;

  constexpr TnxSmallSet() = default;
  constexpr TnxSmallSet(std::initializer_list<E> aList) {
    for (E e : aList) include(e);
  }
  constexpr void include(E e) { Bits = static_cast<std::uint8_t>(Bits | (1u << e)); }
  constexpr void exclude(E e) { Bits = static_cast<std::uint8_t>(Bits & ~(1u << e)); }
  constexpr bool contains(E e) const { return (Bits >> e) & 1u; }
  constexpr bool empty() const { return Bits == 0; }
  constexpr bool operator==(const TnxSmallSet&) const = default;
};
using TnxTransactionLevelStates = TnxSmallSet<TnxTransactionLevelState>;
using TnxTransactionStates = TnxSmallSet<TnxTransactionState>;
using TnxRecordGetBatchExOptions = TnxSmallSet<TnxRecordGetBatchExOption>;
using TnxInsertOptions = TnxSmallSet<TnxInsertOption>;
using TnxSecurityTokens = TnxSmallSet<TnxSecurityToken>;
static_assert(sizeof(TnxInsertOptions) == 1);

using TnxSpecialFields = std::array<std::int32_t, nxSpecialFieldTypeCount>;
using TnxSpecialFieldOffsets = std::array<std::int32_t, nxSpecialFieldTypeCount>;
using TnxBlobFields = std::vector<std::int32_t>;
using TnxBlobFieldsToBlobFields = std::vector<std::int32_t>;

// Texts of nxptInput..nxptResult; nxptUnknown has the empty text.
extern const std::array<std::u16string_view, 5> nxParamTypeNames;

// ---- Records ------------------------------------------------------------

struct TnxRecID {
  TnxRefNr ridRefNr;
  TnxLSN ridInsertLSN;
};
// No record given.
inline constexpr TnxRecID nxNullRecID{0, 0};

struct TnxRecordCacheInfo {
  TnxRefNr rciRefNr;
  TnxLSN rciModifyLSN;
};
using PnxRecordCacheInfo = TnxRecordCacheInfo*;
using TnxRecordCacheInfos = std::vector<TnxRecordCacheInfo>;

struct TnxIndexedRecordCacheInfo {
  TnxRefNr irciRefNr;
  TnxLSN irciModifyLSN;
  std::int32_t irciIndex;
};
using PnxIndexedRecordCacheInfo = TnxIndexedRecordCacheInfo*;

#pragma pack(push, 1)
// Variable-length: rcibiCount BLOB numbers packed behind the count.
struct TnxRecordCacheInfoBlobInfo {
  std::uint16_t rcibiCount;
  TnxBlobNr rcibiBlobNrs[1];
};
static_assert(offsetof(TnxRecordCacheInfoBlobInfo, rcibiBlobNrs) == 2);

struct TnxBlobBatchReplyEntry {
  TnxBlobNr bbrpeBlobNr;
};
// Variable-length: bbrpCount entries (up to 65536) packed behind the count.
struct TnxBlobBatchReply {
  std::uint16_t bbrpCount;
  TnxBlobBatchReplyEntry bbrpEntries[1];
};
#pragma pack(pop)
using PnxRecordCacheInfoBlobInfo = TnxRecordCacheInfoBlobInfo*;
using PnxBlobBatchReply = TnxBlobBatchReply*;

struct TnxIndexedRecordCacheInfoAndBlobInfo {
  TnxIndexedRecordCacheInfo irciabiIndexedRecordCacheInfo;
  PnxRecordCacheInfoBlobInfo irciabiBlobInfo;
};
using TnxIndexedRecordCacheInfoAndBlobInfos = std::vector<TnxIndexedRecordCacheInfoAndBlobInfo>;

struct TnxSpecialFieldsInfo {
  TnxBlobFields sfiBlobFields;
  TnxBlobFieldsToBlobFields sfiFieldsToBlobFields;
  TnxSpecialFields sfiFields;        // -1: the table has no such field
  TnxSpecialFieldOffsets sfiOffsets; // -1: the table has no such field
  std::atomic<std::int32_t> sfiRefCount{0};
};
using PnxSpecialFieldsInfo = TnxSpecialFieldsInfo*;

struct TnxCacheableInfo {
  PnxSpecialFieldsInfo ciSFI;  // counted
  std::atomic<std::int32_t> ciRefCount{0};
  std::int32_t ciModifyLSNIndex;
  std::int32_t ciGraveyardLSNIndex;
  std::int32_t ciGraveyardRefNrIndex;
  std::int32_t ciCachedBlobsIndex;
  std::int32_t ciBlobNrCounterIndex;
};
using PnxCacheableInfo = TnxCacheableInfo*;

// Followed in memory by dciBitsLengthByte8s bytes of dciRequiredBits.
struct TnxDiffCompressorInfo {
  std::atomic<std::int32_t> dciRefCount{0};
  std::uint16_t dciSourceWord32Count;
  std::uint16_t dciBitsLengthByte8s;
  std::uint16_t dciBitsLengthWord32s;
  std::uint16_t dciTargetWord32Count;

  std::uint8_t* dciRequiredBits() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  const std::uint8_t* dciRequiredBits() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
};
using PnxDiffCompressorInfo = TnxDiffCompressorInfo*;

struct TnxNewBlobNr {
  TnxBlobNr nbnBlobNr;
  bool nbnSet;
};
using PnxNewBlobNr = TnxNewBlobNr*;

struct TnxBlobCacheInfo {
  std::int32_t bciFieldNo;
  TnxBlobNr bciBlobNr;
  TnxCachedBlobStateInfo bciState;
  TnxBlobNr bciCacheBlobNr;
  nxString bciCacheFileName;
  std::uint32_t bciLength;
  bool bciFlushed;
  bool bciEverFlushed;
  bool bciBlobNrInternal;
};
using TnxBlobCacheInfos = std::vector<TnxBlobCacheInfo>;

struct TnxBlobBatchRequestEntry {
  TnxBlobNr bbrqeBlobNr;
  TnxBlobNr bbrqeBlobNrLocal;
  TnxCachedBlobStateInfo bbrqeStateInfo;
  nxString bbrqeFileName;
  std::vector<std::uint8_t> bbrqeData;
  std::uint16_t bbrqeFieldNo;
};
using TnxBlobBatchRequestEntries = std::vector<TnxBlobBatchRequestEntry>;

struct TnxBlobBatchRequest {
  TnxRecID bbrqRecID;
  TnxBlobBatchRequestEntries bbrqEntries;
};
using PnxBlobBatchRequest = TnxBlobBatchRequest*;

struct TnxTransactionLevelInfo {
  double tliStartTime;  // date-time
  TnxLSN tliStartLSN;
  TnxLSN tliLSN;
  std::int32_t tliLevel;
  std::int32_t tliBlockCount;
  std::int32_t tliNestingCount;
  TnxTransactionLevelStates tliState;
};
using TnxTransactionLevelInfos = std::vector<TnxTransactionLevelInfo>;

struct TnxTransactionInfo {
  TnxTransactionLevelInfos tiLevels;
  double tiStartTime;  // date-time
  TnxLSN tiStartLSN;
  TnxLSN tiLSN;
  std::int32_t tiLevel;
  std::uint32_t tiBlockCount;
  TnxTransactionStates tiState;
};

struct TnxTaskStatus {
  std::uint32_t tsStartTime;
  std::uint32_t tsSnapshotTime;
  std::uint32_t tsTotalRecs;
  std::uint32_t tsRecsRead;
  std::uint32_t tsRecsWritten;
  std::uint32_t tsErrorCode;
  std::uint8_t tsPercentDone;
  bool tsFinished;
  nxString tsErrorMessage;
};

struct TnxSqlParamDesc {
  nxString piParamName;
  TnxParamType piParamType;
  TnxFieldType piDataType;
  std::vector<std::uint8_t> piData;  // the value in the storage form of piDataType
};
using TnxSqlParamList = std::vector<TnxSqlParamDesc>;

struct TnxStoredProcParamDesc {
  nxString piParamName;
  TnxParamType piParamType;
  TnxFieldType piDataType;
  std::int32_t piSize;  // the units of the type
};
using TnxStoredProcParamList = std::vector<TnxStoredProcParamDesc>;

// Iterators; the cookie is the caller's.
using TnxRecordIterator = std::function<TnxRecordIteratorResult(void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord)>;
using TnxKeyIterator = std::function<TnxKeyIteratorResult(void* aCookie, TnxRefNr aRefNr, PnxKeyBuffer aKey)>;

// ---- Operations ---------------------------------------------------------

bool nxRecIDIsValid(const TnxRecID& aRecID);
bool nxRecIDIsUnknown(const TnxRecID& aRecID);

void nxRecordCacheInfoClear(TnxRecordCacheInfo& aInfo);
bool nxRecordCacheInfoIsEmpty(const TnxRecordCacheInfo& aInfo);
bool nxRecordCacheInfoIsValid(const TnxRecordCacheInfo& aInfo);
bool nxRecordCacheInfoEqual(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo& b);
bool nxRecordCacheInfoMatches(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo* b);
bool nxIndexedRecordCacheInfoMatches(const TnxIndexedRecordCacheInfo& a, const TnxIndexedRecordCacheInfo* b);

// Moves past one variable-length BLOB info (2 + 8 x count bytes); nil stays nil.
void nxNextBlobInfo(PnxRecordCacheInfoBlobInfo& aBlobInfo);

// Counted records. New answers a record holding one count; AddRef adds one
// (from any thread); Release clears the caller's variable, then drops the
// count it held and frees the record at zero. TnxCountedRef holds them too.
PnxSpecialFieldsInfo nxNewSpecialFieldsInfo();
void nxInitSpecialFieldsInfo(PnxSpecialFieldsInfo aInfo);
PnxSpecialFieldsInfo nxAddRefSpecialFieldsInfo(PnxSpecialFieldsInfo aInfo);
void nxReleaseSpecialFieldsInfo(PnxSpecialFieldsInfo& aInfo);

PnxCacheableInfo nxNewCacheableInfo();
void nxInitCacheableInfo(PnxCacheableInfo aInfo);
void nxReleaseCacheableInfo(PnxCacheableInfo& aInfo);

// REQUIRES: aRecordLength >= 1. Images handed to the two operations below
// hold 4 x dciSourceWord32Count bytes (record lengths are word multiples).
PnxDiffCompressorInfo nxNewDiffCompressorInfo(std::uint16_t aRecordLength);
PnxDiffCompressorInfo nxAddRefDiffCompressorInfo(PnxDiffCompressorInfo aInfo);
void nxReleaseDiffCompressorInfo(PnxDiffCompressorInfo& aInfo);
// The hooks by which TnxCountedRef (nxllOwners.h) holds these records.
inline void nxCountedAddRef(TnxSpecialFieldsInfo* aInfo) { nxAddRefSpecialFieldsInfo(aInfo); }
inline void nxCountedRelease(TnxSpecialFieldsInfo* aInfo) { nxReleaseSpecialFieldsInfo(aInfo); }
inline void nxCountedAddRef(TnxDiffCompressorInfo* aInfo) { nxAddRefDiffCompressorInfo(aInfo); }
inline void nxCountedRelease(TnxDiffCompressorInfo* aInfo) { nxReleaseDiffCompressorInfo(aInfo); }
void nxDiffCompressorMarkRequired(PnxDiffCompressorInfo aInfo, const std::uint8_t* aImage1,
                                  const std::uint8_t* aImage2);
void nxDiffDecompressRecord(const TnxDiffCompressorInfo* aInfo, const std::uint8_t* aOldRecord,
                            const std::uint8_t* aDiff, std::uint8_t* aNewRecord);

bool nxBlobBatchRequestIsValid(const TnxBlobBatchRequest& aRequest);

// Case-insensitive; an unknown name raises EnxBaseException 8712
// ("Could not find object.").
TnxFieldType nxSqlTypeNameToFieldType(std::u16string_view aName);
TnxParamType nxParamTypeFromName(std::u16string_view aName);
