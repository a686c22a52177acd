#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../storage/nxseCrashTestSupport.h"
#include "nxTableChecker.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

// The independent checker's report on a table image ("" when sound).
std::string crashTestCheckImage(const std::vector<std::uint8_t>& aImage, std::uint32_t aRecordLength) {
  char name[] = "/tmp/nxcheckXXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "no temporary file";
  ::close(fd);
  {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(aImage.data()), static_cast<std::streamsize>(aImage.size()));
  }
  const nxtest::CheckerVerdict verdict =
      nxtest::runTableChecker(NX_PYTHON3, NX_TABLE_CHECKER, {name, "--record-length", std::to_string(aRecordLength)});
  std::remove(name);
  return verdict.problems();
}

// The content lock a table cursor takes before it changes a table.
class CrashTestWriter : public TnxServerTransLinkCursor {
 public:
  CrashTestWriter(TnxServerTransContext* aContext, TnxServerRootTable* aTable) : context_(aContext), table_(aTable) {}
  TnxAbstractTransContext* sbcTransContext() override { return context_; }
  TnxResult Exclusive() { return sbcBeginTransContentLock(context_->Transaction(), table_, true, false, nullptr); }

 private:
  TnxServerTransContext* context_;
  TnxServerRootTable* table_;
};

// An engine of its own with a session and a database on "/db", freed
// before the next one starts.
class CrashTestServer {
 public:
  explicit CrashTestServer(TnxResult& aOpened) {
    engine_ = platform::create<TnxServerEngine>(nullptr);
    engine_->SetTempStorePath(u"/tmp");
    engine_->SetMaxRAM(16);
    engine_->SetTempStoreSize(0);
    engine_->SetActive(true);
    TnxAbstractSession* session = nullptr;
    aOpened = engine_->SessionOpen(session, u"user", u"pw", u"test", 0);
    TnxAbstractDatabase* db = nullptr;
    if (aOpened == 0) aOpened = session->DatabaseOpen(db, u"Path", u"/db", nullptr, omReadWrite, smShared, 0);
    db_ = static_cast<TnxServerDatabase*>(db);
  }
  ~CrashTestServer() {
    if (db_) platform::TObject::free(db_);
    platform::TObject::free(engine_);
  }
  CrashTestServer(const CrashTestServer&) = delete;
  CrashTestServer& operator=(const CrashTestServer&) = delete;

  TnxServerDatabase* Db() const { return db_; }
  TnxServerTransContext* Context() const { return static_cast<TnxServerTransContext*>(db_->TransContext()); }
  TnxServerRootTable* Table() {
    TnxServerBaseTable* table = nullptr;
    bool readOnly = false;
    const TnxResult result = db_->sdGetTable(table, u"t", u"", false, readOnly, false, false);
    EXPECT_EQ(result, 0) << platform::toUtf8(nxtest::pendingMessage());
    return static_cast<TnxServerRootTable*>(table);
  }
  // Inserts aCount records in one transaction; the commit's result.
  TnxResult Insert(int aCount) {
    TnxServerRootTable* table = Table();
    if (!table) return -1;
    EXPECT_EQ(db_->TransactionStart(false, false), 0);
    CrashTestWriter writer(Context(), table);
    EXPECT_EQ(writer.Exclusive(), 0);
    std::vector<std::uint8_t> record(static_cast<std::size_t>(table->FieldsDescriptor()->RecordLength()) + 16, 0);
    for (int i = 0; i < aCount; ++i) {
      TnxRefNr refNr = 0;
      table->RecordEngine()->AddRecord(Context()->Transaction(), refNr, record.data());
    }
    return db_->TransactionCommit();
  }
  int Count(std::uint32_t* aRecordLength = nullptr) {
    TnxServerRootTable* table = Table();
    if (!table) return -1;
    if (aRecordLength) *aRecordLength = table->RecordEngine()->breRecordLength;
    EXPECT_EQ(db_->TransactionStart(false, false), 0);
    std::uint32_t n = 0;
    table->RecordEngine()->GetRecordCount(Context()->Transaction(), n);
    EXPECT_EQ(db_->TransactionRollback(), 0);
    return static_cast<int>(n);
  }

 private:
  TnxServerEngine* engine_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
};

class DatabaseCrashTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fixture_.Fs().makeDirectory("/db"); }
  platform::FaultFileSystem& Fs() { return fixture_.Fs(); }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    Fs().listDirectory("/db", names);
    return names;
  }
  // The files as they are, made durable (the set-up needs no crash safety).
  void MakeDurable() {
    for (const std::string& n : Names()) {
      std::vector<std::uint8_t> data;
      ASSERT_TRUE(Fs().contents("/db/" + n, data));
      Fs().putFile("/db/" + n, data);
    }
  }
  void Restore(const nxtest::Files& aFiles) {
    for (const std::string& n : Names()) Fs().remove("/db/" + n);
    Fs().syncDirectory("/db");
    for (const auto& [path, data] : aFiles) Fs().putFile(path, data);
  }

  ServerEngineFixture fixture_;
};

TEST_P(DatabaseCrashTest, CommitCutAtEveryWriteAndSyncLeavesTheTableBeforeOrAfterIt) {
  {
    TnxResult opened = 0;
    CrashTestServer server(opened);
    ASSERT_EQ(opened, 0);
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
    ASSERT_EQ(server.Db()->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent), 0);
    ASSERT_EQ(server.Insert(2), 0);
  }
  MakeDurable();
  nxtest::CrashRecorder recorder(Fs(), GetParam(), 47);
  // The recorder sees every file of the run from its open on.
  platform::setCurrentFileSystem(&recorder);
  {
    TnxResult opened = 0;
    CrashTestServer server(opened);
    EXPECT_EQ(opened, 0);
    if (opened == 0) {
      EXPECT_EQ(server.Insert(1), 0);
    }
  }
  platform::setCurrentFileSystem(&Fs());
  ASSERT_GT(recorder.points.size(), 3u);
  recorder.capture();  // after the commit, nothing cut

  std::vector<int> seen;
  std::set<std::vector<std::uint8_t>> checked;
  for (std::size_t i = 0; i < recorder.points.size(); ++i) {
    Restore(recorder.points[i]);
    TnxResult opened = 0;
    CrashTestServer server(opened);
    ASSERT_EQ(opened, 0) << "point " << i << ": " << platform::toUtf8(nxtest::pendingMessage());
    // The file as the first open after the crash left it, before any use.
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(Fs().contents("/db/t.nx1", image));
    std::uint32_t recordLength = 0;
    const int count = server.Count(&recordLength);
    if (checked.insert(image).second) {
      EXPECT_EQ(crashTestCheckImage(image, recordLength), "") << "point " << i;
    }
    EXPECT_TRUE(count == 2 || count == 3) << "point " << i << ": " << count << " records";
    for (const std::string& n : Names()) EXPECT_EQ(n.find(".n$2"), std::string::npos) << "point " << i << ": " << n;
    seen.push_back(count);
  }
  // The cut points span the commit: the first leaves it out, the last has it.
  EXPECT_EQ(seen.front(), 2);
  EXPECT_EQ(seen.back(), 3);
}

INSTANTIATE_TEST_SUITE_P(SyncedAndUnsyncedWrites, DatabaseCrashTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& aInfo) {
                           return aInfo.param ? std::string("SomeUnsyncedWritesKept") : std::string("SyncedOnly");
                         });

}  // namespace
