// Shared by the SQL parser tests: module start-up per suite, tokenizing into
// plain (kind, text) pairs, and the naive line and position of an offset.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "CocoaBaseW.h"
#include "nxSQLTok.h"
#include "plString.h"

class SqlTokTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { nxSQLTokInitialize(); }
  static void TearDownTestSuite() { nxSQLTokFinalize(); }
};

struct Tok {
  int kind;
  std::u16string text;
  bool operator==(const Tok&) const = default;
};

inline void PrintTo(const Tok& aTok, std::ostream* aOut) {
  *aOut << "{" << aTok.kind << ", \"" << platform::toUtf8(aTok.text) << "\"}";
}

struct Tokenized {
  bool ok = false;
  TTokenListPtr list;
  std::vector<Tok> toks;  // every token, the end token included
};

// REQUIRES: aText outlives the result's list.
inline Tokenized tokenize(std::u16string_view aText, bool aComments = false, bool aWhite = false) {
  Tokenized r;
  std::unique_ptr<TnxSQLTokenizer, TnxFreeObject> t(platform::create<TnxSQLTokenizer>());
  r.ok = t->Tokenize(aText.data(), std::int32_t(aText.size()), aComments, aWhite, r.list);
  if (r.list)
    for (std::int32_t i = 0; i < r.list->TokenCount(); ++i)
      r.toks.push_back({r.list->GetTokenType(i), r.list->TokenStr(i)});
  return r;
}

// Line and position of the character at aOffset, counted from the text's start.
struct LinePos {
  std::int32_t line;
  std::int32_t pos;
  bool operator==(const LinePos&) const = default;
};
inline LinePos naiveLinePos(std::u16string_view aText, std::size_t aOffset) {
  LinePos lp{1, 1};
  for (std::size_t i = 0; i < aOffset; ++i) {
    if (aText[i] == u'\n') {
      ++lp.line;
      lp.pos = 1;
    } else {
      ++lp.pos;
    }
  }
  return lp;
}

// The end position as the token list defines it: one past the position behind
// the token on its last line.
inline std::int32_t naiveEndPos(std::u16string_view aText, std::size_t aStart, std::size_t aLen) {
  const std::u16string_view tok = aText.substr(aStart, aLen);
  const std::size_t lf = tok.rfind(u'\n');
  if (lf == std::u16string_view::npos) return naiveLinePos(aText, aStart).pos + std::int32_t(aLen) + 1;
  return std::int32_t(aLen - lf - 1) + 2;
}
