// The SQL library's counted start-up: started twice and finalised twice it
// raises nothing, holds the keyword tree and the grammar until the last
// finalisation and frees them then (the sanitizer build checks for leaks).
#include "nxSQLLibrary.h"

#include <gtest/gtest.h>

#include "nxSQLParse.h"
#include "nxSQLTok.h"

namespace {

TEST(SqlLibraryStartUp, StartedTwiceAndFinalisedTwiceLeavesNothing) {
  ASSERT_EQ(nxSqlKeywordTree(), nullptr);
  ASSERT_FALSE(nxSqlGrammarStarted());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_THROW(nxSQLLibraryInitialize());
    ASSERT_NO_THROW(nxSQLLibraryInitialize());
    EXPECT_NE(nxSqlKeywordTree(), nullptr);
    EXPECT_TRUE(nxSqlGrammarStarted());
    nxSQLLibraryFinalize();
    EXPECT_NE(nxSqlKeywordTree(), nullptr);
    EXPECT_TRUE(nxSqlGrammarStarted());
    nxSQLLibraryFinalize();
    EXPECT_EQ(nxSqlKeywordTree(), nullptr);
    EXPECT_FALSE(nxSqlGrammarStarted());
  }
}

}  // namespace
