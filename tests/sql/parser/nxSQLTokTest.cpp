#include "nxSQLTok.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nxllException.h"
#include "nxSqlParserTestSupport.h"

using namespace std::string_view_literals;

namespace {

// X is a non-reserved word.
constexpr int kX = 402;

// Tokens without the end token.
std::vector<Tok> body(const Tokenized& aResult) {
  std::vector<Tok> toks = aResult.toks;
  if (!toks.empty() && toks.back().kind == sqltEof) toks.pop_back();
  return toks;
}

struct Case {
  std::u16string_view text;
  bool ok;
  std::vector<Tok> toks;  // without the end token
};

void expectCases(const std::vector<Case>& aCases, bool aComments = false, bool aWhite = false) {
  for (const Case& c : aCases) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    const Tokenized r = tokenize(c.text, aComments, aWhite);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(body(r), c.toks);
    if (c.ok) {
      ASSERT_FALSE(r.toks.empty());
      EXPECT_EQ(r.toks.back(), (Tok{sqltEof, u""}));
    }
  }
}

}  // namespace

TEST_F(SqlTokTest, EmptyTextIsOneEndToken) {
  const Tokenized r = tokenize(u"");
  EXPECT_TRUE(r.ok);
  ASSERT_EQ(r.toks.size(), 1u);
  EXPECT_EQ(r.toks[0], (Tok{sqltEof, u""}));
  EXPECT_EQ(TokenRecLen(r.list->TokenPtr(0)), 0);
  EXPECT_EQ(r.list->GetTokenStartLine(0), 1);
  EXPECT_EQ(r.list->GetTokenStartPos(0), 1);
}

TEST_F(SqlTokTest, NulWhereATokenStartsEndsTheText) {
  const std::u16string text(u"SELECT\0FROM 'x"sv);
  const Tokenized r = tokenize(text);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.toks, (std::vector<Tok>{{229, u"SELECT"}, {sqltEof, u""}}));
  EXPECT_EQ(r.list->GetTokenBufferStart(1), text.data() + 6);
  EXPECT_EQ(r.list->GetTokenStartPos(1), 7);
  // Inside a string a NUL is a character like any other.
  const std::u16string inString(u"'a\0b'"sv);
  EXPECT_EQ(body(tokenize(inString)), (std::vector<Tok>{{sqltString, std::u16string(u"'a\0b'"sv)}}));
}

TEST_F(SqlTokTest, Numbers) {
  expectCases({
      {u"12", true, {{sqltUnsignedInteger, u"12"}}},
      {u"a.b", true, {{sqltIdentifier, u"a"}, {sqltDot, u"."}, {sqltIdentifier, u"b"}}},
      {u".5", true, {{sqltFloat, u".5"}}},
      {u"5.", true, {{sqltFloat, u"5."}}},
      {u"1.e5", true, {{sqltFloat, u"1.e5"}}},
      {u"1e", true, {{sqltUnsignedInteger, u"1"}, {sqltIdentifier, u"e"}}},
      {u"1.e", true, {{sqltFloat, u"1."}, {sqltIdentifier, u"e"}}},
      {u"1e+", true, {{sqltUnsignedInteger, u"1"}, {sqltIdentifier, u"e"}, {sqltPlus, u"+"}}},
      {u"1.2.3", true, {{sqltFloat, u"1.2"}, {sqltFloat, u".3"}}},
      {u"1E5", true, {{sqltFloat, u"1E5"}}},
      {u"1e+5", true, {{sqltFloat, u"1e+5"}}},
      {u"1.5E-3", true, {{sqltFloat, u"1.5E-3"}}},
      {u"1.5F3", true, {{sqltFloat, u"1.5"}, {sqltIdentifier, u"F3"}}},
      {u". 5", true, {{sqltDot, u"."}, {sqltUnsignedInteger, u"5"}}},
      {u"t.5", true, {{sqltIdentifier, u"t"}, {sqltFloat, u".5"}}},
  });
}

TEST_F(SqlTokTest, StringsNamesAndBinaryStrings) {
  expectCases({
      {u"'it''s'", true, {{sqltString, u"'it''s'"}}},
      {u"'a\nb' x", true, {{sqltString, u"'a\nb'"}, {kX, u"x"}}},
      {u"''", true, {{sqltString, u"''"}}},
      {u"x'", false, {{kX, u"x"}}},
      {u"'abc''", false, {}},
      {u"[0A1b]", true, {{sqltBinaryString, u"[0A1b]"}}},
      {u"[0A1]", false, {}},
      {u"[]", false, {}},
      {u"[0a", false, {}},
      {u"[0g]", false, {}},
      {u"\"<#tmp>\"", true, {{sqltQuotedTempName, u"\"<#tmp>\""}}},
      {u"\"#tmp\"", true, {{sqltQuotedName, u"\"#tmp\""}}},
      {u"\"a b\"", true, {{sqltQuotedName, u"\"a b\""}}},
      {u"\"\"", true, {{sqltQuotedName, u"\"\""}}},
      {u"\"<>\"", true, {{sqltQuotedTempName, u"\"<>\""}}},
      {u"\"<a\"", false, {}},
      {u"\"caf\u00e9\"", false, {}},
      {u"\"a", false, {}},
      {u"\"a\nb\"", false, {}},
  });
}

TEST_F(SqlTokTest, IdentifiersAndKeywords) {
  expectCases({
      {u"select Select SELECT",
       true,
       {{229, u"select"}, {229, u"Select"}, {229, u"SELECT"}}},
      {u"selects sel", true, {{sqltIdentifier, u"selects"}, {sqltIdentifier, u"sel"}}},
      {u"#B #opt #temp", true, {{245, u"#B"}, {249, u"#opt"}, {sqltIdentifier, u"#temp"}}},
      {u"Zeta _x @p $1 !a ~ \\a ^a `a {a}",
       true,
       {{1, u"Zeta"}, {1, u"_x"}, {1, u"@p"}, {1, u"$1"}, {1, u"!a"}, {1, u"~"}, {1, u"\\a"}, {1, u"^a"},
        {1, u"`a"}, {1, u"{a}"}}},
      {u"system_row# a@b a#b x1", true, {{224, u"system_row#"}, {1, u"a@b"}, {1, u"a#b"}, {1, u"x1"}}},
      // A character beyond ASCII never matches a keyword letter, whatever
      // its low byte: U+0154 ends in 0x54 ('T'), U+0153 in 0x53 ('S').
      {u"SELEC\u0154 \u0153ELECT", true, {{1, u"SELEC\u0154"}, {1, u"\u0153ELECT"}}},
      // Nor white space: U+0120 ends in 0x20, U+010A in 0x0A.
      {u" \u0120x \u010Ay", true, {{1, u"\u0120x"}, {1, u"\u010Ay"}}},
  });
}

TEST_F(SqlTokTest, EveryKeywordInAnyCaseIsItsKind) {
  const auto names = nxSqlTokenNames();
  for (std::int32_t kind = sqltFirstReserved; kind <= sqltLastKind; ++kind) {
    std::u16string lower = names[std::size_t(kind)];
    for (char16_t& c : lower)
      if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
    for (const std::u16string& word : {names[std::size_t(kind)], lower}) {
      SCOPED_TRACE(platform::toUtf8(word));
      EXPECT_EQ(body(tokenize(word)), (std::vector<Tok>{{kind, word}}));
    }
  }
}

TEST_F(SqlTokTest, OperatorsAndPunctuation) {
  for (std::int32_t kind = sqltPercentPercent; kind <= sqltMinus; ++kind) {
    const nxString& name = nxSqlTokenName(kind);
    SCOPED_TRACE(platform::toUtf8(name));
    EXPECT_EQ(body(tokenize(name)), (std::vector<Tok>{{kind, name}}));
  }
  expectCases({
      {u"a<=>b", true, {{1, u"a"}, {sqltLessEqual, u"<="}, {sqltGreater, u">"}, {1, u"b"}}},
      {u"<<>", true, {{sqltLess, u"<"}, {sqltNotEqual, u"<>"}}},
      {u"%%%", true, {{sqltPercentPercent, u"%%"}, {sqltPercent, u"%"}}},
      {u":::", true, {{sqltColonColon, u"::"}, {sqltColon, u":"}}},
      {u"a||b", true, {{1, u"a"}, {sqltConcat, u"||"}, {1, u"b"}}},
      {u"a|b", false, {{1, u"a"}}},
      {u"|", false, {}},
      {u"a]", false, {{1, u"a"}}},
      {u"a\x01", false, {{1, u"a"}}},
      {u"\x1f", false, {}},
      {u"\x0b", false, {}},
  });
}

TEST_F(SqlTokTest, CommentsEndAtTheFirstLineEnd) {
  expectCases({
      {u"SELECT 1 --x", true, {{229, u"SELECT"}, {sqltUnsignedInteger, u"1"}}},
      {u"SELECT a --b\nFROM t", true, {{229, u"SELECT"}, {1, u"a"}, {94, u"FROM"}, {1, u"t"}}},
      {u"SELECT a //b\rFROM t", true, {{229, u"SELECT"}, {1, u"a"}, {94, u"FROM"}, {1, u"t"}}},
      {u"a/* x * y */b", true, {{1, u"a"}, {1, u"b"}}},
      {u"a-b", true, {{1, u"a"}, {sqltMinus, u"-"}, {1, u"b"}}},
  });
  expectCases(
      {
          {u"SELECT 1 --x", true, {{229, u"SELECT"}, {sqltUnsignedInteger, u"1"}, {sqltComment2, u"--x"}}},
          {u"SELECT a --b\nFROM t",
           true,
           {{229, u"SELECT"}, {1, u"a"}, {sqltComment2, u"--b\n"}, {94, u"FROM"}, {1, u"t"}}},
          {u"--c\r\nx", true, {{sqltComment2, u"--c\r"}, {kX, u"x"}}},
          {u"//c\nx", true, {{sqltComment1, u"//c\n"}, {kX, u"x"}}},
          {u"--", true, {{sqltComment2, u"--"}}},
          {u"/**/x", true, {{sqltComment3, u"/**/"}, {kX, u"x"}}},
          {u"/* a\n*b**/", true, {{sqltComment3, u"/* a\n*b**/"}}},
          // An unterminated block comment is a division and a star.
          {u"/*x", true, {{sqltSlash, u"/"}, {sqltStar, u"*"}, {kX, u"x"}}},
          {u"/*/", true, {{sqltSlash, u"/"}, {sqltStar, u"*"}, {sqltSlash, u"/"}}},
          {u"/*/*", true, {{sqltSlash, u"/"}, {sqltStar, u"*"}, {sqltSlash, u"/"}, {sqltStar, u"*"}}},
      },
      true, false);
  // The CR LF case: the comment takes the CR, the LF is white space.
  expectCases({{u"--c\r\nx", true, {{sqltComment2, u"--c\r"}, {sqltWhiteSpace, u"\n"}, {kX, u"x"}}}}, true, true);
}

TEST_F(SqlTokTest, WhiteSpaceOnRequest) {
  expectCases({{u" \t\r\n a  b", true, {{sqltWhiteSpace, u" \t\r\n "}, {1, u"a"}, {sqltWhiteSpace, u"  "}, {1, u"b"}}}},
              false, true);
  expectCases({{u"a /*c*/ --d", true, {{1, u"a"}, {sqltWhiteSpace, u" "}, {sqltWhiteSpace, u" "}}}}, false, true);
}

TEST_F(SqlTokTest, LinesAndPositions) {
  struct PosCase {
    std::u16string_view text;
    std::int32_t index;
    LinePos start;
    LinePos end;
  };
  const PosCase cases[] = {
      {u"  SELECT x", 1, {1, 10}, {1, 12}},
      {u"SELECT\r\nx", 1, {2, 1}, {2, 3}},
      {u"a\rb", 1, {1, 3}, {1, 5}},
      {u"a\n\n  b", 1, {3, 3}, {3, 5}},
      {u"x 'p\nqr' y", 1, {1, 3}, {2, 5}},
      {u"x 'p\nqr' y", 2, {2, 5}, {2, 7}},
      {u"SELECT", 1, {1, 7}, {1, 8}},
  };
  for (const PosCase& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    const Tokenized r = tokenize(c.text);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ((LinePos{r.list->GetTokenStartLine(c.index), r.list->GetTokenStartPos(c.index)}), c.start);
    EXPECT_EQ((LinePos{r.list->GetTokenEndLine(c.index), r.list->GetTokenEndPos(c.index)}), c.end);
  }
}

TEST_F(SqlTokTest, FailureLeavesTheTokensBeforeTheBadPlace) {
  // What the preparing code reports: the end of the last token read.
  const Tokenized r = tokenize(u"x'");
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.list->TokenCount(), 1);
  EXPECT_EQ(r.list->GetTokenEndLine(0), 1);
  EXPECT_EQ(r.list->GetTokenEndPos(0), 3);
  const Tokenized r2 = tokenize(u"SELECT a\nFROM t WHERE b | c");
  EXPECT_FALSE(r2.ok);
  ASSERT_EQ(r2.list->TokenCount(), 6);
  EXPECT_EQ(r2.list->GetTokenEndLine(5), 2);
  EXPECT_EQ(r2.list->GetTokenEndPos(5), 16);
  EXPECT_EQ(tokenize(u"|").list->TokenCount(), 0);
}

TEST_F(SqlTokTest, BadArgumentsAnswerFalse) {
  std::unique_ptr<TnxSQLTokenizer, TnxFreeObject> t(platform::create<TnxSQLTokenizer>());
  TTokenListPtr list;
  const char16_t text[] = u"a";
  EXPECT_FALSE(t->Tokenize(text, -1, false, false, list));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->TokenCount(), 0);
  EXPECT_FALSE(t->Tokenize(nullptr, 3, false, false, list));
  EXPECT_TRUE(t->Tokenize(nullptr, 0, false, false, list));
  EXPECT_EQ(list->TokenCount(), 1);
}

TEST_F(SqlTokTest, NamesTable) {
  const auto names = nxSqlTokenNames();
  ASSERT_EQ(names.size(), std::size_t(kSqlTokenKindCount));
  const std::pair<int, std::u16string_view> spots[] = {
      {0, u"<eof>"},        {7, u"<bracketed_binary_string_literal>"},
      {11, u"<white_space>"}, {12, u"%%"},
      {24, u"."},           {33, u"-"},
      {34, u"COUNT"},       {42, u"WINSORIZED_MEAN"},
      {179, u"RECREV"},     {224, u"SYSTEM_ROW#"},
      {244, u"SECOND"},     {245, u"#B"},
      {252, u"#V"},         {253, u"ABSOLUTE"},
      {328, u"N"},          {402, u"X"}};
  for (auto [kind, name] : spots) EXPECT_EQ(nxSqlTokenName(kind), name) << kind;
  EXPECT_THROW(nxSqlTokenName(-1), EnxBaseException);
  EXPECT_THROW(nxSqlTokenName(kSqlTokenKindCount), EnxBaseException);
}

TEST_F(SqlTokTest, ReservedWords) {
  const std::pair<std::u16string_view, bool> cases[] = {
      {u"count", true}, {u"Select", true}, {u"SECOND", true}, {u"absolute", false}, {u"x", false},
      {u"#B", false},   {u"", false},      {u"counts", false}, {u"COUNT\0"sv, false}};
  for (auto [word, reserved] : cases) EXPECT_EQ(nxSqlIsReservedWordW(word), reserved) << platform::toUtf8(word);
}

TEST_F(SqlTokTest, TernaryTree) {
  std::unique_ptr<TTernaryTree, TnxFreeObject> tree(platform::create<TTernaryTree>());
  tree->InsertStr(u"AB", 1);
  tree->InsertStr(u"ABC", 2);
  tree->InsertStr(u"B", 3);
  tree->InsertStr(u"A\0Z"sv, 9);  // never stored
  const std::pair<std::u16string_view, int> exact[] = {{u"AB", 1},  {u"ABC", 2}, {u"B", 3}, {u"A", 0},
                                                       {u"ABCD", 0}, {u"ab", 0},  {u"", 0},  {u"A\0Z"sv, 0}};
  for (auto [word, val] : exact) EXPECT_EQ(tree->Search(word), val) << platform::toUtf8(word);
  EXPECT_EQ(tree->SearchUC(u"aBc"), 2);
  EXPECT_EQ(tree->SearchUC(u"AB\0"sv), 0);
  const TTernaryTree* keywords = nxSqlKeywordTree();
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(keywords->Search(u"SELECT"), 229);
  EXPECT_EQ(keywords->Search(u"select"), 0);
  EXPECT_EQ(keywords->SearchUC(u"select"), 229);
}

TEST_F(SqlTokTest, StartUpIsCounted) {
  nxSQLTokInitialize();
  nxSQLTokFinalize();
  EXPECT_NE(nxSqlKeywordTree(), nullptr);
  EXPECT_TRUE(tokenize(u"SELECT").ok);
  nxSQLTokFinalize();  // the suite's own start-up
  EXPECT_EQ(nxSqlKeywordTree(), nullptr);
  EXPECT_TRUE(nxSqlTokenNames().empty());
  EXPECT_FALSE(tokenize(u"SELECT").ok);
  EXPECT_THROW(nxSqlIsReservedWordW(u"count"), EnxBaseException);
  EXPECT_THROW(nxSqlTokenName(0), EnxBaseException);
  nxSQLTokInitialize();
  EXPECT_EQ(body(tokenize(u"select")), (std::vector<Tok>{{229, u"select"}}));
}

// ------------------------------------------------------------------- threads

namespace {

// Fails the process when aBody has not returned within aLimit.
template <class Body>
void withWatchdog(std::chrono::seconds aLimit, Body aBody) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread dog([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, aLimit, [&] { return done; })) {
      std::fprintf(stderr, "watchdog: test still running after %lld s\n", static_cast<long long>(aLimit.count()));
      std::_Exit(1);
    }
  });
  aBody();
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_one();
  dog.join();
}

const std::u16string_view kSamples[] = {
    u"SELECT a, b AS \"x y\", COUNT(*) FROM t WHERE c >= 1.5E-3 -- note\nGROUP BY a;",
    u"INSERT INTO #tmp VALUES ('it''s', [0A1B], 42, .5); /* done */",
    u"UPDATE QBNK SET hantei=:nowhantei WHERE id=:nowid",
    u"#B ; DELETE FROM \"<#t>\" WHERE x <> 2 || 'a' // end\r\n",
};

}  // namespace

TEST_F(SqlTokTest, ThreadsTokenizeAtOnce) {
  std::vector<std::vector<Tok>> expected;
  for (std::u16string_view s : kSamples) expected.push_back(tokenize(s, true, true).toks);
  std::atomic<int> mismatches{0};
  withWatchdog(std::chrono::seconds(60), [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&, t] {
        for (int round = 0; round < 300; ++round) {
          const std::size_t i = std::size_t(t + round) % std::size(kSamples);
          if (tokenize(kSamples[i], true, true).toks != expected[i]) ++mismatches;
        }
      });
    for (std::thread& th : threads) th.join();
  });
  EXPECT_EQ(mismatches.load(), 0);
}

// ---------------------------------------------------------------------- fuzz

namespace {

// Checks one text in an exactly-sized buffer, so that the sanitizer sees any
// read or write outside it; the text must come back unchanged.
void checkOne(const std::u16string& aText, bool aComments, bool aWhite) {
  const std::size_t n = aText.size();
  std::unique_ptr<char16_t[]> buffer(new char16_t[n ? n : 1]);
  std::copy(aText.begin(), aText.end(), buffer.get());
  std::unique_ptr<TnxSQLTokenizer, TnxFreeObject> t(platform::create<TnxSQLTokenizer>());
  TTokenListPtr list;
  const bool ok = t->Tokenize(n ? buffer.get() : nullptr, std::int32_t(n), aComments, aWhite, list);
  ASSERT_TRUE(list);
  ASSERT_TRUE(std::equal(aText.begin(), aText.end(), buffer.get())) << "the text was written to";
  const std::int32_t count = list->TokenCount();
  const char16_t* base = n ? buffer.get() : nullptr;
  const char16_t* prevEnd = base;
  for (std::int32_t i = 0; i < count; ++i) {
    const char16_t* start = list->GetTokenBufferStart(i);
    const char16_t* end = list->GetTokenBufferEnd(i);
    ASSERT_LE(prevEnd, start);
    ASSERT_LE(start, end);
    ASSERT_LE(end, base + n);
    const std::uint16_t kind = list->GetTokenType(i);
    ASSERT_LE(kind, sqltLastKind);
    ASSERT_EQ(kind == sqltEof, ok && i == count - 1);
    ASSERT_TRUE(aComments || kind < sqltComment1 || kind > sqltComment3);
    ASSERT_TRUE(aWhite || kind != sqltWhiteSpace);
    // With everything kept, the tokens cover the text without gaps.
    ASSERT_TRUE(!aComments || !aWhite || prevEnd == start);
    const auto offset = std::size_t(start - base);
    ASSERT_EQ((LinePos{list->GetTokenStartLine(i), list->GetTokenStartPos(i)}), naiveLinePos(aText, offset));
    ASSERT_EQ(list->GetTokenEndPos(i), naiveEndPos(aText, offset, std::size_t(end - start)));
    prevEnd = end;
  }
  if (ok) {
    ASSERT_GE(count, 1);
    ASSERT_EQ(TokenRecLen(list->TokenPtr(count - 1)), 0);
  } else if (count > 0) {
    // The "Invalid token" message can be placed behind the last token.
    ASSERT_GE(list->GetTokenEndLine(count - 1), 1);
    ASSERT_GE(list->GetTokenEndPos(count - 1), 1);
  }
}

}  // namespace

TEST_F(SqlTokTest, FuzzRandomTexts) {
  std::mt19937 rng(20261210);
  const std::u16string alphabet(
      u"\0\0\r\n\n\t  'x\"<>[]0aF9eE.+-/*#@|_zZ%:\u00e9\u0120\u010a\xd800\xdfff\x01\x7f"sv);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int round = 0; round < 20000 && std::chrono::steady_clock::now() < deadline; ++round) {
    std::u16string text(std::size_t(rng() % 40), u' ');
    for (char16_t& c : text) c = alphabet[rng() % alphabet.size()];
    SCOPED_TRACE(round);
    checkOne(text, rng() & 1, rng() & 2);
    if (HasFatalFailure()) return;
  }
}

TEST_F(SqlTokTest, FuzzMutatedStatements) {
  std::mt19937 rng(4711);
  const std::u16string inserts(u"\0'\"[]-/*\r\n<>#|.eE5\u00e9\xd800"sv);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int round = 0; round < 20000 && std::chrono::steady_clock::now() < deadline; ++round) {
    std::u16string text(kSamples[std::size_t(rng()) % std::size(kSamples)]);
    for (int edits = 1 + int(rng() % 4); edits > 0 && !text.empty(); --edits) {
      const std::size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0: text.erase(at, 1 + rng() % 3); break;
        case 1: text.insert(text.begin() + std::ptrdiff_t(at), inserts[rng() % inserts.size()]); break;
        case 2: text[at] = inserts[rng() % inserts.size()]; break;
        default: text.resize(at); break;  // ends inside whatever was there
      }
    }
    SCOPED_TRACE(round);
    checkOne(text, rng() & 1, rng() & 2);
    if (HasFatalFailure()) return;
  }
}
