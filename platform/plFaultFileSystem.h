// An in-memory FileSystem for tests that injects faults and simulates
// crashes.
//
// Durability model: every file has a volatile image (what reads see) and a
// durable image (what survives a crash); sync() makes the volatile image the
// durable one, a write-through file updates both. Images are shared until
// written (copy on write), so crash points and restores copy no bytes. Folder entries are the
// same: creating, removing and renaming change the volatile names; only
// syncDirectory() of the folder makes them durable. crash() throws away
// everything not yet durable and closes every open file.
// Records: every write and sync is counted and recorded in order.
// Faults: failNext(kind, n, errno) makes the n-th next operation of that
// kind fail once with errno (EIO, ENOSPC, ...); several faults may be armed
// at once, each counting on its own. operationCount() tells how many
// operations of a kind ran, so that a test can aim at the last one.
// Folders: "/" exists; makeDirectory() creates others (always durable).
// Unnamed files live only in their open handle: crash() drops them.
// Thread safety: every operation takes one internal mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plFileSystem.h"

namespace platform {

class FaultFileSystem final : public FileSystem {
 public:
  enum class Op : std::uint8_t {
    open, read, write, sync, truncate, size, remove, rename, syncDirectory, punchHole, any
  };

  // A file's bytes, shared and never changed while shared.
  using Image = std::shared_ptr<const std::vector<std::uint8_t>>;

  struct WriteRecord {
    std::string path;
    std::int64_t offset;
    std::size_t count;
  };

  FaultFileSystem();
  ~FaultFileSystem() override;

  int open(const std::string& aPath, const FileOpenOptions& aOptions, FileId& aFile) override;
  // In any folder, also one never made; counts and faults as an open. Its
  // writes are recorded under the folder followed by "/" (no file name).
  int openUnnamed(const std::string& aFolder, FileId& aFile) override;
  int close(FileId aFile) override;
  int readAt(FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset, std::size_t& aDone) override;
  int writeAt(FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override;
  int sync(FileId aFile) override;
  int truncate(FileId aFile, std::int64_t aSize) override;
  // Zeroes the range within the file.
  int punchHole(FileId aFile, std::int64_t aOffset, std::int64_t aLength) override;
  int size(FileId aFile, std::int64_t& aSize) override;
  int identity(FileId aFile, FileIdentityInfo& aInfo) override;
  int pathInfo(const std::string& aPath, PathInfo& aInfo) override;
  int remove(const std::string& aPath) override;
  int rename(const std::string& aFrom, const std::string& aTo) override;
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override;
  int syncDirectory(const std::string& aPath) override;
  int fileSystemType(const std::string& aPath, std::string& aType) override;
  std::string absolutePath(const std::string& aPath) override;
  // The value setFreeSpace gave, or the errno it gave.
  int freeSpace(const std::string& aPath, std::uint64_t& aBytes) override;
  // Adds the folder and its missing parents; ENOTDIR when a part is a file.
  int createDirectories(const std::string& aPath) override;

  // ---- test controls
  void makeDirectory(const std::string& aPath);
  // The n-th next operation of aOp (1 = the very next) fails once with aErrno.
  void failNext(Op aOp, int aNth = 1, int aErrno = 5 /* EIO */);
  void clearFailures();
  // Drops everything not durable; open files are closed.
  void crash();
  void setReadOnly(const std::string& aPath, bool aReadOnly);
  void setSymlink(const std::string& aPath, bool aIsLink);
  void setFileSystemType(const std::string& aType) { ffsType = aType; }
  // The time (ns since the epoch) that creations and writes stamp from now on.
  void setClock(std::int64_t aNs) {
    std::lock_guard<std::mutex> lock(ffsMutex);
    ffsClockNs = aNs;
  }
  void setCurrentFolder(const std::string& aPath) { ffsCwd = aPath; }
  // What freeSpace answers: aBytes, or failure with aErrno when not 0.
  void setFreeSpace(std::uint64_t aBytes, int aErrno = 0);

  // Whole contents of a file as reads see them / as a crash would leave them.
  bool contents(const std::string& aPath, std::vector<std::uint8_t>& aData) const;
  bool durableContents(const std::string& aPath, std::vector<std::uint8_t>& aData) const;
  // The durable image itself, shared; null for a file a crash would not leave.
  Image durableImage(const std::string& aPath) const;
  // Creates or replaces a file (volatile and durable at once).
  void putFile(const std::string& aPath, const std::vector<std::uint8_t>& aData);
  // The same, sharing aImage instead of copying it. The vector must not have
  // been made const: once no one else holds it, later writes change it in place.
  void putImage(const std::string& aPath, Image aImage);

  std::uint64_t writeCount() const;
  std::uint64_t readCount() const;
  std::uint64_t syncCount() const;
  // Operations of aOp tried so far (failed ones included); any: all kinds.
  std::uint64_t operationCount(Op aOp) const;
  std::vector<WriteRecord> writes() const;
  void clearRecords();
  int openFileCount() const;

 private:
  struct Node;
  struct Handle;

  int failure(Op aOp);  // under the mutex
  Handle* handleOf(FileId aFile);

  mutable std::mutex ffsMutex;
  std::map<std::string, std::shared_ptr<Node>> ffsNames;    // volatile folder entries
  std::map<std::string, std::shared_ptr<Node>> ffsDurable;  // durable folder entries
  std::vector<std::string> ffsDirectories;
  std::map<FileId, std::unique_ptr<Handle>> ffsHandles;
  FileId ffsNextHandle = 100;
  std::uint64_t ffsNextInode = 1;
  struct Fault {
    Op op;
    int countdown;
    int err;
  };
  std::vector<Fault> ffsFaults;
  std::uint64_t ffsWrites = 0, ffsReads = 0, ffsSyncs = 0;
  std::uint64_t ffsOpCounts[static_cast<std::size_t>(Op::any)] = {};
  std::vector<WriteRecord> ffsWriteLog;
  std::string ffsType = "memfs";
  std::string ffsCwd = "/";
  std::uint64_t ffsFreeSpace = std::uint64_t{1} << 40;
  int ffsFreeSpaceErrno = 0;
  std::int64_t ffsClockNs = 0;
};

}  // namespace platform
