#include "nxsdFieldMapperTestSupport.h"

namespace fmtest {

Bytes sstr(const std::string& s) {
  Bytes b(s.size() + 1);
  b[0] = static_cast<std::uint8_t>(s.size());
  std::copy(s.begin(), s.end(), b.begin() + 1);
  return b;
}

Bytes nstr(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

Bytes wstr(const std::u16string& s) {
  Bytes b(s.size() * 2 + 2, 0);
  std::memcpy(b.data(), s.data(), s.size() * 2);
  return b;
}

}  // namespace fmtest
