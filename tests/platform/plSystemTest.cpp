// Memory figures, handles and events, the command line and case folding.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "plCaseFold.h"
#include "plCommandLine.h"
#include "plHandle.h"
#include "plMemoryStatus.h"

namespace {

TEST(PlMemoryStatus, FiguresAreConsistent) {
  platform::MemoryFigures f;
  ASSERT_TRUE(platform::systemMemoryFigures(f));
  EXPECT_GT(f.totalPhysical, 0u);
  EXPECT_LE(f.availablePhysical, f.totalPhysical);
  EXPECT_LE(f.availableSwap, f.totalSwap);
}

TEST(PlMemoryStatus, ATestSourceReplacesTheSystemsAnswer) {
  platform::setMemoryFiguresSource([](platform::MemoryFigures& aFigures) {
    aFigures = {};
    aFigures.totalPhysical = 12345679;
    return true;
  });
  platform::MemoryFigures f;
  ASSERT_TRUE(platform::systemMemoryFigures(f));
  EXPECT_EQ(f.totalPhysical, 12345679u);
  platform::setMemoryFiguresSource([](platform::MemoryFigures&) { return false; });
  EXPECT_FALSE(platform::systemMemoryFigures(f));
  platform::setMemoryFiguresSource(nullptr);
  ASSERT_TRUE(platform::systemMemoryFigures(f));
  EXPECT_NE(f.totalPhysical, 12345679u);
}

TEST(PlHandle, EventsCountSignalsAcrossDuplicates) {
  const int event = platform::createEventHandle();
  ASSERT_GE(event, 0);
  const int watcher = platform::duplicateHandle(event);
  ASSERT_GE(watcher, 0);
  EXPECT_TRUE(platform::signalEventHandle(event));
  EXPECT_TRUE(platform::signalEventHandle(event));
  EXPECT_TRUE(platform::closeHandle(event));
  EXPECT_FALSE(platform::isOpenHandle(event));
  EXPECT_EQ(platform::takeEventSignals(watcher), 2u);
  EXPECT_TRUE(platform::closeHandle(watcher));
  EXPECT_FALSE(platform::closeHandle(watcher));
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(platform::signalEventHandle(-1));
}

TEST(PlCommandLine, ArgumentsAreThoseOfMainWithoutTheProgram) {
  std::vector<std::string> expected = ::testing::internal::GetArgvs();  // main's argv as given
  ASSERT_FALSE(expected.empty());
  expected.erase(expected.begin());
  EXPECT_EQ(platform::commandLineArguments(), expected);
}

TEST(PlCaseFold, LowerCaseAndFoldedComparison) {
  struct Case {
    std::u16string_view a, b;
    bool same;
  };
  const Case cases[] = {
      {u"Disable", u"dISABLE", true},
      {u"\u00C4rger", u"\u00E4RGER", true},      // Latin-1 letters
      {u"\u0391\u03B2", u"\u03B1\u0392", true},  // Greek
      {u"stra\u00DFe", u"STRASSE", true},        // full folding: sharp s is "ss"
      {u"abc", u"abd", false},
      {u"ab", u"abc", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::compareFoldCase(c.a, c.b) == 0, c.same) << std::string(c.a.begin(), c.a.end());
  EXPECT_LT(platform::compareFoldCase(u"abc", u"ABD"), 0);
  EXPECT_EQ(platform::toLowerSimple(u'\u0130') != u'\u0130', true);  // dotted capital I has a lower case
  std::u16string text = u"A\xD83D\xDE00Z\u00C9";
  platform::toLowerSimple(text);
  EXPECT_EQ(text, u"a\xD83D\xDE00z\u00E9");  // surrogates untouched
}

}  // namespace
