#include "plModule.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

using namespace platform;

namespace {
int gPrepared, gInParent, gInChild;
void countPrepare() { ++gPrepared; }
void countParent() { ++gInParent; }
void countChild() { ++gInChild; }
}  // namespace

TEST(PlModule, LoadsFindsAndResolvesSharedObjects) {
  EXPECT_EQ(loadModule(""), nullptr);
  EXPECT_EQ(loadModule("/nonexistent/libnothing.so"), nullptr);
  EXPECT_EQ(findLoadedModule("libnothing_loaded.so"), nullptr) << "finding never loads";
  ModuleHandle libc = findLoadedModule("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(moduleSymbol(libc, "malloc"), nullptr);
  EXPECT_EQ(moduleSymbol(libc, "no_such_symbol_here"), nullptr);
  EXPECT_EQ(moduleSymbol(nullptr, "malloc"), nullptr);
}

TEST(PlModule, ProgramPathAndTheFileHoldingAnAddress) {
  const std::string self = programPath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self[0], '/');
  EXPECT_NE(self.find("test_platform"), std::string::npos) << self;
  EXPECT_EQ(modulePathOf(reinterpret_cast<const void*>(&programPath)), self);
  const std::string libc = modulePathOf(moduleSymbol(findLoadedModule("libc.so.6"), "malloc"));
  EXPECT_NE(libc.find("libc"), std::string::npos) << libc;
  int local = 0;
  EXPECT_EQ(modulePathOf(&local), "") << "a stack address lies in no file";
}

TEST(PlModule, EnvironmentVariables) {
  std::string value = "untouched";
  ::unsetenv("PL_MODULE_TEST_VARIABLE");
  EXPECT_FALSE(environmentVariable("PL_MODULE_TEST_VARIABLE", value));
  EXPECT_EQ(value, "untouched");
  ::setenv("PL_MODULE_TEST_VARIABLE", "a value", 1);
  EXPECT_TRUE(environmentVariable("PL_MODULE_TEST_VARIABLE", value));
  EXPECT_EQ(value, "a value");
  ::unsetenv("PL_MODULE_TEST_VARIABLE");
}

TEST(PlModule, ForkHandlersRunOnBothSides) {
  atFork(countPrepare, countParent, countChild);
  gPrepared = gInParent = gInChild = 0;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(gPrepared == 1 && gInChild == 1 && gInParent == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child saw prepare and its own handler only";
  EXPECT_EQ(gPrepared, 1);
  EXPECT_EQ(gInParent, 1);
  EXPECT_EQ(gInChild, 0);
}
