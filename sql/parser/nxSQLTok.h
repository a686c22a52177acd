// Token kinds of SQL texts and their names, the keyword tree, and the SQL
// tokenizer that splits a UTF-16 text into a TTokenList.
//
// Kinds are plain 16-bit numbers, fixed because the grammar, the statement
// compiler and the error messages use them:
//   0 .. 11    end of input, literal and name classes, comments, white space
//   12 .. 33   operators and punctuation
//   34 .. 244  reserved words (never accepted where a name is expected)
//   245 .. 402 non-reserved words, the pragma words #B .. #V first
// The name of a keyword kind is the keyword in capitals.
//
// Life: nxSQLTokInitialize fills the names table and builds the keyword tree;
// the calls are counted, the last nxSQLTokFinalize frees both. In between
// both are read-only, so any number of threads tokenize (one tokenizer object
// each) and read names at the same time. Before start-up Tokenize answers
// False and the name and keyword look-ups raise.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>

#include "CocoaBaseW.h"
#include "nxllBase.h"
#include "nxllTypes.h"
#include "plString.h"

using TnxSqlTokenKind = std::uint16_t;

inline constexpr std::int32_t kSqlTokenKindCount = 403;

inline constexpr TnxSqlTokenKind sqltEof = 0;
inline constexpr TnxSqlTokenKind sqltIdentifier = 1;
inline constexpr TnxSqlTokenKind sqltFloat = 2;
inline constexpr TnxSqlTokenKind sqltUnsignedInteger = 3;
inline constexpr TnxSqlTokenKind sqltString = 4;
inline constexpr TnxSqlTokenKind sqltQuotedTempName = 5;
inline constexpr TnxSqlTokenKind sqltQuotedName = 6;
inline constexpr TnxSqlTokenKind sqltBinaryString = 7;
inline constexpr TnxSqlTokenKind sqltComment1 = 8;  // "//" up to the line end
inline constexpr TnxSqlTokenKind sqltComment2 = 9;  // "--" up to the line end
inline constexpr TnxSqlTokenKind sqltComment3 = 10;  // "/*" .. "*/"
inline constexpr TnxSqlTokenKind sqltWhiteSpace = 11;
inline constexpr TnxSqlTokenKind sqltPercentPercent = 12;
inline constexpr TnxSqlTokenKind sqltColonColon = 13;
inline constexpr TnxSqlTokenKind sqltLessEqual = 14;
inline constexpr TnxSqlTokenKind sqltGreaterEqual = 15;
inline constexpr TnxSqlTokenKind sqltNotEqual = 16;
inline constexpr TnxSqlTokenKind sqltConcat = 17;
inline constexpr TnxSqlTokenKind sqltPercent = 18;
inline constexpr TnxSqlTokenKind sqltAmpersand = 19;
inline constexpr TnxSqlTokenKind sqltSlash = 20;
inline constexpr TnxSqlTokenKind sqltSemicolon = 21;
inline constexpr TnxSqlTokenKind sqltQuestion = 22;
inline constexpr TnxSqlTokenKind sqltColon = 23;
inline constexpr TnxSqlTokenKind sqltDot = 24;
inline constexpr TnxSqlTokenKind sqltEqual = 25;
inline constexpr TnxSqlTokenKind sqltRParen = 26;
inline constexpr TnxSqlTokenKind sqltLParen = 27;
inline constexpr TnxSqlTokenKind sqltStar = 28;
inline constexpr TnxSqlTokenKind sqltLess = 29;
inline constexpr TnxSqlTokenKind sqltGreater = 30;
inline constexpr TnxSqlTokenKind sqltComma = 31;
inline constexpr TnxSqlTokenKind sqltPlus = 32;
inline constexpr TnxSqlTokenKind sqltMinus = 33;
inline constexpr TnxSqlTokenKind sqltFirstReserved = 34;
inline constexpr TnxSqlTokenKind sqltLastReserved = 244;
inline constexpr TnxSqlTokenKind sqltFirstNonReserved = 245;
inline constexpr TnxSqlTokenKind sqltLastKind = 402;

void nxSQLTokInitialize();
void nxSQLTokFinalize();

// The names of kinds 0 .. 402, indexed by kind; empty before start-up.
std::span<const nxString> nxSqlTokenNames();
// The name of one kind; a kind outside 0 .. 402 raises "Invalid token kind".
const nxString& nxSqlTokenName(std::int32_t aKind);

struct TTernaryNode {
  TTernaryNode* LoKid = nullptr;
  TTernaryNode* EqKid = nullptr;  // absent below a terminator node
  TTernaryNode* HiKid = nullptr;
  std::int32_t Val = 0;  // of the word ending here (terminator nodes only)
  char16_t SplitChar = 0;  // 0 in a terminator node
};

// Ternary search tree from words to non-zero values. Words are bounded views;
// a word holding a NUL code unit is never stored and never found.
// Thread safety: InsertStr only while nobody searches; searches are const.
class TTernaryTree : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TTernaryTree() = default;

  void InsertStr(platform::UnicodeStringView aWord, std::int32_t aVal);
  // The value of exactly that word (code units as they are), 0 when absent.
  std::int32_t Search(platform::UnicodeStringView aWord) const;
  // As Search with 'a' .. 'z' taken as capitals; other code units as they
  // are, so a character beyond ASCII never meets an ASCII keyword.
  std::int32_t SearchUC(platform::UnicodeStringView aWord) const;

 private:
  template <bool kUpper>
  std::int32_t Find(platform::UnicodeStringView aWord) const;

  TTernaryNode* Root = nullptr;
  std::deque<TTernaryNode> Nodes;  // owns every node; never moves them
  // The top-level node of each ASCII first character: a search starts there
  // instead of walking the top level.
  std::array<const TTernaryNode*, 128> FirstNode{};
};

// The keywords (kinds 34 .. 402) with their kinds; null before start-up.
const TTernaryTree* nxSqlKeywordTree();

// True when aWord in any letter case is a reserved word (34 .. 244): a name
// that must be written in double quotes.
bool nxSqlIsReservedWordW(platform::UnicodeStringView aWord);

// Splits SQL text into tokens: literals, names, keywords, operators; comments
// (kinds 8 .. 10) and white space (11) only when asked for. A NUL code unit
// where a token would start ends the text. Every token list ends with kind 0
// of length 0. False (the list holding the tokens before the bad place) for a
// character that starts no token, an unterminated string, an invalid quoted
// name or binary string, a lone '|', or any failure inside (out of memory).
// A tokenizer object serves one call at a time.
class TnxSQLTokenizer : public TBaseTokenizer {
  PL_CLASS_INFO_DECL()
 public:
  bool Tokenize(const char16_t* aBuffer, std::int32_t aSize, bool aIncludeComments, bool aIncludeWhitespace,
                TTokenListPtr& aTokens) override;

 private:
  void ScanIdentifier();
  void ScanWhiteSpace();
  void ScanLineComment();
  bool ScanBlockComment(const char16_t*& aNoCommentEndFrom);
  bool ScanString();
  bool ScanQuotedTempName();
  bool ScanQuotedName();
  bool ScanBinaryString();
  bool ScanExponent();
  bool ScanFloat();
  void ScanDigits();
};
