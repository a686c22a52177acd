// Table files on our file-system seam (platform/plFileSystem.h).
//
// TnxBaseWin32File keeps a file position for its plain reads and writes;
// TnxOverlappedWin32File, the class of table files, reads and writes only at
// explicit offsets, so several threads may read at their own offsets at once.
// Access and disposition map to open flags, write-through to O_DSYNC (every
// write durable on return), flushing to fdatasync, share modes to the share
// locks of the seam (a conflict, also inside one process, is 9221).
// A file whose mode has no write bit opens read-only; a symbolic link sets
// IsLink; a name that does not exist as given is looked up ASCII-case-
// insensitively in its folder.
// A commit queues blocks (WriteBlock); PrepareFlushFile sorts the queue
// (blocks beyond the end of the file first, then existing blocks, then
// blocks 1 and 2, block 0 last) and grows the file; FlushFile writes each
// block once and syncs when asked. A failed flush leaves the queue as it was.
// Thread safety: used under the buffer manager's padlock, except FlushFile,
// which the committing thread runs after the commit; reads of different
// threads may run at once.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsrBufferManager.h"
#include "plFileSystem.h"

NX_DECLARE_EXCEPTION(EnxBaseWin32FileException, EnxBaseFileException)
NX_DECLARE_EXCEPTION(EnxOverlappedWin32FileException, EnxBaseWin32FileException)

class TnxBaseWin32File : public TnxBaseFile {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseWin32File() { dfiWriteRequest.reserve(512); }
  ~TnxBaseWin32File() override;

  void CloseFile() override;
  bool FileIsOpen() override { return dfiHandle != -1; }
  void PrepareFlushFile() override;
  void FlushFile(bool aFailSafe, TnxBaseReplicationLog* aReplicationLog) override;
  void OpenFile(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru, bool aCreateFile) override;
  std::int64_t PositionFileEOF() override;
  std::int64_t FileSize() override;
  std::uint32_t ReadFile(std::uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(std::uint32_t aToRead, void* aBuffer) override;
  std::uint32_t ReadFileAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) override;
  void ReadFileExactAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) override;
  void WriteFileExact(std::uint32_t aToWrite, const void* aBuffer) override;
  void WriteFileExactAt(std::uint32_t aToWrite, const void* aBuffer, std::int64_t aOffset) override;
  std::int64_t CalcMaxFileSize() override;
  void ReadDecryptFileExactAt(std::uint32_t aToRead, void* aBuffer, std::vector<std::uint8_t>& aCookie,
                              std::int64_t aOffset) override;
  void WriteEncryptFileExactAt(std::uint32_t aToWrite, void* aBuffer, std::vector<std::uint8_t>& aCookie,
                               std::int64_t aOffset) override;
  void ReadBlock(TnxReadOnlyBlock* aBlock) override;
  void WriteBlock(TnxReadOnlyBlock* aBlock) override;
  void RollbackUnwritten() override;
  void AbandonUnwritten() override;
  // The path, then ";" and the identity: birth time halves (8 hex digits
  // each, high first), device (hex) and inode as a GUID.
  nxString GetFileID() override;

  virtual void OpenFilePrim(const nxString& aName, TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru,
                            bool aCreateFile, std::uint32_t aFlags);
  // Keeps the descriptor (reopening would drop the share lock); refuses
  // with 9221 after a failed open.
  virtual void ReopenFile();

  std::int32_t QueuedWrites() const { return static_cast<std::int32_t>(dfiWriteRequest.size()); }

  platform::FileId dfiHandle = -1;
  std::vector<TnxReadOnlyBlock*> dfiWriteRequest;
  std::uint32_t dfiOpenError = 0;

 protected:
  [[noreturn]] virtual void RaiseError(TnxResult aCode, platform::UnicodeStringView aText, TnxFormatArgs aArgs);
  [[noreturn]] void RaiseOSError(TnxResult aCode, const char16_t* aAction, int aError);
  void CheckOpen();
  std::int64_t dfiPosition = 0;
};

class TnxOverlappedWin32File : public TnxBaseWin32File {
  PL_CLASS_INFO_DECL()
 public:
  // The file-position operations are refused.
  std::int64_t PositionFileEOF() override;
  std::uint32_t ReadFile(std::uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(std::uint32_t aToRead, void* aBuffer) override;
  void WriteFileExact(std::uint32_t aToWrite, const void* aBuffer) override;

 protected:
  [[noreturn]] void RaiseError(TnxResult aCode, platform::UnicodeStringView aText, TnxFormatArgs aArgs) override;
};

// The largest file of the volume holding aPath: vfat 4294967294, any other
// file system no limit (0).
std::int64_t nxCalcMaxFileSize(const nxString& aPath);

// Module start-up: the default and the table file classes, when not set.
void nxsrFileImplWin32Initialize();
