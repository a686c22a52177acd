// Engine result codes, their categories and the filter-expression header.
//
// A code is a 16-bit number carried in a TnxResult (0 = success); its category
// is the high byte of the low 16 bits. Layers test categories (locks, not
// found, ...) as often as single codes. Every code used by the engine is
// named here; nxGetErrorString (nxllBdeStrings.h) gives the standard texts.
#pragma once

#include <cstdint>

#include "nxllTypes.h"

// (aCode and $FFFF) shr 8.
constexpr std::uint8_t nxErrorCategory(TnxWord16 aCode) { return std::uint8_t(aCode >> 8); }

// Categories.
inline constexpr std::uint8_t nxCatStatus = 0x00;  // status values
inline constexpr std::uint8_t nxCatSystem = 0x21;  // system
inline constexpr std::uint8_t nxCatPosition = 0x22;  // positioning and not found
inline constexpr std::uint8_t nxCatCorruption = 0x23;  // data corruption
inline constexpr std::uint8_t nxCatInputOutput = 0x24;  // input and output
inline constexpr std::uint8_t nxCatResource = 0x25;  // resource limits
inline constexpr std::uint8_t nxCatIntegrity = 0x26;  // integrity and validity checks
inline constexpr std::uint8_t nxCatInvalidRequest = 0x27;  // invalid requests
inline constexpr std::uint8_t nxCatLock = 0x28;  // locks and transactions
inline constexpr std::uint8_t nxCatRights = 0x29;  // rights and read-only objects
inline constexpr std::uint8_t nxCatNotApplicable = 0x2A;  // operations not applicable
inline constexpr std::uint8_t nxCatOperatingSystem = 0x2B;  // operating system
inline constexpr std::uint8_t nxCatNetwork = 0x2C;  // network
inline constexpr std::uint8_t nxCatBlob = 0x2E;  // blobs
inline constexpr std::uint8_t nxCatVersion = 0x2F;  // versions
inline constexpr std::uint8_t nxCatCapability = 0x30;  // capabilities
inline constexpr std::uint8_t nxCatOther = 0x33;  // other
inline constexpr std::uint8_t nxCatEngine = 0x3C;  // engine-specific

// Codes.

// $00: status values
inline constexpr TnxResult nxSuccess = 0;  // $0000
inline constexpr TnxResult nxKeyFiltered = 1;  // $0001
inline constexpr TnxResult nxCacheValid = 2;  // $0002
inline constexpr TnxResult nxCacheInvalid = 3;  // $0003

// $21: system
inline constexpr TnxResult nxErrReentered = 8455;  // $2107

// $22: positioning and not found
inline constexpr TnxResult nxErrBOF = 8705;  // $2201
inline constexpr TnxResult nxErrEOF = 8706;  // $2202
inline constexpr TnxResult nxErrKeyOrRecDeleted = 8708;  // $2204
inline constexpr TnxResult nxErrNoCurrentRecord = 8709;  // $2205
inline constexpr TnxResult nxErrRecordNotFound = 8710;  // $2206
inline constexpr TnxResult nxErrEndOfBlob = 8711;  // $2207
inline constexpr TnxResult nxErrObjectNotFound = 8712;  // $2208

// $23: data corruption
inline constexpr TnxResult nxErrCorruptHeader = 8961;  // $2301
inline constexpr TnxResult nxErrCorruptFile = 8962;  // $2302
inline constexpr TnxResult nxErrCorruptIndex = 8965;  // $2305

// $24: input and output
inline constexpr TnxResult nxErrReadFailure = 9217;  // $2401
inline constexpr TnxResult nxErrWriteFailure = 9218;  // $2402
inline constexpr TnxResult nxErrDirAccess = 9219;  // $2403
inline constexpr TnxResult nxErrFileAccess = 9221;  // $2405

// $25: resource limits
inline constexpr TnxResult nxErrNoMemory = 9473;  // $2501
inline constexpr TnxResult nxErrTableFull = 9479;  // $2507
inline constexpr TnxResult nxErrTooManyClients = 9486;  // $250E
inline constexpr TnxResult nxErrTooManyIndices = 9487;  // $250F
inline constexpr TnxResult nxErrTooManyFields = 9492;  // $2514

// $26: integrity and validity checks
inline constexpr TnxResult nxErrKeyViolation = 9729;  // $2601
inline constexpr TnxResult nxErrMinValidity = 9730;  // $2602
inline constexpr TnxResult nxErrMaxValidity = 9731;  // $2603
inline constexpr TnxResult nxErrRequiredField = 9732;  // $2604
inline constexpr TnxResult nxErrMasterMissing = 9733;  // $2605
inline constexpr TnxResult nxErrMasterHasDetails = 9734;  // $2606
inline constexpr TnxResult nxErrFieldBlank = 9740;  // $260C
inline constexpr TnxResult nxErrExprValidity = 9751;  // $2617

// $27: invalid requests
inline constexpr TnxResult nxErrOutOfRange = 9985;  // $2701
inline constexpr TnxResult nxErrInvalidParam = 9986;  // $2702
inline constexpr TnxResult nxErrInvalidHandle = 9990;  // $2706
inline constexpr TnxResult nxErrCannotOpenFile = 9992;  // $2708
inline constexpr TnxResult nxErrInvalidModifyRequest = 9996;  // $270C
inline constexpr TnxResult nxErrNoSuchIndex = 9997;  // $270D
inline constexpr TnxResult nxErrInvalidBlobOffset = 9998;  // $270E
inline constexpr TnxResult nxErrInvalidDescNumber = 9999;  // $270F
inline constexpr TnxResult nxErrInvalidFieldType = 10000;  // $2710
inline constexpr TnxResult nxErrInvalidFieldDesc = 10001;  // $2711
inline constexpr TnxResult nxErrInvalidFieldXform = 10002;  // $2712
inline constexpr TnxResult nxErrInvalidRecordStruct = 10003;  // $2713
inline constexpr TnxResult nxErrInvalidDesc = 10004;  // $2714
inline constexpr TnxResult nxErrInvalidIndexDescArray = 10005;  // $2715
inline constexpr TnxResult nxErrNameNotUnique = 10009;  // $2719
inline constexpr TnxResult nxErrUnknownDatabase = 10014;  // $271E
inline constexpr TnxResult nxErrInvalidPassword = 10015;  // $271F
inline constexpr TnxResult nxErrAliasDirNotFound = 10018;  // $2722
inline constexpr TnxResult nxErrTranslateOutOfBounds = 10019;  // $2723
inline constexpr TnxResult nxErrCursorOfOtherTable = 10020;  // $2724
inline constexpr TnxResult nxErrBookmarkMismatch = 10021;  // $2725
inline constexpr TnxResult nxErrInvalidIndexName = 10022;  // $2726
inline constexpr TnxResult nxErrInvalidIndexDesc = 10023;  // $2727
inline constexpr TnxResult nxErrNoSuchTable = 10024;  // $2728
inline constexpr TnxResult nxErrIndexExists = 10027;  // $272B
inline constexpr TnxResult nxErrInvalidBlobLength = 10029;  // $272D
inline constexpr TnxResult nxErrInvalidBlobHandle = 10030;  // $272E
inline constexpr TnxResult nxErrTableOpen = 10031;  // $272F
inline constexpr TnxResult nxErrUnknownUser = 10036;  // $2734
inline constexpr TnxResult nxErrInvalidFieldName = 10038;  // $2736
inline constexpr TnxResult nxErrInvalidTableName = 10039;  // $2737
inline constexpr TnxResult nxErrInvalidFileExt = 10042;  // $273A
inline constexpr TnxResult nxErrInvalidLangDriver = 10043;  // $273B
inline constexpr TnxResult nxErrInvalidFilterHandle = 10050;  // $2742
inline constexpr TnxResult nxErrInvalidFilter = 10051;  // $2743
inline constexpr TnxResult nxErrInvalidAliasName = 10067;  // $2753
inline constexpr TnxResult nxErrInvalidName = 10068;  // $2754

// $28: locks and transactions
inline constexpr TnxResult nxErrRecordLockedByOther = 10241;  // $2801
inline constexpr TnxResult nxErrFileLocked = 10245;  // $2805
inline constexpr TnxResult nxErrLockTimeout = 10249;  // $2809
inline constexpr TnxResult nxErrNoExclusiveAccess = 10253;  // $280D
inline constexpr TnxResult nxErrLockConflict = 10254;  // $280E
inline constexpr TnxResult nxErrDeadlock = 10255;  // $280F
inline constexpr TnxResult nxErrTransactionActive = 10256;  // $2810
inline constexpr TnxResult nxErrNoTransaction = 10257;  // $2811
inline constexpr TnxResult nxErrRecordLockFailed = 10258;  // $2812
inline constexpr TnxResult nxErrRecordChangedByOther = 10259;  // $2813
inline constexpr TnxResult nxErrRecordDeletedByOther = 10260;  // $2814

// $29: rights and read-only objects
inline constexpr TnxResult nxErrInsufficientRights = 10498;  // $2902
inline constexpr TnxResult nxErrDatabaseReadOnly = 10501;  // $2905
inline constexpr TnxResult nxErrReadOnlyField = 10502;  // $2906
inline constexpr TnxResult nxErrEncryptionNotSupported = 10503;  // $2907

// $2A: operations not applicable
inline constexpr TnxResult nxErrNotABlob = 10753;  // $2A01
inline constexpr TnxResult nxErrNotApplicable = 10756;  // $2A04
inline constexpr TnxResult nxErrTableNotIndexed = 10757;  // $2A05
inline constexpr TnxResult nxErrDifferentSessions = 10760;  // $2A08
inline constexpr TnxResult nxErrTableReadOnly = 10763;  // $2A0B
inline constexpr TnxResult nxErrNoAssociatedIndex = 10764;  // $2A0C

// $2B: operating system
inline constexpr TnxResult nxErrOsUnknown = 11047;  // $2B27
inline constexpr TnxResult nxErrNoServerEngine = 11114;  // $2B6A

// $2C: network
inline constexpr TnxResult nxErrLostConnection = 11276;  // $2C0C
inline constexpr TnxResult nxErrCannotConnect = 11278;  // $2C0E

// $2E: blobs
inline constexpr TnxResult nxErrBlobGeneral = 11896;  // $2E78

// $2F: versions
inline constexpr TnxResult nxErrIncompatibleVersion = 12039;  // $2F07
inline constexpr TnxResult nxErrHigherTableLevel = 12040;  // $2F08

// $30: capabilities
inline constexpr TnxResult nxErrNotSupported = 12289;  // $3001

// $33: other
inline constexpr TnxResult nxErrBlobModified = 13058;  // $3302
inline constexpr TnxResult nxErrTableExists = 13060;  // $3304
inline constexpr TnxResult nxErrUpdateAborted = 13062;  // $3306

// $3C: engine-specific
inline constexpr TnxResult nxErrInvalidFileData = 15360;  // $3C00
inline constexpr TnxResult nxErrCloseFile = 15363;  // $3C03
inline constexpr TnxResult nxErrCopyFile = 15392;  // $3C20
inline constexpr TnxResult nxErrDeleteFile = 15393;  // $3C21
inline constexpr TnxResult nxErrRenameFile = 15394;  // $3C22
inline constexpr TnxResult nxErrInvalidBlockNumber = 15409;  // $3C31
inline constexpr TnxResult nxErrInvalidRefNr = 15412;  // $3C34
inline constexpr TnxResult nxErrNotADataBlock = 15413;  // $3C35
inline constexpr TnxResult nxErrNoFileHeaderAccess = 15414;  // $3C36
inline constexpr TnxResult nxErrNewerTableVersion = 15415;  // $3C37
inline constexpr TnxResult nxErrNotAHeapBlock = 15416;  // $3C38
inline constexpr TnxResult nxErrNotAStreamBlock = 15421;  // $3C3D
inline constexpr TnxResult nxErrNotAnIndexBlock = 15424;  // $3C40
inline constexpr TnxResult nxErrIndexOutOfRange = 15425;  // $3C41
inline constexpr TnxResult nxErrFileBlobOpen = 15440;  // $3C50
inline constexpr TnxResult nxErrFileBlobRead = 15441;  // $3C51
inline constexpr TnxResult nxErrFileBlobClose = 15442;  // $3C52
inline constexpr TnxResult nxErrTransactionCorrupt = 15443;  // $3C53
inline constexpr TnxResult nxErrFilterTimeout = 15444;  // $3C54
inline constexpr TnxResult nxErrTimeout = 15461;  // $3C65
inline constexpr TnxResult nxErrNotConnected = 15465;  // $3C69
inline constexpr TnxResult nxErrIncompatibleDictionaries = 15488;  // $3C80
inline constexpr TnxResult nxErrSameTable = 15489;  // $3C81
inline constexpr TnxResult nxErrBlobTooLarge = 15490;  // $3C82
inline constexpr TnxResult nxErrIncompatibleSubEngine = 15491;  // $3C83
inline constexpr TnxResult nxErrInvalidSegment = 15492;  // $3C84
inline constexpr TnxResult nxErrSegmentDeleted = 15493;  // $3C85
inline constexpr TnxResult nxErrKeyTooLarge = 15494;  // $3C86
inline constexpr TnxResult nxErrRecordTooLarge = 15495;  // $3C87
inline constexpr TnxResult nxErrTempStorageInvalidBlock = 15496;  // $3C88
inline constexpr TnxResult nxErrTempStorageFull = 15497;  // $3C89
inline constexpr TnxResult nxErrIncompatibleStream = 15498;  // $3C8A
inline constexpr TnxResult nxErrUnsupportedDescriptor = 15499;  // $3C8B
inline constexpr TnxResult nxErrDictionaryReadOnly = 15500;  // $3C8C
inline constexpr TnxResult nxErrDuplicateAutoInc = 15501;  // $3C8D
inline constexpr TnxResult nxErrObjectInUse = 15502;  // $3C8E
inline constexpr TnxResult nxErrUnsupportedSubEngine = 15503;  // $3C8F
inline constexpr TnxResult nxErrUnsupportedFileHeaderAccess = 15504;  // $3C90
inline constexpr TnxResult nxErrNoServerName = 15505;  // $3C91
inline constexpr TnxResult nxErrDuplicateRecRev = 15506;  // $3C92
inline constexpr TnxResult nxErrSignal = 15507;  // $3C93
inline constexpr TnxResult nxErrSameFolder = 15508;  // $3C94
inline constexpr TnxResult nxErrRecoveryFailed = 15509;  // $3C95
inline constexpr TnxResult nxErrIndexNotEmpty = 15511;  // $3C97
inline constexpr TnxResult nxErrDuplicateRefNr = 15512;  // $3C98
inline constexpr TnxResult nxErrDuplicateLSN = 15513;  // $3C99
inline constexpr TnxResult nxErrGeneral = 15520;  // $3CA0
inline constexpr TnxResult nxErrUnexpectedException = 15521;  // $3CA1
inline constexpr TnxResult nxErrUnknownMessage = 15522;  // $3CA2
inline constexpr TnxResult nxErrNoMessageQueued = 15536;  // $3CB0

// 8944..8959 ($22F0..$22FF): "cache is invalid" combined with a positioning
// code $2200..$220F in the low nibble.
inline constexpr TnxResult nxCacheInvalidPositionFirst = 0x22F0;
inline constexpr TnxResult nxCacheInvalidPositionLast = 0x22FF;

// Header of a filter-expression blob: five little-endian 16-bit fields, 10 bytes.
struct CANExpr {
  std::uint16_t iVer;
  std::uint16_t iTotalSize;
  std::uint16_t iNodes;
  std::uint16_t iNodeStart;
  std::uint16_t iLiteralStart;
};
using pCANExpr = CANExpr*;
static_assert(sizeof(CANExpr) == 10 && alignof(CANExpr) == 2);
