#include "plVirtualMemory.h"

#include <cstdint>

#include <sys/mman.h>

namespace platform {

void* vmReserve(std::size_t aSize, std::size_t aAlignment) {
  if (aSize == 0) return nullptr;
  if (aAlignment < vmPageSize) aAlignment = vmPageSize;
  const std::size_t span = aSize + (aAlignment > vmPageSize ? aAlignment : 0);
  void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto raw = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (raw + aAlignment - 1) & ~(std::uintptr_t(aAlignment) - 1);
  // Trim the slack on both sides so the reservation is exactly aSize bytes.
  if (aligned > raw) munmap(p, aligned - raw);
  const std::uintptr_t end = raw + span;
  if (end > aligned + aSize) munmap(reinterpret_cast<void*>(aligned + aSize), end - (aligned + aSize));
  return reinterpret_cast<void*>(aligned);
}

bool vmReserveAt(void* aAddress, std::size_t aSize) {
  if (aSize == 0) return false;
  void* p = mmap(aAddress, aSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return false;
  if (p != aAddress) {  // a kernel that took the address as a hint only
    munmap(p, aSize);
    return false;
  }
  return true;
}

bool vmRelease(void* aAddress, std::size_t aSize) { return munmap(aAddress, aSize) == 0; }

bool vmCommit(void* aAddress, std::size_t aSize) {
  return mprotect(aAddress, aSize, PROT_READ | PROT_WRITE) == 0;
}

bool vmDecommit(void* aAddress, std::size_t aSize) {
  if (madvise(aAddress, aSize, MADV_DONTNEED) != 0) return false;
  return mprotect(aAddress, aSize, PROT_NONE) == 0;
}

bool vmDecommitReadable(void* aAddress, std::size_t aSize) {
  if (madvise(aAddress, aSize, MADV_DONTNEED) != 0) return false;
  return mprotect(aAddress, aSize, PROT_READ) == 0;
}

bool vmReset(void* aAddress, std::size_t aSize) {
#ifdef MADV_FREE
  if (madvise(aAddress, aSize, MADV_FREE) == 0) return true;
#endif
  return true;  // a hint only: keeping the contents is always correct
}

bool vmProtectReadOnly(void* aAddress, std::size_t aSize) { return mprotect(aAddress, aSize, PROT_READ) == 0; }

bool vmLock(void* aAddress, std::size_t aSize) { return mlock(aAddress, aSize) == 0; }

bool vmMovePages(void* aFrom, void* aTo, std::size_t aSize) {
  if (aSize == 0 || aFrom == aTo) return true;
  void* p = mremap(aFrom, aSize, aSize, MREMAP_MAYMOVE | MREMAP_FIXED, aTo);
  return p == aTo;
}

}  // namespace platform
