#include "nxsrFieldMapperBlobs.h"

#include <cstring>

#include "nxllBde.h"
#include "nxllWideString.h"
#include "nxsdFieldMapperInt.h"
#include "nxsdFieldMapperStrings.h"

using namespace nxfm;

namespace {

bool isBlobOrString(TnxFieldType t) {
  switch (t) {
    case nxtBlob:
    case nxtBlobMemo:
    case nxtBlobGraphic:
    case nxtBlobWideMemo:
    case nxtShortString:
    case nxtNullString:
    case nxtWideString: return true;
    default: return false;
  }
}

// The per-class factory: every class is made here and set up by its own
// Create.
template <class Cls>
TnxBaseFieldMapper* createBlobMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                     TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                     const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (!isBlobOrString(aSourceField.fdType) || !isBlobOrString(aTargetField.fdType)) return nullptr;
  TnxServerBaseCursor* source = nxAsServerCursor(aSourceCursor);
  TnxServerBaseCursor* target = nxAsServerCursor(aTargetCursor);
  if (!source || !target) return nullptr;
  TnxOwned<Cls> self(platform::create<Cls>());
  self->Create(aSourceField, source, aTargetField, target, aMapperDesc, aMapper);
  if (!aMapper.Assigned()) return nullptr;
  return self.release();
}

template <class Cls>
inline constexpr TnxFieldMapperClassFuncs kBlobMapperFuncs{&createBlobMapper<Cls>};

}  // namespace

#define NX_BLOB_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(kBlobMapperFuncs<Cls>))

NX_BLOB_MAPPER_CLASS(TnxBlobMapper, TnxBaseFieldMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobMemoToBlobMemoMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobMemoToBlobWideMemoMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobWideMemoToBlobMemoMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxNullStringToBlobMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxShortStringToBlobMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxWideStringToBlobMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobToNullStringMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobToShortStringMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobToWideStringMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobWideMemoToAnsiStringMapper, TnxBlobMapper)
NX_BLOB_MAPPER_CLASS(TnxBlobWideMemoToWideStringMapper, TnxBlobMapper)

TnxBaseFieldMapper* TnxBlobMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField,
                                                        TnxAbstractCursor* aSourceCursor,
                                                        TnxFieldDescriptor& aTargetField,
                                                        TnxAbstractCursor* aTargetCursor,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  return createBlobMapper<TnxBlobMapper>(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc,
                                         aMapper);
}

// ===========================================================================
// Shared steps

namespace {

// Largest text handed to an inner string routine: every target holds fewer
// characters than a quarter of this many bytes, so a cut here never changes
// a result (truncation or 10002).
std::uint32_t textLimit(const TnxFieldDescriptor& aTarget) {
  return 4u * (static_cast<std::uint32_t>(std::max(aTarget.fdLength, 0)) + 2u);
}

// Lengths the inner routines are set up with: the most a text can take.
constexpr std::int32_t kUnbounded = 0x7FFFFFF0;
constexpr std::int32_t kShortText = 256;

inline const TnxBlobMapper* blobMapper(const void* d) { return static_cast<const TnxBlobMapper*>(d); }
inline TnxBlobNr loadBlobNr(const void* s) { return load<TnxBlobNr>(s); }
inline void storeBlobNr(void* t, TnxBlobNr aValue) { store(t, aValue); }

}  // namespace

TnxResult TnxBlobMapper::ReadSource(TnxBlobNr aBlobNr, std::uint32_t aLimit, std::string& aBytes) const {
  std::uint32_t length = 0;
  TnxResult result = bmSourceCursor->sbcBlobGetLength(nxNullRecID, bmSourceField->fdNumber, aBlobNr, length, false,
                                                      nullptr);
  if (result != 0) return result;
  if (length == 0) return bmNullError;
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  result = bmSourceCursor->sbcBlobRead(nxNullRecID, bmSourceField->fdNumber, aBlobNr, 0, std::min(length, aLimit),
                                       *stream, false, nullptr);
  if (result != 0) return result;
  aBytes.assign(static_cast<const char*>(stream->Memory()), static_cast<std::size_t>(stream->Size()));
  return 0;
}

TnxResult TnxBlobMapper::WriteTarget(std::string_view aBytes, void* aTarget) const {
  storeBlobNr(aTarget, 0);
  if (aBytes.empty()) return bmNullError;
  TnxBlobNr blobNr = 0;
  TnxResult result = bmTargetCursor->sbcBlobCreate(nxNullRecID, bmTargetField->fdNumber, blobNr);
  if (result != 0) return result;
  result = bmTargetCursor->sbcBlobWrite(nxNullRecID, bmTargetField->fdNumber, blobNr, 0,
                                        static_cast<std::uint32_t>(aBytes.size()), aBytes.data());
  if (result != 0) {
    // Never leave a BLOB without a record behind.
    bmTargetCursor->sbcBlobDelete(nxNullRecID, bmTargetField->fdNumber, blobNr);
    return result;
  }
  storeBlobNr(aTarget, blobNr);
  return 0;
}

namespace {

// 1. Plain copy inside the engine.
TnxResult plainCopy(const void* d, const void* s, void* t) {
  const TnxBlobMapper* m = blobMapper(d);
  const TnxBlobNr source = loadBlobNr(s);
  storeBlobNr(t, 0);
  if (source == 0) return m->bmNullError;
  TnxBlobNr copy = 0;
  const TnxResult result = m->bmTargetCursor->sbcBlobCopyPrim(m->bmSourceCursor, m->bmSourceField->fdNumber, source,
                                                              m->bmTargetField->fdNumber, copy, -1);
  if (result == 0) storeBlobNr(t, copy);
  return result;
}

// Reads the source BLOB as bytes; a routine body runs on them.
template <class Body>
TnxResult withSource(const void* d, const void* s, void* t, std::uint32_t aLimit, Body&& aBody) {
  const TnxBlobMapper* m = blobMapper(d);
  const TnxBlobNr source = loadBlobNr(s);
  if (source == 0) {
    storeBlobNr(t, 0);
    return m->bmNullError;
  }
  std::string bytes;
  const TnxResult result = m->ReadSource(source, aLimit, bytes);
  if (result != 0) {
    storeBlobNr(t, 0);
    return result;
  }
  return aBody(bytes);
}

std::string_view bytesOf(const std::vector<std::uint8_t>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}
std::string_view bytesOf(const TnxWideString& w) {
  return {reinterpret_cast<const char*>(w.data()), w.size() * 2};
}
std::string_view bytesOf(std::u16string_view w) { return {reinterpret_cast<const char*>(w.data()), w.size() * 2}; }

// 2. Memo into Memo in another code page.
TnxResult memoToMemo(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobMemoToBlobMemoMapper*>(d);
  return withSource(d, s, t, 0xFFFFFFFFu, [&](const std::string& aBytes) {
    const TnxWideString wide = nxStringToWideString(aBytes, m->mtmSourceCodepage);
    return m->WriteTarget(bytesOf(nxWideStringToBytes(wide, m->mtmTargetCodepage)), t);
  });
}

// 3. Memo into WideMemo.
TnxResult memoToWideMemo(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobMemoToBlobWideMemoMapper*>(d);
  return withSource(d, s, t, 0xFFFFFFFFu, [&](const std::string& aBytes) {
    return m->WriteTarget(bytesOf(nxStringToWideString(aBytes, m->mtwSourceCodepage)), t);
  });
}

// 4. WideMemo into Memo.
TnxResult wideMemoToMemo(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobWideMemoToBlobMemoMapper*>(d);
  return withSource(d, s, t, 0xFFFFFFFFu, [&](const std::string& aBytes) {
    std::u16string units(aBytes.size() / 2, u'\0');
    std::memcpy(units.data(), aBytes.data(), units.size() * 2);
    return m->WriteTarget(bytesOf(nxWideStringBufferToBytes(units.data(), units.size(), m->wtmTargetCodepage)), t);
  });
}

// 5. Strings into BLOBs.
template <class Cls, TnxFieldType Source, TnxFieldType Target>
TnxResult stringToBlob(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const Cls*>(d);
  const std::int32_t length = m->bmSourceField->fdLength;
  std::uint16_t sourceCp = 0, targetCp = 0;
  if constexpr (std::is_same_v<Cls, TnxNullStringToBlobMapper>) {
    sourceCp = m->ntbSourceCodepage;
    targetCp = m->ntbTargetCodepage;
  } else if constexpr (std::is_same_v<Cls, TnxShortStringToBlobMapper>) {
    sourceCp = m->stbSourceCodepage;
    targetCp = m->stbTargetCodepage;
  } else {
    sourceCp = m->wtbSourceCodepage;
    targetCp = m->wtbTargetCodepage;
  }
  if constexpr (Source == nxtWideString) {
    const std::u16string_view text = readWide(s, length, wideScratch());
    if (text.empty()) {
      storeBlobNr(t, 0);
      return m->bmNullError;
    }
    if constexpr (Target == nxtBlobMemo) return m->WriteTarget(nxWideStringToString(text, targetCp), t);
    return m->WriteTarget(bytesOf(text), t);
  } else {
    const std::string_view text = Source == nxtShortString ? readShort(s, length) : readNull(s, length);
    if (text.empty()) {
      storeBlobNr(t, 0);
      return m->bmNullError;
    }
    if constexpr (Target == nxtBlobWideMemo) return m->WriteTarget(bytesOf(nxStringToWideString(text, sourceCp)), t);
    if constexpr (Target == nxtBlobMemo)
      if (sourceCp != 0 && targetCp != 0 && sourceCp != targetCp)
        return m->WriteTarget(bytesOf(nxWideStringToBytes(nxStringToWideString(text, sourceCp), targetCp)), t);
    return m->WriteTarget(text, t);
  }
}

template <class Cls, TnxFieldType Source>
TnxMappingRoutine stringToBlobRoutine(TnxFieldType aTarget) {
  switch (aTarget) {
    case nxtBlobMemo: return stringToBlob<Cls, Source, nxtBlobMemo>;
    case nxtBlobWideMemo: return stringToBlob<Cls, Source, nxtBlobWideMemo>;
    default: return stringToBlob<Cls, Source, nxtBlob>;
  }
}

// 6. BLOBs into strings through the inner string routine.
TnxResult blobToNull(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobToNullStringMapper*>(d);
  return withSource(d, s, t, textLimit(*m->bmTargetField), [&](std::string& aBytes) {
    aBytes.push_back('\0');
    return m->btnMappingMethod(aBytes.data(), t);
  });
}

TnxResult blobToWide(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobToWideStringMapper*>(d);
  return withSource(d, s, t, textLimit(*m->bmTargetField), [&](std::string& aBytes) {
    aBytes.push_back('\0');
    return m->btwMappingMethod(aBytes.data(), t);
  });
}

TnxResult blobToShort(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const TnxBlobToShortStringMapper*>(d);
  // Checking reads one byte more than a ShortString holds: a longer text
  // must fail, not arrive cut.
  return withSource(d, s, t, m->btsCheck ? 256 : 255, [&](std::string& aBytes) {
    if (aBytes.size() > 255) return static_cast<TnxResult>(nxErrInvalidFieldXform);
    aBytes.insert(aBytes.begin(), static_cast<char>(aBytes.size()));
    return m->btsMappingMethod(aBytes.data(), t);
  });
}

template <class Cls, TnxMappingMethod Cls::*Method>
TnxResult wideMemoToString(const void* d, const void* s, void* t) {
  const auto* m = static_cast<const Cls*>(d);
  return withSource(d, s, t, 2 * textLimit(*m->bmTargetField), [&](std::string& aBytes) {
    if (aBytes.size() % 2) aBytes.pop_back();
    aBytes.append(2, '\0');
    return (m->*Method)(aBytes.data(), t);
  });
}

}  // namespace

// ===========================================================================
// Set-up

void TnxBlobMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                           TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                           const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  bmNullError = nxIsBestFit(aMapperDesc) ? nxMapNoValue : nxErrInvalidFieldXform;
  bmSourceCursor = aSourceCursor;
  bmTargetCursor = aTargetCursor;
  bmSourceField = &aSourceField;
  bmTargetField = &aTargetField;
  aMapper = {plainCopy, this};
}

void TnxBlobMemoToBlobMemoMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                         TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                         const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  mtmSourceCodepage = fieldCodePage(aSourceField);
  mtmTargetCodepage = fieldCodePage(aTargetField);
  if (mtmSourceCodepage != 0 && mtmTargetCodepage != 0 && mtmSourceCodepage != mtmTargetCodepage)
    aMapper = {memoToMemo, this};
}

void TnxBlobMemoToBlobWideMemoMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                             TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                             const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  mtwSourceCodepage = fieldCodePage(aSourceField);
  aMapper = {memoToWideMemo, this};
}

void TnxBlobWideMemoToBlobMemoMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                             TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                             const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  wtmTargetCodepage = fieldCodePage(aTargetField);
  aMapper = {wideMemoToMemo, this};
}

void TnxNullStringToBlobMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                       TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                       const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  ntbSourceCodepage = fieldCodePage(aSourceField);
  ntbTargetCodepage = fieldCodePage(aTargetField);
  aMapper = {stringToBlobRoutine<TnxNullStringToBlobMapper, nxtNullString>(aTargetField.fdType), this};
}

void TnxShortStringToBlobMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                        TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                        const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  stbSourceCodepage = fieldCodePage(aSourceField);
  stbTargetCodepage = fieldCodePage(aTargetField);
  aMapper = {stringToBlobRoutine<TnxShortStringToBlobMapper, nxtShortString>(aTargetField.fdType), this};
}

void TnxWideStringToBlobMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                       TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                       const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  wtbSourceCodepage = fieldCodePage(aSourceField);
  wtbTargetCodepage = fieldCodePage(aTargetField);
  aMapper = {stringToBlobRoutine<TnxWideStringToBlobMapper, nxtWideString>(aTargetField.fdType), this};
}

namespace {

// Builds the inner string mapper; without one the outer mapper hands out
// nothing either.
void innerMapper(const platform::ClassInfo& aClass, TnxFieldDescriptor& aSourceField, std::int32_t aSourceLength,
                 TnxFieldDescriptor& aTargetField, const TnxFieldMapperDescriptor* aMapperDesc,
                 TnxOwned<TnxBaseFieldMapper>& aInner, TnxMappingMethod& aInnerMethod, TnxMappingMethod& aMapper,
                 TnxMappingRoutine aRoutine, const void* aSelf) {
  aInner.reset(nxCreateStringMapperForText(aClass, aSourceField, aSourceLength, aTargetField, aMapperDesc,
                                           aInnerMethod));
  if (aInnerMethod.Assigned())
    aMapper = {aRoutine, aSelf};
  else
    aMapper.Clear();
}

}  // namespace

void TnxBlobToNullStringMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                       TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                       const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  btnSourceCodepage = fieldCodePage(aSourceField);
  btnTargetCodepage = fieldCodePage(aTargetField);
  innerMapper(TnxNullStringToNullStringMapper::staticClassInfo(), aSourceField, kUnbounded, aTargetField, aMapperDesc,
              btnNullStringToNullStringMapper, btnMappingMethod, aMapper, blobToNull, this);
}

void TnxBlobToShortStringMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                        TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                        const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  btsSourceCodepage = fieldCodePage(aSourceField);
  btsTargetCodepage = fieldCodePage(aTargetField);
  btsCheck = !nxIsBestFit(aMapperDesc);
  innerMapper(TnxShortStringToShortStringMapper::staticClassInfo(), aSourceField, kShortText, aTargetField,
              aMapperDesc, btsShortStringToShortStringMapper, btsMappingMethod, aMapper, blobToShort, this);
}

void TnxBlobToWideStringMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                       TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                       const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  btwSourceCodepage = fieldCodePage(aSourceField);
  btwTargetCodepage = fieldCodePage(aTargetField);
  innerMapper(TnxAnsiStringToWideStringMapper::staticClassInfo(), aSourceField, kUnbounded, aTargetField, aMapperDesc,
              btwAnsiStringToWideStringMapper, btwMappingMethod, aMapper, blobToWide, this);
}

void TnxBlobWideMemoToAnsiStringMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                               TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                               const TnxFieldMapperDescriptor* aMapperDesc,
                                               TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  bwtasSourceCodepage = fieldCodePage(aSourceField);
  bwtasTargetCodepage = fieldCodePage(aTargetField);
  innerMapper(TnxWideStringToAnsiStringMapper::staticClassInfo(), aSourceField, kUnbounded, aTargetField,
              aMapperDesc, bwtasWideStringToAnsiStringMapper, bwtasMappingMethod, aMapper,
              wideMemoToString<TnxBlobWideMemoToAnsiStringMapper,
                               &TnxBlobWideMemoToAnsiStringMapper::bwtasMappingMethod>,
              this);
}

void TnxBlobWideMemoToWideStringMapper::Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                                               TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                                               const TnxFieldMapperDescriptor* aMapperDesc,
                                               TnxMappingMethod& aMapper) {
  TnxBlobMapper::Create(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
  bwtwsSourceCodepage = fieldCodePage(aSourceField);
  bwtwsTargetCodepage = fieldCodePage(aTargetField);
  innerMapper(TnxWideStringToWideStringMapper::staticClassInfo(), aSourceField, kUnbounded, aTargetField,
              aMapperDesc, bwtwsWideStringToWideStringMapper, bwtwsMappingMethod, aMapper,
              wideMemoToString<TnxBlobWideMemoToWideStringMapper,
                               &TnxBlobWideMemoToWideStringMapper::bwtwsMappingMethod>,
              this);
}

// ===========================================================================
// Registration

namespace {

const platform::ClassInfo* const kBlobClasses[] = {
    &TnxBlobMapper::staticClassInfo(),
    &TnxBlobMemoToBlobMemoMapper::staticClassInfo(),
    &TnxBlobMemoToBlobWideMemoMapper::staticClassInfo(),
    &TnxBlobWideMemoToBlobMemoMapper::staticClassInfo(),
    &TnxNullStringToBlobMapper::staticClassInfo(),
    &TnxShortStringToBlobMapper::staticClassInfo(),
    &TnxWideStringToBlobMapper::staticClassInfo(),
    &TnxBlobToNullStringMapper::staticClassInfo(),
    &TnxBlobToShortStringMapper::staticClassInfo(),
    &TnxBlobToWideStringMapper::staticClassInfo(),
    &TnxBlobWideMemoToAnsiStringMapper::staticClassInfo(),
    &TnxBlobWideMemoToWideStringMapper::staticClassInfo(),
};

}  // namespace

void nxsrFieldMapperRegisterBlobs() {
  auto cells = [](const platform::ClassInfo& aClass, std::initializer_list<TnxFieldType> aSources,
                  std::initializer_list<TnxFieldType> aTargets) {
    for (TnxFieldType s : aSources)
      for (TnxFieldType t : aTargets) RegisterFieldMapper(aClass, s, t);
  };
  const auto& plain = TnxBlobMapper::staticClassInfo();
  cells(plain, {nxtBlob}, {nxtBlob, nxtBlobMemo, nxtBlobWideMemo, nxtBlobGraphic});
  cells(plain, {nxtBlobMemo}, {nxtBlob, nxtBlobGraphic});
  cells(plain, {nxtBlobWideMemo}, {nxtBlob, nxtBlobWideMemo, nxtBlobGraphic});
  cells(plain, {nxtBlobGraphic}, {nxtBlob, nxtBlobMemo, nxtBlobWideMemo, nxtBlobGraphic});
  cells(TnxBlobMemoToBlobMemoMapper::staticClassInfo(), {nxtBlobMemo}, {nxtBlobMemo});
  cells(TnxBlobMemoToBlobWideMemoMapper::staticClassInfo(), {nxtBlobMemo}, {nxtBlobWideMemo});
  cells(TnxBlobWideMemoToBlobMemoMapper::staticClassInfo(), {nxtBlobWideMemo}, {nxtBlobMemo});
  const auto blobs = {nxtBlob, nxtBlobMemo, nxtBlobWideMemo, nxtBlobGraphic};
  cells(TnxNullStringToBlobMapper::staticClassInfo(), {nxtNullString}, blobs);
  cells(TnxShortStringToBlobMapper::staticClassInfo(), {nxtShortString}, blobs);
  cells(TnxWideStringToBlobMapper::staticClassInfo(), {nxtWideString}, blobs);
  cells(TnxBlobToNullStringMapper::staticClassInfo(), {nxtBlob, nxtBlobGraphic, nxtBlobMemo}, {nxtNullString});
  cells(TnxBlobToShortStringMapper::staticClassInfo(), {nxtBlob, nxtBlobGraphic, nxtBlobMemo}, {nxtShortString});
  cells(TnxBlobToWideStringMapper::staticClassInfo(), {nxtBlob, nxtBlobGraphic, nxtBlobMemo}, {nxtWideString});
  cells(TnxBlobWideMemoToAnsiStringMapper::staticClassInfo(), {nxtBlobWideMemo}, {nxtNullString, nxtShortString});
  cells(TnxBlobWideMemoToWideStringMapper::staticClassInfo(), {nxtBlobWideMemo}, {nxtWideString});
}

void nxsrFieldMapperUnregisterBlobs() {
  for (const platform::ClassInfo* c : kBlobClasses) UnregisterFieldMapper(*c);
}
