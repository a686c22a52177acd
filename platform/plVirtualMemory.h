// Virtual memory services: reserve address ranges, commit and decommit pages
// inside them, and move committed pages between reservations without copying.
//
// Thread safety: every function may be called from any thread; callers own the
// ranges they pass and must not pass overlapping ranges from two threads.
// Sizes and addresses passed to commit/decommit/reset are multiples of the
// page size (4 KB). Reservations never fail for lack of memory on Linux
// (MAP_NORESERVE); commit may fail when the kernel refuses the accounting.
#pragma once

#include <cstddef>

namespace platform {

constexpr std::size_t vmPageSize = 4096;

// Reserves aSize bytes of inaccessible address space aligned to aAlignment
// (a power of two, at least the page size). nullptr when refused.
void* vmReserve(std::size_t aSize, std::size_t aAlignment = vmPageSize);
// Reserves aSize bytes exactly at aAddress (page aligned), never replacing
// what is mapped there: false when any of the range is taken.
bool vmReserveAt(void* aAddress, std::size_t aSize);
// Gives a reservation (or any part of one) back to the system.
bool vmRelease(void* aAddress, std::size_t aSize);
// Makes the pages readable and writable; untouched pages read as zeros.
bool vmCommit(void* aAddress, std::size_t aSize);
// Drops the pages' contents and makes them inaccessible again.
bool vmDecommit(void* aAddress, std::size_t aSize);
// Drops the pages' contents but leaves them readable (writes fault), so a
// late reader of a stale lock-free link never faults.
bool vmDecommitReadable(void* aAddress, std::size_t aSize);
// The system may discard the contents; the pages stay accessible.
bool vmReset(void* aAddress, std::size_t aSize);
bool vmProtectReadOnly(void* aAddress, std::size_t aSize);
// Keeps the pages in physical memory; best effort (false when refused).
bool vmLock(void* aAddress, std::size_t aSize);
// Moves aSize bytes of committed pages from aFrom onto aTo, which must lie
// in a reservation of the caller; the pages keep their contents and aFrom's
// range becomes unmapped. aFrom's range must be one uniformly committed run.
bool vmMovePages(void* aFrom, void* aTo, std::size_t aSize);

}  // namespace platform
