// Shared by the dictionary tests: golden bytes of the tagged stream encoding,
// built value by value, and the check that an operation raises a given code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "nxllException.h"
#include "plGuid.h"
#include "plString.h"

namespace nxsdtest {

using Bytes = std::vector<std::uint8_t>;

struct B {
  Bytes b;
  B& Int(std::int32_t v) {
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
    return *this;
  }
  B& Str(const std::string& s) {
    if (s.empty()) {
      b.insert(b.end(), {0x12, 0, 0, 0, 0});
      return *this;
    }
    b.push_back(6);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& Bool(bool v) {
    b.push_back(v ? 9 : 8);
    return *this;
  }
  B& ListBegin() {
    b.push_back(1);
    return *this;
  }
  B& ListEnd() {
    b.push_back(0);
    return *this;
  }
  B& Guid(const platform::Guid& g) {
    b.insert(b.end(), {10, 16, 0, 0, 0});
    const auto* p = reinterpret_cast<const std::uint8_t*>(&g);
    b.insert(b.end(), p, p + 16);
    return *this;
  }
  B& Ident(const std::string& s) {
    b.push_back(7);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& Raw(std::initializer_list<std::uint8_t> r) {
    b.insert(b.end(), r);
    return *this;
  }
  // The item part of an item without custom strings.
  B& Item(std::int32_t aId, bool aOld = false) {
    if (aOld) return Int(1).Raw({1, 0});
    return Int(3).Raw({1, 0}).Int(aId).Str("");
  }
  B& Add(const Bytes& o) {
    b.insert(b.end(), o.begin(), o.end());
    return *this;
  }
};

// Runs f and expects an exception of class E with aCode, whose message
// contains aText when one is given.
template <class E = EnxBaseException, class F>
void expectCode(F&& f, TnxResult aCode, const std::u16string& aText = {}) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << aCode;
  } catch (const E& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << platform::toUtf8(e.Message());
    if (!aText.empty()) {
      EXPECT_NE(e.Message().find(aText), nxString::npos) << platform::toUtf8(e.Message());
    }
  }
}

}  // namespace nxsdtest
