// Shared set-up of the window tests: the headless platform, one
// application per process, sinks that record instead of blocking.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "plControls.h"
#include "plGuiProbe.h"

namespace pltest {

using namespace platform;

inline void startGui() {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Application().Initialize();
}

inline std::string artifactPath(const std::string& aName) { return std::string(NX_TEST_ARTIFACTS) + "/" + aName; }

struct FreeObject {
  void operator()(TObject* aObject) const { TObject::free(aObject); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeObject>;

// Records what the dialogs would have shown; nothing blocks.
struct RecordingSinks {
  std::vector<UnicodeString> messages, errors, urls, confirms;
  RecordingSinks() {
    TApplication& app = Application();
    app.MessageSink = [this](const UnicodeString& t) { messages.push_back(t); };
    app.ErrorSink = [this](const UnicodeString& t) { errors.push_back(t); };
    app.UrlSink = [this](const UnicodeString& u) {
      urls.push_back(u);
      return true;
    };
    app.ConfirmSink = [this](const UnicodeString& t) {
      confirms.push_back(t);
      return true;
    };
    app.SaveDialogSink = [](const TSaveDialog&) { return std::optional<UnicodeString>(); };
  }
  ~RecordingSinks() {
    TApplication& app = Application();
    app.MessageSink = nullptr;
    app.ErrorSink = nullptr;
    app.UrlSink = nullptr;
    app.ConfirmSink = nullptr;
    app.SaveDialogSink = nullptr;
  }
  RecordingSinks(const RecordingSinks&) = delete;
  RecordingSinks& operator=(const RecordingSinks&) = delete;
};

class GuiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { startGui(); }
  RecordingSinks sinks;
};

}  // namespace pltest
