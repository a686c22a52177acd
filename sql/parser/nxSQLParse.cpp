#include "nxSQLParse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "nxSQLTok.h"
#include "nxllException.h"
#include "plCollation.h"
#include "plFormat.h"
#include "plLocale.h"

PL_CLASS_INFO_IMPL(TBaseParser, TnxObject, "TBaseParser", nullptr)
PL_CLASS_INFO_IMPL(TnxSQLParser, TBaseParser, "TnxSQLParser", nullptr)

namespace {

[[noreturn]] void assertionFailed(const char* aWhat) {
  throw platform::RuntimeError(std::string("Assertion failure: ") + aWhat + " (nxSQLParse)");
}

[[noreturn]] void invalidRecord() { throw EnxBaseException(u"Invalid parse record"); }

}  // namespace

// ---------------------------------------------------------------------------
// Primitives

void TBaseParser::PutCode(std::int32_t aCode) {
  if (std::size_t(CodePtr) == FCodes.size())
    FCodes.push_back(aCode);
  else
    FCodes[std::size_t(CodePtr)] = aCode;
  ++CodePtr;
}

void TBaseParser::PushCode(std::int32_t aCode) {
  if (STP >= kStackSize) throw EnxBaseException(u"Parse stack overflow");
  Stack[std::size_t(STP)] = {TokenPtr, CodePtr};
  if (++STP > FPeak) FPeak = STP;
  PutCode(aCode);
}

void TBaseParser::RetryCode(std::int32_t aCode) {
  if (STP <= 0) assertionFailed("RetryCode on an empty stack");
  TokenPtr = Stack[std::size_t(STP - 1)].Token;
  CodePtr = Stack[std::size_t(STP - 1)].Code;
  PutCode(aCode);
}

void TBaseParser::PopCode(std::int32_t aCode) {
  if (STP <= 0) assertionFailed("PopCode on an empty stack");
  --STP;
  TokenPtr = Stack[std::size_t(STP)].Token;
  CodePtr = Stack[std::size_t(STP)].Code;
  PutCode(aCode);
}

void TBaseParser::PushMark() {
  if (STP >= kStackSize) assertionFailed("mark stack full");
  Stack[std::size_t(STP)] = {TokenPtr, CodePtr};
  if (++STP > FPeak) FPeak = STP;
}

void TBaseParser::PopMark(bool aKeep) {
  if (STP <= 0) assertionFailed("PopMark on an empty stack");
  --STP;
  if (!aKeep) {
    TokenPtr = Stack[std::size_t(STP)].Token;
    CodePtr = Stack[std::size_t(STP)].Code;
  }
}

void TBaseParser::PopRestore() { PopMark(false); }

void TBaseParser::DropMark() { PopMark(true); }

std::int32_t TBaseParser::TokenKind(std::int32_t aIndex) const {
  // The list ends with <eof>; reading beyond it reads <eof> again.
  if (aIndex >= FTokenCount) return sqltEof;
  return FTokens->GetTokenType(aIndex);
}

bool TBaseParser::Expect(std::int32_t aKind) {
  const std::int32_t found = TokenKind(TokenPtr);
  if (found == aKind && TokenPtr < FTokenCount) {
    ++TokenPtr;
    return true;
  }
  ActualTokenIndex = TokenPtr;
  AddExpected(aKind, found);
  return false;
}

bool TBaseParser::AcceptRange(std::int32_t aLo, std::int32_t aHi) {
  const std::int32_t found = TokenKind(TokenPtr);
  if (found >= aLo && found <= aHi && TokenPtr < FTokenCount) {
    ++TokenPtr;
    return true;
  }
  return false;
}

void TBaseParser::AddExpected(std::int32_t aKind, std::int32_t aFound) {
  if (FFailedTokenIndex < TokenPtr) {
    FExpectedTokenCount = 1;
    Expected()[0] = aKind;
    ActualToken = aFound;
    FFailedTokenIndex = TokenPtr;
  } else if (FFailedTokenIndex == TokenPtr && FExpectedTokenCount < kMaxExpected) {
    Expected()[FExpectedTokenCount++] = aKind;
    ActualToken = aFound;
  }
}

// ---------------------------------------------------------------------------
// Recognizer walk

bool TBaseParser::Recognize(std::int32_t aNode) {
  const TSqlGrammarNode& n = FGrammar->Node(aNode);
  switch (n.Op) {
    case TSqlGrammarOp::Token:
      return Expect(n.Arg);
    case TSqlGrammarOp::Identifier:
      return Expect(sqltIdentifier) || AcceptRange(sqltFirstNonReserved, sqltLastKind);
    case TSqlGrammarOp::Rule:
      return CallRule(n.Arg);
    case TSqlGrammarOp::Seq:
      PushMark();
      for (std::int32_t i = 0; i < n.KidCount; ++i)
        if (!Recognize(FGrammar->Kid(n, i))) {
          PopMark(false);
          return false;
        }
      PopMark(true);
      return true;
    case TSqlGrammarOp::Choice:
      PushCode(0);
      for (std::int32_t i = 0; i < n.KidCount; ++i) {
        if (i > 0) RetryCode(i);
        if (Recognize(FGrammar->Kid(n, i))) {
          DropMark();
          return true;
        }
      }
      PopRestore();
      return false;
    case TSqlGrammarOp::Option:
      PushCode(1);
      if (Recognize(FGrammar->Kid(n, 0)))
        DropMark();
      else
        PopCode(0);
      return true;
    case TSqlGrammarOp::Repeat:
    case TSqlGrammarOp::Repeat1: {
      PushCode(1);
      bool any = false;
      for (;;) {
        const std::int32_t before = TokenPtr;
        if (!Recognize(FGrammar->Kid(n, 0))) break;
        any = true;
        DropMark();
        PushCode(1);
        if (TokenPtr == before) break;  // an item of no tokens would repeat forever
      }
      if (!any && n.Op == TSqlGrammarOp::Repeat1) {
        PopRestore();
        return false;
      }
      PopCode(0);
      return true;
    }
    case TSqlGrammarOp::List:
    case TSqlGrammarOp::List0: {
      const std::int32_t item = FGrammar->Kid(n, 0);
      const std::int32_t sep = FGrammar->Kid(n, 1);
      PushCode(1);
      if (!Recognize(item)) {
        if (n.Op == TSqlGrammarOp::List0) {
          PopCode(0);
          return true;
        }
        PopRestore();
        return false;
      }
      for (;;) {
        DropMark();
        PushCode(2);
        if (!Recognize(sep)) break;
        PutCode(1);
        if (!Recognize(item)) break;
      }
      PopCode(0);
      PutCode(0);
      return true;
    }
    case TSqlGrammarOp::Fail:
      return false;
  }
  return false;
}

bool TBaseParser::CallRule(std::int32_t aRule) {
  const TSqlGrammarRule& r = FGrammar->Rule(aRule);
  if (r.MemoSlot < 0 || !FUseMemo) return Recognize(r.Body);
  return CallMemoRule(r);
}

bool TBaseParser::CallMemoRule(const TSqlGrammarRule& aRule) {
  const std::size_t slot = std::size_t(aRule.MemoSlot) * std::size_t(FTokenCount + 1) + std::size_t(TokenPtr);
  if (const std::int32_t at = FMemoIndex[slot]; at >= 0) {
    const TMemoEntry e = FMemo[std::size_t(at)];
    // The attempt stacked marks this deep; doing it again here would overflow.
    if (STP + e.Depth > kStackSize) throw EnxBaseException(u"Parse stack overflow");
    if (STP + e.Depth > FPeak) FPeak = STP + e.Depth;
    if (e.LastActual >= 0) ActualTokenIndex = e.LastActual;
    if (e.Failed > FFailedTokenIndex) {
      FFailedTokenIndex = e.Failed;
      FExpectedTokenCount = e.ExpCount;
      std::copy_n(FMemoExpected.begin() + e.ExpStart, e.ExpCount, Expected());
      ActualToken = TokenKind(e.Failed);
    } else if (e.Failed == FFailedTokenIndex && e.Failed >= 0) {
      const std::int32_t n = std::min(e.ExpCount, kMaxExpected - FExpectedTokenCount);
      std::copy_n(FMemoExpected.begin() + e.ExpStart, n, Expected() + FExpectedTokenCount);
      FExpectedTokenCount += n;
      if (e.ExpCount > 0 && n > 0) ActualToken = TokenKind(e.Failed);
    }
    if (!e.Ok) return false;
    for (std::int32_t i = 0; i < e.CodeCount; ++i) PutCode(FMemoCodes[std::size_t(e.CodeStart + i)]);
    TokenPtr = e.EndToken;
    return true;
  }

  // A fresh expectation list and depth count for this attempt.
  const std::int32_t savedBase = FExpectedBase, savedCount = FExpectedTokenCount, savedFailed = FFailedTokenIndex;
  const std::int32_t savedActual = ActualToken, savedActualIndex = ActualTokenIndex, savedPeak = FPeak;
  const std::int32_t startToken = TokenPtr, startCode = CodePtr, startStp = STP;
  FExpectedBase = savedBase + savedCount;
  if (FExpected.size() < std::size_t(FExpectedBase + kMaxExpected))
    FExpected.resize(std::size_t(FExpectedBase + kMaxExpected) * 2);
  FExpectedTokenCount = 0;
  FFailedTokenIndex = -1;
  ActualTokenIndex = -1;
  FPeak = STP;
  // Merges the attempt's bookkeeping into the enclosing one: on return, and
  // before an overflow passes on, so the failure state equals the one the
  // walk without the memo would hold.
  const auto mergeIntoEnclosing = [&] {
    const std::int32_t localCount = FExpectedTokenCount;
    const std::int32_t localFailed = FFailedTokenIndex;
    FExpectedBase = savedBase;
    if (localFailed > savedFailed) {
      std::memmove(Expected(), Expected() + savedCount, std::size_t(localCount) * sizeof(std::int32_t));
      FExpectedTokenCount = localCount;
      FFailedTokenIndex = localFailed;
      ActualToken = TokenKind(localFailed);
    } else if (localFailed == savedFailed && localFailed >= 0) {
      const std::int32_t n = std::min(localCount, kMaxExpected - savedCount);
      FExpectedTokenCount = savedCount + n;
      ActualToken = n > 0 ? TokenKind(localFailed) : savedActual;
    } else {
      FExpectedTokenCount = savedCount;
      FFailedTokenIndex = savedFailed;
      ActualToken = savedActual;
    }
    if (ActualTokenIndex < 0) ActualTokenIndex = savedActualIndex;
    FPeak = std::max(savedPeak, FPeak);
  };
  bool ok;
  try {
    ok = Recognize(aRule.Body);
  } catch (...) {
    mergeIntoEnclosing();
    throw;
  }

  TMemoEntry e{};
  e.Ok = ok;
  e.EndToken = TokenPtr;
  e.CodeStart = std::int32_t(FMemoCodes.size());
  e.CodeCount = ok ? CodePtr - startCode : 0;
  FMemoCodes.insert(FMemoCodes.end(), FCodes.begin() + startCode, FCodes.begin() + startCode + e.CodeCount);
  e.Failed = FFailedTokenIndex;
  e.ExpStart = std::int32_t(FMemoExpected.size());
  e.ExpCount = FExpectedTokenCount;
  FMemoExpected.insert(FMemoExpected.end(), Expected(), Expected() + FExpectedTokenCount);
  e.LastActual = ActualTokenIndex;
  e.Depth = FPeak - startStp;
  FMemoIndex[std::size_t(aRule.MemoSlot) * std::size_t(FTokenCount + 1) + std::size_t(startToken)] =
      std::int32_t(FMemo.size());
  FMemo.push_back(e);

  mergeIntoEnclosing();
  return ok;
}

bool TBaseParser::RunStartRule(const TSqlGrammar& aGrammar, std::int32_t aRule) {
  FHasCodes = true;
  FCodes.clear();
  FAcceptedCodes = 0;
  FAcceptedTokens = 0;
  FStartRule = aRule;
  FGrammar = &aGrammar;
  TokenPtr = 0;
  STP = 0;
  CodePtr = 0;
  FPeak = 0;
  FFailedTokenIndex = -1;
  FExpectedTokenCount = 0;
  FExpectedBase = 0;
  ActualToken = 0;
  ActualTokenIndex = -1;
  try {
    if (!FTokens) assertionFailed("no token list");
    FTokenCount = FTokens->TokenCount();
    FMemo.clear();
    FMemoCodes.clear();
    FMemoExpected.clear();
    if (FUseMemo)
      FMemoIndex.assign(std::size_t(aGrammar.MemoRuleCount()) * std::size_t(FTokenCount + 1), -1);
    const bool ok = CallRule(aRule);
    FMemoIndex.clear();
    FMemo.clear();
    FMemoCodes.clear();
    FMemoExpected.clear();
    if (!ok) return false;
    FAcceptedCodes = CodePtr;
    FAcceptedTokens = TokenPtr;
    return true;
  } catch (...) {
    FCodes.clear();
    FCodes.shrink_to_fit();
    FHasCodes = false;
    FExpectedBase = 0;
    FMemoIndex.clear();
    return false;
  }
}

// ---------------------------------------------------------------------------
// Token access and messages

std::int32_t TBaseParser::NextCode() {
  if (CodePtr < 0 || std::size_t(CodePtr) >= FCodes.size()) invalidRecord();
  return FCodes[std::size_t(CodePtr++)];
}

PTokenRecord TBaseParser::CurTokenPtr() { return FTokens->TokenPtr(TokenPtr - 1); }

std::int32_t TBaseParser::CurTokenAsInt() { return FTokens->TokenAsInt(TokenPtr - 1); }

std::int64_t TBaseParser::CurTokenAsInt64() { return FTokens->TokenAsInt64(TokenPtr - 1); }

nxString TBaseParser::SourceExtract(std::int32_t aFirstToken, std::int32_t aLastToken) {
  return FTokens->TokenStr(aFirstToken, aLastToken);
}

std::int32_t TBaseParser::GetExpectedToken(std::int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= FExpectedTokenCount) throw EnxBaseException(u"Invalid failed token index");
  return Expected()[aIndex];
}

nxString TBaseParser::ExpectedTokensString() const {
  std::vector<std::int32_t> kinds(Expected(), Expected() + FExpectedTokenCount);
  std::sort(kinds.begin(), kinds.end());
  kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
  std::vector<nxString> names;
  names.reserve(kinds.size());
  for (const std::int32_t k : kinds) {
    nxString name = GetTokenName(k);
    if (name.size() == 1) {
      const char16_t quote = name[0] == u'\'' ? u'"' : u'\'';
      name.insert(name.begin(), quote);
      name.push_back(quote);
    }
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), [](const nxString& a, const nxString& b) {
    const int c = platform::compareString(platform::LOCALE_USER_DEFAULT, platform::NORM_IGNORECASE, a, b);
    return c != 0 ? c < 0 : a < b;
  });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  nxString text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? u" or " : u", ";
    text += names[i];
  }
  return text;
}

nxString TBaseParser::ExpectedTokensString(nxString& aFoundToken, std::int32_t& aFoundTokenIndex) const {
  aFoundToken = GetTokenName(ActualToken);
  aFoundTokenIndex = ActualTokenIndex;
  return ExpectedTokensString();
}

std::string TBaseParser::DumpCodesText() const {
  std::string text;
  for (const std::int32_t c : FCodes) {
    text += std::to_string(c);
    text += ' ';
    if (c < 0 && -std::int64_t(c) < kSqlTokenKindCount)
      text.append("[").append(platform::toUtf8(GetTokenName(-c))).append("] ");
  }
  text += '\n';
  return text;
}

void TBaseParser::DumpCodes() const {
  const std::string text = DumpCodesText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

nxString nxSqlSyntaxErrorMessage(const TBaseParser& aParser, bool aWithFoundText) {
  TTokenList* tokens = aParser.TokenList();
  std::int32_t at = aParser.FailedTokenIndex();
  if (at < 0) at = 0;
  if (tokens && at >= tokens->TokenCount()) at = tokens->TokenCount() - 1;
  nxString expected = aParser.ExpectedTokensString();
  if (expected.find(u"SUBSTRING") != nxString::npos) expected.insert(0, u"<builtin_function>, <stored_function>, ");
  const std::int32_t line = tokens && at >= 0 ? tokens->GetTokenStartLine(at) : 1;
  const std::int32_t pos = tokens && at >= 0 ? tokens->GetTokenStartPos(at) : 1;
  if (!aWithFoundText) return platform::format(u"Syntax error at line %d pos %d: %s expected", {line, pos, expected});
  const nxString found = tokens && at >= 0 ? tokens->TokenStr(at) : nxString();
  return platform::format(u"Syntax error at line %d pos %d: %s expected: %s", {line, pos, expected, found});
}

// ---------------------------------------------------------------------------
// Replay walk

std::int32_t TBaseParser::ReplayCode(std::int32_t aLimit) {
  if (CodePtr >= FAcceptedCodes) invalidRecord();
  const std::int32_t c = NextCode();
  if (c < 0 || c >= aLimit) invalidRecord();
  return c;
}

void TBaseParser::ReplayNode(TSqlReplayActions& aActions, std::int32_t aNode) {
  const TSqlGrammarNode& n = FGrammar->Node(aNode);
  switch (n.Op) {
    case TSqlGrammarOp::Token:
    case TSqlGrammarOp::Identifier:
      if (TokenPtr >= FAcceptedTokens) invalidRecord();
      ++TokenPtr;
      aActions.Token(*this);
      return;
    case TSqlGrammarOp::Rule:
      aActions.EnterRule(*this, n.Arg);
      ReplayNode(aActions, FGrammar->Rule(n.Arg).Body);
      aActions.LeaveRule(*this, n.Arg);
      return;
    case TSqlGrammarOp::Seq:
      for (std::int32_t i = 0; i < n.KidCount; ++i) ReplayNode(aActions, FGrammar->Kid(n, i));
      return;
    case TSqlGrammarOp::Choice: {
      const std::int32_t alt = ReplayCode(n.KidCount);
      aActions.Alternative(*this, alt);
      ReplayNode(aActions, FGrammar->Kid(n, alt));
      return;
    }
    case TSqlGrammarOp::Option:
      if (ReplayCode(2) == 1) ReplayNode(aActions, FGrammar->Kid(n, 0));
      return;
    case TSqlGrammarOp::Repeat:
    case TSqlGrammarOp::Repeat1: {
      std::int32_t passes = 0;
      while (ReplayCode(2) == 1) {
        ReplayNode(aActions, FGrammar->Kid(n, 0));
        ++passes;
      }
      if (passes == 0 && n.Op == TSqlGrammarOp::Repeat1) invalidRecord();
      return;
    }
    case TSqlGrammarOp::List:
    case TSqlGrammarOp::List0: {
      if (ReplayCode(2) == 0) {
        if (n.Op == TSqlGrammarOp::List) invalidRecord();
        return;
      }
      for (;;) {
        ReplayNode(aActions, FGrammar->Kid(n, 0));
        const std::int32_t c = ReplayCode(3);
        if (c == 1) invalidRecord();
        if (c == 0) break;
        ReplayNode(aActions, FGrammar->Kid(n, 1));
        if (ReplayCode(2) != 1) invalidRecord();
      }
      if (ReplayCode(1) != 0) invalidRecord();
      return;
    }
    case TSqlGrammarOp::Fail:
      invalidRecord();
  }
}

void TBaseParser::Replay(TSqlReplayActions& aActions) {
  if (!FGrammar || FStartRule < 0 || !FHasCodes) invalidRecord();
  CodePtr = 0;
  TokenPtr = 0;
  aActions.EnterRule(*this, FStartRule);
  ReplayNode(aActions, FGrammar->Rule(FStartRule).Body);
  aActions.LeaveRule(*this, FStartRule);
  if (CodePtr != FAcceptedCodes || TokenPtr != FAcceptedTokens) invalidRecord();
}

// ---------------------------------------------------------------------------
// The SQL parser

bool TnxSQLParser::Parse() { return ParseRule("Script"); }

bool TnxSQLParser::ParseRule(std::string_view aRuleName) {
  if (!nxSqlGrammarStarted()) {
    // Before start-up nothing is recognized, as the tokenizer tokenizes nothing.
    FCodes.clear();
    FHasCodes = false;
    return false;
  }
  const TSqlGrammar& g = nxSqlGrammar();
  const std::int32_t rule = g.RuleIndex(aRuleName);
  if (rule < 0) throw EnxBaseException(u"Unknown grammar rule");
  return RunStartRule(g, rule);
}

nxString TnxSQLParser::GetTokenName(std::int32_t aKind) const { return nxSqlTokenName(aKind); }

// ---------------------------------------------------------------------------
// CodeTrace

void TSqlCodeTrace::Line(std::string_view aText) {
  if (FQuiet) return;
  FText.append(std::size_t(FDepth) * 2, ' ');
  FText += aText;
  FText += '\n';
}

void TSqlCodeTrace::EnterRule(TBaseParser& aParser, std::int32_t aRule) {
  ++FRules;
  if (!FQuiet) Line(aParser.Grammar()->Rule(aRule).Name);
  ++FDepth;
}

void TSqlCodeTrace::LeaveRule(TBaseParser&, std::int32_t) { --FDepth; }

void TSqlCodeTrace::Alternative(TBaseParser&, std::int32_t aAlternative) {
  if (FQuiet) return;
  std::string text("#");
  text.append(std::to_string(aAlternative));
  Line(text);
}

void TSqlCodeTrace::Token(TBaseParser& aParser) {
  ++FTokens;
  if (FQuiet) return;
  const std::int32_t i = aParser.CurToken();
  TTokenList* list = aParser.TokenList();
  const std::int32_t kind = list->GetTokenType(i);
  std::string text = platform::toUtf8(aParser.GetTokenName(kind));
  if (kind > sqltEof && kind < sqltPercentPercent) text.append(" ").append(platform::toUtf8(list->TokenStr(i)));
  Line(text);
}

std::string nxSqlCodeTrace(TBaseParser& aParser) {
  TSqlCodeTrace trace;
  aParser.Replay(trace);
  return trace.Text();
}
