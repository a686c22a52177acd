#include "nxseIndicesEngineSimple.h"

#include <cstring>

#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxSimpleIndicesEngineException, EnxBaseIndicesEngineException)

namespace {

inline constexpr TnxSubEngineClassFuncs kSimpleFuncs{&TnxSimpleIndicesEngine::GetList,
                                                    &TnxSimpleIndicesEngine::CheckDictionary,
                                                    &TnxSimpleIndicesEngine::CheckEngineDescriptor, nullptr};

TnxBaseIndexHeaderAccess* createAccess(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndex, bool aFileMarkDirty,
                                       bool aIndexMarkDirty, std::int32_t aFieldCount, std::int32_t aPartialLen) {
  return platform::create<TnxSimpleIndicesHeaderAccess>(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount,
                                                        aPartialLen);
}

nxString sectionName(TnxBaseIndicesDescriptor* aDescriptor) { return platform::fromUtf8(aDescriptor->HeaderSection()); }

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(TnxSimpleIndicesEngine, TnxBaseIndicesEngine, "TnxSimpleIndicesEngine", nullptr,
                         platform::bindClassTable(kSimpleFuncs))
PL_CLASS_INFO_IMPL(TnxSimpleIndicesHeaderAccess, TnxBaseIndexHeaderAccess, "TnxSimpleIndicesHeaderAccess", nullptr)

TnxSimpleIndicesEngine::TnxSimpleIndicesEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                               TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans,
                                               bool aAddToExisting)
    : TnxBaseIndicesEngine(aDescriptor, aFiles, aRecordEngine) {
  ineHeaderSection.assign(static_cast<std::size_t>(aDescriptor->IndexCount()), 0);
  if (aTrans) {
    for (TnxBlockAccess* file : aFiles) {
      if (!file) continue;
      TnxOwned<TnxBaseFileHeaderAccess> access(file->HeaderAccess(aTrans, true));
      const std::uint16_t offset = access->RegisterHeaderSection(sectionName(aDescriptor), 4, true, aAddToExisting);
      nxsePutI32(access->Header + offset, -1);
    }
  }
  CreateIndexEngines();
  for (std::int32_t i = 0; i < IndexCount(); ++i) {
    if (aTrans)
      InitIndexHeader(aTrans, i);
    else
      VerifyIndexHeader(i);
  }
}

TnxIndexHeaderAccessCreate TnxSimpleIndicesEngine::HeaderAccessClass() { return &createAccess; }

void TnxSimpleIndicesEngine::InitIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
  TnxBaseIndexEngine* index = biseGetIndex(aIndex);
  TnxOwned<TnxBaseFileHeaderAccess> access(index->bieIndexFile->HeaderAccess(aTrans, true));
  if (ineHeaderSection.size() < static_cast<std::size_t>(aIndex) + 1)
    ineHeaderSection.resize(static_cast<std::size_t>(aIndex) + 1);
  const std::uint16_t offset = access->RegisterHeaderSection(sectionName(biseDescriptor), 4, false, false);
  ineHeaderSection[static_cast<std::size_t>(aIndex)] = offset;
  if (nxseGetI32(access->Header + offset) == -1) {
    TnxPinnedBlock fresh([&](TnxReleaseMethod& r) { return access->GetNewBlock(aTrans, bseID, r); });
    nxseSetSignature(fresh.Block(), "NXIH");
    std::memset(fresh.Block() + nxIdx::Ident, 0, nxIdx::Entries - nxIdx::Ident);
    fresh.Block()[nxIdx::Kind] = nxIdx::KindHeader;
    std::memset(fresh.Block() + nxIdx::KeyLen, 0, nxIdx::HeaderSize);
    std::memset(fresh.Block() + nxIdx::Root, 0xFF, 4 * nxIdx::MaxIndices);
    nxsePutU32(access->Header + offset, nxseThisBlock(fresh.Block()));
  }
  TnxPinnedBlock header([&](TnxReleaseMethod& r) {
    return nxReadIndexBlock(aTrans, index->bieIndexFile, access.get(), bseID, true,
                            nxseGetU32(access->Header + offset), r);
  });
  const auto slot = static_cast<std::uint32_t>(aIndex);
  nxsePutU16(header.Block() + nxIdx::KeyLen + 2 * slot, index->bieKeyEngine->KeyLength());
  nxsePutU32(header.Block() + nxIdx::Root + 4 * slot, nxIdx::NoBlock);
}

void TnxSimpleIndicesEngine::VerifyIndexHeader(std::int32_t aIndex) {
  TnxBaseIndexEngine* index = biseGetIndex(aIndex);
  TnxOwned<TnxBaseFileHeaderAccess> access(index->bieIndexFile->HeaderAccess(nullptr, false));
  const std::uint16_t offset = access->RegisterHeaderSection(sectionName(biseDescriptor), 4, false, false);
  ineHeaderSection[static_cast<std::size_t>(aIndex)] = offset;
  const std::int32_t block = nxseGetI32(access->Header + offset);
  if (block == -1) throw EnxSimpleIndicesEngineException(nxErrCorruptHeader);
  TnxPinnedBlock header([&](TnxReleaseMethod& r) {
    return nxReadIndexBlock(nullptr, index->bieIndexFile, access.get(), bseID, false,
                            static_cast<TnxBlockNumber>(block), r);
  });
  if (header.Block()[nxIdx::Kind] != nxIdx::KindHeader ||
      nxseGetU16(header.Block() + nxIdx::KeyLen + 2 * static_cast<std::uint32_t>(aIndex)) !=
          index->bieKeyEngine->KeyLength())
    throw EnxSimpleIndicesEngineException(nxErrCorruptHeader);
}

void TnxSimpleIndicesEngine::RemoveIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
  for (TnxBlockAccess* file : biseFiles) {
    if (!file) continue;
    TnxOwned<TnxBaseFileHeaderAccess> access(file->HeaderAccess(aTrans, true));
    const std::uint16_t offset = access->RegisterHeaderSection(sectionName(biseDescriptor), 4, false, false);
    const std::int32_t block = nxseGetI32(access->Header + offset);
    if (block == -1) continue;
    TnxPinnedBlock header([&](TnxReleaseMethod& r) {
      return nxReadIndexBlock(aTrans, file, access.get(), bseID, true, static_cast<TnxBlockNumber>(block), r);
    });
    const auto from = static_cast<std::uint32_t>(aIndex);
    const std::uint32_t last = nxIdx::MaxIndices - 1;
    struct Array {
      std::uint32_t offset, width;
    };
    for (const Array a : {Array{nxIdx::KeyLen, 2}, Array{nxIdx::KeyCount, 4}, Array{nxIdx::Root, 4},
                          Array{nxIdx::PageCount, 4}}) {
      std::uint8_t* base = header.Block() + a.offset;
      if (from < last) std::memmove(base + from * a.width, base + (from + 1) * a.width, (last - from) * a.width);
      std::memset(base + last * a.width, a.offset == nxIdx::Root ? 0xFF : 0, a.width);
    }
  }
  if (static_cast<std::size_t>(aIndex) < ineHeaderSection.size())
    ineHeaderSection.erase(ineHeaderSection.begin() + aIndex);
}

// ---- Header access -----------------------------------------------------------------------

TnxSimpleIndicesHeaderAccess::TnxSimpleIndicesHeaderAccess(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndex,
                                                           bool aFileMarkDirty, bool aIndexMarkDirty,
                                                           std::int32_t aFieldCount, std::int32_t aPartialLen)
    : TnxBaseIndexHeaderAccess(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount, aPartialLen) {
  auto* engine = static_cast<TnxSimpleIndicesEngine*>(aIndex->bieIndicesEngine);
  haHeaderSection = engine->ineHeaderSection.at(static_cast<std::size_t>(aIndex->bieIndexNumber));
}

TnxSimpleIndicesHeaderAccess::~TnxSimpleIndicesHeaderAccess() = default;

std::uint8_t* TnxSimpleIndicesHeaderAccess::Entry(std::uint32_t aArray, std::uint32_t aWidth) {
  if (!haInxBlock) {
    TnxBaseFileHeaderAccess* file = FileHeader();
    const TnxBlockNumber block = nxseGetU32(file->Header + haHeaderSection);
    TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
      return nxReadIndexBlock(bhaTrans, bhaIndex->bieIndexFile, file, bhaID, bhaIndexMarkDirty, block, r);
    });
    if (pin.Block()[nxIdx::Kind] != nxIdx::KindHeader) throw EnxSimpleIndicesEngineException(nxErrCorruptHeader);
    haInxBlock = std::move(pin);
  }
  const auto index = static_cast<std::uint32_t>(bhaIndex->bieIndexNumber);
  nxAssert(index < nxIdx::MaxIndices, "Index number beyond the index header");
  return haInxBlock.Block() + aArray + index * aWidth;
}

TnxBlockNumber TnxSimpleIndicesHeaderAccess::GetIndexRoot() { return nxseGetU32(Entry(nxIdx::Root, 4)); }
void TnxSimpleIndicesHeaderAccess::SetIndexRoot(TnxBlockNumber aValue) { nxsePutU32(Entry(nxIdx::Root, 4), aValue); }
std::uint32_t TnxSimpleIndicesHeaderAccess::GetIndexPageCount() { return nxseGetU32(Entry(nxIdx::PageCount, 4)); }
void TnxSimpleIndicesHeaderAccess::SetIndexPageCount(std::uint32_t aValue) {
  nxsePutU32(Entry(nxIdx::PageCount, 4), aValue);
}
std::uint32_t TnxSimpleIndicesHeaderAccess::GetIndexKeyCount() { return nxseGetU32(Entry(nxIdx::KeyCount, 4)); }
void TnxSimpleIndicesHeaderAccess::SetIndexKeyCount(std::uint32_t aValue) {
  nxsePutU32(Entry(nxIdx::KeyCount, 4), aValue);
}
TnxLSN TnxSimpleIndicesHeaderAccess::GetIndexLSN() {
  (void)Entry(nxIdx::Root, 4);
  return static_cast<TnxLSN>(nxseGetU64(haInxBlock.Block() + 8));
}

namespace {
TnxBaseIndicesEngine* createSimple(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                   TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans,
                                   bool aAddToExisting) {
  return platform::create<TnxSimpleIndicesEngine>(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}
}  // namespace

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gIndicesEngineSimpleModuleStarts{0};
}  // namespace

void nxseIndicesEngineSimpleInitialize() {
  TnxCountedStart started(gIndicesEngineSimpleModuleStarts);
  if (!started) return;
  TnxBaseIndicesEngine::RegisterIndicesEngine(TnxSimpleIndicesEngine::staticClassInfo(), "nx1xDefault",
                                              {&createSimple});
}

void nxseIndicesEngineSimpleFinalize() {
  if (!nxUseCountLeave(gIndicesEngineSimpleModuleStarts)) return;
  TnxBaseIndicesEngine::UnregisterIndicesEngine(TnxSimpleIndicesEngine::staticClassInfo());
}
