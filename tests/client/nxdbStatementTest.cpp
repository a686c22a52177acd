// The statement datasets (query, stored procedure), the database's SQL
// routines and the master link, against the fake SQL engine.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nxClientTestKit.h"
#include "nxFakeSqlEngine.h"
#include "nxTestDataset.h"
#include "nxdb.h"
#include "nxsdQuestionBank.h"
#include "plDataLink.h"

using namespace platform;

namespace nxdbstatementtest {

std::string u8(const UnicodeString& aText) { return toUtf8(aText); }

std::vector<std::string> linesOf(const TStringList& aList) {
  std::vector<std::string> lines;
  for (int i = 0; i < aList.count(); ++i) lines.push_back(toUtf8(aList.strings(i)));
  return lines;
}

std::vector<std::string> paramNames(const TParams& aParams) {
  std::vector<std::string> names;
  for (int i = 0; i < aParams.Count(); ++i) names.push_back(toUtf8(aParams.Items(i).Name()));
  return names;
}

// The kit with the fake SQL engine and the question bank "qbnk" in "/data"
// (questions 1..3, HANTEI "x"); the database component is open.
class StatementFixture : public ::testing::Test {
 protected:
  StatementFixture() { nxdbConversionInitialize(); }
  ~StatementFixture() override { nxdbConversionFinalize(); }
  void SetUp() override {
    sql_.engine = create<FakeSqlEngine>(nullptr);
    kit.engine->SetActive(false);
    kit.engine->SetSqlEngine(sql_.engine);
    kit.engine->SetActive(true);
    nxsdtest::QuestionBankOptions options;
    options.nested = false;
    nxsdtest::DictPtr bank = nxsdtest::questionBank(options);
    TnxOwned<TnxServerDataDict> dict(create<TnxServerDataDict>());
    dict->Assign(bank.get());
    ASSERT_EQ(kit.BuildTable(u"qbnk", dict.get()), 0u);
    db = kit.Database();
    db->Open();
    TnxAbstractCursor* c = nullptr;
    ASSERT_EQ(db->AbstractDatabase()->CursorOpen(c, u"qbnk", u"", omReadWrite, smShared, 0, u"ID", 0, false, {}, 500,
                                                 nullptr),
              0u);
    TnxFieldsDescriptor* fields = c->FieldsDescriptor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(fields->RecordLength()) + 16);
    for (std::int32_t id = 1; id <= 3; ++id) {
      fields->InitRecord(rec.data());
      c->SetFieldAsVariant(rec.data(), fields->GetFieldFromName(u"ID"), Variant(static_cast<int>(id)));
      c->SetFieldAsVariant(rec.data(), fields->GetFieldFromName(u"HANTEI"), Variant(u"x"));
      ASSERT_EQ(c->RecordInsert(nxltNoLock, rec.data(), nullptr), 0u);
    }
    TObject::free(c);
  }
  void TearDown() override {
    for (auto it = datasets_.rbegin(); it != datasets_.rend(); ++it) TObject::free(*it);
  }

  template <class T = TnxQuery>
  T* Make(const nxString& aName = u"q1") {
    T* ds = create<T>(nullptr);
    datasets_.push_back(ds);
    ds->SetName(aName);
    ds->SetDatabase(db);
    return ds;
  }
  TnxQuery* Query(const nxString& aSql, const nxString& aName = u"q1") {
    TnxQuery* q = Make<TnxQuery>(aName);
    q->SQL().setText(aSql);
    return q;
  }
  // HANTEI of question aID, read through a cursor of its own.
  std::string Hantei(std::int32_t aID) {
    TnxAbstractCursor* c = nullptr;
    EXPECT_EQ(db->AbstractDatabase()->CursorOpen(c, u"qbnk", u"", omReadOnly, smShared, 0, u"ID", 0, false, {}, 500,
                                                 nullptr),
              0u);
    TnxFieldsDescriptor* fields = c->FieldsDescriptor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(fields->RecordLength()) + 16);
    std::string found = "missing";
    while (c->RecordGetNext(nxltNoLock, rec.data()) == 0)
      if (c->GetFieldAsVariant(rec.data(), fields->GetFieldFromName(u"ID")).toInt32() == aID)
        found = toUtf8(c->GetFieldAsVariant(rec.data(), fields->GetFieldFromName(u"HANTEI")).toString());
    TObject::free(c);
    return found;
  }
  std::vector<std::int32_t> Ids(TnxDataset& aDataSet) {
    std::vector<std::int32_t> ids;
    for (aDataSet.First(); !aDataSet.Eof(); aDataSet.Next()) ids.push_back(aDataSet.FieldByName(u"ID")->AsInteger());
    return ids;
  }
  FakeSqlEngine& Sql() { return *sql_.engine; }
  std::vector<std::string> CallTypes() {
    std::vector<std::string> types;
    for (const FakeSqlCall& call : Sql().calls) types.push_back(call.type);
    return types;
  }

  // Freed after the kit's engine.
  struct SqlHolder {
    FakeSqlEngine* engine = nullptr;
    ~SqlHolder() { TObject::free(engine); }
  } sql_;
  nxtest::ClientTestKit kit;
  TnxDatabase* db = nullptr;

 private:
  std::vector<TnxStatementDataSet*> datasets_;
};

// ---- Parsing -------------------------------------------------------------------------------

struct ParseCase {
  const char16_t* sql;
  const char16_t* text;  // Text after parsing
  std::vector<std::string> params;
};

TEST(QueryParse, MarkersBecomeQuestionMarksAndParameters) {
  const nxString nulText = nxString(u"select :a") + char16_t{0} + u" :b";
  const ParseCase cases[] = {
      {u"update T set a=:x where id=:id", u"update T set a=? where id=?\r\n", {"x", "id"}},
      {u"select '10:30' from t", u"select '10:30' from t\r\n", {}},
      {u"select \"a:b\" from t", u"select \"a:b\" from t\r\n", {}},
      {u"select a -- at :x", u"select a -- at :x\r\n", {}},
      {u"select a // at :x\r\nwhere b=:y", u"select a // at :x\r\nwhere b=?\r\n", {"y"}},
      {u"select a::int from t", u"select a::int from t\r\n", {}},
      {u"select :\"my name\" from t", u"select ? from t\r\n", {"my name"}},
      {u"where a=:a.b,c=:c:d)", u"where a=?,c=?)\r\n", {"a.b", "c:d"}},
      {u"select /* a /* b */ :x */ :y", u"select /* a /* b */ :x */ ?\r\n", {"y"}},
      {u"where f(:p)+:q*2", u"where f(?)+?*2\r\n", {"p", "q"}},
      {u"update t set a=:x, b=:x", u"update t set a=?, b=?\r\n", {"x", "x"}},
      {u"where a=:名前;", u"where a=?;\r\n", {"名前"}},
      {u"where 'open :x", u"where 'open :x\r\n", {}},
      // the first character always belongs to the name, even a line break
      {u"where a=:", u"where a=?\n", {"\r"}},
  };
  TnxQuery* q = create<TnxQuery>(nullptr);
  for (const ParseCase& c : cases) {
    q->SQL().setText(c.sql);
    EXPECT_EQ(u8(q->Text()), u8(c.text)) << u8(c.sql);
    EXPECT_EQ(paramNames(q->Params()), c.params) << u8(c.sql);
  }
  // A NUL ends the scan and the text; markers behind it create nothing.
  q->SQL().setText(nulText);
  EXPECT_EQ(u8(q->Text()), "select ?");
  EXPECT_EQ(paramNames(q->Params()), std::vector<std::string>{"a"});
  TObject::free(q);
}

TEST(QueryParse, WithoutParamCheckTheTextKeepsItsMarkersAndTheParametersStay) {
  TnxQuery* q = create<TnxQuery>(nullptr);
  q->SQL().setText(u"update t set a=:x where id=:id");
  q->ParamByName(u"x").SetAsInteger(5);
  q->SetParamCheck(false);
  q->SQL().setText(u"select :other from t");
  EXPECT_EQ(u8(q->Text()), "select :other from t\r\n");
  EXPECT_EQ(paramNames(q->Params()), (std::vector<std::string>{"x", "id"}));
  EXPECT_EQ(q->ParamByName(u"x").AsInteger(), 5);
  TObject::free(q);
}

TEST(QueryParse, ChangingTheTextKeepsTheValuesOfRemainingNames) {
  TnxQuery* q = create<TnxQuery>(nullptr);
  q->SQL().setText(u"update t set a=:a, b=:b where id=:id");
  q->ParamByName(u"a").SetAsInteger(1);
  q->ParamByName(u"id").SetAsWideString(u"seven");
  TnxOwned<TStringList> next(create<TStringList>());
  next->setText(u"update t set c=:c where id=:id");
  q->SetSQL(*next);
  EXPECT_EQ(paramNames(q->Params()), (std::vector<std::string>{"c", "id"}));
  EXPECT_TRUE(q->ParamByName(u"c").IsNull());
  EXPECT_EQ(u8(q->ParamByName(u"id").AsString()), "seven");
  EXPECT_EQ(q->ParamByName(u"id").DataType(), ftWideString);
  TObject::free(q);
}

// ---- The road of one answer ----------------------------------------------------------------

TEST_F(StatementFixture, ExecSqlOfAnUpdateExecutesDirectlyAndLeavesTheQueryClosed) {
  TnxQuery* q = Query(u"update QBNK set hantei=:nowhantei where id=:nowid");
  q->ParamByName(u"nowhantei").SetAsWideString(u"o");
  q->ParamByName(u"nowid").SetAsInteger(2);
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 1);
  EXPECT_EQ(q->RecordsRead(), 1);
  EXPECT_FALSE(q->Active());
  EXPECT_FALSE(q->Prepared());
  EXPECT_EQ(q->AbstractCursor(), nullptr);
  EXPECT_EQ(Hantei(1), "x");
  EXPECT_EQ(Hantei(2), "o");
  EXPECT_EQ(CallTypes(), (std::vector<std::string>{"prepare", "setParams", "exec"}));
  for (const FakeSqlCall& call : Sql().calls) EXPECT_TRUE(call.execDirect) << call.type;
  EXPECT_EQ(Sql().calls.back().openMode, omNone);
  const TnxSqlParamList& sent = Sql().calls[1].paramValues;
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(u8(sent[0].piParamName), "nowhantei");
  EXPECT_EQ(sent[0].piDataType, nxtWideString);
  EXPECT_EQ(u8(sent[1].piParamName), "nowid");
  EXPECT_EQ(sent[1].piDataType, nxtInt32);
  EXPECT_EQ(db->AbstractDatabase()->StatementCount(), 0);
}

TEST_F(StatementFixture, ExecSqlOfASelectFreesTheCursorThatCameBack) {
  TnxQuery* q = Query(u"SELECT * FROM qbnk");
  const std::int32_t cursorsBefore = db->AbstractDatabase()->CursorCount();
  q->ExecSQL();
  EXPECT_FALSE(q->Active());
  EXPECT_EQ(q->AbstractCursor(), nullptr);
  EXPECT_EQ(q->FieldsDescriptor(), nullptr);
  EXPECT_EQ(db->AbstractDatabase()->CursorCount(), cursorsBefore);
}

TEST_F(StatementFixture, PreparedQueryPreparesOnceAndUnpreparedOneExecutesDirectlyEachTime) {
  TnxQuery* q = Query(u"update qbnk set hantei=:h where id=:id");
  q->ParamByName(u"h").SetAsWideString(u"o");
  q->ParamByName(u"id").SetAsInteger(1);
  q->Prepare();
  EXPECT_TRUE(q->Prepared());
  q->ExecSQL();
  q->ExecSQL();
  EXPECT_EQ(CallTypes(), (std::vector<std::string>{"prepare", "setParams", "exec", "setParams", "exec"}));
  for (const FakeSqlCall& call : Sql().calls) EXPECT_FALSE(call.execDirect) << call.type;
  EXPECT_TRUE(q->Prepared());
  EXPECT_EQ(db->AbstractDatabase()->StatementCount(), 1);

  q->SetPrepared(false);
  EXPECT_EQ(db->AbstractDatabase()->StatementCount(), 0);
  Sql().calls.clear();
  q->ExecSQL();
  q->ExecSQL();
  EXPECT_EQ(CallTypes(), (std::vector<std::string>{"prepare", "setParams", "exec", "prepare", "setParams", "exec"}));
  for (const FakeSqlCall& call : Sql().calls) EXPECT_TRUE(call.execDirect) << call.type;
}

TEST_F(StatementFixture, ChangingTheTextOrClosingTheDatabaseUnprepares) {
  TnxQuery* q = Query(u"update qbnk set hantei=:h where id=:id");
  q->ParamByName(u"id").SetAsInteger(3);
  q->Prepare();
  q->SQL().setText(u"update qbnk set ckmark=:c where id=:id");
  EXPECT_FALSE(q->Prepared());
  EXPECT_EQ(q->ParamByName(u"id").AsInteger(), 3);
  EXPECT_EQ(db->AbstractDatabase()->StatementCount(), 0);

  q->Prepare();
  TnxQuery* other = Query(u"rows 1", u"q2");
  other->Prepare();
  ASSERT_EQ(db->QueryCount(), 2);
  db->Close();
  EXPECT_FALSE(q->Prepared());
  EXPECT_FALSE(other->Prepared());

  // A freed query takes its statement along.
  TnxQuery* freed = create<TnxQuery>(nullptr);
  freed->SetDatabase(db);
  freed->SQL().setText(u"rows 1");
  freed->Prepare();
  ASSERT_EQ(db->AbstractDatabase()->StatementCount(), 1);
  TObject::free(freed);
  EXPECT_EQ(db->AbstractDatabase()->StatementCount(), 0);
  EXPECT_EQ(db->QueryCount(), 2);
}

// ---- Failures ------------------------------------------------------------------------------

struct StageFailureCase {
  const char16_t* sql;
  bool output;  // an output parameter, so that parameters come back
  TnxResult code;
  const char* message;  // "" for the plain code
};

TEST_F(StatementFixture, FailedStagesRaiseTheirTextWithTheEngineCodeAndFillLog) {
  const StageFailureCase cases[] = {
      {u"fail prepare 11013 Syntax error", false, 11013, "Query preparation failed: \r\nSyntax error"},
      {u"fail setParams 9986 Bad value :p", false, 9986, "Query set parameters failed: \r\nBad value ?"},
      {u"fail exec 10241 Record locked", false, 10241, "Query execution failed: \r\nRecord locked"},
      {u"fail getParams 9986 No values :p", true, 9986, "Query get parameters failed: \r\nNo values ?"},
      {u"silent exec 10241", false, 10241, ""},
      {u"overlong exec 10241", false, 10241, ""},  // a text past the stream's end counts as none
  };
  for (const bool prepared : {false, true}) {
    for (const StageFailureCase& c : cases) {
      SCOPED_TRACE(u8(c.sql) + (prepared ? " prepared" : " direct"));
      TnxQuery* q = Query(c.sql);
      for (int i = 0; i < q->Params().Count(); ++i)
        q->Params().Items(i).SetParamType(c.output ? ptOutput : ptInput);
      if (q->Params().Count() > 0 && !c.output) q->Params().Items(0).SetAsInteger(1);
      nxString message;
      TnxResult code = 0;
      try {
        if (prepared) q->Prepare();
        q->ExecSQL();
      } catch (const EnxDatabaseError& e) {
        message = e.Message();
        code = e.ErrorCode();
      }
      EXPECT_EQ(code, c.code);
      if (*c.message) {
        EXPECT_EQ(u8(message).rfind(std::string("DazavAV: q1: ") + c.message, 0), 0u) << u8(message);
        // An explicit Prepare is no execution: its failure leaves Log alone.
        const bool executed = !(prepared && c.sql[5] == u'p');
        EXPECT_EQ(linesOf(q->Log()), executed ? (std::vector<std::string>{"line one", "line two"})
                                              : std::vector<std::string>{});
      } else {
        EXPECT_EQ(u8(message).find("failed"), std::string::npos) << u8(message);
        EXPECT_EQ(u8(message).rfind("DazavAV: q1: ", 0), 0u) << u8(message);
        EXPECT_TRUE(q->Log().empty());
      }
      EXPECT_EQ(q->AbstractCursor(), nullptr);
      EXPECT_EQ(db->AbstractDatabase()->StatementCount(), prepared && c.sql[5] != u'p' ? 1 : 0);
      q->Unprepare();
    }
  }
}

TEST_F(StatementFixture, LogHoldsTheStreamLinesAfterSuccess) {
  TnxQuery* q = Query(u"rows 3");
  q->Log().add(u"stale");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 3);
  EXPECT_EQ(q->RecordsRead(), 3);
  EXPECT_EQ(linesOf(q->Log()), (std::vector<std::string>{"line one", "line two"}));
}

TEST_F(StatementFixture, AnEmptyTextIsRefusedPreparedAndDirect) {
  for (const bool prepared : {false, true}) {
    TnxQuery* q = Query(u"", prepared ? u"p1" : u"d1");
    const nxString message = nxtest::clientErrorMessage([&] {
      if (prepared)
        q->Prepare();
      else
        q->ExecSQL();
    });
    EXPECT_NE(u8(message).find("No SQL statement specified"), std::string::npos) << u8(message);
    EXPECT_TRUE(Sql().calls.empty());
  }
}

TEST_F(StatementFixture, ATruncatedExecutionStreamEndsWhereItEnds) {
  TnxQuery* q = Query(u"truncated");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 5);
  EXPECT_EQ(q->RecordsRead(), 5);
  EXPECT_EQ(linesOf(q->Log()), std::vector<std::string>{"abcd"});
}

// ---- Results -------------------------------------------------------------------------------

TEST_F(StatementFixture, SelectOpensWithTheTableRows) {
  TnxQuery* q = Query(u"SELECT * FROM qbnk");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 3);
  EXPECT_EQ(Ids(*q), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(q->RecordsRead(), 3);
  EXPECT_EQ(Sql().calls.back().openMode, omReadOnly);
  EXPECT_FALSE(q->CanModify());
  q->Close();
  EXPECT_EQ(q->AbstractCursor(), nullptr);
}

struct LiveCase {
  const char* what;
  bool editable;  // reported by the engine
  bool requestLive;
  bool readOnly;
  bool databaseReadOnly;
  bool canModify;
};

TEST_F(StatementFixture, CanModifyNeedsALiveEditableResultAndNoReadOnlyFlag) {
  const LiveCase cases[] = {
      {"live and editable", true, true, false, false, true},
      {"not requested live", true, false, false, false, false},
      {"engine says read-only", false, true, false, false, false},
      {"ReadOnly", true, true, true, false, false},
      {"read-only database", true, true, false, true, false},
  };
  for (const LiveCase& c : cases) {
    SCOPED_TRACE(c.what);
    Sql().editableResults = c.editable;
    db->Close();
    db->SetReadOnly(c.databaseReadOnly);
    TnxQuery* q = Query(u"SELECT * FROM qbnk");
    q->SetRequestLive(c.requestLive);
    q->SetReadOnly(c.readOnly);
    q->Open();
    EXPECT_EQ(q->CanModify(), c.canModify);
    EXPECT_EQ(Sql().calls.back().openMode, c.requestLive ? omReadWrite : omReadOnly);
    q->Close();
  }
}

TEST_F(StatementFixture, RequestLiveOnAnOpenQueryIsRefused) {
  TnxQuery* q = Query(u"SELECT * FROM qbnk");
  q->Open();
  EXPECT_THROW(q->SetRequestLive(true), EDatabaseError);
  EXPECT_FALSE(q->RequestLive());
  EXPECT_THROW(q->ExecSQL(), EDatabaseError);
}

struct OutputCase {
  const char* what;
  std::function<void(TnxSqlParamList&)> engine;
  TnxResult code;  // 0: the values are taken
};

TEST_F(StatementFixture, OutputParametersMustMatchTheParameterList) {
  Sql().catalogue.push_back({u"AddOne",
                             false,
                             {{u"a", u"INTEGER", u"IN", 0, {}},
                              {u"b", u"INTEGER", u"OUT", 0, {42, 0, 0, 0}},
                              {u"c", u"INTEGER", u"INOUT", 0, {}}}});
  const OutputCase cases[] = {
      {"matching", nullptr, 0},
      {"one entry short", [](TnxSqlParamList& l) { l.pop_back(); }, 9986},
      {"one entry more", [](TnxSqlParamList& l) { l.push_back(l.back()); }, 9986},
      {"kind differs", [](TnxSqlParamList& l) { l[1].piParamType = nxptResult; }, 9986},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.what);
    Sql().onGetParams = c.engine;
    TnxStoredProc* sp = Make<TnxStoredProc>(u"sp1");
    sp->SetStoredProcName(u"AddOne");
    sp->RefreshParam();
    sp->ParamByName(u"a").SetAsInteger(1);
    sp->ParamByName(u"c").SetAsInteger(7);
    EXPECT_EQ(nxtest::clientErrorCode([&] { sp->ExecProc(); }), c.code ? c.code : static_cast<TnxResult>(-1));
    if (c.code == 0) {
      EXPECT_EQ(sp->ParamByName(u"b").AsInteger(), 42);
      EXPECT_TRUE(sp->ParamByName(u"c").IsNull());  // empty data: Null
      EXPECT_EQ(sp->ParamByName(u"a").AsInteger(), 1);
    }
  }
}

// ---- Routines ------------------------------------------------------------------------------

TEST_F(StatementFixture, ExecQueryFillsInputParametersInOrder) {
  const TnxConstArg two[] = {TnxConstArg(u"o"), TnxConstArg(std::int32_t{2})};
  EXPECT_TRUE(db->ExecQuery(u"update qbnk set hantei=:a where id=:id", two).empty());
  EXPECT_EQ(Hantei(2), "o");
  const TnxSqlParamList& sent = Sql().calls[1].paramValues;
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(u8(sent[0].piParamName), "a");
  EXPECT_EQ(sent[0].piDataType, nxtWideString);
  EXPECT_EQ(u8(sent[1].piParamName), "id");

  const TnxConstArg three[] = {TnxConstArg(u"o"), TnxConstArg(std::int32_t{2}), TnxConstArg(std::int32_t{3})};
  EXPECT_THROW(db->ExecQuery(u"update qbnk set hantei=:a where id=:id", three), EDatabaseError);
  EXPECT_EQ(db->QueryCount(), 0);
  EXPECT_EQ(db->DataSetCount(), 0);
}

TEST_F(StatementFixture, ExecQueryFromAStreamAndAFile) {
  const std::string text = "update qbnk set hantei=:a\r\nwhere id=:id";
  TnxOwned<TnxMemoryStream> stream(create<TnxMemoryStream>());
  stream->WriteBuffer("\xEF\xBB\xBF", 3);
  stream->WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
  stream->SetPosition(0);
  const TnxConstArg first[] = {TnxConstArg(u"s"), TnxConstArg(std::int32_t{1})};
  db->ExecQueryFromStream(*stream, first);
  EXPECT_EQ(Hantei(1), "s");
  stream->SaveToFile("/tmp/update.sql");
  const TnxConstArg second[] = {TnxConstArg(u"f"), TnxConstArg(std::int32_t{3})};
  db->ExecQueryFromFile(u"/tmp/update.sql", second);
  EXPECT_EQ(Hantei(3), "f");
  EXPECT_THROW(db->ExecQueryFromFile(u"/tmp/missing.sql", second), std::exception);
  EXPECT_EQ(db->QueryCount(), 0);
}

struct ArgCase {
  const char* what;
  TnxConstArg arg;
  bool invalid;
  TFieldType type;
  std::function<void(const TParam&)> check;
};

TEST(SqlRoutineArguments, EachKindSetsTheParameterOrIsRefused) {
  TObject* object = create<TStringList>();
  static_cast<TStringList*>(object)->setText(u"memo");
  const int marker = 0;
  const ArgCase cases[] = {
      {"integer", TnxConstArg(std::int32_t{7}), false, ftInteger, [](const TParam& p) { EXPECT_EQ(p.AsInteger(), 7); }},
      {"boolean", TnxConstArg(true), false, ftBoolean, [](const TParam& p) { EXPECT_TRUE(p.AsBoolean()); }},
      {"8-bit character", TnxConstArg('c'), false, ftString, [](const TParam& p) { EXPECT_EQ(u8(p.AsString()), "c"); }},
      {"extended", TnxConstArg(2.5L), false, ftFloat, [](const TParam& p) { EXPECT_EQ(p.AsFloat(), 2.5); }},
      {"8-bit string", TnxConstArg("abc"), false, ftString, [](const TParam& p) { EXPECT_EQ(u8(p.AsString()), "abc"); }},
      {"nil pointer", TnxConstArg(nullptr), false, ftUnknown, [](const TParam& p) { EXPECT_TRUE(p.IsNull()); }},
      {"pointer", TnxConstArg(static_cast<const void*>(&marker)), true, ftUnknown, nullptr},
      {"nil object", TnxConstArg(static_cast<TObject*>(nullptr)), false, ftUnknown, nullptr},
      {"string list", TnxConstArg(object), false, ftMemo,
       [](const TParam& p) { EXPECT_EQ(u8(p.AsString()), "memo\r\n"); }},
      {"wide string", TnxConstArg(u"wide"), false, ftWideString,
       [](const TParam& p) { EXPECT_EQ(u8(p.AsString()), "wide"); }},
      {"currency", TnxConstArg(Currency::fromRaw(12500)), false, ftCurrency,
       [](const TParam& p) { EXPECT_EQ(p.AsCurrency().value, 12500); }},
      {"unassigned variant", TnxConstArg(Variant()), false, ftUnknown, [](const TParam& p) { EXPECT_TRUE(p.IsNull()); }},
      {"variant", TnxConstArg(Variant(3.5)), false, ftFloat, [](const TParam& p) { EXPECT_EQ(p.AsFloat(), 3.5); }},
      {"64-bit integer", TnxConstArg(std::int64_t{1} << 40), false, ftLargeint,
       [](const TParam& p) { EXPECT_EQ(p.AsLargeInt(), std::int64_t{1} << 40); }},
      {"class", TnxConstArg(&TStringList::staticClassInfo()), true, ftUnknown, nullptr},
      {"wide character", TnxConstArg(u'w'), true, ftUnknown, nullptr},
      {"interface", TnxConstArg(static_cast<InxInterface*>(nullptr)), true, ftUnknown, nullptr},
  };
  for (const ArgCase& c : cases) {
    SCOPED_TRACE(c.what);
    TParams params;
    TParam& param = params.AddParam(u"p");
    if (c.invalid) {
      try {
        nxSetParamFromArg(param, 0, c.arg);
        ADD_FAILURE() << "accepted";
      } catch (const EDatabaseError& e) {
        EXPECT_EQ(u8(e.Message()), "Invalid value for param 'p'");
      }
      continue;
    }
    nxSetParamFromArg(param, 0, c.arg);
    EXPECT_EQ(param.DataType(), c.type);
    if (c.check) c.check(param);
  }
  TParams unnamed;
  unnamed.AddParam(u"");
  try {
    nxSetParamFromArg(unnamed.Items(0), 4, TnxConstArg(u'w'));
    ADD_FAILURE() << "accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(u8(e.Message()), "Invalid value for param '<UnnamedParam:4>'");
  }
  TObject::free(object);
}

TEST(SqlRoutineArguments, ArgumentsSkipOutputAndResultParameters) {
  TParams params;
  params.CreateParam(ftUnknown, u"r", ptResult);
  params.CreateParam(ftUnknown, u"a", ptInput);
  params.CreateParam(ftUnknown, u"o", ptOutput);
  params.CreateParam(ftUnknown, u"b", ptInputOutput);
  const TnxConstArg args[] = {TnxConstArg(std::int32_t{1}), TnxConstArg(std::int32_t{2})};
  nxSetParamsFromArgs(params, args);
  EXPECT_TRUE(params.Items(0).IsNull());
  EXPECT_EQ(params.Items(1).AsInteger(), 1);
  EXPECT_TRUE(params.Items(2).IsNull());
  EXPECT_EQ(params.Items(3).AsInteger(), 2);
  params.Items(0).SetAsInteger(9);
  params.Items(2).SetAsInteger(8);
  const TnxDynVariantArray out = nxGetOutputParamValues(params);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].toInt32(), 9);
  EXPECT_EQ(out[1].toInt32(), 8);
  EXPECT_EQ(out[2].toInt32(), 2);
  const TnxConstArg three[] = {TnxConstArg(std::int32_t{1}), TnxConstArg(std::int32_t{2}),
                               TnxConstArg(std::int32_t{3})};
  EXPECT_THROW(nxSetParamsFromArgs(params, three), EDatabaseError);
}

TEST_F(StatementFixture, OpenQueryHandsOverAnOpenQuery) {
  TnxQuery* q = db->OpenQuery(u"SELECT * FROM qbnk", {}, 10, false);
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(q->Active());
  EXPECT_EQ(q->BlockReadSize(), 10);
  EXPECT_EQ(Ids(*q), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(db->QueryCount(), 1);
  TObject::free(q);
  EXPECT_EQ(db->QueryCount(), 0);
  EXPECT_THROW(db->OpenQuery(u"fail exec 10241 locked"), EnxDatabaseError);
  EXPECT_EQ(db->QueryCount(), 0);
}

TEST_F(StatementFixture, StoredRoutinesComeFromTheCatalogue) {
  Sql().catalogue = {
      {u"AddOne", false, {{u"a", u"INTEGER", u"IN", 0, {}}, {u"b", u"INTEGER", u"OUT", 0, {42, 0, 0, 0}}}},
      {u"Clean", false, {}},
      {u"Twice", true, {{u"x", u"INTEGER", u"IN", 0, {}}, {u"result", u"INTEGER", u"RESULT", 0, {14, 0, 0, 0}}}},
  };
  TnxOwned<TStringList> names(create<TStringList>());
  names->add(u"stale");
  db->GetStoredProcNames(names.get());
  EXPECT_EQ(linesOf(*names), (std::vector<std::string>{"AddOne", "Clean"}));
  db->GetStoredFuncNames(names.get());
  EXPECT_EQ(linesOf(*names), std::vector<std::string>{"Twice"});
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->GetStoredProcNames(nullptr); }), 9986u);

  const TnxStoredProcParamList params = db->GetStoredProcParams(u"AddOne");
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(u8(params[1].piParamName), "b");
  EXPECT_EQ(params[1].piParamType, nxptOutput);
  EXPECT_EQ(params[1].piDataType, nxtInt32);

  // A name that is only a function takes the function's parameters.
  TnxStoredProc* sp = Make<TnxStoredProc>(u"sp1");
  sp->SetStoredProcName(u"Twice");
  sp->RefreshParam();
  EXPECT_EQ(paramNames(sp->Params()), (std::vector<std::string>{"x", "result"}));
  EXPECT_EQ(sp->Params().Items(1).ParamType(), ptResult);
  EXPECT_EQ(sp->Params().Items(0).DataType(), ftInteger);

  const TnxConstArg one[] = {TnxConstArg(std::int32_t{1})};
  const TnxDynVariantArray values = db->ExecStoredProc(u"AddOne", one);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].toInt32(), 42);
  const FakeSqlCall& exec = Sql().calls[Sql().calls.size() - 2];
  EXPECT_EQ(exec.type, "exec");
  EXPECT_EQ(exec.statementType, stStoredProcedure);
  EXPECT_EQ(u8(exec.text), "AddOne");
  EXPECT_EQ(db->QueryCount(), 1);  // sp1 only
}

// ---- Links ---------------------------------------------------------------------------------

TEST_F(StatementFixture, AMasterLinkReopensTheQueryWithTheMasterValues) {
  TnxTestDataset* master = create<TnxTestDataset>(nullptr);
  master->SetName(u"master");
  master->SetDatabase(db);
  master->SetTableName(u"qbnk");
  master->SetIndexName(u"ID");
  TDataSource* source = create<TDataSource>(nullptr);
  source->SetName(u"masterSource");
  source->SetDataSet(master);
  master->Open();
  TnxQuery* q = Query(u"SELECT * FROM qbnk WHERE ID=:ID");
  q->SetDataSource(source);
  q->Open();
  EXPECT_EQ(Ids(*q), std::vector<std::int32_t>{1});
  master->Next();
  EXPECT_EQ(Ids(*q), std::vector<std::int32_t>{2});
  master->Last();
  EXPECT_EQ(Ids(*q), std::vector<std::int32_t>{3});
  EXPECT_FALSE(q->ParamByName(u"ID").Bound());
  q->Close();
  q->SetDataSource(nullptr);
  TObject::free(source);
  TObject::free(master);
}

TEST_F(StatementFixture, ADataSourceThatClosesACircleIsRefused) {
  TnxQuery* first = Query(u"SELECT * FROM qbnk", u"first");
  TnxQuery* second = Query(u"SELECT * FROM qbnk", u"second");
  TDataSource* firstSource = create<TDataSource>(nullptr);
  firstSource->SetName(u"firstSource");
  firstSource->SetDataSet(first);
  TDataSource* secondSource = create<TDataSource>(nullptr);
  secondSource->SetName(u"secondSource");
  secondSource->SetDataSet(second);
  second->SetDataSource(firstSource);
  const nxString message = nxtest::clientErrorMessage([&] { first->SetDataSource(secondSource); });
  EXPECT_EQ(u8(message), "DazavAV: first: Circular data link with data source [secondSource] [no error code]");
  EXPECT_EQ(first->DataSource(), nullptr);
  const nxString self = nxtest::clientErrorMessage([&] { first->SetDataSource(firstSource); });
  EXPECT_NE(u8(self).find("[firstSource]"), std::string::npos) << u8(self);
  second->SetDataSource(nullptr);
  TObject::free(secondSource);
  TObject::free(firstSource);
}

TEST_F(StatementFixture, ProviderSupport) {
  TnxQuery* q = Query(u"SELECT * FROM qbnk WHERE ID=:ID");
  q->ParamByName(u"ID").SetAsInteger(2);
  q->Open();
  EXPECT_EQ(Ids(*q), std::vector<std::int32_t>{2});
  TParams empty;
  q->PSSetParams(empty);
  EXPECT_FALSE(q->Active());
  ASSERT_EQ(q->Params().Count(), 1);
  EXPECT_EQ(q->ParamByName(u"ID").AsInteger(), 2);
  TParams other;
  other.CreateParam(ftInteger, u"other", ptInput).SetAsInteger(5);
  q->PSSetParams(other);
  EXPECT_EQ(paramNames(q->Params()), std::vector<std::string>{"other"});
  EXPECT_EQ(q->PSGetParams(), &q->Params());

  q->PSSetCommandText(u"SELECT * FROM qbnk ORDER BY category_number, ID DESC");
  q->PSSetCommandText(u"");
  EXPECT_EQ(u8(q->PSGetTableName()), "qbnk");
  const std::unique_ptr<TIndexDef> order = q->PSGetDefaultOrder();
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(u8(order->Fields()), "category_number;ID");
  EXPECT_EQ(u8(order->DescFields()), "ID");
  q->PSSetCommandText(u"rows 4");
  q->PSExecute();
  EXPECT_EQ(q->RowsAffected(), 4);
  EXPECT_EQ(Sql().calls.back().openMode, omNone);
}

TEST_F(StatementFixture, OpeningAStatementWithoutResultRunsItAndStaysClosed) {
  TnxQuery* q = Query(u"rows 2");
  EXPECT_THROW(q->Open(), EAbort);
  EXPECT_FALSE(q->Active());
  EXPECT_EQ(q->RowsAffected(), 2);
  EXPECT_EQ(Sql().calls.back().openMode, omReadOnly);
}

}  // namespace nxdbstatementtest
