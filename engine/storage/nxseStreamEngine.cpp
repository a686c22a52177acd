// Stream chains, named streams and the dictionary stored in them.
#include "nxseStreamEngine.h"

#include <algorithm>
#include <cstring>

#include "nxseHeaderAccess.h"
#include "plGuid.h"

NX_IMPLEMENT_EXCEPTION(EnxseStreamEngineExcpetion, EnxStreamEngineException)
NX_IMPLEMENT_EXCEPTION(EnxServerDataDictException, EnxDataDictionaryException)

PL_CLASS_INFO_IMPL_TABLE(TnxSimpleStreamEngine, TnxBaseStreamEngine, "TnxSimpleStreamEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxSimpleStreamEngine>))
PL_CLASS_INFO_IMPL(TnxServerDataDict, TnxDataDictionary, "TnxServerDataDict",
                   [] { return static_cast<platform::TObject*>(platform::create<TnxServerDataDict>()); })

namespace {

constexpr std::uint32_t kDictField = 0, kMapField = 4;
constexpr TnxBlockSignature kDICT{'D', 'I', 'C', 'T'};
constexpr TnxBlockSignature kUSER{'U', 'S', 'E', 'R'};
constexpr TnxBlockSignature kSMAP{'S', 'M', 'A', 'P'};

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }
nxString lowerName(const nxString& aName) {
  nxString s = aName;
  for (char16_t& c : s) c = lower(c);
  return s;
}
bool isDict(const nxString& aName) { return lowerName(aName) == u"dict"; }

}  // namespace

TnxSimpleStreamEngine::TnxSimpleStreamEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                             TnxBlockAccess* aDataFile)
    : TnxBaseStreamEngine(aDescriptor, aTrans, aDataFile) {
  auto* descriptor = platform::objectAs<TnxBaseStreamDescriptor>(aDescriptor);
  const nxString name = descriptor ? platform::fromUtf8(descriptor->HeaderSection()) : nxString(u"Stream");
  TnxOwned<TnxBaseFileHeaderAccess> access(bseDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  if (aTrans) {
    seHeaderSection = access->RegisterHeaderSection(name, 8, true, false);
    std::memset(access->Header + seHeaderSection, 0, 8);
  } else {
    seHeaderSection = access->RegisterHeaderSection(name, 8, false, false);
  }
}

void TnxSimpleStreamEngine::RaiseChain(TnxBlockNumber aBlock) {
  throw EnxseStreamEngineExcpetion(nxErrCorruptFile, u"The stream chain at block %d in file \"%s\" is corrupt",
                                   {static_cast<std::int64_t>(aBlock), bseDataFile->baFile->FileName()});
}

PnxBlock TnxSimpleStreamEngine::ReadBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty,
                                          TnxReleaseMethod& aRelease) {
  if (!bseDataFile->ValidBlock(aBlock, aTrans))
    throw EnxseStreamEngineExcpetion(nxErrInvalidBlockNumber, u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                     {bseDataFile->baFile->FileName(), static_cast<std::int64_t>(static_cast<std::int32_t>(aBlock))});
  TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return bseDataFile->GetBlock(aTrans, aBlock, aMarkDirty, r, bseID); });
  if (!nxseHasSignature(pin.Block(), "NXSH") || nxseThisBlock(pin.Block()) != aBlock)
    throw EnxseStreamEngineExcpetion(nxErrNotAStreamBlock, u"Block just read from file is not a valid stream block [%s, block %d]",
                                     {bseDataFile->baFile->FileName(), static_cast<std::int64_t>(aBlock)});
  return pin.HandOver(aRelease);
}

PnxBlock TnxSimpleStreamEngine::NewBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess,
                                         PnxBlock aPrevious, TnxReleaseMethod& aRelease) {
  PnxBlock block = aAccess.GetNewBlock(aTrans, bseID, aRelease);
  std::memset(block + 16, 0, bseDataFile->fiBlockSizeBytes() - 16);
  nxseSetSignature(block, "NXSH");
  nxsePutU64(block + 8, 0);
  nxsePutI32(block + 16, -1);
  if (aPrevious) nxsePutU32(aPrevious + 16, nxseThisBlock(block));
  return block;
}

void TnxSimpleStreamEngine::FreeChain(TnxBaseTransaction* aTrans, TnxBlockNumber aFirst, bool aKeepFirst) {
  TnxOwned<TnxBaseFileHeaderAccess> access(bseDataFile->HeaderAccess(aTrans, true));
  const std::uint32_t limit = access->UsedBlocks();
  TnxBlockNumber current = aFirst;
  for (std::uint32_t steps = 0;; ++steps) {
    if (steps > limit) RaiseChain(aFirst);
    TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return ReadBlock(aTrans, current, true, r); });
    const std::int32_t next = nxseGetI32(pin.Block() + 16);
    if (!(aKeepFirst && steps == 0)) access->DeleteBlock(aTrans, pin.Block());
    if (next == -1) break;
    current = static_cast<TnxBlockNumber>(next);
  }
}

void TnxSimpleStreamEngine::DeleteStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr) {
  FreeChain(aTrans, aStreamNr, false);
}

void TnxSimpleStreamEngine::ReadStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr, TStream& aStream) {
  aStream.SetSize(0);
  const std::uint32_t per = DataPerBlock();
  TnxPinnedBlock first([&](TnxReleaseMethod& r) { return ReadBlock(aTrans, aStreamNr, false, r); });
  const std::uint32_t length = nxseGetU32(first.Block() + 24);
  const std::uint32_t used = bseDataFile->baFile->UsedBlocksFor(aTrans);
  // A length the file cannot hold is damage, not a reason to allocate.
  if (length > 0x7FFFFFFFu || static_cast<std::uint64_t>(length) > static_cast<std::uint64_t>(used) * per)
    RaiseChain(aStreamNr);
  std::uint32_t remaining = length;
  PnxBlock block = first.Block();
  TnxPinnedBlock current;
  for (std::uint32_t steps = 0;; ++steps) {
    const std::uint32_t n = std::min(per, remaining);
    if (n > 0) aStream.WriteBuffer(block + 32, static_cast<std::int32_t>(n));
    remaining -= n;
    if (remaining == 0) break;
    const std::int32_t next = nxseGetI32(block + 16);
    if (next == -1 || steps > used) RaiseChain(aStreamNr);
    TnxPinnedBlock following([&](TnxReleaseMethod& r) {
      return ReadBlock(aTrans, static_cast<TnxBlockNumber>(next), false, r);
    });
    if (nxseGetU32(following.Block() + 28) != aStreamNr || nxseGetU32(following.Block() + 24) != 0)
      RaiseChain(aStreamNr);
    current = std::move(following);
    block = current.Block();
  }
  aStream.SetPosition(0);
}

void TnxSimpleStreamEngine::WriteStream(TnxBaseTransaction* aTrans, TnxBlockNumber& aStreamNr, TStream& aStream,
                                        bool aCreateNew, const TnxBlockSignature& aStreamSig) {
  const std::int64_t size = aStream.Size();
  if (size < 0 || size > 0x7FFFFFFF) throw EnxseStreamEngineExcpetion(nxErrWriteFailure);
  if (!aCreateNew) FreeChain(aTrans, aStreamNr, true);
  TnxOwned<TnxBaseFileHeaderAccess> access(bseDataFile->HeaderAccess(aTrans, true));
  const std::uint32_t per = DataPerBlock();
  TnxPinnedBlock previous;
  if (aCreateNew) {
    previous.Pin([&](TnxReleaseMethod& r) { return NewBlock(aTrans, *access, nullptr, r); });
    aStreamNr = nxseThisBlock(previous.Block());
    nxsePutU32(previous.Block() + 28, aStreamNr);
  } else {
    previous.Pin([&](TnxReleaseMethod& r) { return ReadBlock(aTrans, aStreamNr, true, r); });
    nxsePutI32(previous.Block() + 16, -1);
  }
  std::memcpy(previous.Block() + 20, aStreamSig.data(), 4);
  nxsePutU32(previous.Block() + 24, static_cast<std::uint32_t>(size));
  aStream.SetPosition(0);
  std::uint32_t remaining = static_cast<std::uint32_t>(size);
  std::uint32_t n = std::min(per, remaining);
  if (n > 0) aStream.ReadBuffer(previous.Block() + 32, static_cast<std::int32_t>(n));
  remaining -= n;
  while (remaining > 0) {
    TnxPinnedBlock block([&](TnxReleaseMethod& r) { return NewBlock(aTrans, *access, previous.Block(), r); });
    nxsePutU32(block.Block() + 28, aStreamNr);
    std::memcpy(block.Block() + 20, aStreamSig.data(), 4);
    n = std::min(per, remaining);
    aStream.ReadBuffer(block.Block() + 32, static_cast<std::int32_t>(n));
    remaining -= n;
    previous = std::move(block);
  }
}

TnxBlockNumber TnxSimpleStreamEngine::SectionField(TnxBaseTransaction* aTrans, std::uint32_t aField) {
  TnxOwned<TnxBaseFileHeaderAccess> access(bseDataFile->HeaderAccess(aTrans, false));
  return nxseGetU32(access->Header + seHeaderSection + aField);
}

void TnxSimpleStreamEngine::SetSectionField(TnxBaseTransaction* aTrans, std::uint32_t aField, TnxBlockNumber aValue) {
  TnxOwned<TnxBaseFileHeaderAccess> access(bseDataFile->HeaderAccess(aTrans, true));
  nxsePutU32(access->Header + seHeaderSection + aField, aValue);
}

TnxSimpleStreamEngine::StreamMap TnxSimpleStreamEngine::LoadMap(TnxBaseTransaction* aTrans) {
  StreamMap map;
  const TnxBlockNumber first = SectionField(aTrans, kMapField);
  if (first == 0) return map;
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  ReadStream(aTrans, first, *stream);
  const auto* p = static_cast<const std::uint8_t*>(stream->Memory());
  const std::uint32_t size = static_cast<std::uint32_t>(stream->Size());
  auto corrupt = [&]() { RaiseChain(first); };
  if (size < 4) corrupt();
  const std::uint32_t count = nxseGetU32(p);
  std::uint32_t pos = 4;
  // Each entry takes at least 6 bytes.
  if (count > (size - 4) / 6) corrupt();
  for (std::uint32_t i = 0; i < count; ++i) {
    if (pos + 1 > size) corrupt();
    const std::uint8_t len = p[pos];
    if (len == 0 || pos + 1u + len + 4u > size) corrupt();
    nxString name;
    for (std::uint8_t k = 0; k < len; ++k) name.push_back(static_cast<char16_t>(p[pos + 1 + k]));
    const TnxBlockNumber block = nxseGetU32(p + pos + 1 + len);
    if (!bseDataFile->ValidBlock(block, aTrans)) corrupt();
    if (!map.empty() && lowerName(map.back().first) >= lowerName(name)) corrupt();
    map.emplace_back(name, block);
    pos += 1u + len + 4u;
  }
  return map;
}

void TnxSimpleStreamEngine::SaveMap(TnxBaseTransaction* aTrans, const StreamMap& aMap) {
  TnxBlockNumber first = SectionField(aTrans, kMapField);
  if (aMap.empty()) {
    if (first != 0) {
      DeleteStream(aTrans, first);
      SetSectionField(aTrans, kMapField, 0);
    }
    return;
  }
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  std::uint8_t word[4];
  nxsePutU32(word, static_cast<std::uint32_t>(aMap.size()));
  stream->WriteBuffer(word, 4);
  for (const auto& [name, block] : aMap) {
    const std::uint8_t len = static_cast<std::uint8_t>(name.size());
    stream->WriteBuffer(&len, 1);
    for (char16_t c : name) {
      const auto b = static_cast<std::uint8_t>(c);
      stream->WriteBuffer(&b, 1);
    }
    nxsePutU32(word, block);
    stream->WriteBuffer(word, 4);
  }
  const bool create = first == 0;
  WriteStream(aTrans, first, *stream, create, kSMAP);
  if (create) SetSectionField(aTrans, kMapField, first);
}

TnxResult TnxSimpleStreamEngine::WriteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName,
                                                  TStream& aStream) {
  if (isDict(aName)) {
    TnxBlockNumber first = SectionField(aTrans, kDictField);
    const bool create = first == 0;
    WriteStream(aTrans, first, aStream, create, kDICT);
    if (create) SetSectionField(aTrans, kDictField, first);
    return 0;
  }
  if (aName.empty() || aName.size() > 255 ||
      std::any_of(aName.begin(), aName.end(), [](char16_t c) { return c > 0xFF; }))
    return 8712;
  StreamMap map = LoadMap(aTrans);
  const nxString key = lowerName(aName);
  auto it = std::lower_bound(map.begin(), map.end(), key,
                             [](const auto& aEntry, const nxString& aKey) { return lowerName(aEntry.first) < aKey; });
  if (it != map.end() && lowerName(it->first) == key) {
    WriteStream(aTrans, it->second, aStream, false, kUSER);
  } else {
    TnxBlockNumber first = 0;
    WriteStream(aTrans, first, aStream, true, kUSER);
    map.insert(it, {aName, first});
  }
  SaveMap(aTrans, map);
  return 0;
}

TnxResult TnxSimpleStreamEngine::ReadNamedStream(TnxBaseTransaction* aTrans, const nxString& aName, TStream& aStream) {
  TnxBlockNumber first = 0;
  if (isDict(aName)) {
    first = SectionField(aTrans, kDictField);
  } else {
    for (const auto& [name, block] : LoadMap(aTrans))
      if (lowerName(name) == lowerName(aName)) first = block;
  }
  if (first == 0) return 8712;
  ReadStream(aTrans, first, aStream);
  return 0;
}

TnxResult TnxSimpleStreamEngine::DeleteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName) {
  if (isDict(aName)) {
    const TnxBlockNumber first = SectionField(aTrans, kDictField);
    if (first == 0) return 8712;
    DeleteStream(aTrans, first);
    SetSectionField(aTrans, kDictField, 0);
    return 0;
  }
  StreamMap map = LoadMap(aTrans);
  auto it = std::find_if(map.begin(), map.end(),
                         [&](const auto& aEntry) { return lowerName(aEntry.first) == lowerName(aName); });
  if (it == map.end()) return 8712;
  DeleteStream(aTrans, it->second);
  map.erase(it);
  SaveMap(aTrans, map);
  return 0;
}

TnxResult TnxSimpleStreamEngine::GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) {
  aStreams.clear();
  for (const auto& entry : LoadMap(aTrans)) aStreams.add(entry.first);
  if (SectionField(aTrans, kDictField) != 0) aStreams.add(u"DICT");
  return 0;
}

TnxResult TnxSimpleStreamEngine::GetNamedStreamCount(TnxBaseTransaction* aTrans, std::int32_t& aCount) {
  aCount = static_cast<std::int32_t>(LoadMap(aTrans).size());
  return 0;
}

// ---- Server dictionary -------------------------------------------------------------------------

namespace {

// The first item whose ID lies above aCurrentID or among the owner IDs the
// file keeps for its own blocks; nil when every ID is sound.
TnxDictionaryItem* firstUnsoundItemID(TnxDictionaryItem* aItem, std::int32_t aCurrentID) {
  const std::int32_t id = aItem->ID();
  if (id > aCurrentID || id >= nxseHdr::OverflowID) return aItem;
  for (std::int32_t i = 0; i < aItem->ChildCount(); ++i)
    if (TnxDictionaryItem* bad = firstUnsoundItemID(aItem->Childs(i), aCurrentID)) return bad;
  return nullptr;
}

}  // namespace

void TnxServerDataDict::ReadFromFile(TnxBaseStreamEngine* aStreamEngine, TnxBaseTransaction* aTrans) {
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  TnxBaseFile* file = aStreamEngine->bseDataFile->baFile;
  if (aStreamEngine->ReadNamedStream(aTrans, u"DICT", *stream) != 0)
    throw EnxServerDataDictException(nxErrCannotOpenFile, u"The data dictionary is missing (%s)", {file->FileName()});
  stream->SetPosition(0);
  ReadFromStream(*stream, aStreamEngine->bseDataFile->BaseName());
  // Item IDs own blocks: one the counter never handed out, or a reserved
  // owner, would let the next commit write blocks under a wrong owner.
  if (const TnxDictionaryItem* bad = firstUnsoundItemID(this, CurrentID()))
    throw EnxServerDataDictException(nxErrCorruptFile,
                                     u"The data dictionary of file \"%s\" holds item ID %d beyond its counter %d",
                                     {file->FileName(), bad->ID(), CurrentID()});
  SetHeaderSignature(file->HeaderSignature());
  ForceOnReadOnly();
}

void TnxServerDataDict::WriteToFile(TnxBaseStreamEngine* aStreamEngine, TnxBaseTransaction* aTrans,
                                    std::int32_t aVersion) {
  CheckValid(false);
  _BaseName(aStreamEngine->bseDataFile->BaseName());
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  WriteToStream(*stream, aVersion);
  aStreamEngine->WriteNamedStream(aTrans, u"DICT", *stream);
  ForceOnReadOnly();
}

void TnxServerDataDict::CheckValid(bool aForBuild) {
  TnxDataDictionary::CheckValid(aForBuild);
  TnxBaseFileHeaderAccessFactory::CheckValid(this, aForBuild);
  TnxBaseSubEngine::CheckValidAll(this);
}

std::int32_t TnxServerDataDict::UsableBlockSize(TnxBlockSize aBlockSize) {
  std::int32_t size = static_cast<std::int32_t>(nxBlockBytes(aBlockSize));
  if (!EncryptionEngine().empty())
    size -= TnxBaseEncryptionEngine::ReservedSpacePerBlock(EncryptionEngine(), false, aBlockSize);
  return size - TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(HeaderSignature());
}

bool TnxServerDataDict::IsCompatibleClass(const TnxDictionaryItem* aItem) const {
  if (aItem && &classInfo() == &staticClassInfo() && &aItem->classInfo() == &TnxDataDictionary::staticClassInfo())
    return true;
  return TnxDataDictionary::IsCompatibleClass(aItem);
}

void TnxServerDataDict::RecreateGuid() { SetGuid(platform::newGuid()); }

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gStreamEngineModuleStarts{0};
}  // namespace

void nxseStreamEngineInitialize() {
  TnxCountedStart started(gStreamEngineModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxSimpleStreamEngine::staticClassInfo(), "nx1xDefault");
}

void nxseStreamEngineFinalize() {
  if (!nxUseCountLeave(gStreamEngineModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxSimpleStreamEngine::staticClassInfo());
}
