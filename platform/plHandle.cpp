#include "plHandle.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

bool closeHandle(int aHandle) { return ::close(aHandle) == 0; }

int createEventHandle() { return eventfd(0, EFD_CLOEXEC); }

bool signalEventHandle(int aHandle) { return eventfd_write(aHandle, 1) == 0; }

std::uint64_t takeEventSignals(int aHandle) {
  eventfd_t value = 0;
  return eventfd_read(aHandle, &value) == 0 ? value : 0;
}

int duplicateHandle(int aHandle) { return fcntl(aHandle, F_DUPFD_CLOEXEC, 0); }

bool isOpenHandle(int aHandle) { return fcntl(aHandle, F_GETFD) != -1; }

}  // namespace platform
