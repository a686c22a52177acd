#include "nxllBdeStrings.h"

#include <algorithm>
#include <iterator>

#include "nxllBde.h"

namespace {

constexpr std::u16string_view kUnknownText = u"Unknown (server exception object has unknown error code)";

// Sorted by code: looked up by binary search.
constexpr TnxErrorStringEntry kErrorStrings[] = {
    {nxSuccess, u"Success"},
    {nxKeyFiltered, u"Key has been filtered"},
    {nxCacheValid, u"Cache is valid"},
    {nxCacheInvalid, u"Cache is invalid"},
    {nxErrReentered, u"System has been illegally re-entered."},
    {nxErrBOF, u"At beginning of table."},
    {nxErrEOF, u"At end of table."},
    {nxErrKeyOrRecDeleted, u"Record/Key deleted."},
    {nxErrNoCurrentRecord, u"No current record."},
    {nxErrRecordNotFound, u"Could not find record."},
    {nxErrEndOfBlob, u"End of BLOB."},
    {nxErrObjectNotFound, u"Could not find object."},
    {nxErrCorruptHeader, u"Corrupt table/index header."},
    {nxErrCorruptFile, u"Corrupt file - other than header."},
    {nxErrCorruptIndex, u"Corrupt index."},
    {nxErrReadFailure, u"Read failure."},
    {nxErrWriteFailure, u"Write failure."},
    {nxErrDirAccess, u"Cannot access directory."},
    {nxErrFileAccess, u"Cannot access file. File may be in use by another process."},
    {nxErrNoMemory, u"Insufficient memory for this operation."},
    {nxErrTableFull, u"Table is full."},
    {nxErrTooManyClients, u"Too many clients."},
    {nxErrTooManyIndices, u"Too many indexes on table."},
    {nxErrTooManyFields, u"Too many fields."},
    {nxErrKeyViolation, u"Key violation."},
    {nxErrMinValidity, u"Minimum validity check failed."},
    {nxErrMaxValidity, u"Maximum validity check failed."},
    {nxErrRequiredField, u"Field value required."},
    {nxErrMasterMissing, u"Master record missing."},
    {nxErrMasterHasDetails, u"Master has detail records. Cannot delete or modify."},
    {nxErrFieldBlank, u"Field is blank."},
    {nxErrExprValidity, u"Expression validity check failed."},
    {nxErrOutOfRange, u"Number is out of range."},
    {nxErrInvalidParam, u"Invalid parameter."},
    {nxErrInvalidHandle, u"Invalid handle to the function."},
    {nxErrCannotOpenFile, u"Cannot open file."},
    {nxErrInvalidModifyRequest, u"Invalid modify request."},
    {nxErrNoSuchIndex, u"Index does not exist."},
    {nxErrInvalidBlobOffset, u"Invalid offset into the BLOB."},
    {nxErrInvalidDescNumber, u"Invalid descriptor number."},
    {nxErrInvalidFieldType, u"Invalid field type."},
    {nxErrInvalidFieldDesc, u"Invalid field descriptor."},
    {nxErrInvalidFieldXform, u"Invalid field transformation."},
    {nxErrInvalidRecordStruct, u"Invalid record structure."},
    {nxErrInvalidDesc, u"Invalid descriptor."},
    {nxErrInvalidIndexDescArray, u"Invalid array of index descriptors."},
    {nxErrNameNotUnique, u"Name not unique in this context."},
    {nxErrUnknownDatabase, u"Unknown database."},
    {nxErrInvalidPassword, u"Invalid password given."},
    {nxErrAliasDirNotFound, u"The alias references a directory that does not exist."},
    {nxErrTranslateOutOfBounds, u"Translate Error. Value out of bounds."},
    {nxErrCursorOfOtherTable, u"Cannot set cursor of one table to another."},
    {nxErrBookmarkMismatch, u"Bookmarks do not match table."},
    {nxErrInvalidIndexName, u"Invalid index name."},
    {nxErrInvalidIndexDesc, u"Invalid index descriptor."},
    {nxErrNoSuchTable, u"Table does not exist."},
    {nxErrIndexExists, u"Index already exists."},
    {nxErrInvalidBlobLength, u"Invalid BLOB length."},
    {nxErrInvalidBlobHandle, u"Invalid BLOB handle in record buffer."},
    {nxErrTableOpen, u"Table is open."},
    {nxErrUnknownUser, u"Unknown user name or password."},
    {nxErrInvalidFieldName, u"Invalid field name."},
    {nxErrInvalidTableName, u"Invalid table name."},
    {nxErrInvalidFileExt, u"Invalid file extension."},
    {nxErrInvalidLangDriver, u"Invalid language Driver."},
    {nxErrInvalidFilterHandle, u"Filter handle is invalid"},
    {nxErrInvalidFilter, u"Invalid Filter"},
    {nxErrInvalidAliasName, u"Invalid alias name."},
    {nxErrInvalidName, u"Invalid name."},
    {nxErrRecordLockedByOther, u"Record locked by another user."},
    {nxErrFileLocked, u"File is locked."},
    {nxErrLockTimeout, u"Lock time out."},
    {nxErrNoExclusiveAccess, u"Object cannot be opened for exclusive use."},
    {nxErrLockConflict, u"Conflicting lock in this session."},
    {nxErrDeadlock, u"A deadlock was detected. You need to rollback this transaction."},
    {nxErrTransactionActive, u"A user transaction is already in progress."},
    {nxErrNoTransaction, u"No user transaction is currently in progress."},
    {nxErrRecordLockFailed, u"Record lock failed."},
    {nxErrRecordChangedByOther, u"Couldn't perform the edit because another user changed the record."},
    {nxErrRecordDeletedByOther, u"Couldn't perform the edit because another user deleted or moved the record."},
    {nxErrInsufficientRights, u"Insufficient table rights for operation."},
    {nxErrDatabaseReadOnly, u"Database is read only."},
    {nxErrReadOnlyField, u"Trying to modify read-only field."},
    {nxErrEncryptionNotSupported, u"Encrypted tables not supported."},
    {nxErrNotABlob, u"Field is not a BLOB."},
    {nxErrNotApplicable, u"Operation not applicable."},
    {nxErrTableNotIndexed, u"Table is not indexed."},
    {nxErrDifferentSessions, u"Objects are not owned by the same session."},
    {nxErrTableReadOnly, u"Table is read only."},
    {nxErrNoAssociatedIndex, u"No associated index."},
    {nxErrOsUnknown, u"Unknown internal operating system error."},
    {nxErrNoServerEngine, u"No ServerEngine is connected to the CommandHandler."},
    {nxErrLostConnection, u"Lost communication with network server."},
    {nxErrCannotConnect, u"Cannot locate or connect to network server."},
    {nxErrBlobGeneral, u"General BLOB error."},
    {nxErrIncompatibleVersion, u"Server is incompatible version."},
    {nxErrHigherTableLevel, u"Higher table level required"},
    {nxErrNotSupported, u"Capability not supported."},
    {nxErrBlobModified, u"BLOB has been modified."},
    {nxErrTableExists, u"Table already exists."},
    {nxErrUpdateAborted, u"Update aborted."},
    {nxErrInvalidFileData, u"TnxBaseFile contains invalid data"},
    {nxErrCloseFile, u"File could not be closed"},
    {nxErrCopyFile, u"Error when copying a file"},
    {nxErrDeleteFile, u"Error when deleting a file"},
    {nxErrRenameFile, u"Error when renaming a file"},
    {nxErrInvalidBlockNumber, u"Block number is either < 0, or >= number of blocks in file"},
    {nxErrInvalidRefNr, u"Record reference number is invalid"},
    {nxErrNotADataBlock, u"Block read from file is not a data block"},
    {nxErrNoFileHeaderAccess,
     u"A TnxServerEngine without file header access factories has been detected. Please add "
     u"\"nxseAllEngines\" to your program's USES clause, and recompile."},
    {nxErrNewerTableVersion, u"The table cannot be opened because it was created with a newer version of DazavAV."},
    {nxErrNotAHeapBlock, u"Block read from file is not a heap block"},
    {nxErrNotAStreamBlock, u"Block read from file is not a stream block"},
    {nxErrNotAnIndexBlock, u"Block read from file is not an index block"},
    {nxErrIndexOutOfRange, u"Index number passed to routine is out of range"},
    {nxErrFileBlobOpen, u"An error occurred when opening the external file for a file BLOB"},
    {nxErrFileBlobRead, u"An error occurred when reading the external file for a file BLOB"},
    {nxErrFileBlobClose, u"An error occurred when closing the external file for a file BLOB"},
    {nxErrTransactionCorrupt,
     u"The transaction was corrupt due to an earlier failure. No commit took place. You need to "
     u"rollback this transaction."},
    {nxErrFilterTimeout, u"The filter timed out."},
    {nxErrTimeout, u"The operation could not be completed in the allotted time."},
    {nxErrNotConnected, u"The session is not connected to a server engine."},
    {nxErrIncompatibleDictionaries,
     u"The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, "
     u"and decimal places have been specified."},
    {nxErrSameTable, u"The cursors may not reference the same table for this operation."},
    {nxErrBlobTooLarge, u"BLOB size exceeds maximum size."},
    {nxErrIncompatibleSubEngine, u"Sub-Engine is incompatible with the selected file header structure."},
    {nxErrInvalidSegment, u"Invalid segment number"},
    {nxErrSegmentDeleted, u"Segment has been deleted"},
    {nxErrKeyTooLarge, u"Maximum key size has been exceeded"},
    {nxErrRecordTooLarge, u"Maximum record size has been exceeded"},
    {nxErrTempStorageInvalidBlock, u"Temporary Storage: Invalid block number"},
    {nxErrTempStorageFull, u"Temporary Storage: Full"},
    {nxErrIncompatibleStream, u"Incompatible stream"},
    {nxErrUnsupportedDescriptor, u"Unsupported dictionary descriptor"},
    {nxErrDictionaryReadOnly, u"The data dictionary is read only"},
    {nxErrDuplicateAutoInc, u"Duplicated autoinc field"},
    {nxErrObjectInUse, u"Object is currently in use"},
    {nxErrUnsupportedSubEngine, u"Specified sub-engine is not supported"},
    {nxErrUnsupportedFileHeaderAccess, u"Specified file header access is not supported"},
    {nxErrNoServerName, u"Servername of the transport is not set"},
    {nxErrDuplicateRecRev, u"Duplicated RecRev field"},
    {nxErrSignal, u"A SIGNAL has been raised"},
    {nxErrSameFolder, u"The databases may not reference the same folder for this operation."},
    {nxErrRecoveryFailed, u"Recovery failed."},
    {nxErrIndexNotEmpty, u"Index is not empty."},
    {nxErrDuplicateRefNr, u"Duplicated RefNr field"},
    {nxErrDuplicateLSN, u"Duplicated LSN field"},
    {nxErrUnexpectedException, u"Unknown (unexpected exception object raised)"},
    {nxErrUnknownMessage, u"Message is unrecognized."},
    {nxErrNoMessageQueued, u"No message is queued"},
};

constexpr bool strictlyAscending() {
  for (std::size_t i = 1; i < std::size(kErrorStrings); ++i)
    if (kErrorStrings[i - 1].code >= kErrorStrings[i].code) return false;
  return true;
}
static_assert(strictlyAscending(), "error table must be sorted by code without duplicates");

const std::u16string_view* findText(TnxResult aCode) {
  const auto* end = std::end(kErrorStrings);
  const auto* it = std::lower_bound(std::begin(kErrorStrings), end, aCode,
                                    [](const TnxErrorStringEntry& e, TnxResult c) { return e.code < c; });
  return it != end && it->code == aCode ? &it->text : nullptr;
}

}  // namespace

nxString nxGetErrorString(TnxResult aCode) {
  if (const auto* text = findText(aCode)) return nxString(*text);
  if ((aCode & 0xFFFFFFF0u) == nxCacheInvalidPositionFirst) {
    nxString result(*findText(nxCacheInvalid));
    result += u": ";
    result += nxGetErrorString(aCode & 0xFFFFFF0Fu);
    return result;
  }
  return nxString(kUnknownText);
}

std::span<const TnxErrorStringEntry> nxErrorStringEntries() { return kErrorStrings; }
