// The SQL recognizer: a backtracking recognizer over a token list that checks
// the text against the grammar and writes a record of choice codes, and the
// replay that walks the same grammar a second time reading those codes.
//
// One grammar, two walks: every rule is written once, as data (TSqlGrammar,
// built from the grammar text at start-up). The recognizer interprets it with
// ordered choice and backtracking; the replay interprets the same nodes
// reading the record, and reports rules, alternatives and tokens to a
// TSqlReplayActions (CodeTrace prints them; the statement compiler builds its
// nodes from them). The record is the contract between both walks:
//   choice      the number of the alternative taken, then its codes
//   [ A ]       1 and A's codes, or 0
//   { A }       1 and A's codes per pass, then 0
//   { A // S }  1, A; for every further item 2, S, 1, A; then 0 and 0
//               (a single 0 when an optional list is empty)
//   tokens and Identifier write nothing.
//
// Memo: the results of the rules marked for it are kept per (rule, token
// position): a failure, or the end position with the codes written. A second
// attempt at the same place copies them instead of parsing again, so ordered
// choice over nested parentheses stays polynomial. The memo keeps, with each
// result, what the attempt did to the furthest-failure bookkeeping and how
// deep it stacked marks, so record, failure position, expected kinds and the
// stack limit come out as without it.
//
// Life: nxSQLParseInitialize builds the grammar (after nxSQLTokInitialize);
// counted like the tokenizer's start-up. A parser serves one thread at a time;
// parsers share only the read-only grammar and token names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CocoaBaseW.h"
#include "nxllBase.h"
#include "nxllTypes.h"
#include "plString.h"

enum class TSqlGrammarOp : std::uint8_t {
  Token,       // Arg: token kind
  Identifier,  // <identifier> or a non-reserved word
  Rule,        // Arg: rule index
  Seq,
  Choice,
  Option,
  Repeat,      // { A }
  Repeat1,     // { A }+
  List,        // { A // S }+ ; Kids: item, separator
  List0,       // { A // S }
  Fail,        // a rule slot not filled yet: never matches
};

struct TSqlGrammarNode {
  TSqlGrammarOp Op;
  std::int32_t Arg = 0;
  std::int32_t FirstKid = 0;  // into TSqlGrammar::Kids
  std::int32_t KidCount = 0;
};

struct TSqlGrammarRule {
  std::string Name;
  std::int32_t Body = -1;      // node index
  std::int32_t MemoSlot = -1;  // -1: not memoized
};

// The rules as nodes. Built once from grammar text; read-only afterwards.
class TSqlGrammar {
 public:
  // Reads rules written "Name = body", a new rule starting on a line that
  // does not begin with a blank. "@Name = ..." marks a rule for the memo.
  // Keywords in capitals, punctuation in single quotes, token classes in
  // angle brackets ("<slot>": a rule that always fails), "N:" labels before
  // alternatives (checked against their position). Raises on any fault.
  explicit TSqlGrammar(std::string_view aText);

  std::int32_t RuleIndex(std::string_view aName) const;  // -1 when absent
  const TSqlGrammarRule& Rule(std::int32_t aIndex) const { return Rules[std::size_t(aIndex)]; }
  const TSqlGrammarNode& Node(std::int32_t aIndex) const { return Nodes[std::size_t(aIndex)]; }
  std::int32_t Kid(const TSqlGrammarNode& aNode, std::int32_t aIndex) const {
    return Kids[std::size_t(aNode.FirstKid + aIndex)];
  }
  std::int32_t RuleCount() const { return std::int32_t(Rules.size()); }
  std::int32_t MemoRuleCount() const { return FMemoRules; }

 private:
  friend class TSqlGrammarReader;
  std::vector<TSqlGrammarNode> Nodes;
  std::vector<std::int32_t> Kids;
  std::vector<TSqlGrammarRule> Rules;
  std::int32_t FMemoRules = 0;
};

void nxSQLParseInitialize();
void nxSQLParseFinalize();
// The SQL grammar; raises before start-up.
const TSqlGrammar& nxSqlGrammar();
bool nxSqlGrammarStarted();

class TBaseParser;

// What the replay reports while it walks the accepted record.
class TSqlReplayActions {
 public:
  virtual ~TSqlReplayActions() = default;
  virtual void EnterRule(TBaseParser& aParser, std::int32_t aRule) = 0;
  virtual void LeaveRule(TBaseParser& aParser, std::int32_t aRule) = 0;
  virtual void Alternative(TBaseParser& aParser, std::int32_t aAlternative) = 0;
  // After the step over the token: CurTokenPtr is the token.
  virtual void Token(TBaseParser& aParser) = 0;
};

class TBaseParser : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::int32_t kStackSize = 350;
  static constexpr std::int32_t kMaxExpected = 312;

  TBaseParser() = default;
  TBaseParser(const TBaseParser&) = delete;
  TBaseParser& operator=(const TBaseParser&) = delete;

  virtual bool Parse() = 0;
  virtual nxString GetTokenName(std::int32_t aKind) const = 0;

  std::int32_t NextCode();
  std::int32_t CurToken() const { return TokenPtr - 1; }
  PTokenRecord CurTokenPtr();
  std::int32_t CurTokenAsInt();
  std::int64_t CurTokenAsInt64();
  nxString SourceExtract(std::int32_t aFirstToken, std::int32_t aLastToken);
  std::int32_t GetExpectedToken(std::int32_t aIndex) const;
  nxString ExpectedTokensString() const;
  nxString ExpectedTokensString(nxString& aFoundToken, std::int32_t& aFoundTokenIndex) const;
  // Every code of the record list, leftovers of abandoned attempts included,
  // each followed by a blank, then a line end.
  void DumpCodes() const;
  std::string DumpCodesText() const;

  std::int32_t FailedTokenIndex() const { return FFailedTokenIndex; }
  std::int32_t ExpectedTokenCount() const { return FExpectedTokenCount; }
  const nxString& Source() const { return FSource; }
  void SetSource(const nxString& aSource) { FSource = aSource; }
  TTokenList* TokenList() const { return FTokens; }
  // Codes of the accepted record (0 unless the last Parse answered True).
  std::int32_t AcceptedCodeCount() const { return FAcceptedCodes; }
  const std::vector<std::int32_t>& Codes() const { return FCodes; }
  bool HasCodes() const { return FHasCodes; }

 protected:
  std::vector<std::int32_t> FCodes;
  bool FHasCodes = false;

 public:

  // Walks the grammar from the rule the last successful Parse started with,
  // reading the accepted record from index 0; raises "Invalid parse record"
  // unless it reads exactly the accepted codes, each in range, and steps over
  // exactly the accepted tokens (for Script: up to and including <eof>).
  void Replay(TSqlReplayActions& aActions);
  const TSqlGrammar* Grammar() const { return FGrammar; }
  std::int32_t StartRule() const { return FStartRule; }

  // Memo on (default) or off; the tests compare both.
  void SetUseMemo(bool aUse) { FUseMemo = aUse; }

  std::int32_t TokenPtr = 0;
  std::int32_t CodePtr = 0;
  std::int32_t STP = 0;

 protected:
  // Runs aRule of aGrammar from token 0 and keeps the record when it
  // succeeds (to the end of the list only when the rule expects <eof>).
  bool RunStartRule(const TSqlGrammar& aGrammar, std::int32_t aRule);

  void PutCode(std::int32_t aCode);
  void PushCode(std::int32_t aCode);
  void RetryCode(std::int32_t aCode);
  void PopCode(std::int32_t aCode);
  void PushMark();
  void PopMark(bool aKeep);
  void PopRestore();
  void DropMark();
  bool Expect(std::int32_t aKind);
  bool AcceptRange(std::int32_t aLo, std::int32_t aHi);
  void AddExpected(std::int32_t aKind, std::int32_t aFound);

  TTokenList* FTokens = nullptr;
  nxString FSource;
  std::int32_t FFailedTokenIndex = -1;
  std::int32_t ActualToken = 0;
  std::int32_t ActualTokenIndex = -1;
  std::int32_t FExpectedTokenCount = 0;

 private:
  struct TMark {
    std::int32_t Token;
    std::int32_t Code;
  };
  struct TMemoEntry {
    bool Ok;
    std::int32_t EndToken;
    std::int32_t CodeStart, CodeCount;  // into FMemoCodes
    std::int32_t Failed;                // furthest failure inside, -1 none
    std::int32_t ExpStart, ExpCount;    // into FMemoExpected
    std::int32_t LastActual;            // last failed expectation inside, -1 none
    std::int32_t Depth;                 // marks stacked on top at the deepest
  };

  bool Recognize(std::int32_t aNode);
  bool CallRule(std::int32_t aRule);
  bool CallMemoRule(const TSqlGrammarRule& aRule);
  void ReplayNode(TSqlReplayActions& aActions, std::int32_t aNode);
  std::int32_t ReplayCode(std::int32_t aLimit);
  std::int32_t TokenKind(std::int32_t aIndex) const;
  std::int32_t* Expected() { return FExpected.data() + FExpectedBase; }
  const std::int32_t* Expected() const { return FExpected.data() + FExpectedBase; }

  const TSqlGrammar* FGrammar = nullptr;
  std::int32_t FAcceptedCodes = 0;
  std::int32_t FAcceptedTokens = 0;
  std::int32_t FStartRule = -1;
  std::int32_t FTokenCount = 0;
  std::array<TMark, kStackSize> Stack{};
  std::int32_t FPeak = 0;  // highest STP since the innermost memo attempt began
  // The expectation list of the current attempt at FExpectedBase; memoized
  // attempts open their own list above the enclosing one and merge on return.
  std::vector<std::int32_t> FExpected = std::vector<std::int32_t>(std::size_t(kMaxExpected));
  std::int32_t FExpectedBase = 0;
  bool FUseMemo = true;
  std::vector<std::int32_t> FMemoIndex;  // (memo slot, token) -> entry, -1 none
  std::vector<TMemoEntry> FMemo;
  std::vector<std::int32_t> FMemoCodes;
  std::vector<std::int32_t> FMemoExpected;
};

class TnxSQLParser : public TBaseParser {
  PL_CLASS_INFO_DECL()
 public:
  TnxSQLParser() = default;
  explicit TnxSQLParser(TTokenList* aTokens) { FTokens = aTokens; }

  // Recognizes the whole list with the start rule Script; False on a syntax
  // error (furthest failure kept) or on a stack overflow (record released).
  // False before start-up.
  bool Parse() override;
  // Recognizes from any rule of the SQL grammar (for checking one rule alone).
  bool ParseRule(std::string_view aRuleName);
  nxString GetTokenName(std::int32_t aKind) const override;
};

// "Syntax error at line %d pos %d: %s expected: %s" (with the found text) or
// "... %s expected" (without), for a parser whose Parse answered False; with
// "<builtin_function>, <stored_function>, " in front of the expected text
// when it names SUBSTRING.
nxString nxSqlSyntaxErrorMessage(const TBaseParser& aParser, bool aWithFoundText);

// Replay actions printing the rules, alternatives and tokens as an indented
// tree, two blanks per level.
class TSqlCodeTrace : public TSqlReplayActions {
 public:
  explicit TSqlCodeTrace(bool aQuiet = false) : FQuiet(aQuiet) {}
  void EnterRule(TBaseParser& aParser, std::int32_t aRule) override;
  void LeaveRule(TBaseParser& aParser, std::int32_t aRule) override;
  void Alternative(TBaseParser& aParser, std::int32_t aAlternative) override;
  void Token(TBaseParser& aParser) override;
  const std::string& Text() const { return FText; }
  std::int32_t Rules() const { return FRules; }
  std::int32_t Tokens() const { return FTokens; }

 private:
  void Line(std::string_view aText);
  bool FQuiet;
  std::string FText;
  std::int32_t FDepth = 0;
  std::int32_t FRules = 0;
  std::int32_t FTokens = 0;
};

// Replays the accepted record of aParser through CodeTrace and answers the
// trace text.
std::string nxSqlCodeTrace(TBaseParser& aParser);
