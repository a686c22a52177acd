// Golden bytes of the tagged stream encoding that TnxWriter writes, built
// value by value, so a test states the exact bytes a stream must hold.
//
//   nxtest::TnxGoldenBytes().Int(1).Str("abc").b
//
// TnxGoldenBytesOf<Self> returns Self from every step: a test derives its own
// builder from it to add the compound parts of its subsystem.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "plGuid.h"

namespace nxtest {

using Bytes = std::vector<std::uint8_t>;

template <class Self>
struct TnxGoldenBytesOf {
  Bytes b;

  // The shortest Integer form: Int8, Int16 or Int32.
  Self& Int(std::int32_t v) {
    if (v >= -128 && v <= 127) {
      b.push_back(2);
      b.push_back(static_cast<std::uint8_t>(v));
    } else if (v >= -32768 && v <= 32767) {
      b.push_back(3);
      b.push_back(static_cast<std::uint8_t>(v));
      b.push_back(static_cast<std::uint8_t>(v >> 8));
    } else {
      b.push_back(4);
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
    }
    return self();
  }
  // A string of up to 255 bytes; the empty string in its wide form.
  Self& Str(const std::string& s) {
    if (s.empty()) {
      b.insert(b.end(), {0x12, 0, 0, 0, 0});
      return self();
    }
    b.push_back(6);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return self();
  }
  Self& Bool(bool v) {
    b.push_back(v ? 9 : 8);
    return self();
  }
  Self& ListBegin() {
    b.push_back(1);
    return self();
  }
  Self& ListEnd() {
    b.push_back(0);
    return self();
  }
  Self& Guid(const platform::Guid& g) {
    b.insert(b.end(), {10, 16, 0, 0, 0});
    const auto* p = reinterpret_cast<const std::uint8_t*>(&g);
    b.insert(b.end(), p, p + 16);
    return self();
  }
  Self& Ident(const std::string& s) {
    b.push_back(7);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return self();
  }
  Self& Raw(std::initializer_list<std::uint8_t> r) {
    b.insert(b.end(), r);
    return self();
  }
  Self& Add(const Bytes& o) {
    b.insert(b.end(), o.begin(), o.end());
    return self();
  }

 private:
  Self& self() { return static_cast<Self&>(*this); }
};

struct TnxGoldenBytes : TnxGoldenBytesOf<TnxGoldenBytes> {};

}  // namespace nxtest
