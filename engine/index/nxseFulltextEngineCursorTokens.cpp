// Full-text cursor engines: token extractors and token filters.
#include <cerrno>
#include <cstring>

#include "nxllStreams.h"
#include "nxllWideString.h"
#include "nxsdServerBaseCursor.h"
#include "nxseFulltextEngineCursorInt.h"
#include "nxsrTimeoutHandling.h"
#include "plCodePage.h"
#include "plNormalize.h"
#include "plString.h"

using namespace nxFulltextCursor;

namespace {

template <class T>
constexpr TnxTokenExtractorCursorClassFuncs kExtractorFuncs{
    [](TnxFulltextIndexCursorEngine* aIndex, TnxTokenExtractorHubCursorEngine* aParent,
       TnxBaseTokenExtractorTableEngine* aTableEngine) -> TnxBaseTokenExtractorCursorEngine* {
      return platform::create<T>(aIndex, aParent, aTableEngine);
    }};
template <class T>
constexpr TnxTokenFilterCursorClassFuncs kFilterFuncs{
    [](TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
       TnxBaseTokenSourceCursorEngine* aSource,
       TnxBaseTokenFilterTableEngine* aTableEngine) -> TnxBaseTokenFilterCursorEngine* {
      return platform::create<T>(aIndex, aParent, aSource, aTableEngine);
    }};

}  // namespace

PL_CLASS_INFO_IMPL(TnxBaseTokenSourceCursorEngine, TnxBaseRegisterableEngine, "TnxBaseTokenSourceCursorEngine",
                   nullptr)
PL_CLASS_INFO_IMPL(TnxTokenExtractorSourceRedirectorCursorEngine, TnxBaseTokenSourceCursorEngine,
                   "TnxTokenExtractorSourceRedirectorCursorEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseTokenExtractorCursorEngine, TnxBaseTokenSourceCursorEngine,
                   "TnxBaseTokenExtractorCursorEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxTokenExtractorHubCursorEngine, TnxBaseTokenExtractorCursorEngine,
                         "TnxTokenExtractorHubCursorEngine", nullptr,
                         platform::bindClassTable(kExtractorFuncs<TnxTokenExtractorHubCursorEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldTokenExtractorCursorEngine, TnxBaseTokenExtractorCursorEngine,
                         "TnxFieldTokenExtractorCursorEngine", nullptr,
                         platform::bindClassTable(kExtractorFuncs<TnxFieldTokenExtractorCursorEngine>))
PL_CLASS_INFO_IMPL(TnxBaseTokenFilterCursorEngine, TnxBaseTokenSourceCursorEngine, "TnxBaseTokenFilterCursorEngine",
                   nullptr)
PL_CLASS_INFO_IMPL(TnxBaseSeparatorTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine,
                   "TnxBaseSeparatorTokenFilterCursorEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxTransformerTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine,
                   "TnxTransformerTokenFilterCursorEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseLocaleMappingTokenFilterCursorEngine, TnxTransformerTokenFilterCursorEngine,
                   "TnxBaseLocaleMappingTokenFilterCursorEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFoldStringTokenFilterCursorEngine, TnxTransformerTokenFilterCursorEngine,
                   "TnxBaseFoldStringTokenFilterCursorEngine", nullptr)
#define NX_FILTER_CLASS(Cls, Base) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Base, #Cls, nullptr, platform::bindClassTable(kFilterFuncs<Cls>))
NX_FILTER_CLASS(TnxTokenFilterHubCursorEngine, TnxBaseTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxWideCharSeparatorTokenFilterCursorEngine, TnxBaseSeparatorTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxCategorySeparatorTokenFilterCursorEngine, TnxBaseSeparatorTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxLowercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxUppercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxCustomLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxPreComposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxDecomposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxCustomFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine)
NX_FILTER_CLASS(TnxStringReplaceTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine)
#undef NX_FILTER_CLASS

// ===========================================================================
// Extractors

TnxBaseTokenExtractorCursorEngine::TnxBaseTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                                     TnxTokenExtractorHubCursorEngine* aParent,
                                                                     TnxBaseTokenExtractorTableEngine* aTableEngine)
    : TnxBaseTokenSourceCursorEngine(aIndex), bteceParent(aParent), bteceTokenExtractorTableEngine(aTableEngine) {}

TnxBaseTokenExtractorCursorEngine::~TnxBaseTokenExtractorCursorEngine() {
  nxFreeAndNil(bteceTokenFilterHub);
  nxFreeAndNil(bteceTokenFilterHubSource);
}

TnxClassList& TnxBaseTokenExtractorCursorEngine::GetList() { return ExtractorClasses(); }

TnxBaseTokenExtractorCursorEngine* TnxBaseTokenExtractorCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenExtractorHubCursorEngine* aParent,
    TnxBaseTokenExtractorTableEngine* aTableEngine) {
  return EngineFuncs<EnxBaseTokenExtractorCursorEngineException, TnxTokenExtractorCursorClassFuncs>(
             ExtractorClasses(), aTableEngine->classInfo(), u"TokenExtractor")
      .create(aIndex, aParent, aTableEngine);
}

void TnxBaseTokenExtractorCursorEngine::CreateOwnFilterHub() {
  if (!bteceTokenExtractorTableEngine->bteteTokenFilterHub) return;
  bteceTokenFilterHubSource =
      platform::create<TnxTokenExtractorSourceRedirectorCursorEngine>(btsceParentFulltextIndexCursorEngine, this);
  bteceTokenFilterHub = TnxTokenFilterHubCursorEngine::CreateHub(
      btsceParentFulltextIndexCursorEngine, bteceTokenFilterHubSource,
      bteceTokenExtractorTableEngine->bteteTokenFilterHub);
}

void TnxBaseTokenExtractorCursorEngine::Reset() {
  if (bteceTokenFilterHub)
    bteceTokenFilterHub->Reset();
  else
    ResetInternal();
}

TnxTokenPtr TnxBaseTokenExtractorCursorEngine::NextToken() {
  return bteceTokenFilterHub ? bteceTokenFilterHub->NextToken() : NextTokenInternal();
}

TnxTokenExtractorHubCursorEngine::TnxTokenExtractorHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                                   TnxTokenExtractorHubCursorEngine* aParent,
                                                                   TnxBaseTokenExtractorTableEngine* aTableEngine)
    : TnxBaseTokenExtractorCursorEngine(aIndex, aParent, aTableEngine),
      tehceTokenExtractorHubTableEngine(CastOrRaise<TnxTokenExtractorHubTableEngine>(aTableEngine)) {
  CreateOwnFilterHub();
  try {
    CreateChildEngines();
  } catch (...) {
    FreeAll(tehceTokenExtractors);
    throw;
  }
}

TnxTokenExtractorHubCursorEngine::~TnxTokenExtractorHubCursorEngine() { FreeAll(tehceTokenExtractors); }

void TnxTokenExtractorHubCursorEngine::CreateChildEngines() {
  for (TnxBaseTokenExtractorTableEngine* child : tehceTokenExtractorHubTableEngine->tehteTokenExtractors) {
    tehceTokenExtractors.push_back(nullptr);
    tehceTokenExtractors.back() =
        TnxBaseTokenExtractorCursorEngine::CreateFor(btsceParentFulltextIndexCursorEngine, this, child);
  }
}

TnxBaseTokenExtractorCursorEngine* TnxTokenExtractorHubCursorEngine::tehceGetTokenExtractor(
    std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenExtractorHubCursorEngine*>(this);
  return tehceTokenExtractors.at(static_cast<std::size_t>(aIndex));
}

void TnxTokenExtractorHubCursorEngine::Initialize(PnxRecordBuffer aRecord, const TnxRecID& aRecID, bool aReadOrg) {
  for (TnxBaseTokenExtractorCursorEngine* child : tehceTokenExtractors) child->Initialize(aRecord, aRecID, aReadOrg);
}

void TnxTokenExtractorHubCursorEngine::ResetInternal() {
  for (TnxBaseTokenExtractorCursorEngine* child : tehceTokenExtractors) child->Reset();
  tehceCurrentExtractor = 0;
}

TnxTokenPtr TnxTokenExtractorHubCursorEngine::NextTokenInternal() {
  while (tehceCurrentExtractor < TokenExtractorCount()) {
    TnxTokenPtr token = tehceTokenExtractors[static_cast<std::size_t>(tehceCurrentExtractor)]->NextToken();
    if (!token) {
      ++tehceCurrentExtractor;
      continue;
    }
    if (token->GetField() == tehceCurrentExtractor) return token;
    return TnxToken::Make(token->GetToken(), token->GetDistance(), static_cast<std::int16_t>(tehceCurrentExtractor));
  }
  return {};
}

// ---- field extractor

TnxFieldTokenExtractorCursorEngine::TnxFieldTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                                       TnxTokenExtractorHubCursorEngine* aParent,
                                                                       TnxBaseTokenExtractorTableEngine* aTableEngine)
    : TnxBaseTokenExtractorCursorEngine(aIndex, aParent, aTableEngine),
      fteceFieldTokenExtractorTableEngine(CastOrRaise<TnxFieldTokenExtractorTableEngine>(aTableEngine)),
      fteceFieldsDescriptor(nullptr),
      fteceField(fteceFieldTokenExtractorTableEngine->fteteFieldTokenExtractorDescriptor->Field()) {
  if (fteceField) {
    fteceFieldsDescriptor = static_cast<TnxFieldsDescriptor*>(
        fteceFieldTokenExtractorTableEngine->fteteFieldTokenExtractorDescriptor->GetRelatedDescriptorOfType(
            TnxFieldsDescriptor::staticClassInfo()));
    if (TnxLocaleDescriptor* locale = fteceField->UsedLocaleDescriptor()) fteceCodepage = locale->StorageCodepage();
    switch (fteceField->fdType) {
      case nxtBlobMemo:
        fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::BlobMemoToToken;
        break;
      case nxtBlobWideMemo:
        fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::BlobWideMemoToToken;
        break;
      case nxtShortString:
        fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::ShortStringToToken;
        break;
      case nxtNullString:
        fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::NullStringToToken;
        break;
      case nxtWideString:
        fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::WideStringToToken;
        break;
      default:
        break;
    }
  }
  CreateOwnFilterHub();
}

void TnxFieldTokenExtractorCursorEngine::Initialize(PnxRecordBuffer aRecord, const TnxRecID& aRecID, bool aReadOrg) {
  fteceRecord = aRecord;
  fteceRecID = aRecID;
  fteceReadOrg = aReadOrg;
}

TnxTokenPtr TnxFieldTokenExtractorCursorEngine::NextTokenInternal() {
  if (fteceUsed || !fteceFieldToToken || !fteceRecord) return {};
  fteceUsed = true;
  if (fteceFieldsDescriptor->IsRecordFieldNull(fteceField->fdNumber, fteceRecord)) return {};
  TnxWideString text;
  if (!(this->*fteceFieldToToken)(text) || text.empty()) return {};
  return TnxToken::Make(std::move(text), fteceDistance, fteceFieldNumber);
}

TnxWideString TnxFieldTokenExtractorCursorEngine::Widen(const std::uint8_t* aBytes, std::size_t aCount,
                                                        const char* aAction) const {
  TnxWideString text;
  if (aCount == 0) return text;
  if (fteceCodepage == 0) {
    text.assign(aBytes, aBytes + aCount);
    return text;
  }
  if (!aAction) return nxBytesToWideString(aBytes, aCount, fteceCodepage);
  const std::string_view bytes(reinterpret_cast<const char*>(aBytes), aCount);
  try {
    const std::size_t n = platform::multiByteToWide(fteceCodepage, bytes, nullptr, 0);
    text.resize(n);
    const std::size_t written = platform::multiByteToWide(fteceCodepage, bytes, text.data(), n);
    text.resize(written);
  } catch (const platform::OsError& e) {
    errno = e.code();
    throw nxCreateOSErrorException<EnxBaseTokenExtractorCursorEngineException>(nxErrOsUnknown, {},
                                                                               platform::fromUtf8(aAction));
  }
  return text;
}

bool TnxFieldTokenExtractorCursorEngine::ShortStringToToken(TnxWideString& aText) {
  const std::uint8_t* field = fteceRecord + fteceField->fdOffset;
  // The length byte never reaches past the field.
  const std::size_t length = std::min<std::size_t>(field[0], static_cast<std::size_t>(fteceField->fdLength - 1));
  aText = Widen(field + 1, length, "TnxFieldTokenExtractorCursorEngine.fteceShortStringConvert/MultiByteToWideChar");
  return true;
}

bool TnxFieldTokenExtractorCursorEngine::NullStringToToken(TnxWideString& aText) {
  const std::uint8_t* field = fteceRecord + fteceField->fdOffset;
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(field, 0, static_cast<std::size_t>(fteceField->fdLength)));
  const std::size_t length = end ? static_cast<std::size_t>(end - field) : static_cast<std::size_t>(fteceField->fdLength);
  aText = Widen(field, length, "TnxFieldTokenExtractorCursorEngine.fteceNullStringConvert/MultiByteToWideChar");
  return true;
}

bool TnxFieldTokenExtractorCursorEngine::WideStringToToken(TnxWideString& aText) {
  const std::uint8_t* field = fteceRecord + fteceField->fdOffset;
  const std::size_t units = static_cast<std::size_t>(fteceField->fdLength) / 2;
  aText.clear();
  for (std::size_t i = 0; i < units; ++i) {
    char16_t c;
    std::memcpy(&c, field + 2 * i, 2);
    if (c == 0) break;
    aText.push_back(c);
  }
  return true;
}

bool TnxFieldTokenExtractorCursorEngine::ReadBlob(std::vector<std::uint8_t>& aBytes) {
  TnxBlobNr blobNr;
  std::memcpy(&blobNr, fteceRecord + fteceField->fdOffset, sizeof blobNr);
  if (blobNr == 0) return false;
  TnxAbstractCursor* cursor = btsceParentFulltextIndexCursorEngine->ficeParentFulltextCursorEngine->ftceFulltextCursor;
  auto* server = CastOrRaise<TnxServerBaseCursor>(cursor);
  if (!server) return false;
  struct Nesting {
    Nesting() { nxEnterTimeoutNesting(); }
    ~Nesting() { nxLeaveTimeoutNesting(); }
  } nesting;
  std::uint32_t length = 0;
  if (server->sbcBlobGetLength(fteceRecID, fteceField->fdNumber, blobNr, length, fteceReadOrg, nullptr) != 0 ||
      length == 0)
    return false;
  TnxMemoryStream stream;
  if (server->sbcBlobRead(fteceRecID, fteceField->fdNumber, blobNr, 0, length, stream, fteceReadOrg, nullptr) != 0)
    return false;
  const auto* data = static_cast<const std::uint8_t*>(stream.Memory());
  aBytes.assign(data, data + stream.Size());
  return true;
}

bool TnxFieldTokenExtractorCursorEngine::BlobMemoToToken(TnxWideString& aText) {
  std::vector<std::uint8_t> bytes;
  if (!ReadBlob(bytes)) return false;
  aText = Widen(bytes.data(), bytes.size(), nullptr);
  return true;
}

bool TnxFieldTokenExtractorCursorEngine::BlobWideMemoToToken(TnxWideString& aText) {
  std::vector<std::uint8_t> bytes;
  if (!ReadBlob(bytes)) return false;
  aText.resize(bytes.size() / 2);
  if (!aText.empty()) std::memcpy(aText.data(), bytes.data(), aText.size() * 2);
  return true;
}

// ===========================================================================
// Filters

TnxBaseTokenFilterCursorEngine::TnxBaseTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                               TnxTokenFilterHubCursorEngine* aParent,
                                                               TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                               TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseTokenSourceCursorEngine(aIndex),
      btfceParent(aParent),
      btfceTokenFilterTableEngine(aTableEngine),
      btfceTokenSource(aTokenSource) {}

TnxClassList& TnxBaseTokenFilterCursorEngine::GetList() { return FilterClasses(); }

TnxBaseTokenFilterCursorEngine* TnxBaseTokenFilterCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
    TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine) {
  return EngineFuncs<EnxBaseTokenFilterCursorEngineException, TnxTokenFilterCursorClassFuncs>(
             FilterClasses(), aTableEngine->classInfo(), u"TokenFilter")
      .create(aIndex, aParent, aTokenSource, aTableEngine);
}

void TnxBaseTokenFilterCursorEngine::Reset() {
  if (btfceTokenSource) btfceTokenSource->Reset();
}

TnxTokenFilterHubCursorEngine::TnxTokenFilterHubCursorEngine(TnxFulltextIndexCursorEngine* aIndex,
                                                             TnxTokenFilterHubCursorEngine* aParent,
                                                             TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                             TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseTokenFilterCursorEngine(aIndex, aParent, aTokenSource, aTableEngine),
      tfhceTokenFilterHubTableEngine(CastOrRaise<TnxTokenFilterHubTableEngine>(aTableEngine)),
      tfhceTokenSource(aTokenSource) {
  try {
    CreateChildEngines();
  } catch (...) {
    FreeAll(tfhceTokenFilters);
    throw;
  }
}

TnxTokenFilterHubCursorEngine::~TnxTokenFilterHubCursorEngine() { FreeAll(tfhceTokenFilters); }

TnxTokenFilterHubCursorEngine* TnxTokenFilterHubCursorEngine::CreateHub(TnxFulltextIndexCursorEngine* aIndex,
                                                                        TnxBaseTokenSourceCursorEngine* aTokenSource,
                                                                        TnxTokenFilterHubTableEngine* aTableEngine) {
  Holder<TnxBaseTokenFilterCursorEngine> engine{
      TnxBaseTokenFilterCursorEngine::CreateFor(aIndex, nullptr, aTokenSource, aTableEngine)};
  auto* hub = CastOrRaise<TnxTokenFilterHubCursorEngine>(engine.h);
  engine.release();
  return hub;
}

void TnxTokenFilterHubCursorEngine::CreateChildEngines() {
  for (TnxBaseTokenFilterTableEngine* child : tfhceTokenFilterHubTableEngine->tfhteTokenFilters) {
    tfhceTokenFilters.push_back(nullptr);
    tfhceTokenFilters.back() =
        TnxBaseTokenFilterCursorEngine::CreateFor(btsceParentFulltextIndexCursorEngine, this, tfhceTokenSource, child);
    tfhceTokenSource = tfhceTokenFilters.back();
  }
}

TnxBaseTokenSourceCursorEngine* TnxTokenFilterHubCursorEngine::tfhceGetTokenFilter(std::int32_t aIndex) const {
  if (aIndex == -1) return const_cast<TnxTokenFilterHubCursorEngine*>(this);
  return tfhceTokenFilters.at(static_cast<std::size_t>(aIndex));
}

// ---- separators

TnxBaseSeparatorTokenFilterCursorEngine::TnxBaseSeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
    TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseTokenFilterCursorEngine(aIndex, aParent, aTokenSource, aTableEngine),
      bstfceSeparatorDistance(CastOrRaise<TnxBaseSeparatorTokenFilterDescriptor>(
                                  aTableEngine->btfteTokenFilterDescriptor)
                                  ->SeparatorDistance()) {}

void TnxBaseSeparatorTokenFilterCursorEngine::Reset() {
  bstfceInputToken.reset();
  bstfceInputPos = 0;
  TnxBaseTokenFilterCursorEngine::Reset();
}

TnxTokenPtr TnxBaseSeparatorTokenFilterCursorEngine::NextToken() {
  TnxTokenPtr result;
  while (!result) {
    if (!bstfceInputToken) {
      bstfceInputToken = btfceTokenSource->NextToken();
      if (!bstfceInputToken) return {};
      bstfceInputPos = 0;
      bstfceNextDistance = bstfceInputToken->GetDistance();
    }
    const TnxWideString& text = bstfceInputToken->GetToken();
    std::size_t pos = bstfceInputPos;
    const std::size_t start = pos;
    while (pos < text.size() && IsSeparator(text[pos])) ++pos;
    if (pos > start) bstfceNextDistance = std::max(bstfceNextDistance, bstfceSeparatorDistance);
    const std::size_t wordStart = pos;
    while (pos < text.size() && !IsSeparator(text[pos])) ++pos;
    bstfceInputPos = pos;
    const bool consumed = pos >= text.size();
    if (wordStart == 0 && consumed) {
      // No separator at all: the input passes unchanged.
      result = std::move(bstfceInputToken);
      bstfceInputToken.reset();
      break;
    }
    if (pos > wordStart)
      result = TnxToken::Make(TnxWideString(text.begin() + static_cast<std::ptrdiff_t>(wordStart),
                                            text.begin() + static_cast<std::ptrdiff_t>(pos)),
                              bstfceNextDistance, bstfceInputToken->GetField());
    if (consumed)
      bstfceInputToken.reset();
    else
      bstfceNextDistance = 1;
  }
  return result;
}

TnxWideCharSeparatorTokenFilterCursorEngine::TnxWideCharSeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
    TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseSeparatorTokenFilterCursorEngine(aIndex, aParent, aTokenSource, aTableEngine),
      wcstfceSeparatorChar(
          CastOrRaise<TnxWideCharSeparatorTokenFilterDescriptor>(aTableEngine->btfteTokenFilterDescriptor)
              ->SeparatorChar()) {}

TnxCategorySeparatorTokenFilterCursorEngine::TnxCategorySeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
    TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseSeparatorTokenFilterCursorEngine(aIndex, aParent, aTokenSource, aTableEngine),
      cstfceSeparatorCategories(
          CastOrRaise<TnxCategorySeparatorTokenFilterDescriptor>(aTableEngine->btfteTokenFilterDescriptor)
              ->SeparatorCategories()) {}

// ---- transformers

TnxTokenPtr TnxTransformerTokenFilterCursorEngine::NextToken() {
  TnxTokenPtr token = btfceTokenSource->NextToken();
  if (!token || !ttfceTransformer) return token;
  TnxWideString text;
  ttfceTransformer->Transform(token->GetToken(), text);
  return TnxToken::Make(std::move(text), token->GetDistance(), token->GetField());
}

namespace {
std::uint32_t filterLocale(TnxBaseTokenFilterTableEngine* aTableEngine) {
  TnxLocaleDescriptor* locale = aTableEngine->btfteTokenFilterDescriptor->UsedLocaleDescriptor();
  return locale ? locale->Locale() : 0;
}
std::uint32_t mappingFlags(TnxBaseTokenFilterTableEngine* aTableEngine) {
  return CastOrRaise<TnxBaseLocaleMappingTokenFilterDescriptor>(aTableEngine->btfteTokenFilterDescriptor)->Flags();
}
std::uint32_t foldFlags(TnxBaseTokenFilterTableEngine* aTableEngine) {
  return CastOrRaise<TnxBaseFoldStringTokenFilterDescriptor>(aTableEngine->btfteTokenFilterDescriptor)->Flags();
}
}  // namespace

#define NX_TRANSFORMER_FILTER(Cls, Base, Make)                                                                \
  Cls::Cls(TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,                      \
           TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine)         \
      : Base(aIndex, aParent, aTokenSource, aTableEngine) {                                                   \
    ttfceTransformer = Make;                                                                                  \
  }
NX_TRANSFORMER_FILTER(TnxLowercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringLocaleMappingTransformer>(filterLocale(aTableEngine),
                                                                                         nxLCMAP_LOWERCASE))
NX_TRANSFORMER_FILTER(TnxUppercaseLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringLocaleMappingTransformer>(filterLocale(aTableEngine),
                                                                                         nxLCMAP_UPPERCASE))
NX_TRANSFORMER_FILTER(TnxCustomLocaleMappingTokenFilterCursorEngine, TnxBaseLocaleMappingTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringLocaleMappingTransformer>(filterLocale(aTableEngine),
                                                                                         mappingFlags(aTableEngine)))
NX_TRANSFORMER_FILTER(TnxPreComposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringFoldStringTransformer>(nxMAP_PRECOMPOSED))
NX_TRANSFORMER_FILTER(TnxDecomposeFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringFoldStringTransformer>(nxMAP_COMPOSITE))
NX_TRANSFORMER_FILTER(TnxCustomFoldStringTokenFilterCursorEngine, TnxBaseFoldStringTokenFilterCursorEngine,
                      nxNewWideStringTransformer<TnxWideStringFoldStringTransformer>(foldFlags(aTableEngine)))
#undef NX_TRANSFORMER_FILTER

// ---- string replace

TnxStringReplaceTokenFilterCursorEngine::TnxStringReplaceTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aIndex, TnxTokenFilterHubCursorEngine* aParent,
    TnxBaseTokenSourceCursorEngine* aTokenSource, TnxBaseTokenFilterTableEngine* aTableEngine)
    : TnxBaseTokenFilterCursorEngine(aIndex, aParent, aTokenSource, aTableEngine),
      srtfceItems(CastOrRaise<TnxStringReplaceTokenFilterDescriptor>(aTableEngine->btfteTokenFilterDescriptor)
                      ->Items()) {}

namespace {

// The platform's locale-aware upper case; it keeps lengths, so positions
// found in it are positions in the original.
nxString upper(const nxString& aText) {
  return nxWideLCMapString(aText, platform::LOCALE_USER_DEFAULT, platform::LCMAP_UPPERCASE);
}

// Replaces aOld by aNew in aText: the first occurrence, or all of them.
nxString replaceText(const nxString& aText, const nxString& aOld, const nxString& aNew, bool aAll, bool aIgnoreCase) {
  if (aOld.empty()) return aText;
  const nxString search = aIgnoreCase ? upper(aText) : aText;
  const nxString pattern = aIgnoreCase ? upper(aOld) : aOld;
  nxString result;
  std::size_t from = 0;
  while (from <= search.size()) {
    const std::size_t at = search.find(pattern, from);
    if (at == nxString::npos) break;
    result.append(aText, from, at - from);
    result.append(aNew);
    from = at + pattern.size();
    if (!aAll) break;
  }
  result.append(aText, std::min(from, aText.size()), nxString::npos);
  return result;
}

}  // namespace

TnxTokenPtr TnxStringReplaceTokenFilterCursorEngine::NextToken() {
  TnxTokenPtr token = btfceTokenSource->NextToken();
  if (!token || srtfceItems.empty()) return token;
  const TnxWideString& text = token->GetToken();
  const nxString original(text.begin(), text.end());
  nxString s = original;
  for (const TnxStringReplaceTokenFilterItem& item : srtfceItems) {
    switch (item.srtfiReplaceKind) {
      case srkOne:
      case srkAll:
        s = replaceText(s, item.srtfiOldPattern, item.srtfiNewPattern, item.srtfiReplaceKind == srkAll,
                        item.srtfiIgnoreCase);
        break;
      case srkWhole:
        if (item.srtfiIgnoreCase ? platform::sameTextAscii(s, item.srtfiOldPattern) : s == item.srtfiOldPattern)
          s = item.srtfiNewPattern;
        break;
    }
  }
  if (s == original) return token;
  return TnxToken::Make(TnxWideString(s.begin(), s.end()), token->GetDistance(), token->GetField());
}
