#include "plAnsiConvert.h"

#include "plErrors.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<AnsiToUnicodeHook> gToUnicode{nullptr};
std::atomic<UnicodeToAnsiHook> gToAnsi{nullptr};
constexpr std::uint16_t kUtf8 = 65001;

std::uint16_t resolve(std::uint16_t cp) { return cp == 0 ? ansiCodePage() : cp; }
}  // namespace

void setAnsiConversionHooks(AnsiToUnicodeHook toUnicode, UnicodeToAnsiHook toAnsi) {
  gToUnicode.store(toUnicode, std::memory_order_release);
  gToAnsi.store(toAnsi, std::memory_order_release);
}

UnicodeString ansiToUnicode(const AnsiString& text) {
  const std::uint16_t cp = resolve(text.codePage);
  if (cp == kUtf8) return fromUtf8(text.bytes);
  bool ascii = true;
  for (unsigned char c : text.bytes) ascii = ascii && c < 0x80;
  if (ascii) return UnicodeString(text.bytes.begin(), text.bytes.end());
  if (AnsiToUnicodeHook hook = gToUnicode.load(std::memory_order_acquire)) return hook(text.bytes, cp);
  throw ConvertError("No conversion from code page " + std::to_string(cp));
}

AnsiString unicodeToAnsi(UnicodeStringView text, std::uint16_t codePage) {
  const std::uint16_t cp = resolve(codePage);
  AnsiString out;
  out.codePage = cp;
  if (cp == kUtf8) {
    out.bytes = toUtf8(text);
    return out;
  }
  bool ascii = true;
  for (char16_t c : text) ascii = ascii && c < 0x80;
  if (ascii) {
    out.bytes.assign(text.begin(), text.end());
    return out;
  }
  if (UnicodeToAnsiHook hook = gToAnsi.load(std::memory_order_acquire)) {
    out.bytes = hook(text, cp);
    return out;
  }
  throw ConvertError("No conversion to code page " + std::to_string(cp));
}

}  // namespace platform
