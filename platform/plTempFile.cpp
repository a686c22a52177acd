#include "plTempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "plOs.h"

namespace platform {

namespace {
std::atomic<std::uint32_t> gSerial{0};
}  // namespace

TempFile::~TempFile() { close(); }

int TempFile::open(const std::string& aFolder) {
  close();
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
                             std::to_string(gSerial.fetch_add(1)) + ".tmp";
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    ::unlink(name.c_str());
  }
  fd_ = fd;
  return 0;
}

void TempFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int TempFile::readAt(void* aBuffer, std::size_t aCount, std::int64_t aOffset) {
  auto* p = static_cast<char*>(aBuffer);
  while (aCount > 0) {
    const ssize_t n = ::pread(fd_, p, aCount, aOffset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    aCount -= static_cast<std::size_t>(n);
    aOffset += n;
  }
  return 0;
}

int TempFile::writeAt(const void* aBuffer, std::size_t aCount, std::int64_t aOffset) {
  const auto* p = static_cast<const char*>(aBuffer);
  while (aCount > 0) {
    const ssize_t n = ::pwrite(fd_, p, aCount, aOffset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    aCount -= static_cast<std::size_t>(n);
    aOffset += n;
  }
  return 0;
}

int TempFile::truncate(std::int64_t aSize) { return ::ftruncate(fd_, aSize) == 0 ? 0 : errno; }

int TempFile::punchHole(std::int64_t aOffset, std::int64_t aLength) {
  if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, aOffset, aLength) == 0) return 0;
  return errno == EOPNOTSUPP ? 0 : errno;
}

int TempFile::size(std::int64_t& aSize) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno;
  aSize = st.st_size;
  return 0;
}

}  // namespace platform
