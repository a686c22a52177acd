#include "CocoaBaseW.h"

#include <algorithm>
#include <new>
#include <string>

#include "nxllException.h"
#include "nxllMemoryManager.h"
#include "plErrors.h"
#include "plFormat.h"

PL_CLASS_INFO_IMPL(TTokenList, TnxObject, "TTokenList", nullptr)
PL_CLASS_INFO_IMPL(TBaseTokenizer, TnxObject, "TBaseTokenizer", nullptr)

namespace {

constexpr std::uintptr_t kPageMask = ~std::uintptr_t(kTokenPageSize - 1);

[[noreturn]] void assertionFailed(const char* aWhat, int aLine) {
  throw platform::RuntimeError(std::string("Assertion failure: ") + aWhat + " (CocoaBaseW, line " +
                               std::to_string(aLine) + ")");
}
#define NX_COCOA_ASSERT(cond, text)               \
  do {                                            \
    if (!(cond)) assertionFailed(text, __LINE__); \
  } while (0)

[[noreturn]] void invalidTokenIndex() { throw EnxBaseException(u"Invalid token index"); }

TnxBlockPoolHandle pagePool() { return nxCommittedBlockPools(nxbs64k); }

std::int32_t countLineFeeds(const char16_t* aFrom, const char16_t* aTo) {
  return std::int32_t(std::count(aFrom, aTo, u'\n'));
}

std::uint32_t accumulateDigits32(const char16_t* aText, std::uint32_t aLen) {
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i < aLen; ++i) v = v * 10u + (std::uint32_t(aText[i]) - 48u);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- TTokenList

TTokenList::TTokenList(platform::UnicodeStringView aSource)
    : FSource(aSource.data()), FSourceLength(std::int32_t(aSource.size())) {
  NX_COCOA_ASSERT(aSource.size() <= std::size_t(INT32_MAX), "source text too long");
}

TTokenList::~TTokenList() {
  TTokenPage* page = Root;
  while (page) {
    TTokenPage* next = page->Next;
    void* block = page;
    nxBlockPoolCommittedDispose(pagePool(), block);
    page = next;
  }
}

TTokenPage* TTokenList::NewPage(std::int32_t aStartLine, std::int32_t aStartPos) {
  void* block = nxBlockPoolCommittedAlloc(pagePool());
  if ((reinterpret_cast<std::uintptr_t>(block) & ~kPageMask) != 0) {
    nxBlockPoolCommittedDispose(pagePool(), block);
    assertionFailed("token page not 64 KB aligned", __LINE__);
  }
  // Trivial type: the records stay as the pool left them until written.
  auto* page = new (block) TTokenPage;
  page->Source = FSource;
  page->Next = nullptr;
  page->SourceLength = FSourceLength;
  page->TokenCount = 0;
  page->StartLineFirst = aStartLine;
  page->StartPosFirst = aStartPos;
  PrevPage = CurPage;
  if (PrevPage) PrevPage->Next = page;
  if (!Root) Root = page;
  CurPage = page;
  return page;
}

void TTokenList::BadToken() { assertionFailed("token outside its source text or out of order", __LINE__); }

const TTokenRecord& TTokenList::Locate(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= FCount) invalidTokenIndex();
  if (aIndex < kTokenPageCapacity) return Root->Tokens[aIndex];
  if (LastPage && aIndex >= FirstInLastPage && aIndex <= LastInLastPage)
    return LastPage->Tokens[aIndex - FirstInLastPage];
  const std::int32_t n = aIndex / kTokenPageCapacity;
  TTokenPage* page;
  if (LastPage && aIndex > LastInLastPage && aIndex - kTokenPageCapacity <= LastInLastPage) {
    page = LastPage->Next;
  } else {
    page = Root;
    for (std::int32_t i = 0; i < n && page; ++i) page = page->Next;
  }
  if (!page) invalidTokenIndex();
  FirstInLastPage = n * kTokenPageCapacity;
  LastInLastPage = FirstInLastPage + kTokenPageCapacity - 1;
  LastPage = page;
  return page->Tokens[aIndex - FirstInLastPage];
}

std::uint16_t TTokenList::GetTokenType(std::int32_t aIndex) { return Locate(aIndex).TokenType2; }

PTokenRecord TTokenList::TokenPtr(std::int32_t aIndex) { return &Locate(aIndex); }

const char16_t* TTokenList::GetTokenBufferStart(std::int32_t aIndex) { return FSource + Locate(aIndex).BufferStart; }

const char16_t* TTokenList::GetTokenBufferEnd(std::int32_t aIndex) {
  const TTokenRecord& rec = Locate(aIndex);
  return FSource + rec.BufferStart + rec.Len2;
}

std::int32_t TTokenList::GetTokenStartLine(std::int32_t aIndex) { return TokenRecStartLine(&Locate(aIndex)); }
std::int32_t TTokenList::GetTokenStartPos(std::int32_t aIndex) { return TokenRecStartPos(&Locate(aIndex)); }
std::int32_t TTokenList::GetTokenEndLine(std::int32_t aIndex) { return TokenRecEndLine(&Locate(aIndex)); }
std::int32_t TTokenList::GetTokenEndPos(std::int32_t aIndex) { return TokenRecEndPos(&Locate(aIndex)); }

nxString TTokenList::TokenStr(std::int32_t aIndex) { return TokenRecToStr(&Locate(aIndex)); }

nxString TTokenList::TokenStr(std::int32_t aFirst, std::int32_t aLast) {
  const std::uint32_t start = Locate(aFirst).BufferStart;
  const TTokenRecord& last = Locate(aLast);
  const std::uint32_t end = last.BufferStart + last.Len2;
  if (end <= start) return {};
  return nxString(FSource + start, end - start);
}

std::int32_t TTokenList::TokenAsInt(std::int32_t aIndex) { return TokenRecAsInt(&Locate(aIndex)); }

std::int64_t TTokenList::TokenAsInt64(std::int32_t aIndex) {
  const TTokenRecord& rec = Locate(aIndex);
  if (rec.Len2 <= 9) return TokenRecAsInt(&rec);
  std::uint64_t v = 0;
  const char16_t* text = FSource + rec.BufferStart;
  for (std::uint32_t i = 0; i < rec.Len2; ++i) v = v * 10u + (std::uint64_t(text[i]) - 48u);
  return std::int64_t(v);
}

std::int32_t TTokenList::TokenIndexFromLineAndPos(std::int32_t aLine, std::int32_t aPos) {
  std::int32_t lo = 0;
  std::int32_t hi = FCount - 1;
  while (lo <= hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    PTokenRecord rec = &Locate(mid);
    const std::int32_t startLine = TokenRecStartLine(rec);
    if (aLine < startLine || (aLine == startLine && aPos < TokenRecStartPos(rec))) {
      hi = mid - 1;
      continue;
    }
    const std::int32_t endLine = TokenRecEndLine(rec);
    if (aLine < endLine || (aLine == endLine && aPos < TokenRecEndPos(rec))) return mid;
    lo = mid + 1;
  }
  return -1;
}

// ------------------------------------------------------- token-record routines

const TTokenPage* TokenRecPage(PTokenRecord aRec) {
  NX_COCOA_ASSERT(aRec != nullptr, "no token record");
  const auto address = reinterpret_cast<std::uintptr_t>(aRec);
  const auto* page = reinterpret_cast<const TTokenPage*>(address & kPageMask);
  const std::uintptr_t offset = address - (address & kPageMask);
  NX_COCOA_ASSERT(offset >= kTokenPageHeaderSize &&
                      (offset - kTokenPageHeaderSize) % sizeof(TTokenRecord) == 0 &&
                      (offset - kTokenPageHeaderSize) / sizeof(TTokenRecord) < std::uintptr_t(page->TokenCount),
                  "token record not in its page");
  return page;
}

std::int32_t TokenRecLen(PTokenRecord aRec) { return aRec ? std::int32_t(aRec->Len2) : 0; }

const char16_t* TokenRecBufferStart(PTokenRecord aRec) { return TokenRecPage(aRec)->Source + aRec->BufferStart; }

std::int32_t TokenRecStartLine(PTokenRecord aRec) {
  const TTokenPage* page = TokenRecPage(aRec);
  return page->StartLineFirst +
         countLineFeeds(page->Source + page->Tokens[0].BufferStart, page->Source + aRec->BufferStart);
}

std::int32_t TokenRecStartPos(PTokenRecord aRec) {
  const TTokenPage* page = TokenRecPage(aRec);
  const std::uint32_t first = page->Tokens[0].BufferStart;
  std::uint32_t p = aRec->BufferStart;
  if (aRec == &page->Tokens[0] || p <= first) return page->StartPosFirst;
  // Count back from the token's first character to a line feed, or through
  // the page's first character, whose position is known.
  std::int32_t count = 1;
  while (p > first) {
    --p;
    if (page->Source[p] == u'\n') return count;
    ++count;
  }
  return page->StartPosFirst + count - 1;
}

std::int32_t TokenRecEndLine(PTokenRecord aRec) {
  const TTokenPage* page = TokenRecPage(aRec);
  return page->StartLineFirst + countLineFeeds(page->Source + page->Tokens[0].BufferStart,
                                               page->Source + aRec->BufferStart + aRec->Len2);
}

std::int32_t TokenRecEndPos(PTokenRecord aRec) {
  const TTokenPage* page = TokenRecPage(aRec);
  const char16_t* begin = page->Source + aRec->BufferStart;
  const char16_t* end = begin + aRec->Len2;
  const char16_t* lastLineFeed = end;
  for (const char16_t* p = end; p != begin;)
    if (*--p == u'\n') {
      lastLineFeed = p;
      break;
    }
  if (lastLineFeed == end) return TokenRecStartPos(aRec) + std::int32_t(aRec->Len2) + 1;
  // Position behind the token on its last line, plus one as on one line.
  return std::int32_t(end - lastLineFeed - 1) + 2;
}

nxString TokenRecToStr(PTokenRecord aRec) {
  if (!aRec) return {};
  return nxString(TokenRecBufferStart(aRec), aRec->Len2);
}

nxString TokenRecStr(PTokenRecord aRec) { return TokenRecToStr(aRec); }

nxString TokenRecToLocation(PTokenRecord aRec) {
  if (!aRec) return {};
  return platform::format(u" at line %d, pos %d", {TokenRecStartLine(aRec), TokenRecStartPos(aRec)});
}

nxString TokenRecLocation(PTokenRecord aRec) { return TokenRecToLocation(aRec); }

std::int32_t TokenRecAsInt(PTokenRecord aRec) {
  return std::int32_t(accumulateDigits32(TokenRecBufferStart(aRec), aRec->Len2));
}

nxString TokenRecToUnquoted(PTokenRecord aRec) {
  if (!aRec) return {};
  const char16_t* text = TokenRecBufferStart(aRec);
  const std::uint32_t len = aRec->Len2;
  if (len >= 2 && text[0] == text[len - 1] && (text[0] == u'\'' || text[0] == u'"'))
    return nxString(text + 1, len - 2);
  return nxString(text, len);
}

nxString TokenRecUnquoted(PTokenRecord aRec) { return TokenRecToUnquoted(aRec); }

bool TokenRecSameText(PTokenRecord aRec1, PTokenRecord aRec2) {
  if (aRec1 == aRec2) return true;
  if (!aRec1 || !aRec2) return false;
  if (aRec1->Len2 != aRec2->Len2) return false;
  const char16_t* text1 = TokenRecBufferStart(aRec1);
  const char16_t* text2 = TokenRecBufferStart(aRec2);
  return text1 == text2 || std::equal(text1, text1 + aRec1->Len2, text2);
}

// ------------------------------------------------------------ TBaseTokenizer

void TBaseTokenizer::PushMark() {
  NX_COCOA_ASSERT(STP < kMaxMarks, "tokenizer mark stack full");
  PtrStack[STP] = CurPtr;
  LineStack[STP] = CurLine;
  PosStack[STP] = CurPos;
  ++STP;
}

void TBaseTokenizer::PopMark(bool aKeep) {
  NX_COCOA_ASSERT(STP > 0, "tokenizer mark stack empty");
  --STP;
  if (aKeep) return;
  CurPtr = PtrStack[STP];
  CurLine = LineStack[STP];
  CurPos = PosStack[STP];
}

void TBaseTokenizer::Reset(const char16_t* aBuffer, std::int32_t aSize) {
  StartPtr = CurPtr = aBuffer;
  EndPtr = aBuffer + aSize;
  StartLine = CurLine = 1;
  StartPos = CurPos = 1;
  STP = 0;
}
