// The table checker's runner: one interpreter answers run after run, each
// verdict its own, and a checker that stops or never starts is reported (and
// started again by the next run) instead of passing or hanging the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "nxTableChecker.h"
#include "nxseTableTestSupport.h"

namespace nxtest {
namespace {

class TableCheckerTest : public TableTest {
 protected:
  // aBytes in a new temporary file, removed with the fixture.
  std::string tempFile(const std::string& aBytes) {
    char name[] = "/tmp/nxcheckXXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name, std::ios::binary) << aBytes;
    temps_.push_back(name);
    return name;
  }
  // A sound table file: block 0 only.
  std::string soundFile() {
    TnxOwned<TestTransaction> trans(newTransaction());
    newFile(trans.get());
    trans->Commit();
    const std::vector<std::uint8_t> d = disk();
    return tempFile(std::string(d.begin(), d.end()));
  }
  void TearDown() override {
    for (const std::string& t : temps_) std::remove(t.c_str());
    TableTest::TearDown();
  }
  std::vector<std::string> temps_;
};

TEST_F(TableCheckerTest, EveryRunGetsItsOwnVerdict) {
  const std::string sound = soundFile();
  std::string damaged(4096, '\0');
  damaged.replace(0, 4, "NX!2");
  const std::string bad = tempFile(damaged);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string inReport;
  };
  const Case cases[] = {
      {{sound, "--raw"}, 0, ""},
      {{bad, "--raw"}, 1, ""},
      {{sound, "--raw"}, 0, ""},  // the failure before leaves nothing behind
      {{sound, "--raw", bad, "--raw"}, 1, bad + ": "},
      {{"/no/such/file"}, 1, "FileNotFoundError"},
      {{sound, "--bogus"}, 2, "unknown option --bogus"},
      {{sound, "--raw"}, 0, ""},
  };
  for (const Case& c : cases) {
    const CheckerVerdict v = runTableChecker(NX_PYTHON3, NX_TABLE_CHECKER, c.args);
    EXPECT_EQ(v.exitCode, c.exitCode) << c.args.front() << "\n" << v.report;
    EXPECT_EQ(v.problems().empty(), c.exitCode == 0) << v.report;
    EXPECT_NE(v.report.find(c.inReport), std::string::npos) << v.report;
  }
}

TEST_F(TableCheckerTest, ACheckerThatStopsOrNeverStartsIsReportedAndTheNextRunStartsAgain) {
  const std::string sound = soundFile();
  // Answers nothing: prints half a report and ends at the first request.
  const std::string quitter = tempFile("import sys\nsys.stdin.readline()\nprint('half a re', end='')\n");
  struct Case {
    std::string python, checker;
    std::vector<std::string> args;
    int exitCode;
    std::string inReport;
  };
  const Case cases[] = {
      {NX_PYTHON3, NX_TABLE_CHECKER, {sound, "--raw"}, 0, ""},
      {NX_PYTHON3, quitter, {sound}, -1, "checker failed (it stopped): half a re"},
      {NX_PYTHON3, NX_TABLE_CHECKER, {sound, "--raw"}, 0, ""},
      {"/no/such/python", NX_TABLE_CHECKER, {sound}, -1, "checker not started: /no/such/python"},
      {NX_PYTHON3, NX_TABLE_CHECKER, {sound, "--raw"}, 0, ""},
      {NX_PYTHON3, NX_TABLE_CHECKER, {sound, "a\tb"}, -1, "tab or newline"},
      {NX_PYTHON3, NX_TABLE_CHECKER, {sound, "--raw"}, 0, ""},
  };
  for (const Case& c : cases) {
    const CheckerVerdict v = runTableChecker(c.python, c.checker, c.args);
    EXPECT_EQ(v.exitCode, c.exitCode) << c.checker << "\n" << v.report;
    EXPECT_NE(v.report.find(c.inReport), std::string::npos) << v.report;
    EXPECT_EQ(v.problems().empty(), c.exitCode == 0) << v.report;
  }
}

}  // namespace
}  // namespace nxtest
