// The table file base, the header access bases and the header-format
// registry.
#include <algorithm>
#include <cstring>
#include <memory>

#include "nxllMemoryManager.h"
#include "nxsdDataDictionaryTables.h"
#include "nxsrBufferManagerInt.h"
#include "plFileSystem.h"
#include "plFormat.h"

PL_CLASS_INFO_IMPL(TnxBaseFile, TnxObject, "TnxBaseFile", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFileHeaderAccess, TnxObject, "TnxBaseFileHeaderAccess", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFileHeaderAccessFactory, TnxObject, "TnxBaseFileHeaderAccessFactory", nullptr)

std::atomic<const platform::ClassInfo*> TnxBaseFile::DefaultFileInfoClass{nullptr};
std::atomic<const platform::ClassInfo*> TnxBaseFile::TableFileInfoClass{nullptr};

namespace {

// Signatures (sorted, duplicates refused) with their factory classes.
struct FactoryRegistry {
  platform::TStringList signatures{platform::Duplicates::error, true};
  std::vector<const platform::ClassInfo*> classes;
};
std::unique_ptr<FactoryRegistry> gFactories;

nxString signatureText(const TnxBlockSignature& aSignature) {
  nxString s;
  for (char c : aSignature) s.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return s;
}

const TnxFileHeaderAccessFactoryClassFuncs& factoryFuncs(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxFileHeaderAccessFactoryClassFuncs>();
  nxAssert(funcs != nullptr, "Header access factory class without class functions");
  return *funcs;
}

// The registered class of a signature; 15414 without a registry, nil when
// the signature is unknown.
const platform::ClassInfo* findFactory(const TnxBlockSignature& aSignature) {
  if (!gFactories || gFactories->signatures.empty()) throw EnxFileHeaderAccessException(nxErrNoFileHeaderAccess);
  int index;
  if (!gFactories->signatures.find(signatureText(aSignature), index)) return nullptr;
  return gFactories->classes[static_cast<std::size_t>(index)];
}

class BlockPoolBuffer {
 public:
  explicit BlockPoolBuffer(TnxBlockSizeAll aSize) : pool_(nxCommittedBlockPools(aSize)) {
    block_ = nxBlockPoolCommittedAlloc(pool_);
  }
  ~BlockPoolBuffer() { nxBlockPoolCommittedDispose(pool_, block_); }
  BlockPoolBuffer(const BlockPoolBuffer&) = delete;
  BlockPoolBuffer& operator=(const BlockPoolBuffer&) = delete;
  PnxBlock get() const { return static_cast<PnxBlock>(block_); }

 private:
  TnxBlockPoolHandle pool_;
  void* block_;
};

bool isTrimmed(char16_t c) { return c <= u' '; }

}  // namespace

void nxRaiseBlockMismatch(TnxBlockNumber aExpected, TnxBlockNumber aFound, const nxString& aFileName) {
  throw EnxFileHeaderAccessException(nxErrCorruptFile, u"Block %d is identified as block %d in the block header in file \"%s\"",
                                     {static_cast<std::int64_t>(aExpected), static_cast<std::int64_t>(aFound),
                                      aFileName});
}

void nxCheckStoredLSN(TnxLSN aLSN, TnxBlockNumber aBlockNum, const nxString& aFileName) {
  // Read as unsigned: a negative stored value is as far out.
  if (static_cast<std::uint64_t>(aLSN) < static_cast<std::uint64_t>(nxLSNLimit)) return;
  throw EnxFileHeaderAccessException(nxErrCorruptFile, u"Block %d in file \"%s\" carries the LSN %d, beyond what a table holds",
                                     {static_cast<std::int64_t>(aBlockNum), aFileName,
                                      static_cast<std::int64_t>(aLSN)});
}

// ---- Header access base -------------------------------------------------------------------

TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                 TnxBlockAccess* aBlockAccess)
    : bfhaHeaderFile(aBlockAccess->baFile),
      bfhaIsDirty(aMarkDirty),
      bfhaBlockAccess(aBlockAccess),
      bfhaCreateTrans(aTrans) {
  if (aMarkDirty) BeginChange(aTrans);
}

void TnxBaseFileHeaderAccess::BeginChange(TnxBaseTransaction* aTrans) {
  if (bfhaChangingTrans || !aTrans) return;
  aTrans->BeginHeaderChange();
  bfhaChangingTrans = aTrans;
}

void TnxBaseFileHeaderAccess::afterConstruction() {
  if (TnxBlockAccess* main = bfhaBlockAccess->baMain) {
    const auto* funcs = classInfo().table<TnxFileHeaderAccessClassFuncs>();
    nxAssert(funcs != nullptr, "Header access class without class functions");
    bfhaMainHeader = funcs->create(bfhaCreateTrans, bfhaIsDirty, main);
  }
  LoadHeader(bfhaCreateTrans);
}

TnxBaseFileHeaderAccess::~TnxBaseFileHeaderAccess() {
  nxReleaseBlock(bfhaRelease, Header);
  platform::TObject::free(bfhaMainHeader);
  if (bfhaChangingTrans) bfhaChangingTrans->EndHeaderChange();
}

void TnxBaseFileHeaderAccess::LoadHeader(TnxBaseTransaction* aTrans) {
  Header = bfhaBlockAccess->GetBlock(aTrans, bfhaBlockAccess->baHeaderBlock, bfhaIsDirty, bfhaRelease,
                                     bfhaBlockAccess->baID);
}

void TnxBaseFileHeaderAccess::MarkDirty(TnxBaseTransaction* aTrans) {
  if (bfhaIsDirty) return;
  BeginChange(aTrans);
  nxReleaseBlock(bfhaRelease, Header);
  bfhaIsDirty = true;
  LoadHeader(aTrans);
}

void TnxBaseFileHeaderAccess::ChangePassword(const nxString&) {
  throw EnxFileHeaderAccessException(nxErrNotSupported, u"%s not supported by %s",
                                     {nxString(u"ChangePassword"), platform::fromUtf8(className())});
}

// ---- Factory base and registry -------------------------------------------------------------

TnxBaseFileHeaderAccessFactory::TnxBaseFileHeaderAccessFactory(const TnxBlockSignature&, TnxBaseFile* aFile,
                                                               PnxBlock)
    : bfhafFile(aFile) {}

void TnxBaseFileHeaderAccessFactory::ValidateDictionary(TnxDataDictionary*, bool) {}
void TnxBaseFileHeaderAccessFactory::SetupTableChecksum(PnxBlock, bool) {}

TnxBaseFileHeaderAccess* TnxBaseFileHeaderAccessFactory::CreateFileHeaderAccess(TnxBaseTransaction* aTrans,
                                                                               bool aMarkDirty,
                                                                               TnxBlockAccess* aBlockAccess) {
  nxAssert(aBlockAccess->baFile == bfhafFile, "Block access of another file");
  const auto* funcs = HeaderAccessClass().table<TnxFileHeaderAccessClassFuncs>();
  nxAssert(funcs != nullptr, "Header access class without class functions");
  return funcs->create(aTrans, aMarkDirty, aBlockAccess);
}

void TnxBaseFileHeaderAccessFactory::VerifyID(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum,
                                              std::int32_t aID) {
  const TnxBlockNumber found = nxBlockHeader(aBlock)->bchThisBlock;
  if (found == aBlockNum || (aID == 0 && found == 0)) return;
  nxRaiseBlockMismatch(aBlockNum, found, bfhafFile->FileName());
}

void TnxBaseFileHeaderAccessFactory::ValidateBlock(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum) {
  const TnxBlockNumber found = nxBlockHeader(aBlock)->bchThisBlock;
  if (found != aBlockNum) nxRaiseBlockMismatch(aBlockNum, found, bfhafFile->FileName());
}

std::int32_t TnxBaseFileHeaderAccessFactory::GetID(const std::uint8_t*) { return 0; }
std::uint8_t* TnxBaseFileHeaderAccessFactory::GetEncryptionEngineHeader(PnxBlock) { return nullptr; }
std::uint8_t* TnxBaseFileHeaderAccessFactory::GetTableChecksum(PnxBlock) { return nullptr; }

std::int32_t TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace() {
  const auto* funcs = classInfo().table<TnxFileHeaderAccessFactoryClassFuncs>();
  return funcs ? funcs->additionalReservedSpace() : 0;
}

void TnxBaseFileHeaderAccessFactory::Register(const platform::ClassInfo& aClass,
                                              const TnxBlockSignature& aSignature) {
  (void)factoryFuncs(aClass);
  if (!gFactories) gFactories = std::make_unique<FactoryRegistry>();
  const int index = gFactories->signatures.add(signatureText(aSignature));
  gFactories->classes.insert(gFactories->classes.begin() + index, &aClass);
}

void TnxBaseFileHeaderAccessFactory::UnRegister(const platform::ClassInfo& aClass) {
  if (!gFactories) return;
  for (int i = gFactories->signatures.count() - 1; i >= 0; --i)
    if (gFactories->classes[static_cast<std::size_t>(i)] == &aClass) {
      gFactories->signatures.deleteAt(i);
      gFactories->classes.erase(gFactories->classes.begin() + i);
    }
  if (gFactories->signatures.empty()) gFactories.reset();
}

TnxBaseFileHeaderAccessFactory* TnxBaseFileHeaderAccessFactory::CreateFactory(const TnxBlockSignature& aSignature,
                                                                              PnxBlock aHeader, TnxBaseFile* aFile) {
  TnxBlockSignature signature = aSignature;
  if (signature == nxNoSignature) std::memcpy(signature.data(), aHeader, 4);
  const platform::ClassInfo* cls = findFactory(signature);
  if (!cls)
    throw EnxFileHeaderAccessException(nxErrCannotOpenFile, u"\"%s\" is not a DazavAV formatted file, or its file header is corrupt",
                                       {aFile->FileName()});
  return factoryFuncs(*cls).create(aSignature, aFile, aHeader);
}

bool TnxBaseFileHeaderAccessFactory::HasSignature(const TnxBlockSignature& aSignature) {
  return findFactory(aSignature) != nullptr;
}

void TnxBaseFileHeaderAccessFactory::CheckValid(TnxDataDictionary* aDataDictionary, bool aForBuild) {
  const platform::ClassInfo* cls = findFactory(aDataDictionary->HeaderSignature());
  if (!cls) throw EnxFileHeaderAccessException(nxErrUnsupportedFileHeaderAccess);
  factoryFuncs(*cls).validateDictionary(aDataDictionary, aForBuild);
}

std::int32_t TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(const TnxBlockSignature& aSignature) {
  const platform::ClassInfo* cls = findFactory(aSignature);
  if (!cls) throw EnxFileHeaderAccessException(nxErrUnsupportedFileHeaderAccess);
  return factoryFuncs(*cls).additionalReservedSpace();
}

// ---- Files ------------------------------------------------------------------------------------

TnxBaseFile::TnxBaseFile() = default;

TnxBaseFile::~TnxBaseFile() {
  if (fiSnapShotLinkHead && fiBufMgr) {
    TnxPadlockGuard guard(fiBufMgr->Padlock());
    FreeSnapShotLinks();
  }
  platform::TObject::free(fiEncryptionEngine);
  platform::TObject::free(fiHeaderAccessFactory);
}

TnxBaseFile* TnxBaseFile::Alloc(bool aForTable, const nxString& aName, TnxBufferManager* aBufMgr) {
  const platform::ClassInfo* cls = aForTable ? TableFileInfoClass.load() : nullptr;
  if (aForTable) nxAssert(cls != nullptr, "TableFileInfoClass not defined");
  if (!cls) cls = DefaultFileInfoClass.load();
  nxAssert(cls != nullptr, "DefaultFileInfoClass not defined");
  TnxOwned<TnxBaseFile> file(platform::objectAs<TnxBaseFile>(cls->construct()));
  nxAssert(static_cast<bool>(file), "File class does not derive from TnxBaseFile");
  file->SetName(aName);
  file->fiBufMgr = aBufMgr;
  return file.release();
}

void TnxBaseFile::SetName(const nxString& aName) {
  platform::FileSystem& fs = platform::currentFileSystem();
  const std::string folder = platform::folderOf(platform::toUtf8(aName));
  std::string path = fs.absolutePath(folder.empty() ? std::string(".") : folder);
  if (path.empty() || path.back() != '/') path.push_back('/');
  fiName = aName;
  fiPath = platform::fromUtf8(path);
}

nxString TnxBaseFile::ExpandRelativeFileName(const nxString& aFileName) {
  std::size_t first = 0, last = aFileName.size();
  while (first < last && isTrimmed(aFileName[first])) ++first;
  while (last > first && isTrimmed(aFileName[last - 1])) --last;
  const nxString name = aFileName.substr(first, last - first);
  if (!name.empty() && name.front() == u'/') return name;
  std::string path = platform::currentFileSystem().absolutePath(platform::toUtf8(fiPath));
  if (path.empty() || path.back() != '/') path.push_back('/');
  fiPath = platform::fromUtf8(path);
  return fiPath + name;
}

nxString TnxBaseFile::FileName() const {
  if (IsTemporary()) return u"(memory)";
  return fiPath + platform::fromUtf8(platform::fileNameOf(platform::toUtf8(fiName)));
}

nxString TnxBaseFile::GetFileID() {
  if (IsTemporary())
    return platform::format(u"%.16x", {static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this))});
  return FileName();
}

std::int64_t TnxBaseFile::PhysicalBlockCount() { return FileSize() / BlockBytes(); }

std::int64_t TnxBaseFile::CachedBlockCount() const {
  // The leaves of the three-level lookup count their blocks.
  std::int64_t count = 0;
  for (const TnxBlockContainer* c2 : fiBlocks) {
    if (!c2) continue;
    for (const void* e3 : c2->bcBlocks) {
      if (!e3) continue;
      for (const void* leaf : static_cast<const TnxBlockContainer*>(e3)->bcBlocks)
        if (leaf) count += static_cast<const TnxBlockContainer*>(leaf)->bcCount;
    }
  }
  return count;
}

TnxResult TnxBaseFile::AddHeader(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords,
                                 const TnxBlockSignature& aSignature) {
  TnxReleaseMethod release;
  PnxBlock header = fiBufMgr->AddBlock(this, aTrans, 0, release);
  TnxResult result = 0;
  try {
    TnxBaseFileHeaderAccessFactory* factory = TnxBaseFileHeaderAccessFactory::CreateFactory(aSignature, header, this);
    platform::TObject::free(std::exchange(fiHeaderAccessFactory, factory));
    fiHeaderSignature = aSignature;
    if (!fiEncryptionEngineName.empty()) {
      platform::TObject::free(std::exchange(fiEncryptionEngine, nullptr));
      result = TnxBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords,
                                                     factory->GetEncryptionEngineHeader(header), true, fiForServer,
                                                     fiEncryptionEngine);
      if (result == 0 && fiEncryptionEngine) factory->SetupTableChecksum(header, true);
    }
  } catch (...) {
    nxReleaseBlock(release, header);
    throw;
  }
  nxReleaseBlock(release, header);
  return result;
}

TnxResult TnxBaseFile::ReadHeader(const TnxUnicodeStrings& aPasswords, bool& aIsReadOnly) {
  aIsReadOnly = false;
  platform::TObject::free(std::exchange(fiHeaderAccessFactory, nullptr));
  BlockPoolBuffer buffer(nxbs64k);
  TnxResult result = 0;
  try {
    ReadFileExactAt(4096, buffer.get(), 0);
    std::memcpy(fiHeaderSignature.data(), buffer.get(), 4);
    fiHeaderAccessFactory = TnxBaseFileHeaderAccessFactory::CreateFactory(nxNoSignature, buffer.get(), this);
    if (fiBlockSize > nxbs64k) throw EnxFileHeaderAccessException(nxErrCorruptHeader);
    if (fiBlockSize != nxbs4k) ReadFileExactAt(BlockBytes(), buffer.get(), 0);
    // The used-block count decides where the file grows: above what the file
    // holds it is damage (below is fine: a file grows ahead of its use).
    const std::int64_t held = (FileSize() + BlockBytes() - 1) / BlockBytes();
    if (fiUsedBlocks == 0 || fiUsedBlocks > held)
      throw EnxFileHeaderAccessException(
          nxErrCorruptFile, u"The header of file \"%s\" counts %d used blocks, but the file holds %d",
          {FileName(), static_cast<std::int64_t>(fiUsedBlocks), held});
    nxCheckStoredLSN(nxBlockHeader(buffer.get())->bchLSN, 0, FileName());
    if (fiVadurVersion > 47501) {
      result = EnxBaseException::nxSetMessage(
          15415, u"Table \"%s\" was created with version %5.4f of DazavAV, which is newer than this server's version (%5.4f).",
          {FileName(), fiVadurVersion / 10000.0, 4.7501});
    } else {
      const std::int64_t maxSize = CalcMaxFileSize();
      fiMaxBlocks = static_cast<std::uint32_t>(
          std::min<std::int64_t>(0xFFFFFFFFll, maxSize >> nxBlockShift(fiBlockSize)));
      if (!fiEncryptionEngineName.empty()) {
        platform::TObject::free(std::exchange(fiEncryptionEngine, nullptr));
        result = TnxBaseEncryptionEngine::CreateEngine(
            fiEncryptionEngineName, aPasswords, fiHeaderAccessFactory->GetEncryptionEngineHeader(buffer.get()), false,
            fiForServer, fiEncryptionEngine);
        if (result == 10763) {
          aIsReadOnly = true;
          result = 0;
        }
        if (result == 0 && fiEncryptionEngine) fiHeaderAccessFactory->SetupTableChecksum(buffer.get(), false);
      }
      if (result == 0 && fiEncryptionEngine) fiEncryptionEngine->VerifyHeaderChecksum(buffer.get(), BlockBytes());
    }
  } catch (...) {
    platform::TObject::free(std::exchange(fiHeaderAccessFactory, nullptr));
    throw;
  }
  if (result != 0) platform::TObject::free(std::exchange(fiHeaderAccessFactory, nullptr));
  return result;
}

void TnxBaseFile::fiUpdateTableChecksum(PnxBlock aHeader) {
  nxAssert(fiEncryptionEngine != nullptr, "Table checksum without an encryption engine");
  nxAssert(fiChecksum.size() == fiCheckSumSize, "Table checksum of the wrong size");
  if (std::uint8_t* area = fiHeaderAccessFactory->GetTableChecksum(aHeader))
    std::memcpy(area, fiChecksum.data(), fiCheckSumSize);
}

TnxBlockIteratorResult TnxBaseFile::Iterate(
    void* aCookie, bool aDecrypt,
    TnxBlockIteratorResult (*aCall)(const void*, void*, TnxBlockNumber, const std::vector<std::uint8_t>&, PnxBlock),
    const void* aIterator) {
  TnxBlockIteratorResult result = birContinue;
  const std::int64_t count = PhysicalBlockCount();
  if (count <= 0) return result;
  BlockPoolBuffer buffer(nxbs64k);
  std::vector<std::uint8_t> cookie;
  for (std::int64_t n = 0; n < count; ++n) {
    PnxBlock block = buffer.get();
    const std::int64_t offset = n << nxBlockShift(fiBlockSize);
    try {
      if (aDecrypt)
        ReadDecryptFileExactAt(BlockBytes(), block, cookie, offset);
      else
        ReadFileExactAt(BlockBytes(), block, offset);
    } catch (const std::exception&) {
      block = nullptr;
    }
    result = aCall(aIterator, aCookie, static_cast<TnxBlockNumber>(n), cookie, block);
    if (result == birStop) break;
  }
  return result;
}

TnxBlockIteratorResult TnxBaseFile::IterateBlocks(void* aCookie, const TnxBlockIterator& aIterator) {
  return Iterate(
      aCookie, true,
      [](const void* aIt, void* aCk, TnxBlockNumber aNr, const std::vector<std::uint8_t>&, PnxBlock aBlock) {
        const auto& it = *static_cast<const TnxBlockIterator*>(aIt);
        return it ? it.Code(it.Object, aCk, aNr, aBlock) : birContinue;
      },
      &aIterator);
}

TnxBlockIteratorResult TnxBaseFile::IterateBlocksRaw(void* aCookie, const TnxBlockIterator& aIterator) {
  return Iterate(
      aCookie, false,
      [](const void* aIt, void* aCk, TnxBlockNumber aNr, const std::vector<std::uint8_t>&, PnxBlock aBlock) {
        const auto& it = *static_cast<const TnxBlockIterator*>(aIt);
        return it ? it.Code(it.Object, aCk, aNr, aBlock) : birContinue;
      },
      &aIterator);
}

TnxBlockIteratorResult TnxBaseFile::IterateBlockCookies(void* aCookie, const TnxBlockCookieIterator& aIterator) {
  return Iterate(
      aCookie, true,
      [](const void* aIt, void* aCk, TnxBlockNumber aNr, const std::vector<std::uint8_t>& aBlockCookie,
         PnxBlock aBlock) {
        const auto& it = *static_cast<const TnxBlockCookieIterator*>(aIt);
        return it ? it.Code(it.Object, aCk, aNr, aBlockCookie, aBlock) : birContinue;
      },
      &aIterator);
}

void nxsrBufferManagerFinalize() {
  if (!nxUseCountLeave(gBufferManagerStarts)) return;
  gFactories.reset();
}
