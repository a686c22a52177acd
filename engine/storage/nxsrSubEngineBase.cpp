// Sub-engine bases, their registries and the bookmark handler.
#include "nxsrSubEngineBase.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "nxllUtils.h"
#include "nxsdKeyEngineBase.h"
#include "nxsrFileImplWin32.h"
#include "nxsrFileHandling.h"
#include "plFileSystem.h"
#include "plFormat.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseSubEngineException, EnxServerException)
NX_IMPLEMENT_EXCEPTION(EnxBaseAutoIncEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseBlobEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxStreamEngineException, EnxBaseSubEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordEngineException, EnxBaseSubEngineException)

PL_CLASS_INFO_IMPL(TnxBaseSubEngine, TnxPersistent, "TnxBaseSubEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordEngine, TnxBaseSubEngine, "TnxBaseRecordEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxBaseRecordEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseStreamEngine, TnxBaseSubEngine, "TnxBaseStreamEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxBaseStreamEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseAutoIncEngine, TnxBaseSubEngine, "TnxBaseAutoIncEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxBaseAutoIncEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlobEngine, TnxBaseSubEngine, "TnxBaseBlobEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxBaseBlobEngine>))
PL_CLASS_INFO_IMPL(TnxBookmarkHandler, TnxObject, "TnxBookmarkHandler", nullptr)

namespace {

TnxClassList gRecordEngines = nullptr;
TnxClassList gStreamEngines = nullptr;
TnxClassList gAutoIncEngines = nullptr;
TnxClassList gBlobEngines = nullptr;
std::unique_ptr<std::vector<const platform::ClassInfo*>> gFamilyBases;
TnxBookmarkHandler* gNoIndexBookmarkHandler = nullptr;

std::string asciiName(const nxString& aName) { return platform::toUtf8(aName); }

TnxBlockAccess* fileOf(const TnxBlockAccessArray& aFiles, std::int32_t aNumber) {
  nxAssert(aNumber >= 0 && static_cast<std::size_t>(aNumber) < aFiles.size(), "File number without a file access");
  return aFiles[static_cast<std::size_t>(aNumber)];
}

std::int32_t tableVersion(const TnxBlockAccessArray& aFiles) {
  return aFiles.empty() || !aFiles[0] ? 0 : aFiles[0]->baFile->VadurVersion();
}

}  // namespace

// ---- Base and registries ---------------------------------------------------------------------

TnxClassList& TnxBaseSubEngine::GetList() {
  nxAssertionFailed("GetList of TnxBaseSubEngine", "nxsrSubEngineBase", __LINE__);
}

const TnxSubEngineClassFuncs& TnxBaseSubEngine::Funcs(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxSubEngineClassFuncs>();
  nxAssert(funcs != nullptr, "Sub-engine class without class functions");
  return *funcs;
}

void TnxBaseSubEngine::RegisterSubEngineBase(const platform::ClassInfo& aFamilyBase) {
  (void)Funcs(aFamilyBase);
  if (!gFamilyBases) gFamilyBases = std::make_unique<std::vector<const platform::ClassInfo*>>();
  gFamilyBases->push_back(&aFamilyBase);
}

void TnxBaseSubEngine::UnregisterSubEngineBase(const platform::ClassInfo& aFamilyBase) {
  if (!gFamilyBases) return;
  std::erase(*gFamilyBases, &aFamilyBase);
  if (gFamilyBases->empty()) gFamilyBases.reset();
}

void TnxBaseSubEngine::RegisterSubEngine(const platform::ClassInfo& aClass, std::string_view aShortName) {
  nxRegisterClassIn(Funcs(aClass).getList(), aClass, aShortName);
}

void TnxBaseSubEngine::UnregisterSubEngine(const platform::ClassInfo& aClass) {
  nxUnregisterClassIn(Funcs(aClass).getList(), aClass);
}

const platform::ClassInfo* TnxBaseSubEngine::FindSubEngineClass(const platform::ClassInfo& aFamily,
                                                                const nxString& aName) {
  return nxFindClassIn(Funcs(aFamily).getList(), asciiName(aName));
}

const platform::ClassInfo& TnxBaseSubEngine::FindSubEngineClassOrRaise(const platform::ClassInfo& aFamily,
                                                                       const nxString& aName,
                                                                       const char16_t* aFamilyWord) {
  const platform::ClassInfo* cls = FindSubEngineClass(aFamily, aName);
  if (!cls) throw EnxBaseSubEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"", {nxString(aFamilyWord), aName});
  return *cls;
}

void TnxBaseSubEngine::CheckValidAll(TnxBaseTableDescriptor* aDictionary) {
  if (gFamilyBases)
    for (const platform::ClassInfo* family : *gFamilyBases) Funcs(*family).checkDictionary(aDictionary);
  if (TnxTablesDescriptor* tables = aDictionary->TablesDescriptor())
    for (std::int32_t i = 0; i < tables->TableCount(); ++i) CheckValidAll(tables->Tables(i));
}

// ---- Record family -------------------------------------------------------------------------

TnxClassList& TnxBaseRecordEngine::GetList() { return gRecordEngines; }

TnxBaseRecordEngine::TnxBaseRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction*,
                                         const TnxBlockAccessArray& aFiles)
    : TnxBaseSubEngine(aDescriptor->ID(), tableVersion(aFiles)) {
  auto* descriptor = platform::objectAs<TnxBaseRecordDescriptor>(aDescriptor);
  nxAssert(descriptor != nullptr, "Record engine without a record descriptor");
  breDataFile = fileOf(aFiles, descriptor->FileNumber());
  auto* table = platform::objectAs<TnxBaseTableDescriptor>(descriptor->ParentItem());
  nxAssert(table != nullptr, "Record descriptor outside a table");
  breFieldsDescriptor = table->FieldsDescriptor();
  breRecordLength = static_cast<std::uint16_t>(breFieldsDescriptor->RecordLength());
  breRecordAllocator = breFieldsDescriptor->RecordAllocator();
  std::int32_t field = -1;
  if (table->CachingState() != tcsIsCache && breFieldsDescriptor->HasRefNrField(field)) breRefNrField = field;
  TempRecBuf = static_cast<PnxRecordBuffer>(breRecordAllocator.Alloc());
}

TnxBaseRecordEngine::~TnxBaseRecordEngine() {
  if (TempRecBuf) breRecordAllocator.DisposeDirect(TempRecBuf);
}

void TnxBaseRecordEngine::CheckDictionary(TnxBaseTableDescriptor* aTable) {
  TnxBaseRecordDescriptor* descriptor = aTable->RecordDescriptor();
  if (!descriptor) return;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), descriptor->RecordEngine(), u"Record");
  Funcs(cls).checkEngineDescriptor(aTable);
}

TnxBaseRecordEngine* TnxBaseRecordEngine::CreateEngine(TnxBaseTableDescriptor* aTable,
                                                       const TnxBlockAccessArray& aFiles, TnxBaseTransaction* aTrans) {
  return CreateEngine(aTable->RecordDescriptor(), aFiles, aTrans);
}

TnxBaseRecordEngine* TnxBaseRecordEngine::CreateEngine(TnxBaseRecordDescriptor* aDescriptor,
                                                       const TnxBlockAccessArray& aFiles, TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), aDescriptor->RecordEngine(), u"Record");
  nxAssert(Funcs(cls).create != nullptr, "Abstract record engine class");
  return static_cast<TnxBaseRecordEngine*>(Funcs(cls).create(aDescriptor, aTrans, aFiles));
}

void TnxBaseRecordEngine::SetRecordRefNr(PnxRecordBuffer aRecData, TnxRefNr aRefNr) {
  if (breRefNrField >= 0 && aRecData) breFieldsDescriptor->SetRecordField(breRefNrField, aRecData, &aRefNr);
}

std::uint32_t TnxBaseRecordEngine::breGetRecordCount(TnxBaseTransaction* aTrans) {
  std::uint32_t count = 0;
  GetRecordCount(aTrans, count);
  return count;
}

void TnxBaseRecordEngine::_SaveAll(TnxBaseTransaction* aTrans, const nxString& aFileName) {
  nxString name = aFileName;
  if (name.empty()) name = nxCombinePath(nxTempFolder(), u"RecordDump.txt");
  std::string text;
  TnxRefNr refNr = 0;
  PnxRecordBuffer data = nullptr;
  Iterate(
      aTrans, refNr, &data,
      [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        text += std::to_string(aRefNr);
        if (breRefNrField >= 0) {
          bool isNull = false;
          TnxRefNr stored = 0;
          breFieldsDescriptor->GetRecordField(breRefNrField, aRecord, isNull, &stored);
          text += ": " + std::to_string(stored);
        }
        text += "\n";
        return rirContinue;
      },
      nullptr, nullptr, false, false);
  platform::FileSystem& fs = platform::currentFileSystem();
  platform::FileOpenOptions options;
  options.create = true;
  platform::FileId file = -1;
  if (const int err = fs.open(platform::toUtf8(name), options, file))
    throw EnxBaseRecordEngineException(nxErrFileAccess, u"%s", {nxSystemErrorMessage(static_cast<TnxWord32>(err))});
  std::size_t written = 0;
  const int err = fs.writeAt(file, text.data(), text.size(), 0, written);
  fs.close(file);
  if (err) throw EnxBaseRecordEngineException(nxErrWriteFailure, u"%s", {nxSystemErrorMessage(static_cast<TnxWord32>(err))});
}

// ---- Stream family -------------------------------------------------------------------------

TnxClassList& TnxBaseStreamEngine::GetList() { return gStreamEngines; }

TnxBaseStreamEngine::TnxBaseStreamEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction*,
                                         TnxBlockAccess* aDataFile)
    : TnxBaseSubEngine(aDescriptor ? aDescriptor->ID() : 0, aDataFile ? aDataFile->baFile->VadurVersion() : 0),
      bseDataFile(aDataFile) {}

void TnxBaseStreamEngine::CheckDictionary(TnxBaseTableDescriptor* aTable) {
  auto* dictionary = platform::objectAs<TnxDataDictionary>(aTable);
  if (!dictionary || !dictionary->StreamDescriptor()) return;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), dictionary->StreamDescriptor()->StreamEngine(), u"stream");
  Funcs(cls).checkEngineDescriptor(dictionary->StreamDescriptor());
}

TnxBaseStreamEngine* TnxBaseStreamEngine::CreateEngine(TnxBaseStreamDescriptor* aDescriptor,
                                                       TnxBlockAccess* aDataFile, TnxBaseTransaction* aTrans) {
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), aDataFile->baFile->StreamEngineName(), u"stream");
  nxAssert(Funcs(cls).create != nullptr, "Abstract stream engine class");
  return static_cast<TnxBaseStreamEngine*>(Funcs(cls).create(aDescriptor, aTrans, {aDataFile}));
}

TnxBaseStreamEngine* TnxBaseStreamEngine::CreateEngine(TnxDataDictionary* aDictionary, TnxBlockAccess* aDataFile,
                                                       TnxBaseTransaction* aTrans) {
  return CreateEngine(aDictionary ? aDictionary->StreamDescriptor() : nullptr, aDataFile, aTrans);
}

// ---- Auto-increment and BLOB families --------------------------------------------------------

TnxClassList& TnxBaseAutoIncEngine::GetList() { return gAutoIncEngines; }

TnxBaseAutoIncEngine::TnxBaseAutoIncEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction*,
                                           const TnxBlockAccessArray& aFiles)
    : TnxBaseSubEngine(aDescriptor->ID(), tableVersion(aFiles)) {
  auto* descriptor = platform::objectAs<TnxBaseAutoIncDescriptor>(aDescriptor);
  nxAssert(descriptor != nullptr, "Auto-increment engine without its descriptor");
  baieDataFile = fileOf(aFiles, descriptor->FileNumber());
}

void TnxBaseAutoIncEngine::CheckDictionary(TnxBaseTableDescriptor* aTable) {
  TnxBaseAutoIncDescriptor* descriptor = aTable->AutoIncDescriptor();
  if (!descriptor) return;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), descriptor->AutoIncEngine(), u"autoinc");
  Funcs(cls).checkEngineDescriptor(descriptor);
}

TnxBaseAutoIncEngine* TnxBaseAutoIncEngine::CreateEngine(TnxBaseTableDescriptor* aTable,
                                                         const TnxBlockAccessArray& aFiles,
                                                         TnxBaseTransaction* aTrans) {
  TnxBaseAutoIncDescriptor* descriptor = aTable->AutoIncDescriptor();
  if (!descriptor) return nullptr;
  const platform::ClassInfo& cls =
      FindSubEngineClassOrRaise(staticClassInfo(), descriptor->AutoIncEngine(), u"autoinc");
  nxAssert(Funcs(cls).create != nullptr, "Abstract auto-increment engine class");
  return static_cast<TnxBaseAutoIncEngine*>(Funcs(cls).create(descriptor, aTrans, aFiles));
}

TnxClassList& TnxBaseBlobEngine::GetList() { return gBlobEngines; }

TnxBaseBlobEngine::TnxBaseBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction*,
                                     const TnxBlockAccessArray& aFiles)
    : TnxBaseSubEngine(aDescriptor->ID(), tableVersion(aFiles)) {
  auto* descriptor = platform::objectAs<TnxBaseBlobDescriptor>(aDescriptor);
  nxAssert(descriptor != nullptr, "BLOB engine without its descriptor");
  bbeBlobFile = fileOf(aFiles, descriptor->FileNumber());
}

namespace {
// The bytes of a BLOB read whole, for Modify.
class TnxBlobBytesBuffer final : public TStream, public TnxBlobBytes {
 public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override {
    const auto* bytes = static_cast<const std::uint8_t*>(aBuffer);
    bbbBytes.insert(bbbBytes.end(), bytes, bytes + aCount);
    return aCount;
  }
  std::uint32_t Length() override { return static_cast<std::uint32_t>(bbbBytes.size()); }
  void Grow(std::uint32_t aLength) override {
    if (aLength > bbbBytes.size()) bbbBytes.resize(aLength, 0);
  }
  std::uint8_t& At(std::uint32_t aOffset) override {
    nxAssert(aOffset < bbbBytes.size(), "BLOB byte beyond the length");
    return bbbBytes[aOffset];
  }
  std::vector<std::uint8_t> bbbBytes;
};
}  // namespace

void TnxBaseBlobEngine::Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange) {
  nxString name;
  TnxBlobNr source = 0;
  if (IsFileBlob(aTrans, aBlobNr, name) || IsBlobLink(aTrans, aBlobNr, name, source))
    throw EnxBaseBlobEngineException(nxErrReadOnlyField);
  std::uint32_t length = 0;
  if (const TnxResult r = GetBlobLength(aTrans, aBlobNr, {}, length)) throw EnxBaseBlobEngineException(r);
  TnxBlobBytesBuffer buffer;
  if (length > 0)
    if (const TnxResult r = Read(aTrans, aBlobNr, 0, length, {}, buffer)) throw EnxBaseBlobEngineException(r);
  if (buffer.Length() != length) throw EnxBaseBlobEngineException(nxErrBlobGeneral);
  aChange(buffer);
  if (buffer.Length() > 0) Write(aTrans, aBlobNr, 0, buffer.Length(), buffer.bbbBytes.data());
}

void TnxBaseBlobEngine::CheckDictionary(TnxBaseTableDescriptor* aTable) {
  TnxBaseBlobDescriptor* descriptor = aTable->BlobDescriptor();
  if (!descriptor) return;
  const platform::ClassInfo& cls = FindSubEngineClassOrRaise(staticClassInfo(), descriptor->BlobEngine(), u"BLOB");
  Funcs(cls).checkEngineDescriptor(descriptor);
}

TnxBaseBlobEngine* TnxBaseBlobEngine::CreateEngine(TnxBaseTableDescriptor* aTable, const TnxBlockAccessArray& aFiles,
                                                   TnxBaseTransaction* aTrans) {
  TnxBaseBlobDescriptor* descriptor = aTable->BlobDescriptor();
  if (!descriptor) return nullptr;
  const platform::ClassInfo& cls = FindSubEngineClassOrRaise(staticClassInfo(), descriptor->BlobEngine(), u"BLOB");
  nxAssert(Funcs(cls).create != nullptr, "Abstract BLOB engine class");
  return static_cast<TnxBaseBlobEngine*>(Funcs(cls).create(descriptor, aTrans, aFiles));
}

namespace {

// Runs aBody on the external file opened read-only and shared; maps the
// file layer's failures to the file-BLOB results.
template <class Body>
TnxResult withFileBlob(TnxBlockAccess* aBlobFile, const nxString& aFileName, Body aBody) {
  const nxString name = aBlobFile->baFile->ExpandRelativeFileName(aFileName);
  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(false, name, aBlobFile->baFile->BufMgr()));
  try {
    file->OpenFile(omReadOnly, smShared, false, false);
    aBody(*file);
    file->CloseFile();
  } catch (const EnxBaseException& e) {
    switch (e.ErrorCode()) {
      case 9217: return 15441;
      case 9221: return 15440;
      case 15363: return 15442;
      default: throw;
    }
  }
  return 0;
}

}  // namespace

TnxResult TnxBaseBlobEngine::ReadFileBlob(const nxString& aFileName, std::uint32_t aOffset, std::uint32_t aLen,
                                          TStream& aStream) {
  return withFileBlob(bbeBlobFile, aFileName, [&](TnxBaseFile& aFile) {
    // The length comes from the caller (a whole BLOB is read with 4 GB):
    // only what the file holds is read, in pieces of a bounded buffer.
    const std::int64_t size = aFile.FileSize();
    std::int64_t left = std::min<std::int64_t>(aLen, std::max<std::int64_t>(0, size - aOffset));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(left, 65536)));
    std::int64_t at = aOffset;
    while (left > 0) {
      const auto piece = static_cast<std::uint32_t>(std::min<std::int64_t>(left, 65536));
      const std::uint32_t read = aFile.ReadFileAt(piece, buffer.data(), at);
      if (read == 0) break;
      aStream.WriteBuffer(buffer.data(), static_cast<std::int32_t>(read));
      left -= read;
      at += read;
    }
  });
}

TnxResult TnxBaseBlobEngine::GetFileBlobLength(const nxString& aFileName, std::uint32_t& aLength) {
  return withFileBlob(bbeBlobFile, aFileName, [&](TnxBaseFile& aFile) {
    aLength = static_cast<std::uint32_t>(std::min<std::int64_t>(aFile.FileSize(), 0xFFFFFFFFll));
  });
}

// ---- Bookmarks ------------------------------------------------------------------------------

std::int32_t TnxBookmarkHandler::BookmarkSize() const {
  return 24 + (bmhKeyEngine ? bmhKeyEngine->KeyLength() : 0);
}

void TnxBookmarkHandler::SetChecksum(std::uint8_t* aBookmark) {
  std::uint32_t keyLength;
  std::memcpy(&keyLength, aBookmark + 20, 4);
  const std::uint32_t hash = nxElfHash(aBookmark + 4, keyLength + 20);
  std::memcpy(aBookmark, &hash, 4);
}

TnxResult TnxBookmarkHandler::CheckBookmark(const std::uint8_t* aBookmark, std::int32_t aSize) {
  if (!aBookmark) return 10021;
  const std::int32_t keyLength = bmhKeyEngine ? bmhKeyEngine->KeyLength() : 0;
  // The size is checked before any field is read.
  if (aSize < 24 + keyLength) return 10021;
  std::int32_t indexID, storedLength;
  std::uint32_t checksum;
  std::memcpy(&indexID, aBookmark + 4, 4);
  std::memcpy(&storedLength, aBookmark + 20, 4);
  std::memcpy(&checksum, aBookmark, 4);
  if (bmhKeyEngine ? indexID != bmhIndexID : indexID != -1) return 10021;
  if (storedLength != keyLength) return 10021;
  if (checksum != nxElfHash(aBookmark + 4, static_cast<std::size_t>(keyLength) + 20)) return 10021;
  return 0;
}

namespace {
int crackRank(std::uint8_t aPosition) {
  switch (aPosition) {
    case ippOnCrackBefore: return 0;
    case ippOnKey: return 1;
    default: return 2;
  }
}
}  // namespace

TnxResult TnxBookmarkHandler::CompareBookmarks(const std::uint8_t* aBookmark1, const std::uint8_t* aBookmark2,
                                               std::int32_t aSize, std::int32_t& aCompResult) {
  aCompResult = 0;
  if (TnxResult r = CheckBookmark(aBookmark1, aSize)) return r;
  if (TnxResult r = CheckBookmark(aBookmark2, aSize)) return r;
  const std::uint8_t p1 = aBookmark1[8], p2 = aBookmark2[8];
  if (p1 == ippUnknown) return 10021;
  if (p1 == ippBof) {
    aCompResult = p2 == ippBof ? 0 : -1;
    return 0;
  }
  if (p1 == ippEof) {
    aCompResult = p2 == ippEof ? 0 : 1;
    return 0;
  }
  if (p2 == ippUnknown) return 10021;
  if (p2 == ippBof) {
    aCompResult = 1;
    return 0;
  }
  if (p2 == ippEof) {
    aCompResult = -1;
    return 0;
  }
  if (bmhKeyEngine) {
    if (!aBookmark1[9] || !aBookmark2[9]) return 10021;
    if (bmhKeyEngine->NLSVersionChanged()) return 12289;
    aCompResult = static_cast<std::int32_t>(bmhKeyEngine->CompareKey(aBookmark1 + 24, aBookmark2 + 24, 0, 0));
    if (aCompResult != 0) return 0;
  }
  TnxRefNr r1, r2;
  std::memcpy(&r1, aBookmark1 + 12, 8);
  std::memcpy(&r2, aBookmark2 + 12, 8);
  if (r1 != r2) {
    aCompResult = r1 < r2 ? -1 : 1;
    return 0;
  }
  const int c1 = crackRank(p1), c2 = crackRank(p2);
  aCompResult = c1 == c2 ? 0 : (c1 < c2 ? -1 : 1);
  return 0;
}

TnxResult TnxBookmarkHandler::BookmarkAsVariant(const std::uint8_t* aBookmark, std::int32_t aSize,
                                                platform::Variant& aVariant) {
  if (TnxResult r = CheckBookmark(aBookmark, aSize)) return r;
  switch (aBookmark[8]) {
    case ippUnknown: return 10021;
    case ippBof:
    case ippEof: aVariant = platform::Variant::emptyParam(); return 0;
    default: break;
  }
  if (!bmhKeyEngine) {
    TnxRefNr refNr;
    std::memcpy(&refNr, aBookmark + 12, 8);
    aVariant = platform::Variant(static_cast<long long>(refNr));
    return 0;
  }
  if (!aBookmark[9]) return 10021;
  aVariant = bmhKeyEngine->KeyAsVariant(aBookmark + 24, -1);
  return 0;
}

TnxBookmarkHandler* nxNoIndexBookmarkHandler() { return gNoIndexBookmarkHandler; }

// ---- Module life ------------------------------------------------------------------------------

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gSubEngineBaseModuleStarts{0};
}  // namespace

void nxsrSubEngineBaseInitialize() {
  TnxCountedStart started(gSubEngineBaseModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngineBase(TnxBaseAutoIncEngine::staticClassInfo());
  TnxBaseSubEngine::RegisterSubEngineBase(TnxBaseBlobEngine::staticClassInfo());
  TnxBaseSubEngine::RegisterSubEngineBase(TnxBaseStreamEngine::staticClassInfo());
  TnxBaseSubEngine::RegisterSubEngineBase(TnxBaseRecordEngine::staticClassInfo());
  if (!gNoIndexBookmarkHandler) gNoIndexBookmarkHandler = platform::create<TnxBookmarkHandler>(-1, nullptr);
}

void nxsrSubEngineBaseFinalize() {
  if (!nxUseCountLeave(gSubEngineBaseModuleStarts)) return;
  platform::TObject::free(std::exchange(gNoIndexBookmarkHandler, nullptr));
  TnxBaseSubEngine::UnregisterSubEngineBase(TnxBaseRecordEngine::staticClassInfo());
  TnxBaseSubEngine::UnregisterSubEngineBase(TnxBaseStreamEngine::staticClassInfo());
  TnxBaseSubEngine::UnregisterSubEngineBase(TnxBaseBlobEngine::staticClassInfo());
  TnxBaseSubEngine::UnregisterSubEngineBase(TnxBaseAutoIncEngine::staticClassInfo());
  nxFreeClassList(gRecordEngines);
  nxFreeClassList(gStreamEngines);
  nxFreeClassList(gBlobEngines);
  nxFreeClassList(gAutoIncEngines);
}
