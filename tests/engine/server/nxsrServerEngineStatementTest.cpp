#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxFakeSqlEngine.h"
#include "nxllStreams.h"
#include "nxsdQuestionBank.h"
#include "nxsrServerEngineTestSupport.h"
#include "nxsrTimeoutHandling.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

// Little-endian bytes of the listed 32-bit values and texts.
void appendInt32(std::vector<std::uint8_t>& aBytes, std::int32_t aValue) {
  for (int i = 0; i < 4; ++i) aBytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(aValue) >> (8 * i)));
}
void appendText(std::vector<std::uint8_t>& aBytes, const std::string& aText) {
  appendInt32(aBytes, static_cast<std::int32_t>(aText.size()));
  aBytes.insert(aBytes.end(), aText.begin(), aText.end());
}
std::vector<std::uint8_t> streamBytes(TnxMemoryStream& aStream, std::int64_t aFrom) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(aStream.Size() - aFrom));
  aStream.SetPosition(aFrom);
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  return bytes;
}

// An engine with the fake SQL engine, one session and one database.
class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sql_.engine = platform::create<FakeSqlEngine>(nullptr);
    engine_ = fixture_.Engine();
    engine_->SetSqlEngine(sql_.engine);
    engine_->SetMaxRAM(16);
    engine_->SetTempStoreSize(0);
    engine_->SetActive(true);
    fixture_.Fs().makeDirectory("/data/db");
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    TnxAbstractDatabase* db = nullptr;
    ASSERT_EQ(session->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    db_ = static_cast<TnxServerDatabase*>(db);
  }
  void TearDown() override { platform::TObject::free(db_); }

  TnxResult ExecDirect(const nxString& aText, TStream* aPrepare, TStream* aExec,
                       TnxStatementExecDirectPhase& aPhase, std::uint32_t aTimeout = 5000) {
    TnxAbstractCursor* cursor = nullptr;
    const TnxResult result = db_->StatementExecDirect(aTimeout, stQuery, aText, aPrepare, params_, nullptr, cursor,
                                                      omReadOnly, aExec, nullptr, aPhase);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(db_->StatementCount(), 0);
    return result;
  }

  // Freed after the fixture's engines.
  struct SqlHolder {
    FakeSqlEngine* engine = nullptr;
    ~SqlHolder() { platform::TObject::free(engine); }
  } sql_;
  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
  TnxSqlParamList params_;
};

TEST_F(StatementTest, FailingPrepareReportsStageStream) {
  TnxOwned<TnxMemoryStream> prepare(platform::create<TnxMemoryStream>());
  TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
  TnxStatementExecDirectPhase phase = sedFree;
  EXPECT_EQ(ExecDirect(u"fail prepare 11013 Syntax error", prepare.get(), exec.get(), phase), 11013);
  EXPECT_EQ(phase, sedPrepare);
  std::vector<std::uint8_t> expected;
  appendText(expected, "Syntax error<[--!SqlLog=\"line one\",\"line two\"!--]>");
  EXPECT_EQ(streamBytes(*prepare, 0), expected);
  EXPECT_EQ(exec->Size(), 0);
}

TEST_F(StatementTest, RowsWritesTheExecutionStream) {
  TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
  const std::uint8_t lead[3] = {7, 7, 7};
  exec->WriteBuffer(lead, 3);
  TnxStatementExecDirectPhase phase = sedAlloc;
  EXPECT_EQ(ExecDirect(u"rows 3", nullptr, exec.get(), phase), 0);
  EXPECT_EQ(phase, sedFree);
  EXPECT_EQ(exec->Position(), 3);
  std::vector<std::uint8_t> expected;
  appendInt32(expected, 3);
  appendInt32(expected, 3);
  appendInt32(expected, 2);
  appendText(expected, "line one");
  appendText(expected, "line two");
  EXPECT_EQ(streamBytes(*exec, 3), expected);
  EXPECT_EQ(engine_->seExecutingStatements.load(), 0);
  EXPECT_EQ(engine_->seExecutedStatements.load(), 1);
}

std::uint64_t statementTestFixedTick() { return 1'000'000; }

TEST_F(StatementTest, ExecRunsInsideTheCallersDeadline) {
  // A clock that stands still makes every deadline exact.
  const TnxTickSource previous = nxSetTickSource(&statementTestFixedTick);
  // The database's own time-out differs from the call's.
  db_->SetTimeout(60000);
  std::int64_t afterNestedCall = 0;
  sql_.engine->duringExec = [&] {
    // A public call of the database inside ssExec keeps the call's deadline.
    std::int64_t kb = 0;
    db_->GetFreespace(kb);
    afterNestedCall = nxGetThreadDeadline();
  };
  TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
  TnxStatementExecDirectPhase phase = sedAlloc;
  const TnxResult result = ExecDirect(u"rows 1", nullptr, exec.get(), phase, 2000);
  nxSetTickSource(previous);
  ASSERT_EQ(result, 0);
  const auto& calls = sql_.engine->calls;
  ASSERT_EQ(calls.size(), 3u);  // prepare, setParams, exec (no get-params stream)
  EXPECT_EQ(calls[2].type, "exec");
  EXPECT_TRUE(calls[2].execDirect);
  EXPECT_EQ(calls[2].executing, 1);
  for (const FakeSqlCall& call : calls) EXPECT_EQ(call.deadline, 1'002'000) << call.type;
  EXPECT_EQ(afterNestedCall, 1'002'000);
  // The nesting scope is left: the next call sets a deadline of its own.
  EXPECT_TRUE(nxSetTimeout(100, false));
  EXPECT_EQ(engine_->seExecutingStatements.load(), 0);
}

TEST_F(StatementTest, RaiseIsConvertedOnlyWithAnExecutionStream) {
  TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
  TnxStatementExecDirectPhase phase = sedAlloc;
  EXPECT_EQ(ExecDirect(u"raise 8713", nullptr, exec.get(), phase), 8713);
  EXPECT_EQ(phase, sedExec);
  EXPECT_EQ(engine_->seExecutingStatements.load(), 0);
  nxtest::expectCode([&] { ExecDirect(u"raise 8713", nullptr, nullptr, phase); }, 8713);
  EXPECT_EQ(db_->StatementCount(), 0);
  EXPECT_EQ(engine_->seExecutingStatements.load(), 0);
}

TEST_F(StatementTest, PreparedPathClearsExecDirect) {
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(db_->StatementAlloc(statement, 1000), 0);
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(db_->StatementCount(), 1);
  statement->SetExecDirect(true);
  TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
  TnxAbstractCursor* cursor = nullptr;
  EXPECT_EQ(statement->Prepare(stQuery, u"rows 2", nullptr), 0);
  EXPECT_EQ(statement->SetParams(params_, nullptr), 0);
  EXPECT_EQ(statement->Exec(cursor, omReadOnly, exec.get()), 0);
  EXPECT_EQ(statement->GetParams(params_, nullptr), 0);
  EXPECT_FALSE(statement->ExecDirect());
  const auto& calls = sql_.engine->calls;
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[2].type, "exec");
  EXPECT_FALSE(calls[2].execDirect);
  EXPECT_EQ(calls[2].executing, 1);
  platform::TObject::free(statement);
  EXPECT_EQ(db_->StatementCount(), 0);
}


// ---- The SELECT and UPDATE shapes on a real table -----------------------------------------

// The question bank table "qbnk" with three questions (ID 1..3, HANTEI "x"),
// added through a cursor of the test's database, which stays open.
class StatementShapesTest : public StatementTest {
 protected:
  void SetUp() override {
    StatementTest::SetUp();
    nxsdtest::DictPtr bank = nxsdtest::questionBank();
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->Assign(bank.get());
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"qbnk", u"", false, dict.get(), tsPersistent), 0);
    ASSERT_EQ(db_->CursorOpen(cursor_, u"qbnk", u"", omReadWrite, smShared, 0, u"ID", -1, false, {}, 500, nullptr),
              0);
    fields_ = cursor_->FieldsDescriptor();
    id_ = fields_->GetFieldFromName(u"ID");
    hantei_ = fields_->GetFieldFromName(u"HANTEI");
    for (std::int32_t id = 1; id <= 3; ++id) {
      std::vector<std::uint8_t> record = Record();
      cursor_->SetFieldAsVariant(record.data(), id_, platform::Variant(static_cast<int>(id)));
      cursor_->SetFieldAsVariant(record.data(), hantei_, platform::Variant(u"x"));
      ASSERT_EQ(cursor_->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
    }
  }
  std::vector<std::uint8_t> Record() {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(fields_->RecordLength()) + 16, 0);
  }
  // A parameter in the storage form of field aField.
  TnxSqlParamDesc Param(std::int32_t aField, const platform::Variant& aValue) {
    std::vector<std::uint8_t> record = Record();
    cursor_->SetFieldAsVariant(record.data(), aField, aValue);
    const TnxFieldDescriptor* field = fields_->Fields(aField);
    const auto* at = record.data() + field->fdOffset;
    return TnxSqlParamDesc{u"", nxptInput, field->fdType, std::vector<std::uint8_t>(at, at + field->fdLength)};
  }
  std::string Hantei(std::int32_t aID) {
    std::vector<std::uint8_t> record = Record();
    EXPECT_EQ(cursor_->SetToBegin(), 0);
    while (cursor_->RecordGetNext(nxltNoLock, record.data()) == 0) {
      if (cursor_->GetFieldAsVariant(record.data(), id_).toString() == platform::Variant(aID).toString())
        return platform::toUtf8(cursor_->GetFieldAsVariant(record.data(), hantei_).toString());
    }
    return "missing";
  }

  TnxAbstractCursor* cursor_ = nullptr;
  TnxFieldsDescriptor* fields_ = nullptr;
  std::int32_t id_ = -1, hantei_ = -1;
};

TEST_F(StatementShapesTest, UpdateChangesOneRecordAndTheTableIsReportedChanged) {
  TnxOwned<platform::TStringList> tables(platform::create<platform::TStringList>());
  struct Row {
    const char16_t* text;
    std::int32_t key;
    std::int32_t rows;
  } rows[] = {
      {u"UPDATE qbnk SET hantei=? WHERE id=?", 2, 1},
      {u"update QBNK Set HANTEI = ? where ID = ?  \r\n", 3, 1},
      {u"UPDATE qbnk SET hantei=? WHERE id=?\n", 99, 0},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(db_->GetChangedTables(*tables), 0);
    params_ = {Param(hantei_, platform::Variant(u"o")), Param(id_, platform::Variant(static_cast<int>(row.key)))};
    TnxOwned<TnxMemoryStream> exec(platform::create<TnxMemoryStream>());
    TnxStatementExecDirectPhase phase = sedAlloc;
    ASSERT_EQ(ExecDirect(row.text, nullptr, exec.get(), phase), 0) << platform::toUtf8(row.text);
    std::int32_t affected = -1;
    exec->ReadBuffer(&affected, 4);
    EXPECT_EQ(affected, row.rows) << platform::toUtf8(row.text);
    tables->clear();
    ASSERT_EQ(db_->GetChangedTables(*tables), 0);
    ASSERT_EQ(tables->count(), row.rows) << platform::toUtf8(row.text);
    if (row.rows == 1) {
      EXPECT_EQ(platform::toUtf8(tables->strings(0)), "qbnk");
    }
  }
  EXPECT_EQ(Hantei(1), "x");
  EXPECT_EQ(Hantei(2), "o");
  EXPECT_EQ(Hantei(3), "o");
}

TEST_F(StatementShapesTest, SelectReturnsAResultSetFilledFromTheTable) {
  for (const char16_t* text : {u"SELECT * FROM qbnk", u"select * from qbnk \r\n"}) {
    TnxAbstractCursor* result = nullptr;
    TnxStatementExecDirectPhase phase = sedAlloc;
    ASSERT_EQ(db_->StatementExecDirect(5000, stQuery, text, nullptr, params_, nullptr, result, omReadOnly, nullptr,
                                       nullptr, phase),
              0);
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->IsUnnamed);
    std::vector<std::string> ids;
    std::vector<std::uint8_t> record = Record();
    while (result->RecordGetNext(nxltNoLock, record.data()) == 0)
      ids.push_back(platform::toUtf8(result->GetFieldAsVariant(record.data(), id_).toString()));
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
    TnxAbstractServerObject::Free(result);
  }
}

}  // namespace
