#include "plFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

File::~File() { close(); }

File::File(File&& aOther) noexcept : fd_(std::exchange(aOther.fd_, -1)) {}

File& File::operator=(File&& aOther) noexcept {
  if (this != &aOther) {
    close();
    fd_ = std::exchange(aOther.fd_, -1);
  }
  return *this;
}

bool File::open(const std::string& aPath, Mode aMode) {
  close();
  const int flags = aMode == Mode::read ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
  fd_ = ::open(aPath.c_str(), flags | O_CLOEXEC, 0666);
  return fd_ >= 0;
}

bool File::size(std::int64_t& aSize) const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return false;
  aSize = st.st_size;
  return true;
}

bool File::readExact(void* aBuffer, std::size_t aCount) {
  auto* p = static_cast<char*>(aBuffer);
  while (aCount > 0) {
    const ssize_t n = ::read(fd_, p, aCount);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = 0;
      return false;
    }
    p += n;
    aCount -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::writeAll(const void* aBuffer, std::size_t aCount) {
  const auto* p = static_cast<const char*>(aBuffer);
  while (aCount > 0) {
    const ssize_t n = ::write(fd_, p, aCount);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    aCount -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::close() {
  const int fd = std::exchange(fd_, -1);
  return fd < 0 || ::close(fd) == 0;
}

std::uint64_t unixTimeToFileTime(std::int64_t aSeconds, std::uint32_t aNanoseconds) {
  constexpr std::int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  return static_cast<std::uint64_t>((aSeconds + kEpochDelta) * 10000000 + aNanoseconds / 100);
}

bool fileIdentityOf(int aFd, FileIdentityInfo& aInfo) {
  aInfo = {};
  if (aFd < 0) {
    errno = EBADF;
    return false;
  }
  struct statx st {};
  if (statx(aFd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &st) != 0) return false;
  if (!(st.stx_mask & STATX_INO)) {
    errno = ENOTSUP;
    return false;
  }
  aInfo.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  aInfo.inode = st.stx_ino;
  if (st.stx_mask & STATX_BTIME) {
    aInfo.hasBirthTime = true;
    aInfo.birthFileTime = unixTimeToFileTime(st.stx_btime.tv_sec, st.stx_btime.tv_nsec);
  }
  return true;
}

}  // namespace platform
