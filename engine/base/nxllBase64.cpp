#include "nxllBase64.h"

#include <array>
#include <cstdint>

#include "plErrors.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = 61;  // the value every foreign character (and "=") stands for
  for (int i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return t;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

std::string StrToBase64(std::string_view aBytes) {
  std::string in(aBytes);
  std::size_t added = 0;
  while (in.size() < 3 || in.size() % 3 != 0) {
    in.push_back('\0');
    ++added;
  }
  std::string out;
  out.reserve(in.size() / 3 * 4);
  for (std::size_t i = 0; i < in.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<std::uint8_t>(in[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<std::uint8_t>(in[i + 1])) << 8 |
                            static_cast<std::uint8_t>(in[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  for (std::size_t i = 0; i < added; ++i) out[out.size() - 1 - i] = '=';
  return out;
}

std::string Base64ToStr(std::string_view aText) {
  if (aText.size() < 4 || aText.size() % 4 != 0)
    throw platform::RuntimeError("Base64ToStr: illegal input length!");
  std::size_t pad = 0;
  while (pad < aText.size() && aText[aText.size() - 1 - pad] == '=') ++pad;
  std::string out;
  out.reserve(aText.size() / 4 * 3);
  for (std::size_t i = 0; i < aText.size(); i += 4) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = v << 6 | kDecode[static_cast<std::uint8_t>(aText[i + k])];
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
  }
  out.resize(pad >= out.size() ? 0 : out.size() - pad);
  return out;
}
