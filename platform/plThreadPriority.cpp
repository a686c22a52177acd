#include "plThreadPriority.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "plOs.h"

namespace platform {

int currentThreadPriority() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()));
  if (errno != 0) return 0;
  return std::clamp(-nice, -15, 15);
}

bool setCurrentThreadPriority(int aPriority) {
  const int nice = std::clamp(-aPriority, -20, 19);
  return setpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()), nice) == 0;
}

}  // namespace platform
