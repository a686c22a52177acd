#include "plGuid.h"

#include "plErrors.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Hex digit value, -1 for anything else.
int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Byte positions of the text form: the 32 digits in pairs, each pair one byte
// of the value as written (D1, D2, D3 most significant first).
template <class Char>
bool parse(std::basic_string_view<Char> t, Guid& g) {
  if (t.size() != 38 || t[0] != '{' || t[37] != '}' || t[9] != '-' || t[14] != '-' || t[19] != '-' ||
      t[24] != '-')
    return false;
  std::uint8_t bytes[16];
  std::size_t pos = 1;
  for (auto& b : bytes) {
    if (t[pos] == '-') ++pos;
    const int hi = hexValue(static_cast<char16_t>(t[pos])), lo = hexValue(static_cast<char16_t>(t[pos + 1]));
    if (hi < 0 || lo < 0) return false;
    b = static_cast<std::uint8_t>(hi * 16 + lo);
    pos += 2;
  }
  g.D1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) | bytes[3];
  g.D2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.D3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g.D4, bytes + 8, 8);
  return true;
}

std::string format(const Guid& g) {
  std::string s = "{";
  auto put = [&s](std::uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) s += kHex[(v >> (4 * i)) & 0xF];
  };
  put(g.D1, 8);
  s += '-';
  put(g.D2, 4);
  s += '-';
  put(g.D3, 4);
  s += '-';
  put(g.D4[0], 2);
  put(g.D4[1], 2);
  s += '-';
  for (int i = 2; i < 8; ++i) put(g.D4[i], 2);
  s += '}';
  return s;
}

[[noreturn]] void invalid(const std::string& shown) {
  throw ConvertError("'" + shown + "' is not a valid GUID value");
}

}  // namespace

std::strong_ordering operator<=>(const Guid& a, const Guid& b) {
  const int r = std::memcmp(&a, &b, sizeof(Guid));
  return r < 0 ? std::strong_ordering::less : r > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

Guid newGuid() {
  Guid g;
  auto* p = reinterpret_cast<unsigned char*>(&g);
  std::size_t got = 0;
  while (got < sizeof g) {
    const ssize_t n = getrandom(p + got, sizeof g - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, std::string("getrandom failed: ") + std::strerror(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  g.D3 = static_cast<std::uint16_t>((g.D3 & 0x0FFF) | 0x4000);
  g.D4[0] = static_cast<std::uint8_t>((g.D4[0] & 0x3F) | 0x80);
  return g;
}

UnicodeString guidToString(const Guid& g) {
  const std::string s = format(g);
  return UnicodeString(s.begin(), s.end());
}

std::string guidToAnsiString(const Guid& g) { return format(g); }

Guid stringToGuid(UnicodeStringView text) {
  Guid g{};
  if (!parse(text, g)) {
    // The message shows the text; units that are not ASCII are shown as "?".
    std::string shown(text.size(), '?');
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] < 0x80) shown[i] = static_cast<char>(text[i]);
    invalid(shown);
  }
  return g;
}

Guid stringToGuid(std::string_view text) {
  Guid g{};
  if (!parse(text, g)) invalid(std::string(text));
  return g;
}

}  // namespace platform
