#include "nxsrFileImplWin32.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "nxllMemoryManager.h"
#include "nxllUtils.h"
#include "plFormat.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseWin32FileException, EnxBaseFileException)
NX_IMPLEMENT_EXCEPTION(EnxOverlappedWin32FileException, EnxBaseWin32FileException)
PL_CLASS_INFO_IMPL(TnxBaseWin32File, TnxBaseFile, "TnxBaseWin32File", &platform::factoryFor<TnxBaseWin32File>)
PL_CLASS_INFO_IMPL(TnxOverlappedWin32File, TnxBaseWin32File, "TnxOverlappedWin32File",
                   &platform::factoryFor<TnxOverlappedWin32File>)

namespace {

constexpr platform::FileId kMemoryHandle = -2;  // a temporary file: open, no disk file

platform::FileSystem& fsys() { return platform::currentFileSystem(); }
std::string utf8(const nxString& s) { return platform::toUtf8(s); }

bool asciiEqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Write order of a queued block: beyond the end of the file first, then
// existing blocks, then blocks 1 and 2, block 0 last.
int writeClass(TnxBlockNumber aBlock, std::int64_t aFileBlocks) {
  if (aBlock == 0) return 3;
  if (aBlock <= 2) return 2;
  return static_cast<std::int64_t>(aBlock) < aFileBlocks ? 1 : 0;
}

class PoolBuffer {
 public:
  explicit PoolBuffer(TnxBlockSizeAll aSize) : pool_(nxCommittedBlockPools(aSize)) {
    block_ = nxBlockPoolCommittedAlloc(pool_);
  }
  ~PoolBuffer() { nxBlockPoolCommittedDispose(pool_, block_); }
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;
  std::uint8_t* get() const { return static_cast<std::uint8_t*>(block_); }

 private:
  TnxBlockPoolHandle pool_;
  void* block_;
};

// Pins a queued block for its write; the release handles a block that was
// orphaned meanwhile.
class PinGuard {
 public:
  explicit PinGuard(TnxReadOnlyBlock* aBlock) : block_(aBlock) { block_->Pin(); }
  ~PinGuard() {
    PnxBlock none = nullptr;
    TnxReadOnlyBlock::Release(block_, none);
  }
  PinGuard(const PinGuard&) = delete;
  PinGuard& operator=(const PinGuard&) = delete;

 private:
  TnxReadOnlyBlock* block_;
};

}  // namespace

TnxBaseWin32File::~TnxBaseWin32File() {
  if (dfiHandle >= 0) fsys().close(dfiHandle);
}

void TnxBaseWin32File::RaiseError(TnxResult aCode, platform::UnicodeStringView aText, TnxFormatArgs aArgs) {
  throw EnxBaseWin32FileException(aCode, aText, aArgs);
}

void TnxOverlappedWin32File::RaiseError(TnxResult aCode, platform::UnicodeStringView aText, TnxFormatArgs aArgs) {
  throw EnxOverlappedWin32FileException(aCode, aText, aArgs);
}

void TnxBaseWin32File::RaiseOSError(TnxResult aCode, const char16_t* aAction, int aError) {
  nxString text = u"INTERNAL: ";
  text += aAction;
  text += u" [%s, error %d, %s]";
  RaiseError(aCode, text,
             {FileName(), static_cast<std::int64_t>(aError), nxSystemErrorMessage(static_cast<TnxWord32>(aError))});
  throw EnxBaseWin32FileException(aCode);  // not reached: RaiseError throws
}

void TnxBaseWin32File::CheckOpen() {
  if (dfiOpenError != 0) RaiseOSError(nxErrFileAccess, u"File could not be opened", static_cast<int>(dfiOpenError));
  if (Name().empty() || !FileIsOpen()) RaiseError(nxErrInvalidFileData, u"TnxBaseFile contains invalid data", {});
}

void TnxBaseWin32File::OpenFile(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru, bool aCreateFile) {
  if (Name().empty() || FileIsOpen()) RaiseError(nxErrInvalidFileData, u"TnxBaseFile contains invalid data", {});
  dfiOpenError = 0;
  SetIsLink(false);
  if (IsTemporary()) {
    dfiHandle = kMemoryHandle;
  } else {
    if (!aCreateFile) {
      const std::string name = utf8(Name());
      platform::PathInfo info;
      if (fsys().pathInfo(name, info) == ENOENT) {
        // The on-disk spelling of a name given in another letter case.
        const std::string folder = platform::folderOf(name);
        std::vector<std::string> names;
        if (fsys().listDirectory(folder.empty() ? std::string(".") : folder, names) == 0)
          for (const std::string& candidate : names)
            if (asciiEqualNoCase(candidate, platform::fileNameOf(name))) {
              std::string spelled = folder;
              if (!spelled.empty() && spelled.back() != '/') spelled.push_back('/');
              spelled.append(candidate);
              SetOnDiskName(platform::fromUtf8(spelled));
              break;
            }
      }
      if (fsys().pathInfo(utf8(Name()), info) == 0) {
        if (!info.writable) aOpenMode = omReadOnly;
        SetIsLink(info.isSymlink);
      }
    }
    OpenFilePrim(Name(), aOpenMode, aShareMode, aWriteThru, aCreateFile, 0);
  }
  SetOpened(aOpenMode, aShareMode, aWriteThru);
  dfiPosition = 0;
}

void TnxBaseWin32File::OpenFilePrim(const nxString& aName, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                    bool aWriteThru, bool aCreateFile, std::uint32_t) {
  platform::FileOpenOptions options;
  options.access = aOpenMode == omReadOnly    ? platform::FileAccess::read
                   : aOpenMode == omWriteOnly ? platform::FileAccess::write
                                              : platform::FileAccess::readWrite;
  options.share = aShareMode == smExclusive   ? platform::FileShare::none
                  : aShareMode == smShareRead ? platform::FileShare::read
                                              : platform::FileShare::readWrite;
  options.create = aCreateFile;
  options.writeThrough = aWriteThru && aOpenMode != omReadOnly;
  platform::FileId handle;
  if (const int err = fsys().open(utf8(aName), options, handle)) {
    dfiOpenError = static_cast<std::uint32_t>(err);
    RaiseOSError(nxErrFileAccess, u"File could not be opened", err);
  }
  dfiHandle = handle;
}

void TnxBaseWin32File::ReopenFile() {
  if (dfiOpenError != 0) RaiseOSError(nxErrFileAccess, u"File could not be opened", static_cast<int>(dfiOpenError));
}

void TnxBaseWin32File::CloseFile() {
  if (dfiOpenError != 0) {
    dfiOpenError = 0;
    return;
  }
  CheckOpen();
  // A failed file's queue is left to recovery.
  if (WriteFailed()) AbandonUnwritten();
  nxAssert(dfiWriteRequest.empty(), "File closed with queued writes");
  if (dfiHandle >= 0)
    if (const int err = fsys().close(dfiHandle)) {
      dfiHandle = -1;
      RaiseOSError(nxErrCloseFile, u"File could not be closed", err);
    }
  dfiHandle = -1;
}

std::int64_t TnxBaseWin32File::FileSize() {
  CheckOpen();
  if (IsTemporary()) return CachedBlockCount() * BlockSizeBytes();
  std::int64_t size = 0;
  if (const int err = fsys().size(dfiHandle, size)) RaiseOSError(nxErrReadFailure, u"Error when getting size of file", err);
  return size;
}

std::int64_t TnxBaseWin32File::PositionFileEOF() {
  dfiPosition = FileSize();
  return dfiPosition;
}

std::uint32_t TnxBaseWin32File::ReadFileAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) {
  CheckOpen();
  std::size_t done = 0;
  if (const int err = fsys().readAt(dfiHandle, aBuffer, aToRead, aOffset, done))
    RaiseOSError(nxErrReadFailure, u"Error when reading from file", err);
  return static_cast<std::uint32_t>(done);
}

void TnxBaseWin32File::ReadFileExactAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) {
  if (ReadFileAt(aToRead, aBuffer, aOffset) != aToRead)
    RaiseError(nxErrReadFailure, u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]",
               {FileName(), static_cast<std::int64_t>(aToRead)});
}

std::uint32_t TnxBaseWin32File::ReadFile(std::uint32_t aToRead, void* aBuffer) {
  const std::uint32_t done = ReadFileAt(aToRead, aBuffer, dfiPosition);
  dfiPosition += done;
  return done;
}

void TnxBaseWin32File::ReadFileExact(std::uint32_t aToRead, void* aBuffer) {
  if (ReadFile(aToRead, aBuffer) != aToRead)
    RaiseError(nxErrReadFailure, u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]",
               {FileName(), static_cast<std::int64_t>(aToRead)});
}

void TnxBaseWin32File::WriteFileExactAt(std::uint32_t aToWrite, const void* aBuffer, std::int64_t aOffset) {
  CheckOpen();
  std::size_t done = 0;
  if (const int err = fsys().writeAt(dfiHandle, aBuffer, aToWrite, aOffset, done))
    RaiseOSError(nxErrWriteFailure, u"Error when writing to file", err);
  if (done != aToWrite)
    RaiseError(nxErrWriteFailure, u"INTERNAL: Could not write exact number of bytes to file [%s, %d bytes]",
               {FileName(), static_cast<std::int64_t>(aToWrite)});
}

void TnxBaseWin32File::WriteFileExact(std::uint32_t aToWrite, const void* aBuffer) {
  WriteFileExactAt(aToWrite, aBuffer, dfiPosition);
  dfiPosition += aToWrite;
}

std::int64_t TnxOverlappedWin32File::PositionFileEOF() {
  RaiseOSError(nxErrReadFailure, u"Error when seeking to position in file", EOPNOTSUPP);
}
std::uint32_t TnxOverlappedWin32File::ReadFile(std::uint32_t, void*) {
  RaiseOSError(nxErrReadFailure, u"Error when reading from file", EOPNOTSUPP);
}
void TnxOverlappedWin32File::ReadFileExact(std::uint32_t, void*) {
  RaiseOSError(nxErrReadFailure, u"Error when reading from file", EOPNOTSUPP);
}
void TnxOverlappedWin32File::WriteFileExact(std::uint32_t, const void*) {
  RaiseOSError(nxErrWriteFailure, u"Error when writing to file", EOPNOTSUPP);
}

std::int64_t nxCalcMaxFileSize(const nxString& aPath) {
  std::string type;
  if (platform::currentFileSystem().fileSystemType(utf8(aPath), type) != 0) return 0;
  return type == "vfat" ? 4294967294ll : 0;
}

std::int64_t TnxBaseWin32File::CalcMaxFileSize() { return nxCalcMaxFileSize(Path()); }

void TnxBaseWin32File::ReadDecryptFileExactAt(std::uint32_t aToRead, void* aBuffer,
                                              std::vector<std::uint8_t>& aCookie, std::int64_t aOffset) {
  aCookie.clear();
  ReadFileExactAt(aToRead, aBuffer, aOffset);
  if (!EncryptionEngine()) return;
  auto* block = static_cast<std::uint8_t*>(aBuffer);
  if (aOffset == 0)
    EncryptionEngine()->VerifyHeaderChecksum(block, aToRead);
  else
    EncryptionEngine()->DecodeBlockEx(block, aToRead, static_cast<std::uint64_t>(aOffset / aToRead), aCookie);
}

void TnxBaseWin32File::WriteEncryptFileExactAt(std::uint32_t aToWrite, void* aBuffer,
                                               std::vector<std::uint8_t>& aCookie, std::int64_t aOffset) {
  CheckOpen();
  auto* block = static_cast<std::uint8_t*>(aBuffer);
  if (!EncryptionEngine()) {
    WriteFileExactAt(aToWrite, block, aOffset);
    return;
  }
  if (aOffset == 0) {
    if (!Checksum().empty()) fiUpdateTableChecksum(block);
    EncryptionEngine()->UpdateHeaderChecksum(block, aToWrite);
    WriteFileExactAt(aToWrite, block, aOffset);
    return;
  }
  PoolBuffer buffer(BlockSize());
  EncryptionEngine()->CodeBlockEx(block, buffer.get(), aToWrite, static_cast<std::uint64_t>(aOffset / aToWrite),
                                  aCookie, ChecksumToUpdate());
  WriteFileExactAt(aToWrite, buffer.get(), aOffset);
}

void TnxBaseWin32File::ReadBlock(TnxReadOnlyBlock* aBlock) {
  nxAssert(aBlock->boCacheBlock != nullptr && aBlock->boCacheBlock->cbState == cbsMapped,
           "Block read without a mapped image");
  ReadDecryptFileExactAt(BlockBytes(), aBlock->boCacheBlock->Block(), aBlock->robEncryptionCookie,
                         static_cast<std::int64_t>(aBlock->robBlockNum) << nxBlockShift(BlockSize()));
  BufMgr()->bmBlocksRead.fetch_add(1, std::memory_order_relaxed);
  nxsrCountSessionStats(sscBlocksRead, 1);
}

void TnxBaseWin32File::WriteBlock(TnxReadOnlyBlock* aBlock) {
  aBlock->robUnwritten = true;
  dfiWriteRequest.push_back(aBlock);
}

void TnxBaseWin32File::RollbackUnwritten() {
  // A block may be queued more than once; each is dropped once.
  std::vector<TnxReadOnlyBlock*> queue;
  queue.swap(dfiWriteRequest);
  std::sort(queue.begin(), queue.end());
  queue.erase(std::unique(queue.begin(), queue.end()), queue.end());
  for (TnxReadOnlyBlock* block : queue) block->RollbackUnwritten();
}

void TnxBaseWin32File::AbandonUnwritten() {
  // The blocks keep their committed images; the disk catches up through
  // recovery.
  for (TnxReadOnlyBlock* block : dfiWriteRequest) block->robUnwritten = false;
  dfiWriteRequest.clear();
  SetWriteFailed();
}

void TnxBaseWin32File::PrepareFlushFile() {
  CheckOpen();
  if (IsTemporary() || dfiWriteRequest.empty()) return;
  std::int64_t size = 0;
  if (const int err = fsys().size(dfiHandle, size)) RaiseOSError(nxErrReadFailure, u"Error when getting size of file", err);
  const unsigned shift = nxBlockShift(BlockSize());
  const std::int64_t fileBlocks = size >> shift;
  std::stable_sort(dfiWriteRequest.begin(), dfiWriteRequest.end(),
                   [fileBlocks](const TnxReadOnlyBlock* a, const TnxReadOnlyBlock* b) {
                     const int ca = writeClass(a->robBlockNum, fileBlocks), cb = writeClass(b->robBlockNum, fileBlocks);
                     return ca != cb ? ca < cb : a->robBlockNum < b->robBlockNum;
                   });
  std::int64_t highest = std::max<std::int64_t>(3, InitialSize());
  for (const TnxReadOnlyBlock* block : dfiWriteRequest)
    if (static_cast<std::int64_t>(block->robBlockNum) >= fileBlocks)
      highest = std::max<std::int64_t>(highest, block->robBlockNum);
  if (highest < fileBlocks) return;
  const std::int64_t grow = std::max<std::int64_t>(GrowSize(), highest / 10);
  const std::int64_t newBlocks =
      grow > 1 && static_cast<std::int64_t>(InitialSize()) < highest ? (highest / grow + 1) * grow : highest + 1;
  if (const int err = fsys().truncate(dfiHandle, newBlocks << shift))
    RaiseOSError(nxErrWriteFailure, u"Error when setting end-of-file", err);
  ReopenFile();
}

void TnxBaseWin32File::FlushFile(bool aFailSafe, TnxBaseReplicationLog* aReplicationLog) {
  if (IsTemporary() || dfiWriteRequest.empty()) return;
  CheckOpen();
  TnxBaseReplicationLog* log = Attributes().contains(nxfaReplicationLog) ? aReplicationLog : nullptr;
  if (log) log->BeginFile(LogAlias(), LogTable(), LogFile(), BlockSize());
  const unsigned shift = nxBlockShift(BlockSize());
  const TnxReadOnlyBlock* previous = nullptr;
  std::vector<std::uint8_t> cookie;
  std::vector<std::uint8_t> freed;
  std::uint32_t written = 0;
  for (TnxReadOnlyBlock* block : dfiWriteRequest) {
    if (block == previous) continue;
    previous = block;
    PinGuard pin(block);
    TnxCacheBlock* image = block->boCacheBlock;
    if (image && image->cbState != cbsMapped) {
      // Parked by the commit: mapped back under the padlock; the pin keeps
      // it mapped until it is written.
      TnxPadlockGuard guard(BufMgr()->Padlock());
      image = block->boCacheBlock;
      if (image) (void)image->Block();
    }
    if (!image) {
      // A discarded (freed) block: the disk must not keep its old signature
      // and owner, or a recovery scan would bring its contents back.
      if (freed.empty()) {
        freed.assign(BlockBytes(), 0);
        std::memcpy(freed.data(), "DEAD", 4);
      }
      std::memset(freed.data() + 4, 0, BlockBytes() - 4);
      const TnxBlockNumber number = block->robBlockNum;
      const TnxLSN lsn = BlockZero() ? BlockZero()->robLastLSN : 0;
      std::memcpy(freed.data() + 4, &number, 4);
      std::memcpy(freed.data() + 8, &lsn, 8);
      BufMgr()->bmBlocksWritten.fetch_add(1, std::memory_order_relaxed);
      nxsrCountSessionStats(sscBlocksWritten, 1);
      WriteEncryptFileExactAt(BlockBytes(), freed.data(), cookie, static_cast<std::int64_t>(number) << shift);
      block->robUnwritten.store(false, std::memory_order_release);
      continue;
    }
    BufMgr()->bmBlocksWritten.fetch_add(1, std::memory_order_relaxed);
    nxsrCountSessionStats(sscBlocksWritten, 1);
    HeaderAccessFactory()->ValidateBlock(image->Block(), block->robBlockNum);
    if (log) log->WriteBlock(block->robBlockNum, block->robLastLSN, image->Block());
    WriteEncryptFileExactAt(BlockBytes(), image->Block(), cookie,
                            static_cast<std::int64_t>(block->robBlockNum) << shift);
    block->robUnwritten.store(false, std::memory_order_release);
    // Written images may go again while a big flush brings parked ones back.
    if ((++written & 63) == 0) BufMgr()->TrimIfOverBudget();
  }
  if (log) log->EndFile();
  dfiWriteRequest.clear();
  if (aFailSafe) {
    if (const int err = fsys().sync(dfiHandle)) RaiseOSError(nxErrWriteFailure, u"Error when flushing file", err);
    ReopenFile();
  }
}

nxString TnxBaseWin32File::GetFileID() {
  nxString id = TnxBaseFile::GetFileID();
  if (IsTemporary() || dfiHandle < 0) return id;
  platform::FileIdentityInfo info;
  if (fsys().identity(dfiHandle, info) != 0) return id;
  const std::uint64_t birth = info.birthFileTime;
  id += platform::format(u";%.8x%.8x;%x;{00000000-0000-0000-%.4x-%.12x}",
                         {static_cast<std::uint32_t>(birth >> 32), static_cast<std::uint32_t>(birth),
                          info.device, static_cast<std::uint32_t>((info.inode >> 48) & 0xFFFF),
                          info.inode & 0xFFFFFFFFFFFFull});
  return id;
}

void nxsrFileImplWin32Initialize() {
  const platform::ClassInfo* expected = nullptr;
  TnxBaseFile::DefaultFileInfoClass.compare_exchange_strong(expected, &TnxBaseWin32File::staticClassInfo());
  expected = nullptr;
  TnxBaseFile::TableFileInfoClass.compare_exchange_strong(expected, &TnxOverlappedWin32File::staticClassInfo());
}
