#include "plFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "plOs.h"

namespace platform {

std::string folderOf(const std::string& aPath) {
  const std::size_t slash = aPath.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : aPath.substr(0, slash);
}

std::string fileNameOf(const std::string& aPath) {
  const std::size_t slash = aPath.find_last_of('/');
  return slash == std::string::npos ? aPath : aPath.substr(slash + 1);
}

std::string normalizePath(const std::string& aAbsolutePath) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= aAbsolutePath.size()) {
    std::size_t j = aAbsolutePath.find('/', i);
    if (j == std::string::npos) j = aAbsolutePath.size();
    const std::string part = aAbsolutePath.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string result;
  for (const std::string& p : parts) {
    result.push_back('/');
    result.append(p);
  }
  if (result.empty()) result.push_back('/');
  if (aAbsolutePath.size() > 1 && aAbsolutePath.back() == '/' && result.size() > 1) result.push_back('/');
  return result;
}

int renameByLink(const std::string& aFrom, const std::string& aTo) {
  if (::link(aFrom.c_str(), aTo.c_str()) != 0) return errno;
  if (::unlink(aFrom.c_str()) != 0) {
    const int err = errno;
    (void)::unlink(aTo.c_str());
    return err;
  }
  return 0;
}

namespace {

bool grantsRead(FileAccess a) { return a != FileAccess::write; }
bool grantsWrite(FileAccess a) { return a != FileAccess::read; }
bool sharesRead(FileShare s) { return s != FileShare::none; }
bool sharesWrite(FileShare s) { return s == FileShare::readWrite; }

}  // namespace

bool shareCompatible(FileAccess aAccess, FileShare aShare, FileAccess aOtherAccess, FileShare aOtherShare) {
  if (grantsRead(aAccess) && !sharesRead(aOtherShare)) return false;
  if (grantsWrite(aAccess) && !sharesWrite(aOtherShare)) return false;
  if (grantsRead(aOtherAccess) && !sharesRead(aShare)) return false;
  if (grantsWrite(aOtherAccess) && !sharesWrite(aShare)) return false;
  return true;
}

namespace {

// Lock bytes, far beyond any block offset: one per access kind an open
// holds, one per access kind it denies.
constexpr off_t kLockBase = off_t{1} << 62;
enum LockByte : off_t { lbReadAccess = 0, lbWriteAccess = 1, lbDenyRead = 2, lbDenyWrite = 3 };

int setSharedLock(int aFd, off_t aByte) {
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + aByte;
  fl.l_len = 1;
  return fcntl(aFd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

// True when another open file description holds a lock on the byte.
bool othersHold(int aFd, off_t aByte) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + aByte;
  fl.l_len = 1;
  if (fcntl(aFd, F_OFD_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

// Both racing opens see each other's locks, so two conflicting opens never
// both succeed (at worst both fail).
int takeShareLocks(int aFd, FileAccess aAccess, FileShare aShare) {
  const bool read = grantsRead(aAccess), write = grantsWrite(aAccess);
  const bool denyRead = !sharesRead(aShare), denyWrite = !sharesWrite(aShare);
  int err = 0;
  if (read && !err) err = setSharedLock(aFd, lbReadAccess);
  if (write && !err) err = setSharedLock(aFd, lbWriteAccess);
  if (denyRead && !err) err = setSharedLock(aFd, lbDenyRead);
  if (denyWrite && !err) err = setSharedLock(aFd, lbDenyWrite);
  if (err) return err;
  if ((read && othersHold(aFd, lbDenyRead)) || (write && othersHold(aFd, lbDenyWrite)) ||
      (denyRead && othersHold(aFd, lbReadAccess)) || (denyWrite && othersHold(aFd, lbWriteAccess)))
    return EWOULDBLOCK;
  return 0;
}

class PosixFileSystem final : public FileSystem {
 public:
  int open(const std::string& aPath, const FileOpenOptions& aOptions, FileId& aFile) override {
    aFile = -1;
    int flags = O_CLOEXEC;
    switch (aOptions.access) {
      case FileAccess::read: flags |= O_RDONLY; break;
      case FileAccess::write: flags |= O_WRONLY; break;
      case FileAccess::readWrite: flags |= O_RDWR; break;
    }
    if (aOptions.create) flags |= O_CREAT;
    if (aOptions.writeThrough && aOptions.access != FileAccess::read) flags |= O_DSYNC;
    const int fd = ::open(aPath.c_str(), flags, 0666);
    if (fd < 0) return errno;
    if (const int err = takeShareLocks(fd, aOptions.access, aOptions.share)) {
      ::close(fd);
      return err;
    }
    // Truncate only once the share check passed: a refused create must not
    // destroy another opener's file.
    if (aOptions.create && ftruncate(fd, 0) != 0) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    aFile = fd;
    return 0;
  }

  int openUnnamed(const std::string& aFolder, FileId& aFile) override {
    aFile = -1;
    std::string folder = aFolder;
    if (folder.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      folder = tmp && *tmp ? tmp : "/tmp";
    }
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
      // No O_TMPFILE here: a named file unlinked at once.
      if (folder.back() != '/') folder.push_back('/');
      const std::string name = folder + "DazavAV_TemporaryStorage_" + std::to_string(currentProcessId()) + "_" +
                               std::to_string(unnamedSerial_.fetch_add(1)) + ".tmp";
      fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) return errno;
      ::unlink(name.c_str());
    }
    aFile = fd;
    return 0;
  }

  int close(FileId aFile) override { return ::close(static_cast<int>(aFile)) == 0 ? 0 : errno; }

  int readAt(FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset, std::size_t& aDone) override {
    aDone = 0;
    auto* p = static_cast<char*>(aBuffer);
    while (aDone < aCount) {
      const ssize_t n = ::pread(static_cast<int>(aFile), p + aDone, aCount - aDone,
                                static_cast<off_t>(aOffset + static_cast<std::int64_t>(aDone)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) break;
      aDone += static_cast<std::size_t>(n);
    }
    return 0;
  }

  int writeAt(FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    aDone = 0;
    const auto* p = static_cast<const char*>(aBuffer);
    while (aDone < aCount) {
      const ssize_t n = ::pwrite(static_cast<int>(aFile), p + aDone, aCount - aDone,
                                 static_cast<off_t>(aOffset + static_cast<std::int64_t>(aDone)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;
      aDone += static_cast<std::size_t>(n);
    }
    return 0;
  }

  int sync(FileId aFile) override { return fdatasync(static_cast<int>(aFile)) == 0 ? 0 : errno; }

  int truncate(FileId aFile, std::int64_t aSize) override {
    return ftruncate(static_cast<int>(aFile), static_cast<off_t>(aSize)) == 0 ? 0 : errno;
  }

  int punchHole(FileId aFile, std::int64_t aOffset, std::int64_t aLength) override {
    if (::fallocate(static_cast<int>(aFile), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(aOffset),
                    static_cast<off_t>(aLength)) == 0)
      return 0;
    return errno == EOPNOTSUPP ? 0 : errno;
  }

  int size(FileId aFile, std::int64_t& aSize) override {
    struct stat st {};
    if (fstat(static_cast<int>(aFile), &st) != 0) return errno;
    aSize = st.st_size;
    return 0;
  }

  int identity(FileId aFile, FileIdentityInfo& aInfo) override {
    return fileIdentityOf(static_cast<int>(aFile), aInfo) ? 0 : (errno ? errno : EIO);
  }

  int pathInfo(const std::string& aPath, PathInfo& aInfo) override {
    aInfo = {};
    struct stat st {};
    if (lstat(aPath.c_str(), &st) != 0) return errno;
    aInfo.isSymlink = S_ISLNK(st.st_mode);
    if (aInfo.isSymlink && stat(aPath.c_str(), &st) != 0) return 0;  // a dangling link is still a link
    aInfo.isDirectory = S_ISDIR(st.st_mode);
    aInfo.writable = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    aInfo.size = st.st_size;
    aInfo.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
  }

  int remove(const std::string& aPath) override { return ::unlink(aPath.c_str()) == 0 ? 0 : errno; }

  int rename(const std::string& aFrom, const std::string& aTo) override {
    if (::renameat2(AT_FDCWD, aFrom.c_str(), AT_FDCWD, aTo.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int err = errno;
    // A kernel or file system without the flag: a plain rename would
    // replace the target silently, a hard link never does.
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
    return renameByLink(aFrom, aTo);
  }

  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    aNames.clear();
    DIR* dir = opendir(aPath.c_str());
    if (!dir) return errno;
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") aNames.push_back(name);
    }
    closedir(dir);
    return 0;
  }

  int syncDirectory(const std::string& aPath) override {
    const int fd = ::open(aPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
  }

  int fileSystemType(const std::string& aPath, std::string& aType) override {
    struct statfs st {};
    if (statfs(aPath.c_str(), &st) != 0) return errno;
    switch (st.f_type) {
      case MSDOS_SUPER_MAGIC: aType = "vfat"; break;
      case EXT4_SUPER_MAGIC: aType = "ext4"; break;
      case TMPFS_MAGIC: aType = "tmpfs"; break;
      case BTRFS_SUPER_MAGIC: aType = "btrfs"; break;
      case XFS_SUPER_MAGIC: aType = "xfs"; break;
      case OVERLAYFS_SUPER_MAGIC: aType = "overlay"; break;
      default: aType = "other"; break;
    }
    return 0;
  }

  std::string absolutePath(const std::string& aPath) override {
    if (!aPath.empty() && aPath.front() == '/') return normalizePath(aPath);
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    std::string joined = ec ? std::string("/") : cwd.string();
    joined.push_back('/');
    joined.append(aPath);
    return normalizePath(joined);
  }

  int freeSpace(const std::string& aPath, std::uint64_t& aBytes) override {
    struct statvfs st {};
    if (statvfs(aPath.c_str(), &st) != 0) return errno;
    aBytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    return 0;
  }

  int createDirectories(const std::string& aPath) override {
    std::error_code ec;
    std::filesystem::create_directories(aPath, ec);
    if (ec) return ec.value();
    struct stat st {};
    if (::stat(aPath.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  }

 private:
  std::atomic<std::uint32_t> unnamedSerial_{0};
};

std::atomic<FileSystem*> gCurrent{nullptr};

}  // namespace

int FileSystem::freeSpace(const std::string&, std::uint64_t& aBytes) {
  aBytes = 0;
  return ENOSYS;
}

int FileSystem::createDirectories(const std::string&) { return ENOSYS; }

FileSystem& posixFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

FileSystem& currentFileSystem() {
  FileSystem* fs = gCurrent.load(std::memory_order_acquire);
  return fs ? *fs : posixFileSystem();
}

FileSystem* setCurrentFileSystem(FileSystem* aFileSystem) {
  FileSystem* old = gCurrent.exchange(aFileSystem, std::memory_order_acq_rel);
  return old ? old : &posixFileSystem();
}

}  // namespace platform
