// Runs the independent table-file checker (tools/check_table.py) for tests.
// Thread safety: runs are serialised; any thread may call.
// One interpreter per test process serves every run (the checker's --serve
// mode): starting Python for each of hundreds of checks cost more than the
// checks. It ends when the test process does.
#pragma once

#include <string>
#include <vector>

namespace nxtest {

struct CheckerVerdict {
  int exitCode = -1;   // 0: every file consistent; -1: the checker did not answer
  std::string report;  // what it printed (and why it did not answer)

  // "" when every file is consistent, else the report.
  std::string problems() const { return exitCode == 0 ? std::string() : report.empty() ? "checker failed" : report; }
};

// Runs aChecker with aPython over aArgs ("FILE [--record-length N] [--raw] [--keyless N,M] ...").
CheckerVerdict runTableChecker(const std::string& aPython, const std::string& aChecker,
                               const std::vector<std::string>& aArgs);

}  // namespace nxtest
