// Shared by the dictionary tests: the golden-bytes builder with the item part
// of dictionary items, and the code-expecting check (both from tests/support).
#pragma once

#include <cstdint>

#include "nxExpectCode.h"
#include "nxGoldenBytes.h"

namespace nxsdtest {

using nxtest::Bytes;
using nxtest::expectCode;

struct B : nxtest::TnxGoldenBytesOf<B> {
  // The item part of an item without custom strings.
  B& Item(std::int32_t aId, bool aOld = false) {
    if (aOld) return Int(1).Raw({1, 0});
    return Int(3).Raw({1, 0}).Int(aId).Str("");
  }
};

}  // namespace nxsdtest
