#include "nxSQLParse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nxSQLLibrary.h"
#include "nxSQLTok.h"
#include "nxSqlParserTestSupport.h"
#include "nxllException.h"

namespace {

class SqlParseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { nxSQLLibraryInitialize(); }
  static void TearDownTestSuite() { nxSQLLibraryFinalize(); }
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

using ParserPtr = TnxOwned<TnxSQLParser>;

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

struct RuleCase {
  std::string_view rule;
  std::u16string_view text;
  Codes record;
};

TEST_F(SqlParseTest, GoldenRecordsOfRulesStartedAlone) {
  const std::vector<RuleCase> cases = {
      {"DataType", u"DOUBLE PRECISION", {0, 13}},
      {"DataType", u"NUMERIC(10, 2)", {0, 16, 0, 1, 1}},
      {"DataType", u"VARCHAR(10)", {1, 0, 5, 2, 1, 0, 0}},
      {"DataType", u"TIMESTAMP", {2, 2, 1}},
      {"DataType", u"BOOLEAN", {3, 1}},
      // The function, the field, then the expression d.
      {"BuiltinFunction", u"EXTRACT(ISOWEEK FROM d)", {5, 9, 1, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    const auto p = parse(c.text, true, c.rule);
    ASSERT_TRUE(p->ok);
    EXPECT_EQ(p->record, c.record);
    TSqlCodeTrace trace;
    ASSERT_NO_THROW(p->parser->Replay(trace));
    EXPECT_EQ(p->parser->CodePtr, std::int32_t(c.record.size()));
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
      // Built-in functions
      {u"SELECT CASE a WHEN 1 THEN 'x' ELSE NULL END FROM t", true},
      {u"SELECT CASE WHEN a = 1 THEN NULL END FROM t", true},
      {u"SELECT CASE WHEN a = 1 THEN 2 FROM t", false},
      {u"SELECT CAST(NULL AS INTEGER), CAST(a AS VARCHAR(10)) FROM t", true},
      {u"SELECT CAST(a INTEGER) FROM t", false},
      {u"SELECT CHAR_LENGTH(s USING OCTETS), CHARACTER_LENGTH(s), OCTET_LENGTH(s) FROM t", true},
      {u"SELECT COALESCE(a, b, 0), NULLIF(a, 0), POSITION('x' IN s USING CHARACTERS) FROM t", true},
      {u"SELECT COALESCE() FROM t", false},
      {u"SELECT EXTRACT(ISOWEEK FROM d), EXTRACT(ISODAYOFYEAR FROM d) FROM t", true},
      {u"SELECT EXTRACT(WEEK FROM d) FROM t", false},
      {u"SELECT SUBSTRING(s FROM 2 FOR 3) FROM t", true},
      {u"SELECT SUBSTRING(s FROM RIGHT 1 TO 4 USING OCTETS) FROM t", true},
      {u"SELECT SUBSTRING(s SIMILAR '%a' IGNORE CASE GROUP 1) FROM t", true},
      {u"SELECT SUBSTRING(s, 2, 3) FROM t", false},
      {u"SELECT OVERLAY(d PLACING 5 IN MONTH), OVERLAY(s PLACING 'x' FROM 2 FOR 1) FROM t", true},
      {u"SELECT OVERLAY(d PLACING 5 IN QUARTER) FROM t", false},
      {u"SELECT SYSTEM_ROW# FROM t", true},
      {u"SELECT TRIM(s), TRIM(LEADING FROM s), TRIM(BOTH 'x' FROM s) FROM t", true},
      {u"SELECT DATE(2024, MARCH, 1), DATE(CURRENT, NEXT MONTH RESTRICT, LAST) FROM t", true},
      {u"SELECT DATE(DEFAULT FIRST, 2024), DATE(2024, 2 QUARTER SIGNAL OVERFLOW) FROM t", true},
      {u"SELECT DATE(EXTRACT FROM d YEAR, FIRST, 2 DAY CASCADE) FROM t", true},
      {u"SELECT DATE(2024, 1 MONTH, LAST FRIDAY ISODAYOFWEEK) FROM t", true},
      {u"SELECT DATE '2024-01-01' FROM t", true},
      {u"SELECT DATE(2024, MARCH, 1, 2) FROM t", false},
      {u"SELECT ISODATE(2024, 1 ISOWEEK, MONDAY), ISODATE(2024 ISOYEAR, 100 ISODAYOFYEAR) FROM t", true},
      {u"SELECT ISODATE(2024, JAN ISOMONTH, 2 ISOWEEKOFMONTH, SU) FROM t", true},
      {u"SELECT ISODATE(2024, 1 QUARTER) FROM t", false},
      // Data definition
      {u"CREATE OR ALTER PROCEDURE p() BEGIN SELECT * FROM t; END", true},
      {u"CREATE OR ALTER TABLE t (a INT)", false},
      {u"CREATE TABLE t (a INT DEFAULT 0 NOT NULL PRIMARY KEY, b VARCHAR(20) COLLATE 'x', CONSTRAINT pk UNIQUE (b))",
       true},
      {u"CREATE TABLE t (a INT NOT NULL DEFAULT 0)", false},
      {u"CREATE LOCAL TEMPORARY TABLE \"#t\" AS (SELECT * FROM u) WITH NO DATA", true},
      {u"CREATE TABLE t (a, b) AS (SELECT a, b FROM u) WITH DATA", true},
      {u"CREATE TABLE t BLOCKSIZE 4096 (a INT)", true},
      {u"CREATE TABLE t DESCRIPTION 'd' BLOCK SIZE 4096 INITIAL 10 GROWSIZE 5 STORAGE ENGINE 'e' "
       u"ENCRYPTION 'x' ENCRYPT WITH 'k' DEFAULT CODEPAGE 932 DEFAULT LOCALE 1041 IGNORE WIDTH (a INT, LIKE u)",
       true},
      {u"CREATE TABLE t GROWSIZE 5 BLOCKSIZE 4096 (a INT)", false},
      {u"CREATE TABLE t (a INT REFERENCES u (id) ON DELETE CASCADE ON UPDATE SET NULL DESCRIPTION 'x', "
       u"b INT CHECK (b > 0), FOREIGN KEY (a, b) REFERENCES u (x, y) ON DELETE SET DEFAULT)",
       true},
      {u"CREATE TABLE t ()", false},
      {u"ALTER TABLE t ALTER COLUMN a CAST AS INTEGER IGNORE WITH BESTFIT", true},
      {u"ALTER TABLE t DROP COLUMN IF EXISTS a", true},
      {u"ALTER TABLE t ADD COLUMN b INT DEFAULT 1", true},
      {u"ALTER TABLE t ALTER a DROP CONSTRAINT NOT NULL", true},
      {u"ALTER TABLE t SET NEXT AUTOINC TO 100", true},
      {u"ALTER TABLE t RENAME TO u RESTRICT", true},
      {u"ALTER TABLE t ADD b INT DROP c", false},
      {u"CREATE UNIQUE INDEX i ON t (a DESC, b COLLATE 'x' IGNORE CASE)", true},
      {u"CREATE INDEX i ON t ()", false},
      {u"DROP INDEX t.i", true},
      {u"DROP INDEX i", false},
      {u"DROP TABLE IF EXISTS d.t RESTRICT; DROP VIEW v; DROP ASSEMBLY a; DROP ALIAS a; DROP USER u", true},
      {u"DROP ROUTINE IF EXISTS f NORESTRICT; DROP TRIGGER s.tr", true},
      {u"DROP t", false},
      {u"CREATE VIEW v (a, b) DESCRIPTION 'v' AS SELECT a, b FROM t", true},
      {u"CREATE FUNCTION f(a INT) RETURNS INT RETURN a + 1", true},
      {u"CREATE FUNCTION f() RETURNS TABLE LANGUAGE SQL DETERMINISTIC READS SQL DATA AS RETURN (SELECT * FROM t)",
       true},
      {u"CREATE FUNCTION f(a AS INT) RETURNS INT NOT DETERMINISTIC RETURNS NULL ON NULL INPUT EXTERNAL NAME a.b.c",
       true},
      {u"CREATE FUNCTION f(a INT) RETURN a", false},
      {u"CREATE PROCEDURE p(IN a INT, OUT b VARCHAR(10), c INT) MODIFIES SQL DATA SET b = 'x'", true},
      {u"CREATE TRIGGER tr AFTER INSERT, UPDATE OF a, b ON t FOR EACH ROW WHEN (1 = 1) SET x = 1", true},
      {u"CREATE TRIGGER tr BEFORE DELETE ON t REFERENCING OLD ROW AS o NEW n BEGIN SET x = 1; END", true},
      {u"CREATE TRIGGER tr ON t SET x = 1", false},
      {u"CREATE ALIAS a FROM 'c:\\db' ENFORCE; CREATE ALIAS m FROM MEMORY; ALTER ALIAS a SET NAME TO b", true},
      {u"CREATE NET ASSEMBLY a AUTHORIZATION u FROM 'x.dll'", true},
      {u"CREATE USER IF NOT EXISTS u (SET PASSWORD TO 'p', SET GLOBAL ACCESS (READ, WRITE), "
       u"SET TABLE ACCESS FOR d.t TO NONE, ADD TABLE PASSWORD 'x' FOR *.*, DROP ALL TABLE PASSWORDS, ENABLE)",
       true},
      {u"CREATE USER u ()", false},
      {u"ALTER SYSTEMPASSWORD TO 'x' ENCRYPTION ENGINE 'e'; ALTER CURRENT_USER SET PASSWORD TO 'p'", true},
      {u"DECLARE a, b INTEGER DEFAULT 0", true},
      {u"DECLARE d DOUBLE PRECISION; DECLARE n NUMERIC(10, 2); DECLARE i AUTOINC(1, 5)", true},
      {u"DECLARE s NCHAR VARYING(10) COLLATE 'x'; DECLARE c CHAR LARGE OBJECT(100) CODEPAGE 932", true},
      {u"DECLARE b BYTEARRAY(16); DECLARE g GUID; DECLARE t TIMESTAMP; DECLARE x NTEXT; DECLARE y NCLOB", true},
      {u"DECLARE d DOUBLE", false},
      {u"DECLARE b BYTEARRAY", false},
      {u"DECLARE x NCHAR LARGE OBJECT", false},
      {u"DECLARE x NATIONAL CHARACTER LARGE OBJECT", false},
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

// The drill program's statements, with the pieces it concatenates filled in.
std::vector<std::u16string> applicationStatements() {
  std::vector<std::u16string> all = {
      u"select * from QBNK",
      u"update QBNK set hantei=:nowhantei where id=:nowid",
      u"update QBNK set ckmark=:nowckmark where id=:nowid",
      u"update QBNK set study_date=:nowstudy_date where id=:nowid",
      u"select * from qbnk order by category_number,keyword,id",
      u"SELECT id,exam_name,number,category,keyword,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
      u"misa,(1-sum(mis)/count(id))*100 as corate FROM \"qbnk:qzrecord\" group by id,exam_name,number,category,"
      u"keyword order by corate,coa,category,keyword,id",
      u"SELECT id,exam_name,number,category,keyword,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
      u"misa,(1-sum(mis)/count(id))*100 as corate FROM \"qbnk:qzrecord\" group by id,exam_name,number,category,"
      u"keyword order by corate,coa,category,id",
      u"SELECT category_number,category_main,category,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
      u"misa,round((1-sum(mis)/count(id))*100) as corate FROM \"qbnk:qzrecord\" group by category_number,"
      u"category_main,category order by category_number",
      u"SELECT category_number,category_main,category,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
      u"misa,round((1-sum(mis)/count(id))*100) as corate  FROM \"qbnk:qzrecord\" group by category_number,"
      u"category_main,category order by category_number",
      u"SELECT exam_name,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as misa,round((1-sum(mis)/"
      u"count(id))*100) as corate FROM \"qbnk:qzrecord\" group by exam_name order by exam_name",
      u"SELECT study_date,count(id) as ansc,(count(id)-sum(mis)) as correctc,sum(mis) as misc,round(((count(id)-"
      u"sum(mis))/count(id))*100) as crate,70 as pass  FROM \"qbnk:qzrecord\" group by study_date",
      u"SELECT study_date,sum(study_sec)/60 as studymin FROM \"qbnk:gcount\" where study_sec is not null group by "
      u"study_date",
      u"SELECT * FROM qbnk WHERE study_date=current_date and hantei='\u00d7' order by exam_name desc,number ",
      u"SELECT * FROM qbnk WHERE cast(study_date as integer)=(cast(current_date as integer)-1) and "
      u"hantei='\u00d7' order by exam_name desc,number ",
      u"SELECT * FROM qbnk WHERE cast(study_date as integer)=(cast(current_date as integer)-2) and "
      u"hantei='\u00d7' order by exam_name desc,number",
      u"SELECT * FROM qbnk WHERE (cast(current_date as integer)-cast(study_date as integer))>=3 and "
      u"(cast(current_date as integer)-cast(study_date as integer))<=7 and hantei='\u00d7' order by exam_name "
      u"desc,number",
      u"SELECT * FROM qbnk WHERE (cast(current_date as integer)-cast(study_date as integer))>=8 and "
      u"(cast(current_date as integer)-cast(study_date as integer))<=14 and hantei='\u00d7' order by exam_name "
      u"desc,number",
      u"SELECT * FROM qbnk WHERE (cast(current_date as integer)-cast(study_date as integer))>=15 and "
      u"hantei='\u00d7' order by exam_name desc,number",
      u"SELECT top 25 *,rand() as key FROM qbnk order by key",
      u"SELECT top 25 *,rand() as key FROM qbnk WHERE id IN (SELECT id FROM \"qbnk:qzrecord\" group by id,"
      u"exam_name,number,category,keyword HAVING sum(mis)>=1 ) order by key",
      u"SELECT top 25 *,rand() as key FROM qbnk where hantei is null order by key",
      u"SELECT * FROM qbnk WHERE id=:id ",
      u"SELECT count(*)\r\nFROM qbnk",
  };
  const std::u16string wrong = u"\u00d7", checked = u"\u25c6", right = u"\u25cb";
  // Selection panels: a prefix, the chosen text, and the suffix of the status item.
  const std::vector<std::pair<std::u16string, std::u16string>> panels = {
      {u"SELECT * FROM qbnk WHERE exam_name='", u"order by id"},
      {u"SELECT * FROM qbnk WHERE category='", u"order by exam_name desc,number "},
      {u"SELECT * FROM qbnk WHERE category_main='", u"order by category_number,exam_name desc,number "},
      {u"SELECT * FROM qbnk WHERE quest_state like '%", u"order by exam_name desc,number "},
      {u"SELECT * FROM qbnk WHERE category='", u"order by keyword,exam_name desc,number "},
  };
  for (const auto& [prefix, order] : panels) {
    const std::u16string v = prefix.back() == u'%' ? u"\u5e73\u6210 it's%" : u"\u6cd5\u898f\u3068\u5236\u5ea6";
    const std::u16string quoted = [&] {
      std::u16string q;
      for (const char16_t c : v) q += c == u'\'' ? std::u16string(u"''") : std::u16string(1, c);
      return q;
    }();
    const std::u16string end = prefix.back() == u'%' ? u"%' " : u"' ";
    for (const std::u16string& suffix :
         {end + u"and hantei is null ", end + u"and hantei='" + wrong + u"' ", end + u"and ckmark='" + checked + u"' ",
          end})
      all.push_back(prefix + quoted + suffix + order);
  }
  for (const std::u16string_view order :
       {u"order by exam_name desc,number ", u"order by category_number,keyword,exam_name desc,number "}) {
    all.push_back(u"SELECT * FROM qbnk WHERE HANTEI is null " + std::u16string(order));
    all.push_back(u"SELECT * FROM qbnk WHERE HANTEI='" + wrong + u"' " + std::u16string(order));
    all.push_back(u"SELECT * FROM qbnk WHERE CKMARK='" + checked + u"' " + std::u16string(order));
    all.push_back(u"SELECT * FROM qbnk " + std::u16string(order));
  }
  // Correct-rate and count panels share a sub-query.
  const std::u16string inRecord =
      u"SELECT * FROM qbnk WHERE id IN (SELECT id FROM \"qbnk:qzrecord\" group by id,exam_name,number,category,"
      u"keyword HAVING ";
  const std::u16string rate = u"(1-sum(mis)/count(id))*100";
  for (const std::u16string& cond :
       {rate + u"=0", rate + u">=1 AND " + rate + u"<20", rate + u">=80 AND " + rate + u"<=100", std::u16string(u"sum(mis)=3 "),
        std::u16string(u"sum(mis)>=8 "), std::u16string(u"count(id)-sum(mis)=1"), std::u16string(u"count(id)-sum(mis)>=8")})
    all.push_back(inRecord + cond + u" ) order by category_number,exam_name desc,number ");
  // Category counts, one line each.
  const std::u16string c = u"\u6cd5\u898f\u3068\u5236\u5ea6";
  all.push_back(u"SELECT count(*)\r\nFROM qbnk\r\nWHERE category='" + c + u"' \r\nand (hantei='" + right +
                u"' or hantei='" + wrong + u"') ");
  all.push_back(u"SELECT count(*)\r\nFROM qbnk\r\nWHERE hantei='" + right + u"' or hantei='" + wrong + u"' ");
  all.push_back(u"SELECT count(*)\r\nFROM qbnk\r\nWHERE category='" + c + u"' \r\nand hantei='" + right + u"' ");
  all.push_back(u"SELECT count(*)\r\nFROM qbnk\r\nWHERE hantei='" + right + u"' ");
  return all;
}

TEST_F(SqlParseTest, ApplicationStatementsAreAccepted) {
  for (const std::u16string& text : applicationStatements()) {
    SCOPED_TRACE(platform::toUtf8(text));
    const auto p = parse(text);
    ASSERT_TRUE(p->ok) << platform::toUtf8(p->message());
    expectReplays(*p);
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
            "Syntax error at line 1 pos 8: <builtin_function>, <stored_function>, '-', ':', '?', '(', '*', "
            "<bracketed_binary_string_literal>, <character_string_literal>, <float_literal>, <identifier>, "
            "<quoted_name>, <quoted_temp_name>, <unsigned_integer_literal>, ALL, AVG, CASE, CAST, CHAR_LENGTH, "
            "CHARACTER_LENGTH, COALESCE, CONTAINS, COUNT, DATE, DATETIME, DISTINCT, EXISTS, EXTRACT, FALSE, GUID, "
            "INTERVAL, ISODATE, LIST, MAX, MED, MIN, 'N', NOT, NULL, NULLIF, OCTET_LENGTH, OVERLAY, POSITION, STD, "
            "SUBSTRING, SUM, SYSTEM_ROW#, TIME, TIMESTAMP, TOP, TRIM, TRUE, 'U', UNIQUE, UNKNOWN, WINSORIZED_MEAN, "
            "WINSORIZED_MEAN_BOTTOM, WINSORIZED_MEAN_TOP or 'X' expected: FROM");
}

TEST_F(SqlParseTest, MessageAtTheEndHasAnEmptyFoundText) {
  const auto p = parse(u"UPDATE t SET a = 1 WHERE");
  ASSERT_FALSE(p->ok);
  EXPECT_EQ(p->parser->FailedTokenIndex(), 7);
  const std::string expected =
      "Syntax error at line 1 pos 25: <builtin_function>, <stored_function>, '-', ':', '?', '(', "
      "<bracketed_binary_string_literal>, <character_string_literal>, <float_literal>, <identifier>, "
      "<quoted_name>, <quoted_temp_name>, <unsigned_integer_literal>, AVG, CASE, CAST, CHAR_LENGTH, "
      "CHARACTER_LENGTH, COALESCE, CONTAINS, COUNT, DATE, DATETIME, EXISTS, EXTRACT, FALSE, GUID, INTERVAL, "
      "ISODATE, LIST, MAX, MED, MIN, 'N', NOT, NULL, NULLIF, OCTET_LENGTH, OVERLAY, POSITION, STD, SUBSTRING, SUM, "
      "SYSTEM_ROW#, TIME, TIMESTAMP, TRIM, TRUE, 'U', UNIQUE, UNKNOWN, WINSORIZED_MEAN, WINSORIZED_MEAN_BOTTOM, "
      "WINSORIZED_MEAN_TOP or 'X' expected";
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
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
      u"TABLE", u"CROSS", u"EXISTS", u"INTERVAL", u"DAY", u"1.5", u"TOP", u"DEFAULT",
      // Data definition, routines, built-in functions and date constructors
      u"CREATE", u"ALTER", u"DROP", u"INDEX", u"VIEW", u"FUNCTION", u"PROCEDURE", u"TRIGGER", u"RETURNS",
      u"RETURN", u"INT", u"VARCHAR", u"PRIMARY", u"KEY", u"CONSTRAINT", u"REFERENCES", u"USER", u"PASSWORD",
      u"CASE", u"WHEN", u"CAST", u"SUBSTRING", u"EXTRACT", u"DATE", u"ISODATE", u"MONTH", u"FIRST", u"LAST",
      u"NEXT", u"MONDAY", u"ISOWEEK", u"RESTRICT", u"OVERFLOW"};
  // Every operator and keyword kind, with a sample of each literal class.
  std::vector<std::u16string> allKinds = {u"x", u"\"q\"", u"\"#q\"", u"'s'", u"12", u"1.5", u"[0A]"};
  for (std::int32_t k = sqltPercentPercent; k <= sqltLastKind; ++k) allKinds.push_back(nxSqlTokenName(k));
  std::mt19937 rng(20261210);
  // A fixed number of cases, not a time budget: a loaded machine must not
  // shrink the run, and a failure must reproduce from the seed.
  constexpr std::int32_t kCases = 200;
  std::int32_t cases = 0;
  std::vector<std::u16string> accepted;
  for (const AcceptCase& c : acceptCases())
    if (c.ok) accepted.emplace_back(c.text);
  while (cases < kCases) {
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
}

}  // namespace

namespace {

TEST(SqlParseStartUpTest, NothingIsRecognizedBeforeStartUp) {
  nxSQLTokInitialize();
  const Tokenized t = tokenize(u"SELECT a FROM t");
  ASSERT_TRUE(t.ok);
  TnxOwned<TnxSQLParser> p(platform::create<TnxSQLParser>(t.list.get()));
  EXPECT_FALSE(nxSqlGrammarStarted());
  EXPECT_FALSE(p->Parse());
  nxSQLParseInitialize();
  EXPECT_TRUE(p->Parse());
  nxSQLParseFinalize();
  EXPECT_FALSE(nxSqlGrammarStarted());
  nxSQLTokFinalize();
}

}  // namespace
