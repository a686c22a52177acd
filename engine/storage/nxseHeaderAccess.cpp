// The "NX!1" and "NX!2" header formats.
#include "nxseHeaderAccess.h"

#include <algorithm>

#include "nxsdDataDictionary.h"
#include "plFormat.h"

NX_IMPLEMENT_EXCEPTION(Enx1xFileHeaderAccessException, EnxFileHeaderAccessException)
NX_IMPLEMENT_EXCEPTION(Enx2xFileHeaderAccessException, EnxFileHeaderAccessException)

PL_CLASS_INFO_IMPL(TnxCommonFileHeaderAccessFactory, TnxBaseFileHeaderAccessFactory,
                   "TnxCommonFileHeaderAccessFactory", nullptr)
PL_CLASS_INFO_IMPL_TABLE(Tnx1xFileHeaderAccessFactory, TnxCommonFileHeaderAccessFactory,
                         "Tnx1xFileHeaderAccessFactory", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFactoryFuncs<Tnx1xFileHeaderAccessFactory>))
PL_CLASS_INFO_IMPL_TABLE(Tnx2xFileHeaderAccessFactory, TnxCommonFileHeaderAccessFactory,
                         "Tnx2xFileHeaderAccessFactory", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFactoryFuncs<Tnx2xFileHeaderAccessFactory>))
PL_CLASS_INFO_IMPL(TnxCommonFileHeaderAccess, TnxBaseFileHeaderAccess, "TnxCommonFileHeaderAccess", nullptr)
PL_CLASS_INFO_IMPL_TABLE(Tnx1xFileHeaderAccess, TnxCommonFileHeaderAccess, "Tnx1xFileHeaderAccess", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFuncs<Tnx1xFileHeaderAccess>))
PL_CLASS_INFO_IMPL_TABLE(Tnx2xFileHeaderAccess, TnxCommonFileHeaderAccess, "Tnx2xFileHeaderAccess", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFuncs<Tnx2xFileHeaderAccess>))

using namespace nxseHdr;

namespace {

constexpr TnxBlockSignature kNX1{'N', 'X', '!', '1'};
constexpr TnxBlockSignature kNX2{'N', 'X', '!', '2'};

nxString shortString(const std::uint8_t* p) {
  nxString s;
  const std::uint8_t len = std::min<std::uint8_t>(p[0], 31);
  for (std::uint8_t i = 0; i < len; ++i) s.push_back(static_cast<char16_t>(p[1 + i]));
  return s;
}

void putShortString(std::uint8_t* p, const nxString& aText) {
  const std::size_t len = std::min<std::size_t>(aText.size(), 31);
  p[0] = static_cast<std::uint8_t>(len);
  for (std::size_t i = 0; i < len; ++i) p[1 + i] = static_cast<std::uint8_t>(aText[i]);
}

nxString signatureText(const std::uint8_t* aBlock) {
  nxString s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char16_t>(aBlock[i]));
  return s;
}

char16_t asciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool sameName(const std::uint8_t* aStored, std::uint8_t aLen, const nxString& aName) {
  if (aLen != aName.size()) return false;
  for (std::size_t i = 0; i < aLen; ++i)
    if (asciiLower(static_cast<char16_t>(aStored[i])) != asciiLower(aName[i])) return false;
  return true;
}

// Binary search over {ID, block} entries by signed ID: the match or the
// insertion index.
bool findEntry(const std::uint8_t* aEntries, std::uint32_t aCount, std::int32_t aID, std::uint32_t& aIndex) {
  std::uint32_t lo = 0, hi = aCount;
  while (lo < hi) {
    const std::uint32_t mid = (lo + hi) / 2;
    const std::int32_t id = nxseGetI32(aEntries + 8 * mid);
    if (id == aID) {
      aIndex = mid;
      return true;
    }
    if (id < aID)
      lo = mid + 1;
    else
      hi = mid;
  }
  aIndex = lo;
  return false;
}

void insertEntry(std::uint8_t* aEntries, std::uint32_t aCount, std::uint32_t aAt, std::int32_t aID,
                 std::uint32_t aBlock) {
  std::memmove(aEntries + 8 * (aAt + 1), aEntries + 8 * aAt, 8 * (aCount - aAt));
  nxsePutI32(aEntries + 8 * aAt, aID);
  nxsePutU32(aEntries + 8 * aAt + 4, aBlock);
}

struct FixedSection {
  const char16_t* name;
  std::uint16_t offset;
};
constexpr FixedSection kV1Sections[] = {{u"Encryption", 256}, {u"Stream", 512}, {u"AutoInc", 768},
                                        {u"Record", 1024},    {u"Blob", 1280},  {u"Indices", 1536}};

}  // namespace

// ---- Factories ---------------------------------------------------------------------------------

TnxCommonFileHeaderAccessFactory::TnxCommonFileHeaderAccessFactory(const TnxBlockSignature& aSignature,
                                                                   TnxBaseFile* aFile, PnxBlock aHeader)
    : TnxBaseFileHeaderAccessFactory(aSignature, aFile, aHeader) {}

namespace {

// Formats a new block 0 or reads an existing one into the file's fields.
// Answers false for an existing header whose values are out of range.
bool setupHeader(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader,
                 std::uint32_t aAdditional, bool aV2) {
  if (aSignature != nxNoSignature) {
    std::memset(aHeader, 0, aFile->BlockBytes());
    std::memcpy(aHeader, aSignature.data(), 4);
    aHeader[BlockSize] = static_cast<std::uint8_t>(aFile->BlockSize());
    std::uint32_t usable = aFile->BlockBytes() - aAdditional;
    if (!aFile->EncryptionEngineName().empty())
      usable -= static_cast<std::uint32_t>(TnxBaseEncryptionEngine::ReservedSpacePerBlock(
          aFile->EncryptionEngineName(), aFile->ForServer(), aFile->BlockSize()));
    nxsePutU32(aHeader + UsableSize, usable);
    aFile->SetBlockSizeBytes(usable);
    putShortString(aHeader + EncryptionName, aFile->EncryptionEngineName());
    putShortString(aHeader + StreamName, aFile->StreamEngineName());
    nxsePutU32(aHeader + UsedBlocks, 1);
    aFile->SetUsedBlocks(1);
    nxsePutU32(aHeader + FreeCount, 0);
    nxsePutI32(aHeader + FirstFree, -1);
    nxsePutI32(aHeader + Version, aFile->VadurVersion());
    return true;
  }
  const std::uint8_t code = aHeader[BlockSize];
  if (code > nxbs64k) return false;
  const std::uint32_t bytes = nxBlockBytes(static_cast<TnxBlockSize>(code));
  const std::uint32_t usable = nxseGetU32(aHeader + UsableSize);
  const nxString encryption = shortString(aHeader + EncryptionName);
  if (aHeader[EncryptionName] > 31 || aHeader[StreamName] > 31) return false;
  if (encryption.empty()) {
    if (usable != bytes - aAdditional) return false;
  } else {
    // The engine may not be registered here; its reserve is below 256 bytes.
    if (usable > bytes - aAdditional || usable + 256 < bytes - aAdditional) return false;
  }
  const std::uint32_t used = nxseGetU32(aHeader + UsedBlocks);
  if (used == 0) return false;
  const std::int32_t firstFree = nxseGetI32(aHeader + FirstFree);
  const std::uint32_t freeCount = nxseGetU32(aHeader + FreeCount);
  if (firstFree != -1 && (firstFree <= 0 || static_cast<std::uint32_t>(firstFree) >= used)) return false;
  if (aV2) {
    if (freeCount > FreeCacheSize) return false;
    const std::uint16_t encSize = nxseGetU16(aHeader + EncHeaderSize);
    if (encSize + Directory + 2 > usable) return false;
    const std::uint16_t top = nxseGetU16(aHeader + SectionTop);
    if (top <= Directory || top > usable - encSize - 1) return false;
  } else {
    if (freeCount >= used || (freeCount > 0) != (firstFree != -1)) return false;
  }
  aFile->SetBlockSize(static_cast<TnxBlockSize>(code));
  aFile->SetBlockSizeBytes(usable);
  aFile->SetUsedBlocks(used);
  aFile->SetEncryptionEngineName(encryption);
  aFile->SetStreamEngineName(shortString(aHeader + StreamName));
  aFile->SetVadurVersion(nxseGetI32(aHeader + Version));
  return true;
}

}  // namespace

Tnx1xFileHeaderAccessFactory::Tnx1xFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile,
                                                           PnxBlock aHeader)
    : TnxCommonFileHeaderAccessFactory(aSignature, aFile, aHeader) {
  if (aSignature != nxNoSignature)
    throw Enx1xFileHeaderAccessException(nxErrNotSupported, u"Can't create new files with v1 header");
  if (!setupHeader(aSignature, aFile, aHeader, 0, false)) throw Enx1xFileHeaderAccessException(nxErrCorruptHeader);
}

const platform::ClassInfo& Tnx1xFileHeaderAccessFactory::HeaderAccessClass() {
  return Tnx1xFileHeaderAccess::staticClassInfo();
}

void Tnx1xFileHeaderAccessFactory::ValidateDictionary(TnxDataDictionary*, bool aForBuild) {
  if (aForBuild) throw Enx1xFileHeaderAccessException(nxErrNotSupported, u"Can't create new files with v1 header");
}

void Tnx1xFileHeaderAccessFactory::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) {
  if (aText.empty()) throw Enx1xFileHeaderAccessException(aCode);
  throw Enx1xFileHeaderAccessException(aCode, aText, aArgs);
}

Tnx2xFileHeaderAccessFactory::Tnx2xFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile,
                                                           PnxBlock aHeader)
    : TnxCommonFileHeaderAccessFactory(aSignature, aFile, aHeader) {
  if (!setupHeader(aSignature, aFile, aHeader, 4, true)) throw Enx2xFileHeaderAccessException(nxErrCorruptHeader);
  if (aSignature != nxNoSignature) {
    const std::int32_t encSize = aFile->EncryptionEngineName().empty()
                                     ? 0
                                     : TnxBaseEncryptionEngine::ReservedHeaderSpace(aFile->EncryptionEngineName(),
                                                                                    aFile->ForServer());
    nxsePutU16(aHeader + EncHeaderSize, static_cast<std::uint16_t>(encSize));
    nxsePutU16(aHeader + SectionTop, static_cast<std::uint16_t>(aFile->BlockSizeBytes() - encSize - 1));
    aHeader[Directory] = 0;
  }
}

const platform::ClassInfo& Tnx2xFileHeaderAccessFactory::HeaderAccessClass() {
  return Tnx2xFileHeaderAccess::staticClassInfo();
}

void Tnx2xFileHeaderAccessFactory::ValidateDictionary(TnxDataDictionary*, bool) {}

void Tnx2xFileHeaderAccessFactory::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) {
  if (aText.empty()) throw Enx2xFileHeaderAccessException(aCode);
  throw Enx2xFileHeaderAccessException(aCode, aText, aArgs);
}

void Tnx2xFileHeaderAccessFactory::SetupTableChecksum(PnxBlock aHeader, bool aIsNew) {
  TnxBaseFile* file = bfhafFile;
  if (!file->EncryptionEngine()) {
    file->SetCheckSumSize(0);
    return;
  }
  const auto* funcs = file->EncryptionEngine()->classInfo().table<TnxEncryptionEngineClassFuncs>();
  file->SetCheckSumSize(funcs ? static_cast<std::uint32_t>(funcs->checksumSize()) : 0);
  if (std::uint8_t* area = GetTableChecksum(aHeader)) {
    if (aIsNew)
      std::memset(area, 0, file->CheckSumSize());
    else
      file->SetChecksum(std::vector<std::uint8_t>(area, area + file->CheckSumSize()));
  }
}

void Tnx2xFileHeaderAccessFactory::VerifyID(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum, std::int32_t aID) {
  TnxBaseFileHeaderAccessFactory::VerifyID(aBlock, aBlockNum, aID);
  if (aID == 0) return;
  const std::int32_t found = GetID(aBlock);
  if (found != aID)
    RaiseHeader(nxErrCorruptFile, u"Expected BlockOwnerID %d but found %d in file \"%s\" for block %d",
                {static_cast<std::int64_t>(aID), static_cast<std::int64_t>(found), bfhafFile->FileName(),
                 static_cast<std::int64_t>(aBlockNum)});
}

void Tnx2xFileHeaderAccessFactory::ValidateBlock(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum) {
  TnxBaseFileHeaderAccessFactory::ValidateBlock(aBlock, aBlockNum);
  if (aBlockNum == 0 && !nxseHasSignature(aBlock, "NX!2")) RaiseHeader(nxErrCorruptFile, u"Block 0 has not the correct signature");
  const std::int32_t id = GetID(aBlock);
  if (id == OverflowID) {
    if (!nxseHasSignature(aBlock, "CHOF"))
      RaiseHeader(nxErrCorruptFile,
                  u"Block %d in file \"%s\" has the BlockOwnerID of a child header overflow block but has a "
                  u"signature of \"%s\"",
                  {static_cast<std::int64_t>(aBlockNum), bfhafFile->FileName(), signatureText(aBlock)});
  } else if (id == FreeMapID) {
    if (!nxseHasSignature(aBlock, "FBMH"))
      RaiseHeader(nxErrCorruptFile,
                  u"Block %d in file \"%s\" has the BlockOwnerID of the free block map but has a signature of \"%s\"",
                  {static_cast<std::int64_t>(aBlockNum), bfhafFile->FileName(), signatureText(aBlock)});
  } else if (id < 0 || id > bfhafFile->MaxID()) {
    RaiseHeader(nxErrCorruptFile,
                u"Expected BlockOwnerID smaller or equal to %d but found %d in file \"%s\" for block %d. The header "
                u"signature is \"%s\"",
                {static_cast<std::int64_t>(bfhafFile->MaxID()), static_cast<std::int64_t>(id), bfhafFile->FileName(),
                 static_cast<std::int64_t>(aBlockNum), signatureText(aBlock)});
  }
}

std::int32_t Tnx2xFileHeaderAccessFactory::GetID(const std::uint8_t* aBlock) {
  return nxseGetI32(aBlock + bfhafFile->BlockSizeBytes());
}

std::uint8_t* Tnx2xFileHeaderAccessFactory::GetEncryptionEngineHeader(PnxBlock aHeader) {
  const std::uint16_t size = nxseGetU16(aHeader + EncHeaderSize);
  if (size == 0) return nullptr;
  return aHeader + nxseGetU32(aHeader + UsableSize) - size - 1;
}

std::uint8_t* Tnx2xFileHeaderAccessFactory::GetTableChecksum(PnxBlock aHeader) {
  const std::uint32_t size = bfhafFile->CheckSumSize();
  if (size == 0) return nullptr;
  nxAssert(nxseGetU16(aHeader + EncHeaderSize) >= size, "Encryption header smaller than the table checksum");
  return aHeader + nxseGetU32(aHeader + UsableSize) - size - 1;
}

// ---- Header access, both formats -------------------------------------------------------------

std::uint32_t TnxCommonFileHeaderAccess::UsedBlocks() {
  if (bfhaMainHeader) return bfhaMainHeader->UsedBlocks();
  return nxseGetU32(Header + nxseHdr::UsedBlocks);
}

std::uint32_t TnxCommonFileHeaderAccess::AvailableBlocks() {
  if (bfhaMainHeader) return bfhaMainHeader->AvailableBlocks();
  return nxseGetU32(Header + FreeCount);
}

void TnxCommonFileHeaderAccess::RequireDirty() {
  if (!bfhaIsDirty) Raise(nxErrWriteFailure);
}

void TnxCommonFileHeaderAccess::CheckBlockNumber(std::uint32_t aBlock, TnxResult aCode) {
  if (aBlock == 0 || aBlock >= UsedBlocks())
    Raise(aCode, u"Block number %d is out of range in file \"%s\"",
          {static_cast<std::int64_t>(static_cast<std::int32_t>(aBlock)), bfhaHeaderFile->FileName()});
}

PnxBlock TnxCommonFileHeaderAccess::ExtendFile(TnxBaseTransaction* aTrans, TnxReleaseMethod& aReleaseMethod) {
  TnxBaseFile* file = bfhaHeaderFile;
  const std::uint32_t used = nxseGetU32(Header + nxseHdr::UsedBlocks);
  if ((file->MaxBlocks() != 0 && used >= file->MaxBlocks()) || used == 0xFFFFFFFFu) Raise(nxErrTableFull);
  PnxBlock block = file->BufMgr()->AddBlock(file, aTrans, used, aReleaseMethod);
  nxsePutU32(Header + nxseHdr::UsedBlocks, used + 1);
  file->SetTransUsedBlocks(used + 1);
  nxsePutU32(block + 4, used);
  return block;
}

// ---- Version 1 ---------------------------------------------------------------------------------

void Tnx1xFileHeaderAccess::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) {
  if (aText.empty()) throw Enx1xFileHeaderAccessException(aCode);
  throw Enx1xFileHeaderAccessException(aCode, aText, aArgs);
}

PnxBlock Tnx1xFileHeaderAccess::GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t, TnxReleaseMethod& aReleaseMethod) {
  RequireDirty();
  const std::uint32_t count = nxseGetU32(Header + FreeCount);
  if (count == 0) return ExtendFile(aTrans, aReleaseMethod);
  const std::uint32_t first = nxseGetU32(Header + FirstFree);
  CheckBlockNumber(first, 8961);
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return bfhaBlockAccess->GetBlock(aTrans, first, true, r, 0); });
  if (!nxseHasSignature(pin.Block(), "DEAD"))
    Raise(nxErrCorruptFile, u"Block %d in file \"%s\" is on the free list but is not a freed block",
          {static_cast<std::int64_t>(first), bfhaHeaderFile->FileName()});
  const std::int32_t next = nxseGetI32(pin.Block() + 16);
  if (next == -1) {
    if (count != 1) Raise(nxErrCorruptHeader);
  } else {
    CheckBlockNumber(static_cast<std::uint32_t>(next), 8962);
    if (count == 1) Raise(nxErrCorruptHeader);
  }
  nxsePutI32(Header + FirstFree, next);
  nxsePutU32(Header + FreeCount, count - 1);
  // No longer a freed block, even before its new owner formats it: a
  // damaged chain that leads back here is refused instead of handing the
  // block out twice.
  std::memset(pin.Block(), 0, 4);
  nxsePutU32(pin.Block() + 4, first);
  return pin.HandOver(aReleaseMethod);
}

void Tnx1xFileHeaderAccess::DeleteBlock(TnxBaseTransaction*, PnxBlock aBlock) {
  RequireDirty();
  const TnxBlockNumber n = nxseThisBlock(aBlock);
  CheckBlockNumber(n, 8962);
  nxseSetSignature(aBlock, "DEAD");
  std::memcpy(aBlock + 16, Header + FirstFree, 4);
  nxsePutU32(Header + FirstFree, n);
  nxsePutU32(Header + FreeCount, nxseGetU32(Header + FreeCount) + 1);
}

std::uint16_t Tnx1xFileHeaderAccess::RegisterHeaderSection(const nxString& aName, std::uint8_t, bool aCreate, bool) {
  if (aCreate) RequireDirty();
  for (const FixedSection& s : kV1Sections) {
    const nxString name = s.name;
    if (name.size() == aName.size() &&
        std::equal(name.begin(), name.end(), aName.begin(),
                   [](char16_t a, char16_t b) { return asciiLower(a) == asciiLower(b); }))
      return s.offset;
  }
  Raise(nxErrNotSupported, u"Custom HeaderSections are not supported in a v1 header");
}

// ---- Version 2 ---------------------------------------------------------------------------------

void Tnx2xFileHeaderAccess::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) {
  if (aText.empty()) throw Enx2xFileHeaderAccessException(aCode);
  throw Enx2xFileHeaderAccessException(aCode, aText, aArgs);
}

void Tnx2xFileHeaderAccess::LoadHeader(TnxBaseTransaction* aTrans) {
  TnxBlockAccess* access = bfhaBlockAccess;
  // Allocation goes through the main header: it changes with this one.
  if (bfhaIsDirty && bfhaMainHeader && !bfhaMainHeader->IsDirty()) bfhaMainHeader->MarkDirty(aTrans);
  if (access->baID != 0 && access->baHeaderBlock == 0) {
    auto* main = platform::objectAs<Tnx2xFileHeaderAccess>(bfhaMainHeader);
    nxAssert(main != nullptr, "Engine header without a version 2 main header");
    access->baHeaderBlock = main->GetHeaderBlockForID(aTrans, access->baID);
  }
  TnxBaseFileHeaderAccess::LoadHeader(aTrans);
  if (access->baHeaderBlock != 0 && !nxseHasSignature(Header, "NX!2"))
    Raise(nxErrCorruptFile, u"Block %d in file \"%s\" is not a sub-header block",
          {static_cast<std::int64_t>(access->baHeaderBlock), bfhaHeaderFile->FileName()});
}

std::uint32_t Tnx2xFileHeaderAccess::CacheCount() {
  const std::uint32_t count = nxseGetU32(Header + FreeCount);
  if (count > FreeCacheSize) Raise(nxErrCorruptHeader);
  return count;
}

PnxBlock Tnx2xFileHeaderAccess::FetchMapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock,
                                              TnxReleaseMethod& aRelease) {
  CheckBlockNumber(aBlock, 8961);
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
    return bfhaBlockAccess->GetBlock(aTrans, aBlock, true, r, FreeMapID);
  });
  const std::uint32_t capacity = (UsableSize() - 28) / 4;
  const std::int32_t next = nxseGetI32(pin.Block() + 16);
  if (!nxseHasSignature(pin.Block(), "FBMH") || nxseGetU32(pin.Block() + 20) != capacity ||
      nxseGetU32(pin.Block() + 24) > capacity || (next != -1 && (next <= 0 || static_cast<std::uint32_t>(next) >= UsedBlocks())))
    Raise(nxErrCorruptFile, u"Free block map block %d in file \"%s\" is corrupt",
          {static_cast<std::int64_t>(aBlock), bfhaHeaderFile->FileName()});
  return pin.HandOver(aRelease);
}

PnxBlock Tnx2xFileHeaderAccess::GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t aID,
                                            TnxReleaseMethod& aReleaseMethod) {
  if (bfhaMainHeader) return bfhaMainHeader->GetNewBlock(aTrans, aID, aReleaseMethod);
  RequireDirty();
  const std::uint32_t usable = UsableSize();
  std::uint32_t count = CacheCount();
  if (count == 0) {
    std::uint32_t steps = 0;
    while (count < RefillTo && nxseGetI32(Header + FirstFree) != -1) {
      if (++steps > UsedBlocks()) Raise(nxErrCorruptFile, u"The free block map of file \"%s\" has a cycle", {bfhaHeaderFile->FileName()});
      TnxPinnedBlock map([&](TnxReleaseMethod& r) { return FetchMapBlock(aTrans, nxseGetU32(Header + FirstFree), r); });
      std::uint32_t mapCount = nxseGetU32(map.Block() + 24);
      const std::uint32_t n = std::min(RefillTo - count, mapCount);
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t entry = nxseGetU32(map.Block() + 28 + 4 * (mapCount - n + i));
        CheckBlockNumber(entry, 8962);
        nxsePutU32(Header + FreeCache + 4 * count++, entry);
      }
      mapCount -= n;
      nxsePutU32(map.Block() + 24, mapCount);
      nxsePutU32(Header + FreeCount, count);
      if (mapCount == 0) {
        std::memcpy(Header + FirstFree, map.Block() + 16, 4);
        nxsePutI32(map.Block() + usable, aID);
        return map.HandOver(aReleaseMethod);
      }
      break;  // the cache holds RefillTo entries now
    }
  }
  PnxBlock block;
  if (count > 0) {
    const std::uint32_t n = nxseGetU32(Header + FreeCache + 4 * (count - 1));
    CheckBlockNumber(n, 8961);
    block = bfhaHeaderFile->BufMgr()->AddBlock(bfhaHeaderFile, aTrans, n, aReleaseMethod);
    nxsePutU32(Header + FreeCount, count - 1);
    nxsePutU32(block + 4, n);
  } else {
    block = ExtendFile(aTrans, aReleaseMethod);
  }
  nxsePutI32(block + usable, aID);
  return block;
}

void Tnx2xFileHeaderAccess::DeleteBlock(TnxBaseTransaction* aTrans, PnxBlock aBlock) {
  if (bfhaMainHeader) return bfhaMainHeader->DeleteBlock(aTrans, aBlock);
  RequireDirty();
  const std::uint32_t usable = UsableSize();
  const TnxBlockNumber n = nxseThisBlock(aBlock);
  CheckBlockNumber(n, 8962);
  nxsePutI32(aBlock + usable, 0);
  std::uint32_t count = CacheCount();
  if (count >= FreeCacheSize) {
    const std::uint32_t capacity = (usable - 28) / 4;
    bool becameMap = false;
    bool atHand = nxseGetI32(Header + FirstFree) != -1;
    while (count > SpillTo) {
      TnxPinnedBlock map;
      PnxBlock target;
      if (!atHand) {
        target = aBlock;
        nxseSetSignature(target, "FBMH");
        std::memcpy(target + 16, Header + FirstFree, 4);
        nxsePutU32(Header + FirstFree, n);
        nxsePutU32(target + 20, capacity);
        nxsePutU32(target + 24, 0);
        becameMap = true;
      } else {
        map.Pin([&](TnxReleaseMethod& r) { return FetchMapBlock(aTrans, nxseGetU32(Header + FirstFree), r); });
        target = map.Block();
        atHand = false;
        if (nxseGetU32(target + 24) >= capacity) continue;
      }
      atHand = false;
      nxsePutI32(target + usable, FreeMapID);
      std::uint32_t mapCount = nxseGetU32(target + 24);
      const std::uint32_t k = std::min(count - SpillTo, capacity - mapCount);
      std::memcpy(target + 28 + 4 * mapCount, Header + FreeCache + 4 * (count - k), 4 * k);
      mapCount += k;
      count -= k;
      nxsePutU32(target + 24, mapCount);
      nxsePutU32(Header + FreeCount, count);
    }
    if (becameMap) return;
  }
  nxseSetSignature(aBlock, "DEAD");
  nxsePutU32(Header + FreeCache + 4 * count, n);
  bfhaHeaderFile->BufMgr()->DiscardBlock(bfhaHeaderFile, n, aTrans);
  nxsePutU32(Header + FreeCount, count + 1);
}

std::uint16_t Tnx2xFileHeaderAccess::RegisterHeaderSection(const nxString& aName, std::uint8_t aSize, bool aCreate,
                                                           bool aOverwrite) {
  if (aCreate) RequireDirty();
  if (aName.empty() || aName.size() > 255 ||
      std::any_of(aName.begin(), aName.end(), [](char16_t c) { return c > 0xFF; }))
    Raise(nxErrObjectNotFound);
  const std::uint32_t usable = UsableSize();
  const std::uint32_t limit =
      bfhaBlockAccess->baHeaderBlock == 0 ? usable - nxseGetU16(Header + EncHeaderSize) - 1 : usable - 1;
  const std::uint32_t top = nxseGetU16(Header + SectionTop);
  if (top <= Directory || top > limit) Raise(nxErrCorruptHeader);
  std::uint32_t running = top;
  std::uint32_t pos = Directory;
  for (;;) {
    if (pos >= running) Raise(nxErrCorruptHeader);
    const std::uint8_t len = Header[pos];
    if (len == 0) break;
    if (pos + 3u + len >= running) Raise(nxErrCorruptHeader);
    const std::uint32_t offset = nxseGetU16(Header + pos + 1 + len);
    if (offset > running || offset <= pos + 3u + len) Raise(nxErrCorruptHeader);
    if (sameName(Header + pos + 1, len, aName)) {
      if (aCreate && !aOverwrite) Raise(nxErrNameNotUnique);
      if (running - offset != aSize) Raise(nxErrCorruptHeader);
      return static_cast<std::uint16_t>(offset);
    }
    running = offset;
    pos += 3u + len;
  }
  if (!aCreate) Raise(nxErrObjectNotFound);
  const std::uint32_t len = static_cast<std::uint32_t>(aName.size());
  if (running - pos < len + aSize + 4) Raise(nxErrNoMemory, u"File header is full");
  Header[pos] = static_cast<std::uint8_t>(len);
  for (std::uint32_t i = 0; i < len; ++i) Header[pos + 1 + i] = static_cast<std::uint8_t>(aName[i]);
  const std::uint32_t offset = running - aSize;
  nxsePutU16(Header + pos + 1 + len, static_cast<std::uint16_t>(offset));
  Header[pos + 3 + len] = 0;
  return static_cast<std::uint16_t>(offset);
}

void Tnx2xFileHeaderAccess::ChangePassword(const nxString& aNewPassword) {
  TnxBaseFile* file = bfhaHeaderFile;
  if (!file->EncryptionEngine()) Raise(nxErrNotSupported, u"%s not supported by %s", {nxString(u"ChangePassword"), nxString(u"a table without encryption")});
  file->EncryptionEngine()->ChangePassword(file->HeaderAccessFactory()->GetEncryptionEngineHeader(Header),
                                           aNewPassword);
}

PnxBlock Tnx2xFileHeaderAccess::FetchOverflowBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty,
                                                   TnxReleaseMethod& aRelease) {
  CheckBlockNumber(aBlock, 8961);
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) {
    return bfhaBlockAccess->GetBlock(aTrans, aBlock, aMarkDirty, r, OverflowID);
  });
  const std::uint32_t capacity = (UsableSize() - 24) / 8;
  const std::uint32_t count = nxseGetU16(pin.Block() + 22);
  const std::uint32_t next = nxseGetU32(pin.Block() + 16);
  if (!nxseHasSignature(pin.Block(), "CHOF") || nxseGetU16(pin.Block() + 20) != capacity || count == 0 ||
      count > capacity || (next != 0 && next >= UsedBlocks()))
    Raise(nxErrCorruptFile, u"Child header overflow block %d in file \"%s\" is corrupt",
          {static_cast<std::int64_t>(aBlock), bfhaHeaderFile->FileName()});
  return pin.HandOver(aRelease);
}

PnxBlock Tnx2xFileHeaderAccess::NewOverflowBlock(TnxBaseTransaction* aTrans, std::int32_t aID, std::int32_t aBlock,
                                                 TnxReleaseMethod& aRelease) {
  const std::uint32_t usable = UsableSize();
  PnxBlock block = GetNewBlock(aTrans, OverflowID, aRelease);
  std::memset(block + 16, 0, usable - 16);
  nxseSetSignature(block, "CHOF");
  nxsePutU32(block + 16, 0);
  nxsePutU16(block + 20, static_cast<std::uint16_t>((usable - 24) / 8));
  nxsePutU16(block + 22, 1);
  nxsePutI32(block + 24, aID);
  nxsePutI32(block + 28, aBlock);
  return block;
}

TnxBlockNumber Tnx2xFileHeaderAccess::GetHeaderBlockForID(TnxBaseTransaction* aTrans, std::int32_t aID) {
  if (aTrans) MarkDirty(aTrans);
  const std::uint16_t section = RegisterHeaderSection(u"SubHeaders", SubHeadersSize, aTrans != nullptr, true);
  std::uint8_t* entries = Header + section;
  std::uint32_t count = entries[252];
  if (count > SubHeadersMax) Raise(nxErrCorruptHeader);
  const std::uint32_t usedBlocks = UsedBlocks();
  std::uint32_t index;
  if (count > 0) {
    std::int32_t last = nxseGetI32(entries + 8 * (count - 1));
    if (aID <= last && findEntry(entries, count, aID, index)) {
      const std::uint32_t block = nxseGetU32(entries + 8 * index + 4);
      CheckBlockNumber(block, 8961);
      return block;
    }
    std::uint32_t next = nxseGetU32(entries + 248);
    std::uint32_t steps = 0;
    while (next != 0 && aID >= last) {
      if (++steps > usedBlocks) Raise(nxErrCorruptFile, u"The sub-header chain of file \"%s\" has a cycle", {bfhaHeaderFile->FileName()});
      TnxPinnedBlock overflow([&](TnxReleaseMethod& r) { return FetchOverflowBlock(aTrans, next, false, r); });
      const std::uint32_t n = nxseGetU16(overflow.Block() + 22);
      const std::int32_t blockLast = nxseGetI32(overflow.Block() + 24 + 8 * (n - 1));
      if (aID > last && aID <= blockLast && findEntry(overflow.Block() + 24, n, aID, index)) {
        const std::uint32_t block = nxseGetU32(overflow.Block() + 24 + 8 * index + 4);
        CheckBlockNumber(block, 8962);
        return block;
      }
      last = blockLast;
      next = nxseGetU32(overflow.Block() + 16);
    }
  }
  if (!aTrans) Raise(nxErrCorruptHeader);

  // A new sub-header block for aID.
  const std::uint32_t usable = UsableSize();
  TnxBlockNumber result;
  {
    TnxPinnedBlock sub([&](TnxReleaseMethod& r) { return GetNewBlock(aTrans, aID, r); });
    std::memset(sub.Block() + 16, 0, usable - 16);
    nxseSetSignature(sub.Block(), "NX!2");
    nxsePutU16(sub.Block() + SectionTop, static_cast<std::uint16_t>(usable - 1));
    result = nxseThisBlock(sub.Block());
  }
  entries = Header + section;

  bool carried = false;
  std::int32_t carryID = 0;
  std::uint32_t carryBlock = 0;
  if (count == 0) {
    insertEntry(entries, 0, 0, aID, result);
    count = 1;
  } else if (aID < nxseGetI32(entries + 8 * (count - 1)) || count < SubHeadersMax) {
    if (count == SubHeadersMax) {
      carried = true;
      carryID = nxseGetI32(entries + 8 * (count - 1));
      carryBlock = nxseGetU32(entries + 8 * (count - 1) + 4);
      --count;
    }
    const bool present = findEntry(entries, count, aID, index);
    nxAssert(!present, "Sub-header ID already present");
    insertEntry(entries, count, index, aID, result);
    ++count;
  } else {
    carried = true;
    carryID = aID;
    carryBlock = result;
  }
  entries[252] = static_cast<std::uint8_t>(count);
  if (!carried) return result;

  const std::uint32_t chain = nxseGetU32(entries + 248);
  if (chain == 0) {
    TnxPinnedBlock overflow([&](TnxReleaseMethod& r) {
      return NewOverflowBlock(aTrans, carryID, static_cast<std::int32_t>(carryBlock), r);
    });
    nxsePutU32(Header + section + 248, nxseThisBlock(overflow.Block()));
    return result;
  }
  std::int32_t running = nxseGetI32(entries + 8 * (count - 1));
  std::uint32_t next = chain, previous = 0, steps = 0;
  while (next != 0 && carried) {
    if (++steps > UsedBlocks()) Raise(nxErrCorruptFile, u"The sub-header chain of file \"%s\" has a cycle", {bfhaHeaderFile->FileName()});
    TnxPinnedBlock overflow([&](TnxReleaseMethod& r) { return FetchOverflowBlock(aTrans, next, true, r); });
    std::uint8_t* items = overflow.Block() + 24;
    std::uint32_t n = nxseGetU16(overflow.Block() + 22);
    const std::uint32_t capacity = nxseGetU16(overflow.Block() + 20);
    const std::int32_t blockLast = nxseGetI32(items + 8 * (n - 1));
    if (carryID > running && (carryID <= blockLast || n < capacity)) {
      bool again = false;
      std::int32_t againID = 0;
      std::uint32_t againBlock = 0;
      if (n == capacity) {
        again = true;
        againID = nxseGetI32(items + 8 * (n - 1));
        againBlock = nxseGetU32(items + 8 * (n - 1) + 4);
        --n;
      }
      const bool present = findEntry(items, n, carryID, index);
      nxAssert(!present, "Sub-header ID already present");
      insertEntry(items, n, index, carryID, carryBlock);
      ++n;
      nxsePutU16(overflow.Block() + 22, static_cast<std::uint16_t>(n));
      carried = again;
      carryID = againID;
      carryBlock = againBlock;
    }
    running = nxseGetI32(items + 8 * (n - 1));
    previous = next;
    next = nxseGetU32(overflow.Block() + 16);
  }
  if (carried) {
    TnxPinnedBlock overflow([&](TnxReleaseMethod& r) {
      return NewOverflowBlock(aTrans, carryID, static_cast<std::int32_t>(carryBlock), r);
    });
    TnxPinnedBlock tail([&](TnxReleaseMethod& r) { return FetchOverflowBlock(aTrans, previous, true, r); });
    nxsePutU32(tail.Block() + 16, nxseThisBlock(overflow.Block()));
  }
  return result;
}

// ---- Registration ------------------------------------------------------------------------------

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gHeaderAccessModuleStarts{0};
}  // namespace

void nxseHeaderAccessInitialize() {
  TnxCountedStart started(gHeaderAccessModuleStarts);
  if (!started) return;
  TnxBaseFileHeaderAccessFactory::Register(Tnx1xFileHeaderAccessFactory::staticClassInfo(), kNX1);
  TnxBaseFileHeaderAccessFactory::Register(Tnx2xFileHeaderAccessFactory::staticClassInfo(), kNX2);
}

void nxseHeaderAccessFinalize() {
  if (!nxUseCountLeave(gHeaderAccessModuleStarts)) return;
  TnxBaseFileHeaderAccessFactory::UnRegister(Tnx2xFileHeaderAccessFactory::staticClassInfo());
  TnxBaseFileHeaderAccessFactory::UnRegister(Tnx1xFileHeaderAccessFactory::staticClassInfo());
}
