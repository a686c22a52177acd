#include "nxSQLParse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nxSQLTok.h"
#include "nxSqlParserTestSupport.h"
#include "nxllException.h"

namespace {

class SqlParseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nxSQLTokInitialize();
    nxSQLParseInitialize();
  }
  static void TearDownTestSuite() {
    nxSQLParseFinalize();
    nxSQLTokFinalize();
  }
};

using Codes = std::vector<std::int32_t>;

// Runs one rule of a grammar of its own over a token list.
class TToyParser : public TBaseParser {
 public:
  TToyParser(const TSqlGrammar* aGrammar, std::string aRule, TTokenList* aTokens)
      : FToy(aGrammar), FRule(std::move(aRule)) {
    FTokens = aTokens;
  }
  bool Parse() override { return RunStartRule(*FToy, FToy->RuleIndex(FRule)); }
  nxString GetTokenName(std::int32_t aKind) const override { return nxSqlTokenName(aKind); }

 private:
  const TSqlGrammar* FToy;
  std::string FRule;
};

using ParserPtr = std::unique_ptr<TnxSQLParser, TnxFreeObject>;

struct Parsed {
  std::u16string text;
  Tokenized tok;
  ParserPtr parser;
  bool ok = false;
  Codes record;  // the accepted record

  nxString message(bool aFound = true) const { return nxSqlSyntaxErrorMessage(*parser, aFound); }
};

std::unique_ptr<Parsed> parse(std::u16string_view aText, bool aMemo = true, std::string_view aRule = "Script") {
  auto p = std::make_unique<Parsed>();
  p->text = aText;
  p->tok = tokenize(p->text);
  EXPECT_TRUE(p->tok.ok) << platform::toUtf8(aText);
  p->parser.reset(platform::create<TnxSQLParser>(p->tok.list.get()));
  p->parser->SetUseMemo(aMemo);
  p->ok = p->parser->ParseRule(aRule);
  if (p->ok)
    p->record.assign(p->parser->Codes().begin(), p->parser->Codes().begin() + p->parser->AcceptedCodeCount());
  return p;
}

// The replay reads every code of the record and steps over every token.
void expectReplays(Parsed& aParsed) {
  TSqlCodeTrace trace(true);
  ASSERT_NO_THROW(aParsed.parser->Replay(trace)) << platform::toUtf8(aParsed.text);
  EXPECT_EQ(aParsed.parser->CodePtr, std::int32_t(aParsed.record.size()));
  EXPECT_EQ(aParsed.parser->TokenPtr, aParsed.tok.list->TokenCount());
  EXPECT_EQ(trace.Tokens(), aParsed.tok.list->TokenCount());
}

// Without the memo the recognizer answers the same: record, failure place,
// expected names and messages.
void expectSameWithoutMemo(const Parsed& aWith) {
  const auto without = parse(aWith.text, false);
  EXPECT_EQ(without->ok, aWith.ok) << platform::toUtf8(aWith.text);
  EXPECT_EQ(without->record, aWith.record) << platform::toUtf8(aWith.text);
  EXPECT_EQ(without->parser->FailedTokenIndex(), aWith.parser->FailedTokenIndex());
  EXPECT_EQ(without->parser->ExpectedTokenCount(), aWith.parser->ExpectedTokenCount());
  if (!aWith.ok && aWith.parser->HasCodes()) {
    nxString found1, found2;
    std::int32_t index1 = 0, index2 = 0;
    EXPECT_EQ(without->parser->ExpectedTokensString(found1, index1),
              aWith.parser->ExpectedTokensString(found2, index2));
    EXPECT_EQ(found1, found2);
    EXPECT_EQ(index1, index2);
    for (std::int32_t i = 0; i < aWith.parser->ExpectedTokenCount(); ++i)
      EXPECT_EQ(without->parser->GetExpectedToken(i), aWith.parser->GetExpectedToken(i));
  }
}

// ---------------------------------------------------------------------------
// Toy grammars: the codes of each construct

struct ToyCase {
  std::string grammar;
  std::u16string_view text;
  bool ok;
  Codes record;
};

TEST_F(SqlParseTest, ConstructsWriteTheirCodes) {
  const std::vector<ToyCase> cases = {
      // A [ B ] { C } ( D | E ) over A C C E
      {"Toy = SELECT [ FROM ] { WHERE } ( AND | OR )", u"SELECT WHERE WHERE OR", true, {0, 1, 1, 0, 1}},
      {"Toy = { Identifier // ',' }+", u"x , y , z", true, {1, 2, 1, 2, 1, 0, 0}},
      // A separator without an item behind it stays for what follows.
      {"Toy = { Identifier // ',' }+ ',' <eof>", u"x , y ,", true, {1, 2, 1, 0, 0}},
      {"Toy = { Identifier // ',' } <eof>", u"", true, {0}},
      {"Toy = { Identifier // ',' }+ <eof>", u"", false, {}},
      {"Toy = { Identifier }+ <eof>", u"a b", true, {1, 1, 0}},
      {"Toy = { Identifier }+ <eof>", u"", false, {}},
      // A nested choice writes its number after the outer one.
      {"Toy = ( AND | ( OR | NOT ) ) <eof>", u"NOT", true, {1, 1}},
      // Ordered choice: the first alternative that succeeds hides the rest.
      {"Toy = ( Identifier | Identifier '.' Identifier ) <eof>", u"a . b", false, {}},
      {"Toy = ( Identifier '.' Identifier | Identifier ) <eof>", u"a", true, {1}},
      // Identifier takes non-reserved words but not reserved ones.
      {"Toy = Identifier Identifier <eof>", u"TOP DATA", true, {}},
      {"Toy = Identifier <eof>", u"SELECT", false, {}},
      {"Toy = <slot>", u"", false, {}},
  };
  for (const ToyCase& c : cases) {
    SCOPED_TRACE(c.grammar + " over " + platform::toUtf8(c.text));
    const TSqlGrammar g(c.grammar);
    const Tokenized t = tokenize(c.text);
    ASSERT_TRUE(t.ok);
    TToyParser p(&g, "Toy", t.list.get());
    ASSERT_EQ(p.Parse(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(Codes(p.Codes().begin(), p.Codes().begin() + p.AcceptedCodeCount()), c.record);
    TSqlCodeTrace trace;
    p.Replay(trace);
    EXPECT_EQ(p.CodePtr, std::int32_t(c.record.size()));
  }
}

TEST_F(SqlParseTest, GrammarTextFaultsRaise) {
  for (const char* text : {"Toy = NOSUCHWORD", "Toy = Missing", "Toy = ( AND", "Toy = 1: AND | 0: OR",
                           "Toy = AND\nToy = OR", "Toy AND", "Toy = [ ]"})
    EXPECT_THROW(TSqlGrammar g(text), EnxBaseException) << text;
}

TEST_F(SqlParseTest, ReplayRejectsARecordThatDoesNotFit) {
  const TSqlGrammar g("Toy = ( AND | OR ) <eof>");
  const Tokenized t = tokenize(u"OR");
  TToyParser p(&g, "Toy", t.list.get());
  ASSERT_TRUE(p.Parse());
  // Codes beyond the accepted record are never read.
  TSqlCodeTrace trace;
  EXPECT_NO_THROW(p.Replay(trace));
  EXPECT_EQ(trace.Text(), "Toy\n  #1\n  OR\n  <eof>\n");
}

// ---------------------------------------------------------------------------
// Golden records of the SQL grammar

struct GoldenCase {
  std::u16string_view text;
  Codes record;
};

TEST_F(SqlParseTest, GoldenRecords) {
  const std::vector<GoldenCase> cases = {
      {u"", {0, 1, 0, 0, 0, 0}},
      {u"#B+ #S- UPDATE t SET a = 1",
       {0, 1, 1,                    // no pragmas, first item, a statement
        1, 0, 0, 1, 2, 1, 0,        // #B +, #S -
        1,                          // UPDATE
        0, 0, 0, 0,                 // TableRef t: name, no '.', no alias
        1, 0, 0, 1,                 // UpdateItem a = SimpleExpression
        1, 1, 0, 0, 1, 0, 0, 0, 0,  // 1: one term of one factor, a literal
        0, 0, 0,                    // end of the update list, no WHERE
        0, 0, 0}},                  // end of the statement list, no final ';'
      {u"SELECT a FROM t;",
       {0, 1, 1, 0, 8,
        1, 0,                       // TableExp: NonJoinTableExp .. NonJoinTablePrimary: SelectStatement
        0, 0,                       // no quantifier, no TOP
        1, 1,                       // selection list, Selection: CondExp
        1, 1, 0, 3,                 // CondExp, CondTerm, no NOT, CondPrimary: SimpleExpression
        1, 1, 0, 2, 0, 0, 0,        // a: Term, Factor: FieldReference, Name, no '.', no arguments
        0, 0, 0, 0, 0, 0, 0, 0, 0,  // ends of Term and SimpleExpression, no predicate, ends of AND, OR
        0, 0, 0, 0,                 // no alias, end of the selection list, no INTO
        1, 1, 0, 0, 0, 0,           // FROM t: FromItem: TableRef 0, Name, no '.', no alias
        0, 0, 0,                    // no column list, end of the FROM list
        0, 0, 0, 0,                 // no WHERE, GROUP BY, HAVING, ORDER BY
        0, 0,                       // no INTERSECT, no UNION / EXCEPT
        2, 1, 0, 0, 0,              // ';', an empty statement, end of the list
        0}},                        // no final ';'
      {u"#L+ #T 30 x.p(1, 2)",
       {1, 0, 0, 1, 1, 0,              // pragmas #L +, #T
        1, 1, 0, 18,                   // one statement, no switches, RoutineCall
        0, 1, 0,                       // x . p
        1, 1, 1, 0, 0, 1, 0, 0, 0, 0,  // 1
        2, 1, 1, 1, 0, 0, 1, 0, 0, 0, 0,  // , 2
        0, 0,                          // end of the arguments
        0, 0, 0}},
      {u"CALL p()", {0, 1, 1, 0, 17, 0, 0, 0, 0, 0, 0}},
  };
  for (const GoldenCase& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    const auto p = parse(c.text);
    ASSERT_TRUE(p->ok) << platform::toUtf8(p->message());
    EXPECT_EQ(p->record, c.record);
    expectReplays(*p);
    expectSameWithoutMemo(*p);
  }
}

TEST_F(SqlParseTest, CodeTracePrintsRulesAlternativesAndTokens) {
  const auto p = parse(u"COMMIT WORK");
  ASSERT_TRUE(p->ok);
  EXPECT_EQ(nxSqlCodeTrace(*p->parser),
            "Script\n"
            "  Statement\n"
            "    SqlStatement\n"
            "      #20\n"
            "      CommitStatement\n"
            "        COMMIT\n"
            "        WORK\n"
            "  <eof>\n");
}

// ---------------------------------------------------------------------------
// Accept and reject tables

struct AcceptCase {
  std::u16string_view text;
  bool ok;
};

const std::vector<AcceptCase>& acceptCases() {
  static const std::vector<AcceptCase> cases = {
      // Scripts and statements
      {u"", true},
      {u";", true},
      {u"SELECT a FROM t;;", true},
      {u"SELECT * FROM t;", true},
      {u"#L+ #T 30 SELECT * FROM t", true},
      {u"#OPT::grp::item = 'v' #V- #F feature+ SELECT * FROM t", true},
      {u"#B+ #S- UPDATE t SET a = 1", true},
      {u"#B+ #S- #I+", false},
      {u"SELECT 1 FROM t SELECT 2 FROM t", false},
      {u"BEGIN SELECT * FROM t END", false},
      {u"BEGIN SELECT * FROM t; END", true},
      {u"BEGIN NOT ATOMIC SET x = 1; SET y = 2; END", true},
      {u"BEGIN #B+ SET x = 1; END", false},
      {u"IF a = 1 THEN SET x = 1; ELSEIF a = 2 THEN SET x = 2; END IF", true},
      {u"IF a = 1 THEN SET x = 1 ELSEIF a = 2 THEN SET x = 2 END IF", false},
      {u"IF a = 1 THEN SET x = 1; ELSE SET x = NULL; END IF", true},
      {u"WHILE i < 10 DO SET i = i + 1; END WHILE", true},
      {u"REPEAT SET i = i + 1; UNTIL i >= 10 END REPEAT", true},
      {u"TRY SET x = 1; CATCH TRUE SET x = 2; CATCH x = 1 END", true},
      {u"TRY SET x = 1; END", false},
      {u"LEAVE; ITERATE", true},
      {u"RETURN", true},
      {u"RETURN a + 1", true},
      {u"RETURN ((SELECT a FROM t))", true},
      {u"SIGNAL 'failed'", true},
      {u"OPEN c; FETCH NEXT FROM c INTO a, b; CLOSE c", true},
      {u"FETCH ABSOLUTE 3 FROM c INTO a", true},
      {u"CLOSE INACTIVE TABLES", true},
      {u"x.p(1, 2)", true},
      {u"CALL p()", true},
      {u"CALL p", false},
      {u"EXECUTE IMMEDIATE 'SELECT * FROM t'", true},
      {u"LOGMESSAGE('a', 1)", true},
      {u"START TRANSACTION SNAPSHOT; COMMIT WORK; ROLLBACK", true},
      {u"USE DEFAULT_ALIAS", true},
      {u"USE \"my db\"", true},
      {u"SET PASSWORDS ADD 'a', 'b'", true},
      {u"SET PASSWORDS", true},
      {u"ENABLE TRIGGER ALL", true},
      {u"DISABLE PROCEDURE p", true},
      {u"ASSERT TABLE a = TABLE b IGNORE ORDER", true},
      {u"SET x.y = DEFAULT", true},
      // Queries
      {u"SELECT 1", false},
      {u"SELECT a FROM t UNION ALL SELECT a FROM u EXCEPT SELECT a FROM v", true},
      {u"SELECT a FROM t INTERSECT SELECT a FROM u UNION SELECT a FROM v", true},
      {u"(SELECT a FROM t) x", false},
      {u"(SELECT a FROM t)", true},
      {u"SELECT * FROM a JOIN b USING (id)", true},
      {u"SELECT * FROM a LEFT OUTER JOIN b ON a.id = b.id", true},
      {u"SELECT * FROM a CROSS JOIN b ON a.id = b.id", false},
      {u"SELECT * FROM a CROSS JOIN b", true},
      {u"SELECT * FROM a NATURAL FULL JOIN b, c", true},
      {u"SELECT * FROM TABLE(f(1)) x", true},
      {u"SELECT * FROM TABLE(f(1))", false},
      {u"SELECT * FROM t ORDER BY 2 DESC NULLS LAST", true},
      {u"SELECT * FROM t ORDER BY a COLLATE 'de' IGNORE KANA TYPE USE STRING SORT IGNORE CASE ASC NO NULLS",
       true},
      {u"SELECT DISTINCT TOP 10 PERCENT, :n a AS b, c d INTO x.y FROM t AS u (p, q) WHERE a > 1 "
       u"GROUP BY a, t.b LOCALE 1031 HAVING COUNT(*) > 1",
       true},
      {u"SELECT TOP ? * FROM t", true},
      {u"SELECT t.* FROM db.t", true},
      {u"a JOIN b", true},
      {u"((a JOIN b) x)", true},
      {u"INSERT INTO t (a, b) VALUES (1, DEFAULT), (2, NULL)", true},
      {u"INSERT INTO t DEFAULT VALUES", true},
      {u"INSERT INTO d.t SELECT * FROM u", true},
      {u"INSERT INTO t VALUES ()", false},
      {u"UPDATE t SET a = DEFAULT, b = NULL WHERE c > 1", true},
      {u"UPDATE t SET a = 1 WHERE", false},
      {u"DELETE FROM t x WHERE x.a = 1", true},
      {u"DELETE t", false},
      // Conditions and expressions
      {u"SELECT * FROM t WHERE 1 + 2 * 3 = 7", true},
      {u"SELECT a - -1 FROM t", true},
      {u"SELECT - -1 FROM t", false},
      {u"SELECT * FROM t WHERE NOT a IS NULL AND a IS NOT NULL", true},
      {u"SELECT * FROM t WHERE a = NULL", true},
      {u"SELECT * FROM t WHERE a NOT IN (1, 2) OR a IN (SELECT b FROM t)", true},
      {u"SELECT * FROM t WHERE a = ANY (SELECT b FROM t) AND a = (SELECT b FROM t)", true},
      {u"SELECT * FROM t WHERE a NOT BETWEEN 1 AND 2 AND b NOT LIKE 'x%' ESCAPE '!' IGNORE CASE", true},
      {u"SELECT * FROM t WHERE a SIMILAR TO 'x' AND a MATCH UNIQUE FULL (SELECT b FROM u)", true},
      {u"SELECT * FROM t WHERE EXISTS (SELECT b FROM u) OR UNIQUE (SELECT b FROM u)", true},
      {u"SELECT * FROM t WHERE a % 'x' AND b %% 'y' AND c <> 1 AND d <= 2 AND e >= 3", true},
      {u"SELECT 'ab' 'cd', N'x', U&'x' UESCAPE '!', X'00' '11', [0A0B] FROM t", true},
      {u"SELECT x.*, db.t.c, f(1, 2), s.f() FROM t", true},
      {u"SELECT :p1, ? FROM t", true},
      {u"SELECT INTERVAL '1' DAY TO HOUR, INTERVAL ? MONTH, INTERVAL -:p YEAR FROM t", true},
      {u"SELECT DATE '2024-01-01', ISODATE '2024-W01-1', TIME '10:00', TIMESTAMP '2024-01-01 10:00', "
       u"DATETIME '2024-01-01', GUID '{00000000-0000-0000-0000-000000000000}' FROM t",
       true},
      {u"SELECT 1.5e3, TRUE, FALSE, UNKNOWN, NULL FROM t", true},
      {u"SELECT COUNT(*), COUNT(DISTINCT a), WINSORIZED_MEAN_TOP(a), SUM(ALL a) FROM t", true},
      {u"SELECT SUM(*) FROM t", false},
      {u"SELECT a || b FROM t", true},
      {u"SELECT * FROM t WHERE CONTAINS(idx, 'a' AND NOT 'b' OR STARTS WITH 'c')", true},
      {u"SELECT * FROM t WHERE CONTAINS(idx, )", true},
      {u"SELECT * FROM t WHERE (a = 1 OR b = 2) AND (SELECT c FROM u) > 0", true},
      {u"SELECT * FROM t WHERE a IS 1", false},
      {u"SELECT * FROM t WHERE a = 1 AND", false},
  };
  return cases;
}

TEST_F(SqlParseTest, AcceptAndRejectTable) {
  for (const AcceptCase& c : acceptCases()) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    const auto p = parse(c.text);
    EXPECT_EQ(p->ok, c.ok) << platform::toUtf8(p->ok ? nxString(u"accepted") : p->message());
    if (p->ok) expectReplays(*p);
    expectSameWithoutMemo(*p);
  }
}

TEST_F(SqlParseTest, OrderedChoiceTakesTheFirstStatementAlternative) {
  // (SELECT ...) is taken by the non-join alternative of TableExp, the alias is left over.
  const auto p = parse(u"(SELECT a FROM t) x");
  ASSERT_FALSE(p->ok);
  // The furthest failure lies behind the alias: the join alternative took
  // "(SELECT a FROM t) x" as an operand and found no join behind it.
  EXPECT_EQ(p->parser->FailedTokenIndex(), 7);
}

// ---------------------------------------------------------------------------
// Messages

TEST_F(SqlParseTest, MessageAtAMissingSelection) {
  const auto p = parse(u"SELECT FROM t");
  ASSERT_FALSE(p->ok);
  EXPECT_EQ(p->parser->FailedTokenIndex(), 1);
  EXPECT_EQ(platform::toUtf8(p->message()),
            "Syntax error at line 1 pos 8: '-', ':', '?', '(', '*', <bracketed_binary_string_literal>, "
            "<character_string_literal>, <float_literal>, <identifier>, <quoted_name>, <quoted_temp_name>, "
            "<unsigned_integer_literal>, ALL, AVG, CONTAINS, COUNT, DATE, DATETIME, DISTINCT, EXISTS, FALSE, GUID, "
            "INTERVAL, ISODATE, LIST, MAX, MED, MIN, 'N', NOT, NULL, STD, SUM, TIME, TIMESTAMP, TOP, TRUE, 'U', "
            "UNIQUE, UNKNOWN, WINSORIZED_MEAN, WINSORIZED_MEAN_BOTTOM, WINSORIZED_MEAN_TOP or 'X' expected: FROM");
}

TEST_F(SqlParseTest, MessageAtTheEndHasAnEmptyFoundText) {
  const auto p = parse(u"UPDATE t SET a = 1 WHERE");
  ASSERT_FALSE(p->ok);
  EXPECT_EQ(p->parser->FailedTokenIndex(), 7);
  const std::string expected =
      "Syntax error at line 1 pos 25: '-', ':', '?', '(', <bracketed_binary_string_literal>, "
      "<character_string_literal>, <float_literal>, <identifier>, <quoted_name>, <quoted_temp_name>, "
      "<unsigned_integer_literal>, AVG, CONTAINS, COUNT, DATE, DATETIME, EXISTS, FALSE, GUID, INTERVAL, ISODATE, "
      "LIST, MAX, MED, MIN, 'N', NOT, NULL, STD, SUM, TIME, TIMESTAMP, TRUE, 'U', UNIQUE, UNKNOWN, "
      "WINSORIZED_MEAN, WINSORIZED_MEAN_BOTTOM, WINSORIZED_MEAN_TOP or 'X' expected";
  EXPECT_EQ(platform::toUtf8(p->message(false)), expected);
  EXPECT_EQ(platform::toUtf8(p->message(true)), expected + ": ");
}

TEST_F(SqlParseTest, ExpectedNamesAreQuotedSortedAndJoined) {
  const auto p = parse(u"SELECT a FROM t WHERE a IS 1");
  ASSERT_FALSE(p->ok);
  nxString found;
  std::int32_t foundIndex = -1;
  EXPECT_EQ(platform::toUtf8(p->parser->ExpectedTokensString(found, foundIndex)), "FALSE, NOT, NULL, TRUE or UNKNOWN");
  EXPECT_EQ(found, u"<unsigned_integer_literal>");
  EXPECT_EQ(p->parser->FailedTokenIndex(), 7);
  EXPECT_THROW(p->parser->GetExpectedToken(-1), EnxBaseException);
  EXPECT_THROW(p->parser->GetExpectedToken(p->parser->ExpectedTokenCount()), EnxBaseException);
  try {
    p->parser->GetExpectedToken(p->parser->ExpectedTokenCount());
  } catch (const EnxBaseException& e) {
    EXPECT_NE(e.Message().find(u"Invalid failed token index"), nxString::npos);
  }
}

TEST_F(SqlParseTest, OnlyTheFirst312ExpectationsCount) {
  // 320 keywords as alternatives, tried three times at the same token, once
  // through a remembered rule.
  std::string words;
  for (std::int32_t k = sqltFirstReserved; k < sqltFirstReserved + 320; ++k) {
    if (!words.empty()) words += " | ";
    words += platform::toUtf8(nxSqlTokenName(k));
  }
  for (const bool memo : {true, false}) {
    const TSqlGrammar g("Toy = ( Kw ',' | Kw '.' | Kw )\n@Kw = ( " + words + " )");
    const Tokenized t = tokenize(u"x");
    TToyParser p(&g, "Toy", t.list.get());
    p.SetUseMemo(memo);
    ASSERT_FALSE(p.Parse());
    EXPECT_EQ(p.ExpectedTokenCount(), 312);
    EXPECT_EQ(p.GetExpectedToken(0), sqltFirstReserved);
    EXPECT_EQ(p.GetExpectedToken(311), sqltFirstReserved + 311);
    EXPECT_THROW(p.GetExpectedToken(312), EnxBaseException);
    nxString text = p.ExpectedTokensString();
    EXPECT_EQ(std::count(text.begin(), text.end(), u','), 310);
  }
}

TEST_F(SqlParseTest, SubstringInTheExpectedTextNamesFunctions) {
  const TSqlGrammar g("Toy = ( SUBSTRING | CAST )");
  const Tokenized t = tokenize(u"x");
  TToyParser p(&g, "Toy", t.list.get());
  ASSERT_FALSE(p.Parse());
  EXPECT_EQ(platform::toUtf8(nxSqlSyntaxErrorMessage(p, true)),
            "Syntax error at line 1 pos 1: <builtin_function>, <stored_function>, CAST or SUBSTRING expected: x");
  EXPECT_EQ(platform::toUtf8(nxSqlSyntaxErrorMessage(p, false)),
            "Syntax error at line 1 pos 1: <builtin_function>, <stored_function>, CAST or SUBSTRING expected");
}

TEST_F(SqlParseTest, OneCharacterNamesAreQuoted) {
  const TSqlGrammar g("Toy = ( '(' | '<=' | <eof> )");
  const Tokenized t = tokenize(u"x");
  TToyParser p(&g, "Toy", t.list.get());
  ASSERT_FALSE(p.Parse());
  EXPECT_EQ(platform::toUtf8(p.ExpectedTokensString()), "'(', <= or <eof>");
}

// ---------------------------------------------------------------------------
// Depth and time

std::u16string repeat(std::u16string_view aText, int aCount) {
  std::u16string s;
  for (int i = 0; i < aCount; ++i) s += aText;
  return s;
}

TEST_F(SqlParseTest, DeepExpressionIsASyntaxErrorNotACrash) {
  const std::u16string text = u"SELECT " + repeat(u"(", 300) + u"1" + repeat(u")", 300) + u" FROM t";
  const auto p = parse(text);
  EXPECT_FALSE(p->ok);
  EXPECT_FALSE(p->parser->HasCodes());
  EXPECT_NE(platform::toUtf8(p->message()).find("Syntax error at line 1 pos "), std::string::npos);
  // A shallow one is fine.
  const auto q = parse(u"SELECT " + repeat(u"(", 10) + u"1" + repeat(u")", 10) + u" FROM t");
  EXPECT_TRUE(q->ok);
  expectReplays(*q);
}

TEST_F(SqlParseTest, NestedJoinsAreRecognizedInPolynomialTime) {
  const std::u16string text = u"SELECT * FROM " + repeat(u"(", 40) + u"a JOIN b" + repeat(u")", 40);
  const auto p = parse(text);
  ASSERT_TRUE(p->ok) << platform::toUtf8(p->message());
  expectReplays(*p);
  // The recognizer alone, timed.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(p->parser->Parse());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  // At a depth the plain recognizer still manages, both agree.
  const auto shallow = parse(u"SELECT * FROM " + repeat(u"(", 8) + u"a JOIN b" + repeat(u")", 8));
  ASSERT_TRUE(shallow->ok);
  expectSameWithoutMemo(*shallow);
  const auto broken = parse(u"SELECT * FROM " + repeat(u"(", 8) + u"a JOIN b" + repeat(u")", 7));
  ASSERT_FALSE(broken->ok);
  expectSameWithoutMemo(*broken);
}

TEST_F(SqlParseTest, ParseCanRunAgainAndCleansUp) {
  const auto p = parse(u"SELECT a FROM t");
  ASSERT_TRUE(p->ok);
  const Codes first = p->record;
  ASSERT_TRUE(p->parser->Parse());
  EXPECT_EQ(Codes(p->parser->Codes().begin(), p->parser->Codes().begin() + p->parser->AcceptedCodeCount()), first);
  EXPECT_EQ(p->parser->SourceExtract(1, 3), u"a FROM t");
  p->parser->TokenPtr = 2;
  EXPECT_EQ(TokenRecStr(p->parser->CurTokenPtr()), u"a");
}

// ---------------------------------------------------------------------------
// Fuzz

void checkFuzzCase(const std::u16string& aText) {
  const auto p = parse(aText);
  if (!p->tok.ok) return;
  if (p->ok) {
    expectReplays(*p);
  } else if (p->parser->HasCodes()) {
    EXPECT_GE(p->parser->FailedTokenIndex(), 0);
    EXPECT_LT(p->parser->FailedTokenIndex(), p->tok.list->TokenCount() + 1);
    EXPECT_FALSE(p->message().empty());
  }
  expectSameWithoutMemo(*p);
}

TEST_F(SqlParseTest, FuzzRandomTokensAndMutations) {
  const std::vector<std::u16string> vocabulary = {
      u"SELECT", u"FROM", u"WHERE", u"JOIN", u"LEFT", u"ON", u"USING", u"UNION", u"ALL", u"(", u")", u",", u";",
      u"a", u"b", u"t", u"1", u"'s'", u"=", u"<", u"+", u"-", u"*", u"AND", u"OR", u"NOT", u"NULL", u"IS",
      u"IN", u"BETWEEN", u"UPDATE", u"SET", u"INSERT", u"INTO", u"VALUES", u"DELETE", u"BEGIN", u"END", u"IF",
      u"THEN", u"CALL", u".", u":", u"?", u"AS", u"ORDER", u"BY", u"GROUP", u"COUNT", u"CONTAINS", u"#B",
      u"TABLE", u"CROSS", u"EXISTS", u"INTERVAL", u"DAY", u"1.5", u"TOP", u"DEFAULT"};
  // Every operator and keyword kind, with a sample of each literal class.
  std::vector<std::u16string> allKinds = {u"x", u"\"q\"", u"\"#q\"", u"'s'", u"12", u"1.5", u"[0A]"};
  for (std::int32_t k = sqltPercentPercent; k <= sqltLastKind; ++k) allKinds.push_back(nxSqlTokenName(k));
  std::mt19937 rng(20261210);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  std::int32_t cases = 0;
  std::vector<std::u16string> accepted;
  for (const AcceptCase& c : acceptCases())
    if (c.ok) accepted.emplace_back(c.text);
  while (std::chrono::steady_clock::now() < deadline) {
    std::u16string text;
    if (cases % 3 == 0) {
      const int n = int(rng() % 12);
      for (int i = 0; i < n; ++i) text += allKinds[rng() % allKinds.size()] + u" ";
    } else if (cases % 3 == 1) {
      const int n = int(rng() % 20);
      for (int i = 0; i < n; ++i) text += vocabulary[rng() % vocabulary.size()] + u" ";
    } else {
      // Mutate an accepted text: drop, insert or replace one token.
      const std::u16string& base = accepted[rng() % accepted.size()];
      const Tokenized t = tokenize(base);
      std::vector<std::u16string> toks;
      for (std::size_t i = 0; i + 1 < t.toks.size(); ++i) toks.push_back(t.toks[i].text);
      const std::size_t at = toks.empty() ? 0 : rng() % toks.size();
      switch (rng() % 3) {
        case 0:
          if (!toks.empty()) toks.erase(toks.begin() + std::ptrdiff_t(at));
          break;
        case 1:
          toks.insert(toks.begin() + std::ptrdiff_t(at), vocabulary[rng() % vocabulary.size()]);
          break;
        default:
          if (!toks.empty()) toks[at] = vocabulary[rng() % vocabulary.size()];
      }
      for (const auto& s : toks) text += s + u" ";
    }
    SCOPED_TRACE(platform::toUtf8(text));
    checkFuzzCase(text);
    ++cases;
    if (HasFailure()) break;
  }
  EXPECT_GT(cases, 100);
}

}  // namespace

namespace {

TEST(SqlParseStartUpTest, NothingIsRecognizedBeforeStartUp) {
  nxSQLTokInitialize();
  const Tokenized t = tokenize(u"SELECT a FROM t");
  ASSERT_TRUE(t.ok);
  std::unique_ptr<TnxSQLParser, TnxFreeObject> p(platform::create<TnxSQLParser>(t.list.get()));
  EXPECT_FALSE(nxSqlGrammarStarted());
  EXPECT_FALSE(p->Parse());
  nxSQLParseInitialize();
  EXPECT_TRUE(p->Parse());
  nxSQLParseFinalize();
  EXPECT_FALSE(nxSqlGrammarStarted());
  nxSQLTokFinalize();
}

}  // namespace
