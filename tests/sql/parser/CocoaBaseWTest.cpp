#include "CocoaBaseW.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "nxllException.h"
#include "nxSqlParserTestSupport.h"
#include "plErrors.h"

namespace {

// Line and position of every offset 0 .. size, in one pass.
std::vector<LinePos> linePositions(std::u16string_view aText) {
  std::vector<LinePos> lp(aText.size() + 1);
  LinePos cur{1, 1};
  for (std::size_t i = 0; i <= aText.size(); ++i) {
    lp[i] = cur;
    if (i < aText.size()) {
      if (aText[i] == u'\n')
        cur = {cur.line + 1, 1};
      else
        ++cur.pos;
    }
  }
  return lp;
}

// naiveEndPos over precomputed positions.
std::int32_t endPos(const std::vector<LinePos>& aLp, std::u16string_view aText, std::size_t aStart, std::size_t aEnd) {
  const std::size_t lf = aText.substr(aStart, aEnd - aStart).rfind(u'\n');
  if (lf == std::u16string_view::npos) return aLp[aStart].pos + std::int32_t(aEnd - aStart) + 1;
  return std::int32_t(aEnd - aStart - lf - 1) + 2;
}

// A text of more than two pages of tokens: words, numbers, operators and
// string literals holding line feeds, with blanks, CRs and LFs between them.
std::u16string multiPageText(std::uint32_t aSeed) {
  std::mt19937 rng(aSeed);
  const std::u16string_view pieces[] = {u"ab", u"x", u"12", u"'s\nq'", u"(", u"SELECT", u"'l\n\nm''n'", u"3.5"};
  const std::u16string_view gaps[] = {u" ", u"  ", u"\n", u"\r\n", u"\n   ", u" /* c\n */ ", u" --d\n"};
  std::u16string text = u"  ";
  for (std::int32_t i = 0; i < 2 * kTokenPageCapacity + 700; ++i) {
    text += pieces[rng() % std::size(pieces)];
    text += gaps[rng() % std::size(gaps)];
  }
  return text;
}

// Every record in order, found by walking the pages.
std::vector<PTokenRecord> walkPages(TTokenList& aList) {
  std::vector<PTokenRecord> recs;
  if (aList.TokenCount() == 0) return recs;
  for (const TTokenPage* page = TokenRecPage(aList.TokenPtr(0)); page; page = page->Next)
    for (std::int32_t i = 0; i < page->TokenCount; ++i) recs.push_back(&page->Tokens[i]);
  return recs;
}

class TokenListTest : public SqlTokTest {};

}  // namespace

TEST_F(TokenListTest, PageBoundary) {
  // Seven two-letter words per line: token k starts at line k / 7 + 1,
  // position (k % 7) * 3 + 1.
  std::u16string text;
  const std::int32_t words = kTokenPageCapacity + 10;
  for (std::int32_t k = 0; k < words; ++k) text += (k % 7 == 6) ? u"ab\n" : u"ab ";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  ASSERT_EQ(list.TokenCount(), words + 1);
  const std::int32_t last = kTokenPageCapacity - 1;
  const TTokenPage* page1 = TokenRecPage(list.TokenPtr(0));
  EXPECT_EQ(TokenRecPage(list.TokenPtr(last)), page1);
  EXPECT_EQ(list.TokenPtr(last), &page1->Tokens[last]);
  EXPECT_EQ(page1->TokenCount, kTokenPageCapacity);
  const TTokenPage* page2 = TokenRecPage(list.TokenPtr(last + 1));
  ASSERT_NE(page2, page1);
  EXPECT_EQ(page1->Next, page2);
  EXPECT_EQ(list.TokenPtr(last + 1), &page2->Tokens[0]);
  EXPECT_EQ(page1->StartLineFirst, 1);
  EXPECT_EQ(page1->StartPosFirst, 1);
  for (std::int32_t k : {last, last + 1, last + 2}) {
    SCOPED_TRACE(k);
    EXPECT_EQ(list.GetTokenStartLine(k), k / 7 + 1);
    EXPECT_EQ(list.GetTokenStartPos(k), (k % 7) * 3 + 1);
  }
  EXPECT_EQ(page2->StartLineFirst, (last + 1) / 7 + 1);
  EXPECT_EQ(page2->StartPosFirst, ((last + 1) % 7) * 3 + 1);
}

TEST_F(TokenListTest, IndexLookupForwardsBackwardsAndAtRandom) {
  const std::u16string text = multiPageText(1);
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  const std::vector<PTokenRecord> recs = walkPages(list);
  ASSERT_EQ(std::int32_t(recs.size()), list.TokenCount());
  ASSERT_GT(list.TokenCount(), 2 * kTokenPageCapacity);
  std::vector<std::int32_t> order(recs.size());
  std::iota(order.begin(), order.end(), 0);
  for (std::int32_t i : order) ASSERT_EQ(list.TokenPtr(i), recs[std::size_t(i)]) << i;
  std::reverse(order.begin(), order.end());
  for (std::int32_t i : order) ASSERT_EQ(list.TokenPtr(i), recs[std::size_t(i)]) << i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (std::int32_t i : order) ASSERT_EQ(list.TokenPtr(i), recs[std::size_t(i)]) << i;
  for (std::int32_t bad : {-1, list.TokenCount(), list.TokenCount() + kTokenPageCapacity, INT32_MAX}) {
    try {
      list.TokenPtr(bad);
      ADD_FAILURE() << bad;
    } catch (const EnxBaseException& e) {
      EXPECT_NE(e.Message().find(u"Invalid token index"), nxString::npos);
    }
  }
  EXPECT_EQ(list.TokenStr(0, list.TokenCount() - 1), text.substr(2));
}

TEST_F(TokenListTest, LinesAndPositionsAgreeWithARecount) {
  const std::u16string text = multiPageText(2);
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep);
    const Tokenized r = tokenize(text, keep, keep);
    ASSERT_TRUE(r.ok);
    TTokenList& list = *r.list;
    const std::vector<LinePos> lp = linePositions(text);
    // Each look-up scans its page: every token near a page boundary, a
    // sample elsewhere.
    for (std::int32_t i = 0; i < list.TokenCount(); ++i) {
      const std::int32_t inPage = i % kTokenPageCapacity;
      if (inPage > 40 && inPage < kTokenPageCapacity - 40 && i % 17 != 0 && i != list.TokenCount() - 1) continue;
      const auto start = std::size_t(list.GetTokenBufferStart(i) - text.data());
      const auto end = std::size_t(list.GetTokenBufferEnd(i) - text.data());
      ASSERT_EQ((LinePos{list.GetTokenStartLine(i), list.GetTokenStartPos(i)}), lp[start]) << i;
      ASSERT_EQ(list.GetTokenEndLine(i), lp[end].line) << i;
      ASSERT_EQ(list.GetTokenEndPos(i), endPos(lp, text, start, end)) << i;
    }
  }
}

TEST_F(TokenListTest, TokenIndexFromLineAndPos) {
  const std::u16string text = multiPageText(3);
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  const std::vector<LinePos> lp = linePositions(text);
  struct Span {
    LinePos start;
    LinePos end;  // exclusive
  };
  std::vector<Span> spans;
  for (std::int32_t i = 0; i < list.TokenCount(); ++i) {
    const auto start = std::size_t(list.GetTokenBufferStart(i) - text.data());
    const auto end = std::size_t(list.GetTokenBufferEnd(i) - text.data());
    spans.push_back({lp[start], {lp[end].line, endPos(lp, text, start, end)}});
  }
  auto before = [](LinePos a, LinePos b) { return a.line < b.line || (a.line == b.line && a.pos < b.pos); };
  auto covers = [&](std::size_t i, LinePos p) { return !before(p, spans[i].start) && before(p, spans[i].end); };
  std::mt19937 rng(11);
  const std::int32_t lines = lp.back().line;
  int found = 0;
  int missed = 0;
  for (int n = 0; n < 400; ++n) {
    const LinePos p{std::int32_t(rng() % std::uint32_t(lines + 2)), std::int32_t(rng() % 14)};
    const std::int32_t index = list.TokenIndexFromLineAndPos(p.line, p.pos);
    bool any = false;
    for (std::size_t i = 0; i < spans.size() && !any; ++i) any = covers(i, p);
    SCOPED_TRACE(testing::Message() << p.line << ":" << p.pos);
    if (index < 0) {
      EXPECT_FALSE(any);
      ++missed;
    } else {
      EXPECT_TRUE(covers(std::size_t(index), p));
      ++found;
    }
  }
  EXPECT_GT(found, 40);
  EXPECT_GT(missed, 40);
  // The first token and the end token.
  EXPECT_EQ(list.TokenIndexFromLineAndPos(1, 3), 0);
  EXPECT_EQ(list.TokenIndexFromLineAndPos(1, 1), -1);
  EXPECT_EQ(list.TokenIndexFromLineAndPos(lines, spans.back().start.pos), list.TokenCount() - 1);
}

TEST_F(TokenListTest, SpansAndText) {
  const std::u16string text = u"SELECT /* keep */ x -- too\n, 'it''s' FROM t";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  ASSERT_EQ(list.TokenCount(), 7);
  EXPECT_EQ(list.TokenStr(0, 1), u"SELECT /* keep */ x");
  EXPECT_EQ(list.TokenStr(1, 3), u"x -- too\n, 'it''s'");
  EXPECT_EQ(list.TokenStr(2, 2), u",");
  EXPECT_EQ(list.TokenStr(3, 1), u"");
  EXPECT_EQ(list.TokenStr(6), u"");
  EXPECT_EQ(TokenRecLocation(list.TokenPtr(1)), u" at line 1, pos 19");
  EXPECT_EQ(TokenRecToLocation(list.TokenPtr(2)), u" at line 2, pos 1");
  EXPECT_EQ(TokenRecLocation(nullptr), u"");
  EXPECT_EQ(TokenRecStr(list.TokenPtr(4)), u"FROM");
  EXPECT_EQ(TokenRecToStr(nullptr), u"");
  EXPECT_EQ(TokenRecLen(nullptr), 0);
  EXPECT_EQ(TokenRecLen(list.TokenPtr(4)), 4);
  EXPECT_EQ(TokenRecBufferStart(list.TokenPtr(1)), text.data() + 18);
  EXPECT_EQ(TokenRecStartLine(list.TokenPtr(5)), 2);
}

TEST_F(TokenListTest, Unquoted) {
  const std::u16string text = u"'it''s' \"A\" abc '' \"\"";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  const std::u16string_view expected[] = {u"it''s", u"A", u"abc", u"", u""};
  for (std::int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(TokenRecUnquoted(r.list->TokenPtr(i)), expected[i]) << i;
    EXPECT_EQ(TokenRecToUnquoted(r.list->TokenPtr(i)), expected[i]) << i;
  }
  EXPECT_EQ(TokenRecUnquoted(nullptr), u"");
}

TEST_F(TokenListTest, Integers) {
  const std::u16string text = u"0 7 123456789 1234567890 9876543210 4294967297";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  const std::int64_t as64[] = {0, 7, 123456789, 1234567890, 9876543210LL, 4294967297LL};
  for (std::int32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(list.TokenAsInt64(i), as64[i]) << i;
    // 32 bits wrap.
    EXPECT_EQ(list.TokenAsInt(i), std::int32_t(std::uint32_t(std::uint64_t(as64[i])))) << i;
    EXPECT_EQ(TokenRecAsInt(list.TokenPtr(i)), list.TokenAsInt(i)) << i;
  }
}

TEST_F(TokenListTest, SameText) {
  const std::u16string text = u"abc x abc ABC ab";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  TTokenList& list = *r.list;
  EXPECT_TRUE(TokenRecSameText(list.TokenPtr(0), list.TokenPtr(0)));
  EXPECT_TRUE(TokenRecSameText(list.TokenPtr(0), list.TokenPtr(2)));
  EXPECT_FALSE(TokenRecSameText(list.TokenPtr(0), list.TokenPtr(3)));
  EXPECT_FALSE(TokenRecSameText(list.TokenPtr(0), list.TokenPtr(4)));
  EXPECT_FALSE(TokenRecSameText(list.TokenPtr(0), nullptr));
  EXPECT_FALSE(TokenRecSameText(nullptr, list.TokenPtr(1)));
  EXPECT_TRUE(TokenRecSameText(nullptr, nullptr));
  // Across two lists over different texts.
  const std::u16string other = u"abc";
  const Tokenized r2 = tokenize(other);
  EXPECT_TRUE(TokenRecSameText(list.TokenPtr(0), r2.list->TokenPtr(0)));
}

TEST_F(TokenListTest, RecordOutsideItsPageIsAnInternalError) {
  const std::u16string text = u"a b";
  const Tokenized r = tokenize(text);
  ASSERT_TRUE(r.ok);
  PTokenRecord rec = r.list->TokenPtr(1);
  const TTokenPage* page = TokenRecPage(rec);
  const auto* misaligned = reinterpret_cast<PTokenRecord>(reinterpret_cast<const char*>(rec) + 1);
  EXPECT_THROW(TokenRecPage(misaligned), platform::RuntimeError);
  EXPECT_THROW(TokenRecPage(&page->Tokens[page->TokenCount]), platform::RuntimeError);
  EXPECT_THROW(TokenRecStartLine(reinterpret_cast<PTokenRecord>(page)), platform::RuntimeError);
  EXPECT_THROW(TokenRecPage(nullptr), platform::RuntimeError);
}

TEST_F(TokenListTest, AddTokenChecksItsSpan) {
  const std::u16string text = u"abcdef";
  std::unique_ptr<TTokenList, TnxFreeObject> list(platform::create<TTokenList>(text));
  const char16_t* s = text.data();
  list->AddToken(s + 1, s + 3, 1, 1, 2, 4, sqltIdentifier);
  EXPECT_THROW(list->AddToken(s + 4, s + 7, 1, 1, 5, 8, sqltIdentifier), platform::RuntimeError);
  EXPECT_THROW(list->AddToken(s + 3, s + 2, 1, 1, 4, 3, sqltIdentifier), platform::RuntimeError);
  EXPECT_THROW(list->AddToken(s, s + 1, 1, 1, 1, 2, sqltIdentifier), platform::RuntimeError);
  list->AddToken(s + 6, s + 6, 1, 1, 7, 7, 0x10000 + sqltEof);  // the low 16 bits are the kind
  ASSERT_EQ(list->TokenCount(), 2);
  EXPECT_EQ(list->TokenStr(0), u"bc");
  EXPECT_EQ(list->GetTokenType(1), sqltEof);
}

namespace {

class CursorProbe : public TBaseTokenizer {
 public:
  bool Tokenize(const char16_t*, std::int32_t, bool, bool, TTokenListPtr&) override { return false; }
  using TBaseTokenizer::Accept;
  using TBaseTokenizer::AcceptNot;
  using TBaseTokenizer::Advance;
  using TBaseTokenizer::Cur;
  using TBaseTokenizer::CurLine;
  using TBaseTokenizer::CurPos;
  using TBaseTokenizer::Peek;
  using TBaseTokenizer::PopMark;
  using TBaseTokenizer::PushMark;
  using TBaseTokenizer::Reset;
};

}  // namespace

TEST(BaseTokenizerTest, CursorAndMarks) {
  std::unique_ptr<CursorProbe, TnxFreeObject> t(platform::create<CursorProbe>());
  const char16_t text[] = u"ab\ncdX";
  t->Reset(text, 5);  // the X lies beyond the text
  EXPECT_TRUE(t->Accept(u'a'));
  EXPECT_FALSE(t->Accept(u'x'));
  EXPECT_TRUE(t->AcceptNot(u'x'));
  EXPECT_FALSE(t->AcceptNot(u'\n'));
  t->Advance();
  EXPECT_EQ(t->CurLine, 2);
  EXPECT_EQ(t->CurPos, 1);
  EXPECT_EQ(t->Peek(1), u'd');
  EXPECT_EQ(t->Peek(2), u'\0');
  t->PushMark();
  t->Advance();
  t->Advance();
  EXPECT_EQ(t->Cur(), u'\0');
  EXPECT_FALSE(t->AcceptNot(u'x'));
  t->PopMark(false);
  EXPECT_EQ(t->Cur(), u'c');
  EXPECT_EQ(t->CurPos, 1);
  for (int i = 0; i < TBaseTokenizer::kMaxMarks; ++i) t->PushMark();
  EXPECT_THROW(t->PushMark(), platform::RuntimeError);
  for (int i = 0; i < TBaseTokenizer::kMaxMarks; ++i) t->PopMark(true);
  EXPECT_THROW(t->PopMark(true), platform::RuntimeError);
}
