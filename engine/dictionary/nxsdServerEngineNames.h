// Names family of the server-engine module. Include nxsdServerEngine.h, not
// this header.
//
// Definitions shared by the abstract server objects (engine, session,
// database, transaction context, cursor, statement): the enumerations and
// sets passed through their operations, a few plain records and interfaces,
// the alias entry of alias lists, and the checks that decide whether a text
// is an acceptable table, alias or object name and which kind of table a
// name denotes.
//
// Contracts:
// - Enumerations are numbered from 0 in declaration order; a set holds bit n
//   (byte n div 8, bit n mod 8) for value n and has the width given at its
//   declaration (static_asserts below).
// - Table names: root[:child[:child...]]; the root may be "<name>" or
//   "###name" (in-memory), "##name" (temporary table of the database) or
//   "#name" (temporary table of the SQL layer). The kind tests look only at
//   code units ('<' 60, '>' 62, '#' 35) of the text as given.
// - The name checks never raise: 0 is success, otherwise an error code; the
//   reason is left as the calling thread's pending message for the code the
//   identifier check (or the child-separator rule) returned. When an empty
//   name is turned into a "not found" code, that pending message stays as it
//   was (for the identifier check's code).
// - No state, no locks: the definitions and name checks may be called from
//   any thread.
// - TnxAliasDescriptor is plain data owned by whoever holds it (an alias
//   list owns its entries).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllHandleTable.h"
#include "nxllSync.h"
#include "nxllTypes.h"
#include "plFormat.h"
#include "plStringList.h"
#include "nxsdTypes.h"
#include "plGuid.h"
#include "plString.h"

// ---- Sets wider than one byte -----------------------------------------------

// A set of enumeration E in NBytes bytes: bit n of byte n div 8 for value n.
template <class E, std::size_t NBytes>
struct TnxEnumSet {
  std::array<std::uint8_t, NBytes> Bytes{};

  constexpr TnxEnumSet() = default;
  constexpr TnxEnumSet(std::initializer_list<E> aList) {
    for (E e : aList) include(e);
  }
  // A value beyond the set's width (a cast from a foreign number) is never a
  // member and is not stored.
  constexpr void include(E e) {
    if (index(e) < NBytes * 8)
      Bytes[index(e) / 8] = static_cast<std::uint8_t>(Bytes[index(e) / 8] | (1u << (index(e) % 8)));
  }
  constexpr void exclude(E e) {
    if (index(e) < NBytes * 8)
      Bytes[index(e) / 8] = static_cast<std::uint8_t>(Bytes[index(e) / 8] & ~(1u << (index(e) % 8)));
  }
  constexpr bool contains(E e) const {
    return index(e) < NBytes * 8 && ((Bytes[index(e) / 8] >> (index(e) % 8)) & 1u) != 0;
  }
  constexpr bool empty() const {
    for (auto b : Bytes)
      if (b) return false;
    return true;
  }
  constexpr bool operator==(const TnxEnumSet&) const = default;

 private:
  static constexpr std::size_t index(E e) { return static_cast<std::size_t>(e); }
};

// ---- Enumerations -------------------------------------------------------------

// Client hints recorded on a cursor; "acoXFollowedByY" announces that the
// client follows operation X by operation Y.
enum TnxAbstractCursorOption : std::uint8_t {
  acoChainedRecordGetUsesWriteLock,
  acoFailClientFilterFast,
  acoFilterActionFollowedByFirst,
  acoFilterActionFollowedBySync,
  acoFlipOrder,
  acoLockReleaseFollowedByRecordGet,
  acoPreCacheMarkedBlobs,
  acoRangeResetFollowedBySync,
  acoRangeSetFollowedByRecordGetNext,
  acoRangeSetFollowedBySetToBegin,
  acoRecNoSetFollowedBySync,
  acoRecordDeleteFollowedBySync,
  acoRecordGetFollowedByGetBookmark,
  acoRecordGetForKeyFollowedByRecordGet,
  acoRecordInsertFollowedByRecordGet,
  acoRecordModifyFollowedBySync,
  acoSetToBeginFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByNothing,
  acoSetToBookmarkFollowedByRecordGet,
  acoSetToBookmarkFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByRecordGetPrior,
  acoSetToBookmarkFollowedBySync,
  acoSetToCursorFollowedBySyncExact,
  acoSetToEndFollowedByRecordGetPrior,
  acoSetToKeyFollowedBySync,
  acoSkipReadingBlobDataForBatch,
};
inline constexpr int nxAbstractCursorOptionCount = 26;
using TnxAbstractCursorOptions = TnxEnumSet<TnxAbstractCursorOption, 4>;

enum TnxAbstractCursorCapability : std::uint8_t { accCancelBlobs, accCaching };
using TnxAbstractCursorCapabilities = TnxSmallSet<TnxAbstractCursorCapability>;

enum TnxAbstractCursorState : std::uint8_t { acsAutoFreeDatabase, acsLockedIncDone, acsIsCacheable, acsIsCache };
using TnxAbstractCursorStates = TnxSmallSet<TnxAbstractCursorState>;

enum TnxCursorOpenOption : std::uint8_t { cooRequestMultipartRecordGet, cooRecordGetFollowedByGetBookmark, cooFlipOrder };
using TnxCursorOpenOptions = TnxSmallSet<TnxCursorOpenOption>;

// What an extender of a server object can be told about.
enum TnxEngineAction : std::uint8_t {
  eaCreate,
  eaDestroy,
  eaChildCreate,
  eaChildDestroy,
  eaAliasAdd,
  eaAliasDelete,
  eaAliasModify,
  eaAliasGetList,
  eaAliasGetPath,
  eaCloseInactiveFolders,
  eaCloseInactiveTables,
  eaBuildPasswords,
  eaGetRegisteredClassList,
  eaTransactionStart,
  eaTransactionCommit,
  eaTransactionRollback,
  eaTableBuild,
  eaTablePack,
  eaTableBackup,
  eaTableRebuildIndex,
  eaTableRestructure,
  eaTableAddField,
  eaTableAddIndex,
  eaTableDropIndex,
  eaTableRename,
  eaTableRecover,
  eaTableVerifyChecksum,
  eaTableDelete,
  eaTableEmpty,
  eaTableExists,
  eaTableGetDictionary,
  eaTableGetList,
  eaGetChangedTables,
  eaOpenFile,
  eaOpenFiles,
  eaRecordGet,
  eaRecordInsert,
  eaRecordModify,
  eaRecordDelete,
  eaRecordFulltextUpdate,
  eaStatementPrepare,
  eaStatementExec,
  eaStatementSetParams,
  eaStatementGetParams,
};
inline constexpr int nxEngineActionCount = 44;
// 48 bits; bits 44..47 are never set.
using TnxEngineActions = TnxEnumSet<TnxEngineAction, 6>;

enum TnxSessionStatsCounter : std::uint8_t {
  sscCalls,
  sscStatements,
  sscTime,
  sscCycles,
  sscBlocksRead,
  sscBlocksWritten,
  sscTransCommit,
  sscTransRollback,
  sscTransNestedCommit,
  sscTransNestedRollback,
  sscTransDeadlock,
  sscTransCorrupted,
};
inline constexpr int nxSessionStatsCounterCount = 12;
using TnxSessionStatsCounters = std::array<std::int64_t, nxSessionStatsCounterCount>;

// The step a direct statement execution reached.
enum TnxStatementExecDirectPhase : std::uint8_t { sedAlloc, sedPrepare, sedSetParams, sedExec, sedGetParams, sedFree };

enum TnxTableScope : std::uint8_t { tsPersistent, tsTempGlobal, tsTempDatabase, tsTempUnnamed };

// Whether an index switch stays on the current record.
enum TnxPosnOnRec : std::uint8_t { porFalse, porTrue, porTry };

static_assert(sizeof(TnxAbstractCursorOptions) == 4);
static_assert(sizeof(TnxAbstractCursorCapabilities) == 1);
static_assert(sizeof(TnxAbstractCursorStates) == 1);
static_assert(sizeof(TnxCursorOpenOptions) == 1);
static_assert(sizeof(TnxEngineActions) == 6);
static_assert(acoSkipReadingBlobDataForBatch + 1 == nxAbstractCursorOptionCount);
static_assert(eaStatementGetParams + 1 == nxEngineActionCount);
static_assert(sscTransCorrupted + 1 == nxSessionStatsCounterCount);

// ---- Records --------------------------------------------------------------------

struct TnxRecordDiffBlobBatch {
  TnxBlobBatchRequest* rdbbRequest;
  TnxBlobBatchReply* rdbbReply;
};

struct TnxRecordDiff {
  // Bitmap of the present 32-bit words, then those words.
  const std::uint8_t* rdDiff;
  // Receives the rebuilt full record (record length bytes); nil: not wanted.
  std::uint8_t* rdFull;
  TnxRecordDiffBlobBatch rdBlobBatch;
};
using PnxRecordDiff = TnxRecordDiff*;

// One search key of a batch key search: this 12-byte header, then the key
// of the active index (kbDirectKey) or a record to build it from.
struct TnxDataSetKeyBuffer {
  std::int32_t kbFieldCount;  // 0: every key field
  std::int32_t kbPartialLen;  // 0: whole last field
  bool kbModified;
  bool kbExclusive;
  bool kbDirectKey;
  std::uint8_t kbPadding;
};
static_assert(sizeof(TnxDataSetKeyBuffer) == 12);
inline constexpr std::size_t nxDataSetKeyBufferHeaderSize = sizeof(TnxDataSetKeyBuffer);

// One search key buffer (a TnxDataSetKeyBuffer and its bytes) per element.
using TnxDataSetKeyBufferArray = std::vector<PnxKeyBuffer>;

// ---- Alias entry ----------------------------------------------------------------

class TnxAliasDescriptor : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxAliasDescriptor() = default;
  TnxAliasDescriptor(nxString aAlias, nxString aPath) : adAlias(std::move(aAlias)), adPath(std::move(aPath)) {}
  TnxAliasDescriptor(const TnxAliasDescriptor&) = delete;
  TnxAliasDescriptor& operator=(const TnxAliasDescriptor&) = delete;

  nxString adAlias;  // the alias name
  nxString adPath;   // the folder it stands for
};

// ---- Interfaces -----------------------------------------------------------------

// Implemented by every server object.
class InxAbstractServerObject41100 : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x65C25198, 0x5DDF, 0x4807, {0x91, 0x96, 0x6A, 0x76, 0xBB, 0xFE, 0x67, 0x68}};
  virtual nxString GetEncodedExceptionData(bool aIncludeChildren) = 0;

 protected:
  ~InxAbstractServerObject41100() = default;
};

// The lock that serialises every call of one session.
class InxSimpleLock : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xD2727E91, 0xE0DC, 0x4558, {0xB8, 0x57, 0x2F, 0xC0, 0xED, 0xE8, 0x8E, 0xD9}};
  virtual void Lock() = 0;
  virtual void Unlock(TnxResult& aResult) = 0;
  virtual void Failed(bool aPermanent, bool aWait) = 0;
  virtual void SetFailedCleanupDone() = 0;
  virtual bool IsFailedPermanent() = 0;
  virtual std::uint64_t LastLocked() = 0;

 protected:
  ~InxSimpleLock() = default;
};

class InxRequestCloseHandler : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xB1155737, 0x8151, 0x4804, {0xAB, 0x73, 0xE5, 0xE3, 0xCA, 0x28, 0x0B, 0x0D}};
  virtual void RequestClose(platform::TObject* aSender) = 0;

 protected:
  ~InxRequestCloseHandler() = default;
};

class InxRequestCloseHandlerEvent : public InxRequestCloseHandler {
 public:
  static constexpr platform::Guid IID{0xAF7BF7A2, 0xEAF3, 0x49C7, {0xB8, 0x30, 0xD9, 0x14, 0x07, 0xF7, 0x15, 0xC5}};
  virtual void Disconnect() = 0;

 protected:
  ~InxRequestCloseHandlerEvent() = default;
};

// The operations of the next three are the implementing server engine's:
// it derives its own interface and answers these identities for it.
class InxDatabaseCursorSource : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xE46D44BF, 0xAE7D, 0x435D, {0x94, 0x20, 0xCE, 0x19, 0x22, 0xDB, 0x38, 0x19}};

 protected:
  ~InxDatabaseCursorSource() = default;
};

class InxDatabaseCursorSourceControl : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x3DBBA72D, 0xF8D2, 0x4AF9, {0x94, 0x00, 0x2E, 0xE5, 0x6A, 0xD4, 0x99, 0xDF}};

 protected:
  ~InxDatabaseCursorSourceControl() = default;
};

class InxRemoteTaskInfoCreator : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x17B64C3F, 0x3929, 0x498A, {0xB0, 0xFB, 0x79, 0x82, 0xF7, 0xD6, 0xBC, 0x6E}};

 protected:
  ~InxRemoteTaskInfoCreator() = default;
};

// ---- Table, alias and object names ---------------------------------------------

// "<x>" (3 characters or more) or "###x" with x not '#'.
bool nxIsInMemoryTableName(platform::UnicodeStringView aName);
// "##x" with x not '#'.
bool nxIsGlobalTempTableName(platform::UnicodeStringView aName);
// "#x" with x not '#'.
bool nxIsLocalTempTableName(platform::UnicodeStringView aName);

// One table name without child parts ("<x>" checks x). Reserved ("$")
// identifiers only with aAllowSystem. Empty with aEmptyIsNotFound: 10024,
// otherwise failures answer 10039.
TnxResult nxCheckTableName(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem);
// root[:child...]: the root as nxCheckTableName, the rest as
// nxCheckChildTableNames.
TnxResult nxCheckTableNameWithChild(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem);
// The parts after the root: each "." or ".." or an identifier (reserved
// allowed); 10039 on the first bad part.
TnxResult nxCheckChildTableNames(const nxString& aChildPath);
// 10067, or 10014 for an empty alias with aEmptyIsNotFound.
TnxResult nxCheckAliasName(const nxString& aAlias, bool aEmptyIsNotFound);
// Stored procedure or function names: 10068, or 8712 for an empty name with
// aEmptyIsNotFound.
TnxResult nxCheckObjectName(const nxString& aName, bool aEmptyIsNotFound);
