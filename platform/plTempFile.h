// An unnamed scratch file: it has no name in its folder (O_TMPFILE, or
// created and unlinked at once), so the system frees it when it is closed
// or the process dies.
// Results: 0 or an errno value; nothing raises.
// Thread safety: one owner; positioned reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // aFolder empty: the system's temporary folder.
  int open(const std::string& aFolder);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  // Exactly aCount bytes or an error (a short read past the end is EIO).
  int readAt(void* aBuffer, std::size_t aCount, std::int64_t aOffset);
  int writeAt(const void* aBuffer, std::size_t aCount, std::int64_t aOffset);
  int truncate(std::int64_t aSize);
  // Frees the range on disk; 0 also when the file system cannot punch holes.
  int punchHole(std::int64_t aOffset, std::int64_t aLength);
  int size(std::int64_t& aSize);

 private:
  int fd_ = -1;
};

}  // namespace platform
