// BLOBs as chains of whole "NXBH" blocks.
#include "nxseBlobEngineSimple.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "nxllWideString.h"
#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxSimpleBlobEngineException, EnxBaseBlobEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxSimpleBlobEngine, TnxBaseBlobEngine, "TnxSimpleBlobEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxSimpleBlobEngine>))

namespace {

constexpr std::uint32_t kKind = 16, kSimpleBlobNext = 17, kLength = 21, kUsed = 25, kSimpleBlobData = 27;
constexpr std::uint8_t kData0 = 0, kFile = 1, kLink = 2;
constexpr TnxBlockNumber kEnd = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxEnd = 2147483647u;

}  // namespace

struct TnxSimpleBlobEngine::Pin {
  TnxPinnedBlock pinned;
  TnxBlockNumber number = 0;
  PnxBlock Block() const { return pinned.Block(); }
  void Release() { pinned.Release(); }
  void Take(Pin& aOther) {
    pinned = std::move(aOther.pinned);
    number = aOther.number;
  }
  std::uint32_t Used() const { return nxseGetU16(Block() + kUsed); }
  TnxBlockNumber Next() const { return nxseGetU32(Block() + kSimpleBlobNext); }
};
TnxSimpleBlobEngine::TnxSimpleBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                         const TnxBlockAccessArray& aFiles)
    : TnxBaseBlobEngine(aDescriptor, aTrans, aFiles) {
  if (bseTableVersion >= 47005) bbeBlobNrMask = 0x00000000FFFFFFFF;
}

// ---- Helpers -----------------------------------------------------------------------------------

void TnxSimpleBlobEngine::RaiseChain(TnxBlockNumber aBlock) {
  throw EnxSimpleBlobEngineException(nxErrBlobGeneral, u"The BLOB chain at block %d in file \"%s\" is corrupt",
                                     {static_cast<std::int64_t>(aBlock), bbeBlobFile->baFile->FileName()});
}

void TnxSimpleBlobEngine::RaiseReadOnly(TnxBlobNr aBlobNr, std::uint8_t aKind) {
  if (aKind == kFile)
    throw EnxSimpleBlobEngineException(nxErrReadOnlyField, u"Cannot write to a file BLOB [%s, (%d)]",
                                       {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(aBlobNr)});
  throw EnxSimpleBlobEngineException(nxErrReadOnlyField);
}

TnxBlockNumber TnxSimpleBlobEngine::FirstBlock(TnxBlobNr aBlobNr) {
  const TnxBlobNr masked = aBlobNr & bbeBlobNrMask;
  if (masked == 0 || static_cast<std::uint64_t>(masked) > 0xFFFFFFFFull)
    throw EnxSimpleBlobEngineException(nxErrInvalidBlobHandle, u"Number is not a valid DazavAV BLOB number [%s, (%d)]",
                                       {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(aBlobNr)});
  return static_cast<TnxBlockNumber>(masked);
}

std::uint32_t TnxSimpleBlobEngine::UsedBlocks(TnxBaseTransaction* aTrans) {
  TnxBaseFile* file = bbeBlobFile->baFile;
  return file->UsedBlocksFor(aTrans);
}

void TnxSimpleBlobEngine::FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty, Pin& aPin) {
  aPin.Release();
  if (!bbeBlobFile->ValidBlock(aBlock, aTrans))
    throw EnxSimpleBlobEngineException(nxErrInvalidBlockNumber,
                                       u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                       {bbeBlobFile->baFile->FileName(),
                                        static_cast<std::int64_t>(static_cast<std::int32_t>(aBlock))});
  aPin.pinned.Pin([&](TnxReleaseMethod& r) { return bbeBlobFile->GetBlock(aTrans, aBlock, aMarkDirty, r, bseID); });
  aPin.number = aBlock;
  if (!nxseHasSignature(aPin.Block(), "NXBH") || nxseThisBlock(aPin.Block()) != aBlock) {
    aPin.Release();
    throw EnxSimpleBlobEngineException(nxErrBlobGeneral, u"Block just read from file is not a valid BLOB data block [%s, %d]",
                                       {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(aBlock)});
  }
  if (aPin.Used() > DataSize()) {
    aPin.Release();
    RaiseChain(aBlock);
  }
}

void TnxSimpleBlobEngine::FetchFirst(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aMarkDirty, Pin& aPin) {
  FetchBlock(aTrans, FirstBlock(aBlobNr), aMarkDirty, aPin);
  const std::uint32_t usable = bbeBlobFile->fiBlockSizeBytes();
  const PnxBlock b = aPin.Block();
  bool sound = true;
  switch (b[kKind]) {
    case kData0:
      // A length no chain of this file can hold.
      sound = nxseGetU32(b + kLength) <= kMaxEnd &&
              std::uint64_t{nxseGetU32(b + kLength)} <= std::uint64_t{UsedBlocks(aTrans)} * DataSize();
      break;
    case kFile:
      sound = kSimpleBlobData + 2u + nxseGetU16(b + kSimpleBlobData) <= usable;
      break;
    case kLink:
      sound = std::uint64_t{kSimpleBlobData} + 4u + nxseGetU32(b + kSimpleBlobData) + 8u <= usable;
      break;
    default:
      sound = false;
  }
  if (!sound) {
    aPin.Release();
    RaiseChain(FirstBlock(aBlobNr));
  }
}

void TnxSimpleBlobEngine::FetchNext(TnxBaseTransaction* aTrans, Pin& aPin, bool aMarkDirty, std::uint32_t& aSteps) {
  const TnxBlockNumber from = aPin.number;
  const TnxBlockNumber next = aPin.Next();
  if (next == kEnd || ++aSteps > UsedBlocks(aTrans)) RaiseChain(from);
  Pin following;
  FetchBlock(aTrans, next, aMarkDirty, following);
  aPin.Take(following);
}

void TnxSimpleBlobEngine::NewBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess, std::uint8_t aKind,
                                   Pin& aPin) {
  aPin.Release();
  aPin.pinned.Pin([&](TnxReleaseMethod& r) { return aAccess.GetNewBlock(aTrans, bseID, r); });
  aPin.number = nxseThisBlock(aPin.Block());
  std::memset(aPin.Block() + 16, 0, bbeBlobFile->fiBlockSizeBytes() - 16);
  nxseSetSignature(aPin.Block(), "NXBH");
  aPin.Block()[kKind] = aKind;
  nxsePutU32(aPin.Block() + kSimpleBlobNext, kEnd);
}

void TnxSimpleBlobEngine::FreeChainFrom(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess,
                                        TnxBlockNumber aBlock) {
  const std::uint32_t limit = UsedBlocks(aTrans);
  TnxBlockNumber current = aBlock;
  for (std::uint32_t steps = 0; current != kEnd; ++steps) {
    if (steps > limit) RaiseChain(aBlock);
    Pin pin;
    FetchBlock(aTrans, current, true, pin);
    current = pin.Next();
    aAccess.DeleteBlock(aTrans, pin.Block());
  }
}

nxString TnxSimpleBlobEngine::FileName(const std::uint8_t* aFirst) {
  const std::uint16_t n = nxseGetU16(aFirst + kSimpleBlobData);
  return nxStringToWideStr(std::string_view(reinterpret_cast<const char*>(aFirst + kSimpleBlobData + 2), n), 0);
}

nxString TnxSimpleBlobEngine::LinkName(const std::uint8_t* aFirst, TnxBlobNr& aSrcBlobNr) {
  const std::uint32_t n = nxseGetU32(aFirst + kSimpleBlobData);
  aSrcBlobNr = nxseGetU64(aFirst + kSimpleBlobData + 4 + n);
  return nxStringToWideStr(std::string_view(reinterpret_cast<const char*>(aFirst + kSimpleBlobData + 4), n), 0);
}

namespace {
// The allocating header: the table's main header, so that no sub-header
// block is made for an engine without sections.
TnxBlockAccess* allocator(TnxBlockAccess* aAccess) { return aAccess->baMain ? aAccess->baMain : aAccess; }
}  // namespace

// ---- Creation and deletion ----------------------------------------------------------------------

void TnxSimpleBlobEngine::AddBlob(TnxBaseTransaction* aTrans, TnxBlobNr& aBlobNr) {
  TnxOwned<TnxBaseFileHeaderAccess> access(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
  Pin pin;
  NewBlock(aTrans, *access, kData0, pin);
  aBlobNr = pin.number;
}

void TnxSimpleBlobEngine::AddFileBlob(TnxBaseTransaction* aTrans, const nxString& aFileName, TnxBlobNr& aBlobNr) {
  const std::string name = nxWideStringToString(aFileName, 0);
  const std::uint32_t usable = bbeBlobFile->fiBlockSizeBytes();
  nxAssert(name.size() <= 0xFFFF && kSimpleBlobData + 2 + name.size() <= usable, "File BLOB name does not fit a block");
  TnxOwned<TnxBaseFileHeaderAccess> access(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
  Pin pin;
  NewBlock(aTrans, *access, kFile, pin);
  nxsePutU16(pin.Block() + kSimpleBlobData, static_cast<std::uint16_t>(name.size()));
  std::memcpy(pin.Block() + kSimpleBlobData + 2, name.data(), name.size());
  nxsePutU32(pin.Block() + kLength, static_cast<std::uint32_t>(name.size() + 1));
  aBlobNr = pin.number;
}

void TnxSimpleBlobEngine::AddBlobLink(TnxBaseTransaction* aTrans, const nxString& aTableName, TnxBlobNr aTableBlobNr,
                                      TnxBlobNr& aBlobNr) {
  const std::string name = nxWideStringToString(aTableName, 0);
  const std::uint32_t usable = bbeBlobFile->fiBlockSizeBytes();
  nxAssert(kSimpleBlobData + 4 + name.size() + 8 <= usable, "BLOB link name does not fit a block");
  TnxOwned<TnxBaseFileHeaderAccess> access(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
  Pin pin;
  NewBlock(aTrans, *access, kLink, pin);
  nxsePutU32(pin.Block() + kSimpleBlobData, static_cast<std::uint32_t>(name.size()));
  std::memcpy(pin.Block() + kSimpleBlobData + 4, name.data(), name.size());
  nxsePutU64(pin.Block() + kSimpleBlobData + 4 + name.size(), aTableBlobNr);
  nxsePutU32(pin.Block() + kLength, static_cast<std::uint32_t>(name.size() + 12));
  aBlobNr = pin.number;
}

void TnxSimpleBlobEngine::DeleteBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  const TnxBlockNumber first = FirstBlock(aBlobNr);
  TnxOwned<TnxBaseFileHeaderAccess> access(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
  FreeChainFrom(aTrans, *access, first);
}

bool TnxSimpleBlobEngine::FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  if (!aTrans) return false;
  {
    Pin first;
    FetchFirst(aTrans, aBlobNr, false, first);
    if (nxseGetU32(first.Block() + kLength) != 0) return false;
  }
  DeleteBlob(aTrans, aBlobNr);
  return true;
}

// ---- Reading ------------------------------------------------------------------------------------

std::uint32_t TnxSimpleBlobEngine::GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                                 const TnxBlobLinkGetLength& aLengthMethod, std::uint32_t& aLength) {
  Pin first;
  FetchFirst(aTrans, aBlobNr, false, first);
  switch (first.Block()[kKind]) {
    case kFile: {
      const nxString name = FileName(first.Block());
      first.Release();
      return GetFileBlobLength(name, aLength);
    }
    case kLink: {
      // Engines keep their own BLOBs (bit arrays) without links: for such a
      // reader a link is a damaged block.
      if (!aLengthMethod) RaiseChain(first.number);
      TnxBlobNr source = 0;
      const nxString name = LinkName(first.Block(), source);
      first.Release();
      return aLengthMethod(name, source, aLength);
    }
    default:
      aLength = nxseGetU32(first.Block() + kLength);
      return 0;
  }
}

bool TnxSimpleBlobEngine::IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aFileName) {
  Pin first;
  FetchFirst(aTrans, aBlobNr, false, first);
  if (first.Block()[kKind] != kFile) return false;
  aFileName = FileName(first.Block());
  return true;
}

bool TnxSimpleBlobEngine::IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                                     TnxBlobNr& aSrcTableBlobNr) {
  Pin first;
  FetchFirst(aTrans, aBlobNr, false, first);
  if (first.Block()[kKind] != kLink) return false;
  aSrcTableName = LinkName(first.Block(), aSrcTableBlobNr);
  return true;
}

std::uint32_t TnxSimpleBlobEngine::Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                        std::uint32_t aLen, const TnxBlobLinkRead& aReadMethod, TStream& aStream) {
  if (aLen == 0) return 0;
  Pin pin;
  FetchFirst(aTrans, aBlobNr, false, pin);
  if (pin.Block()[kKind] == kFile) {
    const nxString name = FileName(pin.Block());
    pin.Release();
    return ReadFileBlob(name, aOffset, aLen, aStream);
  }
  if (pin.Block()[kKind] == kLink) {
    if (!aReadMethod) RaiseChain(pin.number);
    TnxBlobNr source = 0;
    const nxString name = LinkName(pin.Block(), source);
    pin.Release();
    return aReadMethod(name, source, aOffset, aLen, aStream);
  }
  const std::uint32_t length = nxseGetU32(pin.Block() + kLength);
  if (aOffset >= length) return 0;
  std::uint32_t wanted = std::min(aLen, length - aOffset);
  std::uint32_t before = 0, steps = 0;
  for (;;) {
    // The used count bounded by the length: a stale count after a
    // truncation to 0 never reaches the reader.
    const std::uint32_t used = std::min(pin.Used(), length - before);
    if (before + used > aOffset) break;
    before += used;
    FetchNext(aTrans, pin, false, steps);
  }
  std::uint32_t position = aOffset - before;
  for (;;) {
    const std::uint32_t used = std::min(pin.Used(), length - before);
    // The block that ends the BLOB ends its chain: a loop back into the
    // chain could otherwise add up to the length.
    if (before + used >= length && pin.Next() != kEnd) RaiseChain(pin.number);
    const std::uint32_t n = std::min(wanted, used - position);
    aStream.WriteBuffer(pin.Block() + kSimpleBlobData + position, static_cast<std::int32_t>(n));
    wanted -= n;
    if (wanted == 0) return 0;
    before += used;
    position = 0;
    FetchNext(aTrans, pin, false, steps);
  }
}

// ---- Changes ------------------------------------------------------------------------------------

void TnxSimpleBlobEngine::Truncate(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aLen) {
  Pin first;
  FetchFirst(aTrans, aBlobNr, true, first);
  const std::uint32_t length = nxseGetU32(first.Block() + kLength);
  if (aLen == length) return;
  const std::uint8_t kind = first.Block()[kKind];
  if (kind == kFile || (kind == kLink && aLen != 0)) RaiseReadOnly(aBlobNr, kind);
  if (aLen > length && kind != kLink)
    throw EnxSimpleBlobEngineException(
        nxErrInvalidBlobLength, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(aBlobNr), static_cast<std::int64_t>(aLen),
         static_cast<std::int64_t>(length)});
  TnxOwned<TnxBaseFileHeaderAccess> access(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
  nxsePutU32(first.Block() + kLength, aLen);
  if (kind == kLink) {
    // A link cut to nothing becomes an empty BLOB of its own.
    first.Block()[kKind] = kData0;
    nxsePutU16(first.Block() + kUsed, 0);
    std::memset(first.Block() + kSimpleBlobData, 0, DataSize());
  }
  TnxBlockNumber rest;
  if (aLen == 0) {
    rest = first.Next();
    nxsePutU32(first.Block() + kSimpleBlobNext, kEnd);
  } else {
    Pin pin;
    bool onFirst = true;
    std::uint32_t before = 0, steps = 0;
    for (;;) {
      PnxBlock b = onFirst ? first.Block() : pin.Block();
      const std::uint32_t used = std::min<std::uint32_t>(nxseGetU16(b + kUsed), length - before);
      if (before + used >= aLen) {
        nxsePutU16(b + kUsed, static_cast<std::uint16_t>(aLen - before));
        rest = nxseGetU32(b + kSimpleBlobNext);
        nxsePutU32(b + kSimpleBlobNext, kEnd);
        break;
      }
      before += used;
      if (onFirst) {
        const TnxBlockNumber next = first.Next();
        if (next == kEnd) RaiseChain(first.number);
        ++steps;
        FetchBlock(aTrans, next, true, pin);
        onFirst = false;
      } else {
        FetchNext(aTrans, pin, true, steps);
      }
    }
  }
  FreeChainFrom(aTrans, *access, rest);
}

void TnxSimpleBlobEngine::Write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                std::uint32_t aLen, const void* aBlob) {
  Pin first;
  FetchFirst(aTrans, aBlobNr, true, first);
  const std::uint64_t end = std::uint64_t{aOffset} + aLen;
  if (end > kMaxEnd) throw EnxSimpleBlobEngineException(nxErrBlobTooLarge);
  const std::uint8_t kind = first.Block()[kKind];
  if (kind != kData0) RaiseReadOnly(aBlobNr, kind);
  const std::uint32_t length = nxseGetU32(first.Block() + kLength);
  if (aOffset > length)
    throw EnxSimpleBlobEngineException(
        nxErrInvalidBlobOffset, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(aBlobNr), static_cast<std::int64_t>(aOffset),
         static_cast<std::int64_t>(length)});
  if (aLen == 0) return;
  const std::uint32_t capacity = DataSize();
  // Made when a block must be added: a write inside the BLOB leaves the
  // file header alone.
  TnxOwned<TnxBaseFileHeaderAccess> access;

  // The block being written is the first block or `pin`.
  Pin pin;
  bool onFirst = true;
  auto current = [&]() -> PnxBlock { return onFirst ? first.Block() : pin.Block(); };
  std::uint32_t steps = 0;
  // Moves to the chain's next block, or to a new block linked at its end;
  // the blocks before the offset are only read (aDirty false).
  auto advance = [&](bool aDirty = true) {
    PnxBlock b = current();
    const TnxBlockNumber next = nxseGetU32(b + kSimpleBlobNext);
    if (next == kEnd) {
      if (!access) access.reset(allocator(bbeBlobFile)->HeaderAccess(aTrans, true));
      Pin fresh;
      NewBlock(aTrans, *access, kData0, fresh);
      nxsePutU32(b + kSimpleBlobNext, fresh.number);
      pin.Take(fresh);
    } else if (onFirst) {
      ++steps;
      FetchBlock(aTrans, next, aDirty, pin);
    } else {
      FetchNext(aTrans, pin, aDirty, steps);
    }
    onFirst = false;
  };
  // Bytes of the block that belong to the BLOB (stale counts bounded).
  auto usedOf = [&](PnxBlock b, std::uint32_t aBefore) -> std::uint32_t {
    return aBefore >= length ? 0 : std::min<std::uint32_t>(nxseGetU16(b + kUsed), length - aBefore);
  };

  std::uint32_t before = 0, position = 0;
  if (aOffset > 0) {
    for (;;) {
      const std::uint32_t used = usedOf(current(), before);
      if (before + used >= aOffset) break;
      if (used < capacity) RaiseChain(first.number);  // a partly used block inside the BLOB
      before += used;
      if (nxseGetU32(current() + kSimpleBlobNext) == kEnd) RaiseChain(first.number);
      advance(false);
    }
    // The block the write starts in is changed.
    if (!onFirst) FetchBlock(aTrans, pin.number, true, pin);
    position = aOffset - before;
    if (aOffset == length && nxseGetU32(current() + kSimpleBlobNext) != kEnd) RaiseChain(first.number);
    if (position == capacity) {
      advance();
      before += capacity;
      position = 0;
    }
  }
  const auto* source = static_cast<const std::uint8_t*>(aBlob);
  std::uint32_t remaining = aLen;
  for (;;) {
    PnxBlock b = current();
    const std::uint32_t n = std::min(remaining, capacity - position);
    std::memcpy(b + kSimpleBlobData + position, source, n);
    // An overwrite keeps the bytes after the written range that still
    // belong to the BLOB.
    nxsePutU16(b + kUsed, static_cast<std::uint16_t>(std::max(usedOf(b, before), position + n)));
    source += n;
    remaining -= n;
    if (remaining == 0) break;
    before += capacity;
    position = 0;
    advance();
  }
  nxsePutU32(first.Block() + kLength, static_cast<std::uint32_t>(std::max<std::uint64_t>(end, length)));
}

void TnxSimpleBlobEngine::Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange) {
  // The chain is read forward from the block reached last (an offset behind
  // it starts again at the first block); only the blocks of bytes handed out
  // are copied, and they stay pinned, so every byte handed out stays
  // writable. Growth fills the last block and links new ones behind it, in
  // place: a bit array that grows by a byte costs no walk of its chain again.
  class Bytes final : public TnxBlobBytes {
   public:
    Bytes(TnxSimpleBlobEngine& aEngine, TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr)
        : engine_(aEngine), trans_(aTrans), nr_(aBlobNr), capacity_(aEngine.DataSize()) {
      Load();
    }
    std::uint32_t Length() override { return length_; }
    void Grow(std::uint32_t aLength) override {
      if (aLength <= length_) return;
      if (aLength > kMaxEnd) throw EnxSimpleBlobEngineException(nxErrBlobTooLarge);
      std::uint32_t index = length_ == 0 ? 0 : (length_ - 1) / capacity_;
      PnxBlock b = Hold(index).pin.Block();
      // The block that ends the BLOB ends its chain.
      if (nxseGetU32(b + kSimpleBlobNext) != kEnd) engine_.RaiseChain(first_.number);
      std::uint32_t start = index * capacity_;
      std::uint32_t fill = std::min(capacity_, aLength - start);
      // Bytes past the length may be stale (a truncation leaves them).
      std::memset(b + kSimpleBlobData + (length_ - start), 0, fill - (length_ - start));
      nxsePutU16(b + kUsed, static_cast<std::uint16_t>(fill));
      TnxOwned<TnxBaseFileHeaderAccess> access;
      while (start + fill < aLength) {
        if (!access) access.reset(allocator(engine_.bbeBlobFile)->HeaderAccess(trans_, true));
        Held h;
        h.index = ++index;
        engine_.NewBlock(trans_, *access, kData0, h.pin);
        nxsePutU32(b + kSimpleBlobNext, h.pin.number);
        start += capacity_;
        fill = std::min(capacity_, aLength - start);
        nxsePutU16(h.pin.Block() + kUsed, static_cast<std::uint16_t>(fill));
        b = h.pin.Block();
        held_.push_back(std::move(h));
      }
      nxsePutU32(Hold(0).pin.Block() + kLength, aLength);
      length_ = aLength;
    }
    std::uint8_t& At(std::uint32_t aOffset) override {
      if (aOffset >= length_)
        throw EnxSimpleBlobEngineException(nxErrInvalidBlobOffset, u"Offset value is beyond the BLOB [%s, (%d), offset %d]",
                                           {engine_.bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(nr_),
                                            static_cast<std::int64_t>(aOffset)});
      const std::uint32_t index = aOffset / capacity_;
      return ByteOf(Hold(index).pin.Block(), aOffset - index * capacity_);
    }

   private:
    struct Held {
      std::uint32_t index = 0;
      Pin pin;
    };
    // Block aIndex of the chain, fetched for change and kept pinned.
    Held& Hold(std::uint32_t index) {
      for (Held& h : held_)
        if (h.index == index) return h;
      if (index < walkIndex_) {
        walk_.Release();
        walkIndex_ = 0;
        steps_ = 0;
      }
      while (walkIndex_ < index) {
        const PnxBlock b = walkIndex_ == 0 ? first_.Block() : walk_.Block();
        // Every block before the last is full.
        if (nxseGetU16(b + kUsed) != capacity_) engine_.RaiseChain(first_.number);
        if (walkIndex_ == 0) {
          const TnxBlockNumber next = nxseGetU32(b + kSimpleBlobNext);
          if (next == kEnd) engine_.RaiseChain(first_.number);
          ++steps_;
          engine_.FetchBlock(trans_, next, false, walk_);
        } else {
          engine_.FetchNext(trans_, walk_, false, steps_);
        }
        ++walkIndex_;
      }
      Held h;
      h.index = index;
      engine_.FetchBlock(trans_, index == 0 ? first_.number : walk_.number, true, h.pin);
      held_.push_back(std::move(h));
      return held_.back();
    }
    void Load() {
      walkIndex_ = 0;
      steps_ = 0;
      engine_.FetchFirst(trans_, nr_, false, first_);
      const std::uint8_t kind = first_.Block()[kKind];
      if (kind != kData0) engine_.RaiseReadOnly(nr_, kind);
      length_ = nxseGetU32(first_.Block() + kLength);
    }
    std::uint8_t& ByteOf(PnxBlock aBlock, std::uint32_t aPosition) {
      if (nxseGetU16(aBlock + kUsed) <= aPosition) engine_.RaiseChain(first_.number);
      return aBlock[kSimpleBlobData + aPosition];
    }

    TnxSimpleBlobEngine& engine_;
    TnxBaseTransaction* trans_;
    TnxBlobNr nr_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::uint32_t walkIndex_ = 0;  // the block walk_ holds; 0: first_
    std::uint32_t steps_ = 0;
    Pin first_;
    Pin walk_;
    std::vector<Held> held_;
  };
  Bytes bytes(*this, aTrans, aBlobNr);
  aChange(bytes);
}

void TnxSimpleBlobEngine::IncBlobNr(TnxBlobNr& aBlobNr) {
  if (bseTableVersion >= 47005) aBlobNr += TnxBlobNr{1} << 32;
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gBlobEngineSimpleModuleStarts{0};
}  // namespace

void nxseBlobEngineSimpleInitialize() {
  TnxCountedStart started(gBlobEngineSimpleModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxSimpleBlobEngine::staticClassInfo(), "nx1xSimple");
}

void nxseBlobEngineSimpleFinalize() {
  if (!nxUseCountLeave(gBlobEngineSimpleModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxSimpleBlobEngine::staticClassInfo());
}
