// The one seam between the engine's table files and the disk: positioned
// reads and writes on open files, unnamed scratch files, durability (fdatasync, directory fsync),
// share locks, and the folder operations the file layer needs.
//
// Two implementations: the POSIX one (posixFileSystem) and an in-memory one
// that injects faults for tests (plFaultFileSystem.h). The engine reaches the
// disk only through currentFileSystem(); a test installs another with
// setCurrentFileSystem before it opens files and puts the old one back after
// closing them.
//
// Results: every operation answers 0 or an errno value; nothing raises.
// Share modes follow the rule the engine was designed for: an open succeeds
// only when, for every open file of the same file, the new access is within
// that file's share and that file's access is within the new share. A
// conflict answers EWOULDBLOCK, also between two opens of one process (the
// POSIX implementation uses open-file-description locks on bytes far beyond
// any data offset, so reads and writes are never blocked).
// Write-through files make every write durable before it returns (O_DSYNC).
// Thread safety: every operation may be called from any thread; one open file
// may be read and written by several threads at their own offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plFile.h"

namespace platform {

enum class FileAccess : std::uint8_t { read, write, readWrite };
enum class FileShare : std::uint8_t { none, read, readWrite };

struct FileOpenOptions {
  FileAccess access = FileAccess::readWrite;
  FileShare share = FileShare::none;
  bool create = false;        // create or truncate; else the file must exist
  bool writeThrough = false;  // each write durable on return
};

// What lstat tells about a path.
struct PathInfo {
  bool isDirectory = false;
  bool isSymlink = false;
  bool writable = false;  // the mode has any write bit
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;  // last modification, nanoseconds since the epoch (st_mtim)
};

// An open file of a FileSystem; -1 is no file.
using FileId = std::int64_t;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int open(const std::string& aPath, const FileOpenOptions& aOptions, FileId& aFile) = 0;
  // A new file with no name in aFolder (empty: the system's temporary
  // folder), open for reading and writing by this open alone; the system
  // frees it when it is closed or the process ends.
  virtual int openUnnamed(const std::string& aFolder, FileId& aFile) = 0;
  virtual int close(FileId aFile) = 0;
  // aDone: bytes transferred; a read at or beyond the end answers 0 and 0.
  virtual int readAt(FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
                     std::size_t& aDone) = 0;
  virtual int writeAt(FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
                      std::size_t& aDone) = 0;
  // Makes the file's data durable (fdatasync).
  virtual int sync(FileId aFile) = 0;
  virtual int truncate(FileId aFile, std::int64_t aSize) = 0;
  // Frees the range's space, keeping the size; reads of it answer zeros.
  // 0 also where the file system cannot punch holes (the bytes then stay).
  virtual int punchHole(FileId aFile, std::int64_t aOffset, std::int64_t aLength) = 0;
  virtual int size(FileId aFile, std::int64_t& aSize) = 0;
  virtual int identity(FileId aFile, FileIdentityInfo& aInfo) = 0;

  // ENOENT when nothing is there; a symbolic link is described itself.
  virtual int pathInfo(const std::string& aPath, PathInfo& aInfo) = 0;
  virtual int remove(const std::string& aPath) = 0;
  // Never replaces: EEXIST when aTo already exists.
  virtual int rename(const std::string& aFrom, const std::string& aTo) = 0;
  // The names in a folder, without "." and "..".
  virtual int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) = 0;
  // Makes the folder's entries (creations, removals, renames) durable.
  virtual int syncDirectory(const std::string& aPath) = 0;
  // The file system's type name as the system spells it ("vfat", "ext4", ...).
  virtual int fileSystemType(const std::string& aPath, std::string& aType) = 0;
  // aPath made absolute against the current folder and normalised ("." and
  // ".." resolved lexically).
  virtual std::string absolutePath(const std::string& aPath) = 0;
  // Bytes the caller may still write on aPath's volume (statvfs f_bavail x
  // f_frsize). ENOSYS where a file system does not answer.
  virtual int freeSpace(const std::string& aPath, std::uint64_t& aBytes);
  // Makes aPath a folder, with every missing parent; 0 when it already is
  // one, ENOTDIR when a part of it is a file.
  virtual int createDirectories(const std::string& aPath);
};

FileSystem& posixFileSystem();
// The file system the engine uses now; the POSIX one unless a test set another.
FileSystem& currentFileSystem();
// Installs aFileSystem (nullptr: the POSIX one) and answers the previous one.
// REQUIRES: no file of the previous one is open in the engine.
FileSystem* setCurrentFileSystem(FileSystem* aFileSystem);

// The POSIX rename where the kernel or the file system has no no-replace
// rename: a hard link to aTo, then the unlink of aFrom. EEXIST when aTo
// exists; a crash between the two leaves both names.
int renameByLink(const std::string& aFrom, const std::string& aTo);

// Path helpers shared by both implementations (plain text operations).
std::string folderOf(const std::string& aPath);   // "" when aPath has no '/'
std::string fileNameOf(const std::string& aPath);
std::string normalizePath(const std::string& aAbsolutePath);
// True when the Windows share rule lets an open with aAccess/aShare coexist
// with an open file that has aOtherAccess/aOtherShare.
bool shareCompatible(FileAccess aAccess, FileShare aShare, FileAccess aOtherAccess, FileShare aOtherShare);

}  // namespace platform
