// A small in-memory event log for tests: every entry as its final text with
// the common values.
#pragma once

#include <string>
#include <vector>

#include "nxllComponent.h"
#include "plString.h"

struct TTestLogEntry {
  std::string text;
  TnxWord32 msgNumber;
  TnxLogPriority priority;
  std::string category;
  platform::DateTime when;
  std::int32_t whenBias;
};

class TTestLog : public TnxBaseLog {
 public:
  std::vector<TTestLogEntry> entries;

  void WriteBlock(const nxString& S, const void*, std::int32_t aBufLen, TnxWord32 aMsgNumber,
                  TnxLogPriority aPriority, const nxString& aCategory, platform::DateTime aWhen,
                  std::int32_t aWhenBias) override {
    add(platform::toUtf8(S) + " [" + std::to_string(aBufLen) + " bytes]", aMsgNumber, aPriority, aCategory, aWhen,
        aWhenBias);
  }
  void WriteString(const nxString& aMsg, TnxWord32 aMsgNumber, TnxLogPriority aPriority, const nxString& aCategory,
                   platform::DateTime aWhen, std::int32_t aWhenBias) override {
    add(platform::toUtf8(aMsg), aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
  }
  void WriteString(const nxString& aMsg, std::span<const platform::FormatArg> aArgs, TnxWord32 aMsgNumber,
                   TnxLogPriority aPriority, const nxString& aCategory, platform::DateTime aWhen,
                   std::int32_t aWhenBias) override {
    add(platform::toUtf8(platform::format(aMsg, aArgs)), aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
  }
  void WriteStrings(std::span<const nxString> aMsgs, TnxWord32 aMsgNumber, TnxLogPriority aPriority,
                    const nxString& aCategory, platform::DateTime aWhen, std::int32_t aWhenBias) override {
    for (const nxString& m : aMsgs) add(platform::toUtf8(m), aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
  }
  void WriteLogData(InxLogData*) override {}

 private:
  void add(std::string aText, TnxWord32 aMsgNumber, TnxLogPriority aPriority, const nxString& aCategory,
           platform::DateTime aWhen, std::int32_t aWhenBias) {
    entries.push_back({std::move(aText), aMsgNumber, aPriority, platform::toUtf8(aCategory), aWhen, aWhenBias});
  }
};
