#include "plRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include "plErrors.h"

namespace platform {

void randomBytes(void* aBuffer, std::size_t aCount) {
  auto* p = static_cast<std::uint8_t*>(aBuffer);
  while (aCount > 0) {
    const ssize_t n = ::getrandom(p, aCount, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, "getrandom");
    }
    p += n;
    aCount -= static_cast<std::size_t>(n);
  }
}

}  // namespace platform
