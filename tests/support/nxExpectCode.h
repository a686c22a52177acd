// The check that an operation raises an engine exception with a given code.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nxllException.h"
#include "plString.h"

namespace nxtest {

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

}  // namespace nxtest
