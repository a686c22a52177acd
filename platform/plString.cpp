#include "plString.h"

#include "plErrors.h"

#include <atomic>
#include <type_traits>

namespace platform {

namespace {
std::atomic<std::uint16_t> gAnsiCodePage{932};
}

std::uint16_t ansiCodePage() { return gAnsiCodePage.load(std::memory_order_relaxed); }

void setAnsiCodePage(std::uint16_t codePage) {
  gAnsiCodePage.store(codePage == 0 ? 932 : codePage, std::memory_order_relaxed);
}

namespace {

template <class Unit>
int compareFoldingAscii(std::basic_string_view<Unit> a, std::basic_string_view<Unit> b) {
  using Code = std::conditional_t<sizeof(Unit) == 1, unsigned char, char16_t>;
  auto upper = [](Unit c) { return upperAscii(static_cast<Code>(c)); };
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Code x = upper(a[i]), y = upper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

int compareTextAscii(UnicodeStringView a, UnicodeStringView b) { return compareFoldingAscii(a, b); }

bool sameTextAscii(UnicodeStringView a, UnicodeStringView b) {
  return a.size() == b.size() && compareFoldingAscii(a, b) == 0;
}

int compareTextAscii(std::string_view a, std::string_view b) { return compareFoldingAscii(a, b); }

bool sameTextAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && compareFoldingAscii(a, b) == 0;
}

std::string toUtf8(UnicodeStringView s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
        throw ConvertError("Unpaired high surrogate in UTF-16 text");
      c = 0x10000 + ((c - 0xD800) << 10) + (std::uint32_t(s[++i]) - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      throw ConvertError("Unpaired low surrogate in UTF-16 text");
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

UnicodeString fromUtf8(std::string_view s) {
  UnicodeString out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::uint32_t c;
    std::size_t n;
    if (b < 0x80) { c = b; n = 1; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 3; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 4; }
    else throw ConvertError("Invalid UTF-8 lead byte");
    if (i + n > s.size()) throw ConvertError("Truncated UTF-8 sequence");
    for (std::size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) throw ConvertError("Invalid UTF-8 continuation byte");
      c = (c << 6) | (t & 0x3F);
    }
    static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      throw ConvertError("Invalid UTF-8 code point");
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
    i += n;
  }
  return out;
}

}  // namespace platform
