// Files: an open file (File) for whole-file reads and writes, and the facts
// the engine asks the operating system for, by open descriptor.
//
// Identity: a file is the same file when device and inode are equal, whatever
// path (hard link) opened it. The birth time is reported only where the file
// system records one.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// An open file, closed by the destructor. Failing operations answer false
// with errno set. A File is used by one thread at a time.
class File {
 public:
  enum class Mode {
    read,         // an existing file, read only
    createWrite,  // created or truncated, write only
  };

  File() = default;
  ~File();
  File(File&& aOther) noexcept;
  File& operator=(File&& aOther) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool open(const std::string& aPath, Mode aMode);
  bool isOpen() const { return fd_ >= 0; }
  // Bytes in the file now.
  bool size(std::int64_t& aSize) const;
  // Reads exactly aCount bytes from the current position; a file that ends
  // before answers false with errno 0.
  bool readExact(void* aBuffer, std::size_t aCount);
  bool writeAll(const void* aBuffer, std::size_t aCount);
  // Closes now; false when the system reports that written data was lost.
  bool close();
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

// Seconds and nanoseconds since 1970 as the platform's file time.
std::uint64_t unixTimeToFileTime(std::int64_t aSeconds, std::uint32_t aNanoseconds);

}  // namespace platform
