#include "plCommandLine.h"

#include <fstream>
#include <iterator>

namespace platform {

std::vector<std::string> commandLineArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  bool first = true;  // the program itself
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (!first) args.emplace_back(all, start, end - start);
    first = false;
    start = end + 1;
  }
  return args;
}

}  // namespace platform
