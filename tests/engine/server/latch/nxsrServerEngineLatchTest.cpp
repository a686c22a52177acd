// The fatal-error latch never clears, so this executable holds one test.
#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxsrServerEngine.h"
#include "nxsrServerEngineTestSupport.h"

namespace {

TEST(ServerEngineLatch, AfterAFatalStorageErrorNoSessionOpens) {
  nxtest::ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Started();
  TnxAbstractSession* session = nullptr;
  ASSERT_EQ(engine->SessionOpen(session, u"user", u"pw", u"here", 0), 0);
  TnxAbstractServerObject::Free(session);

  nxFatalError.store(true);
  session = reinterpret_cast<TnxAbstractSession*>(1);
  EXPECT_EQ(engine->SessionOpen(session, u"user", u"pw", u"here", 0), 15443);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
  nxtest::expectCode([] { throw EnxBaseException(15443); }, 15443,
                     u"A fatal error has occurred. Server operations are suspended until the server is restarted. "
                     u"Check exception log at server for further information");
}

}  // namespace
