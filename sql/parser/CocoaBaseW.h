// Token list of one SQL text and the base of its tokenizers.
//
// Layout: tokens are 10-byte records in 64 KB pages taken from the memory
// manager's committed 64 KB pool. A page starts on a 64 KB boundary, so the
// page of any record is its address with the low 16 bits cleared
// (TokenRecPage). A record keeps its start as an offset into the source text;
// the page header holds the text, so a PTokenRecord alone yields its text,
// line and position. Lines and positions are not stored per token: they are
// recomputed from the text of the record's page on demand (only a line feed,
// U+000A, starts a line; both counts are 1-based).
//
// Ownership: the list owns its pages, never the text. Whoever keeps the list
// or any PTokenRecord into it (an SQL statement and its node tree) keeps the
// text alive and unchanged for as long.
//
// Thread safety: the list is filled once by one tokenizer, then read. Index
// lookups update a one-page cache, so one thread at a time reads a list by
// index; the record routines (TokenRec...) touch no shared state and may run
// on any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllTypes.h"
#include "plString.h"

// Packed as 10 bytes: 6,550 records fill a page behind its header.
#pragma pack(push, 1)
struct TTokenRecord {
  std::uint32_t BufferStart;  // offset of the first character in the page's Source
  std::uint16_t TokenType2;   // token kind (TnxSqlTokenKind)
  std::uint32_t Len2;         // length in UTF-16 code units
};
#pragma pack(pop)
static_assert(sizeof(TTokenRecord) == 10);

using PTokenRecord = const TTokenRecord*;

inline constexpr std::size_t kTokenPageSize = 65536;

// Page header: Source, Next, SourceLength, TokenCount, StartLineFirst,
// StartPosFirst.
inline constexpr std::size_t kTokenPageHeaderSize = 2 * sizeof(void*) + 4 * sizeof(std::int32_t);

// Records per page: what fits behind the header.
inline constexpr std::int32_t kTokenPageCapacity =
    std::int32_t((kTokenPageSize - kTokenPageHeaderSize) / sizeof(TTokenRecord));

struct TTokenPage {
  const char16_t* Source;  // the whole source text of the list
  TTokenPage* Next;
  std::int32_t SourceLength;  // code units of Source
  std::int32_t TokenCount;    // records used in this page
  std::int32_t StartLineFirst;
  std::int32_t StartPosFirst;
  TTokenRecord Tokens[kTokenPageCapacity];
};
static_assert(sizeof(TTokenPage) <= kTokenPageSize);
static_assert(offsetof(TTokenPage, Tokens) == kTokenPageHeaderSize);

class TTokenList : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // An empty list over aSource; tokens added later point into it.
  explicit TTokenList(platform::UnicodeStringView aSource);
  ~TTokenList() override;

  // Appends one token spanning [aBufferStart, aBufferEnd) of the source.
  // aEndLine and aEndPos are not kept. A span outside the source is an
  // internal error.
  void AddToken(const char16_t* aBufferStart, const char16_t* aBufferEnd, std::int32_t aStartLine,
                std::int32_t /*aEndLine*/, std::int32_t aStartPos, std::int32_t /*aEndPos*/,
                std::int32_t aTokenType) {
    // Lines and positions are counted forwards from a page's first token, so
    // tokens come in text order.
    if (aBufferStart < FSource || aBufferStart > aBufferEnd || aBufferEnd > FSource + FSourceLength ||
        std::uint32_t(aBufferStart - FSource) < FLastStart || FCount == INT32_MAX)
      BadToken();
    if (!CurPage || CurPage->TokenCount >= kTokenPageCapacity) NewPage(aStartLine, aStartPos);
    TTokenRecord& rec = CurPage->Tokens[CurPage->TokenCount];
    rec.BufferStart = FLastStart = std::uint32_t(aBufferStart - FSource);
    rec.TokenType2 = std::uint16_t(aTokenType);
    rec.Len2 = std::uint32_t(aBufferEnd - aBufferStart);
    ++CurPage->TokenCount;
    ++FCount;
  }

  std::int32_t TokenCount() const { return FCount; }
  platform::UnicodeStringView Source() const { return {FSource, std::size_t(FSourceLength)}; }

  // By global index, 0 .. TokenCount() - 1; any other index raises
  // "Invalid token index".
  std::uint16_t GetTokenType(std::int32_t aIndex);
  PTokenRecord TokenPtr(std::int32_t aIndex);
  const char16_t* GetTokenBufferStart(std::int32_t aIndex);
  const char16_t* GetTokenBufferEnd(std::int32_t aIndex);
  std::int32_t GetTokenStartLine(std::int32_t aIndex);
  std::int32_t GetTokenStartPos(std::int32_t aIndex);
  std::int32_t GetTokenEndLine(std::int32_t aIndex);
  std::int32_t GetTokenEndPos(std::int32_t aIndex);
  nxString TokenStr(std::int32_t aIndex);
  // The source from the start of aFirst to the end of aLast, with whatever
  // lies between (skipped white space and comments); empty when aLast ends
  // before aFirst starts.
  nxString TokenStr(std::int32_t aFirst, std::int32_t aLast);
  // Decimal digits accumulated without sign or check, wrapping on overflow.
  std::int32_t TokenAsInt(std::int32_t aIndex);
  // Up to 9 characters through TokenAsInt, longer ones in 64 bits.
  std::int64_t TokenAsInt64(std::int32_t aIndex);
  // A token whose span covers (aLine, aPos), up to its end position; -1 when
  // none does.
  std::int32_t TokenIndexFromLineAndPos(std::int32_t aLine, std::int32_t aPos);

 private:
  TTokenPage* NewPage(std::int32_t aStartLine, std::int32_t aStartPos);
  [[noreturn]] static void BadToken();
  const TTokenRecord& Locate(std::int32_t aIndex);

  const char16_t* FSource;
  std::int32_t FSourceLength;
  TTokenPage* Root = nullptr;
  TTokenPage* CurPage = nullptr;
  TTokenPage* PrevPage = nullptr;
  std::int32_t FCount = 0;
  std::uint32_t FLastStart = 0;
  TTokenPage* LastPage = nullptr;  // page of the last lookup past the first page
  std::int32_t FirstInLastPage = 0;
  std::int32_t LastInLastPage = -1;
};

using TTokenListPtr = std::unique_ptr<TTokenList, TnxFreeObject>;

// Token-record routines. An absent record (nullptr) gives the empty string
// where a text is answered. A record that is not one of its page's used
// records is an internal error.
const TTokenPage* TokenRecPage(PTokenRecord aRec);
std::int32_t TokenRecLen(PTokenRecord aRec);  // 0 for an absent record
std::int32_t TokenRecStartLine(PTokenRecord aRec);
std::int32_t TokenRecStartPos(PTokenRecord aRec);
std::int32_t TokenRecEndLine(PTokenRecord aRec);
// One past the position behind the token's last character: start + length + 1
// on one line; for a token holding line feeds, measured on its last line.
std::int32_t TokenRecEndPos(PTokenRecord aRec);
const char16_t* TokenRecBufferStart(PTokenRecord aRec);
nxString TokenRecToStr(PTokenRecord aRec);
nxString TokenRecStr(PTokenRecord aRec);
// " at line %d, pos %d" with the start line and position.
nxString TokenRecToLocation(PTokenRecord aRec);
nxString TokenRecLocation(PTokenRecord aRec);
std::int32_t TokenRecAsInt(PTokenRecord aRec);
// Without one pair of enclosing ' or " quotes; doubled quotes inside stay.
nxString TokenRecToUnquoted(PTokenRecord aRec);
nxString TokenRecUnquoted(PTokenRecord aRec);
// Same record, same span, or same length and equal code units (case matters).
bool TokenRecSameText(PTokenRecord aRec1, PTokenRecord aRec2);

// Character cursor of a tokenizer over one text. Reading past the end
// answers 0 and never touches memory beyond the text.
class TBaseTokenizer : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Creates a new list in aTokens (the caller owns it whatever the answer)
  // and fills it from the aSize code units at aBuffer; False when the text
  // holds something that starts no token. Never writes to the text.
  virtual bool Tokenize(const char16_t* aBuffer, std::int32_t aSize, bool aIncludeComments,
                        bool aIncludeWhitespace, TTokenListPtr& aTokens) = 0;

  static constexpr std::int32_t kMaxMarks = 4;

 protected:
  bool AtEnd() const { return CurPtr >= EndPtr; }
  char16_t Cur() const { return CurPtr < EndPtr ? *CurPtr : u'\0'; }
  char16_t Peek(std::ptrdiff_t aOffset) const { return aOffset < EndPtr - CurPtr ? CurPtr[aOffset] : u'\0'; }
  void Advance() {
    if (*CurPtr == u'\n') {
      ++CurLine;
      CurPos = 1;
    } else {
      ++CurPos;
    }
    ++CurPtr;
  }
  // REQUIRES: aCount characters remain, none of them a line feed.
  void AdvanceInLine(std::int32_t aCount) {
    CurPtr += aCount;
    CurPos += aCount;
  }
  bool Accept(char16_t aChar) {
    if (CurPtr < EndPtr && *CurPtr == aChar) {
      Advance();
      return true;
    }
    return false;
  }
  bool AcceptNot(char16_t aChar) {
    if (CurPtr < EndPtr && *CurPtr != aChar) {
      Advance();
      return true;
    }
    return false;
  }
  void PushMark();
  // Drops the last mark; restores the cursor to it unless aKeep.
  void PopMark(bool aKeep);
  void Reset(const char16_t* aBuffer, std::int32_t aSize);

  const char16_t* StartPtr = nullptr;
  const char16_t* CurPtr = nullptr;
  const char16_t* EndPtr = nullptr;
  std::int32_t CurLine = 1;
  std::int32_t CurPos = 1;
  std::int32_t StartLine = 1;
  std::int32_t StartPos = 1;
  std::int32_t STP = 0;
  const char16_t* PtrStack[kMaxMarks + 1] = {};
  std::int32_t LineStack[kMaxMarks + 1] = {};
  std::int32_t PosStack[kMaxMarks + 1] = {};
};
