#include "plFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace platform {

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
