// File facts the engine asks the operating system for, by open descriptor.
//
// Identity: a file is the same file when device and inode are equal, whatever
// path (hard link) opened it. The birth time is reported only where the file
// system records one.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

struct FileIdentityInfo {
  std::uint64_t device = 0;  // major and minor of the device, as makedev()
  std::uint64_t inode = 0;
  bool hasBirthTime = false;
  // Birth time as the platform's 64-bit file time: 100 ns units since
  // 1601-01-01 UTC; 0 without a birth time.
  std::uint64_t birthFileTime = 0;
};

// statx of an open descriptor. False (errno set) when the descriptor is
// invalid or the system cannot answer.
bool fileIdentityOf(int aFd, FileIdentityInfo& aInfo);

// Seconds and nanoseconds since 1970 as the platform's file time.
std::uint64_t unixTimeToFileTime(std::int64_t aSeconds, std::uint32_t aNanoseconds);

}  // namespace platform
