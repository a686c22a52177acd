// The batch stream: many records of a cursor in one memory block, and the
// access that decodes it. Part of nxsdServerEngine: include
// nxsdServerEngine.h, not this header.
//
// Layout (all integers little-endian, offsets from the start of the stream):
//   header     0-3 inner error (u32: the code that ended the batch, 0 at a
//              size or count limit), 4-7 count (i32)
//   entries    from 8, back to back: u32 word (bit 31: a result code
//              follows; bits 0-30: N, the bytes after the word), [i32 result],
//              payload. Result 0: record image, [bookmark with gboBookmarks],
//              [BLOB blocks with gboBlobs]. Result 2 (cache-valid):
//              ref nr (8), modify LSN (8), index (i32), [with gboBlobs a list
//              of 6-byte (u32 offset, u16 field) ended by offset 0 or the
//              number of BLOB fields]. Any other result: an error entry.
//   invalid    optional after the last entry: u32 M, M x (ref nr 8, LSN 8).
//   BLOB block u32 word (bit 31: no data; bits 0-30: S), S bytes (data, or
//              a result code in the first 4 when S >= 4, else 15520),
//              [BLOB number (8) with gboBlobNrs]. A selected BLOB field of a
//              record holds its block's offset in its low 32 bits.
//
// Decoding never reads outside the stream: a stream shorter than 8 bytes is
// empty; an entry (or its record and bookmark) or a BLOB block that would
// reach past the end counts as the end; lists that do not fit are ignored.
// Records, cache infos and offset lists are read and written field by field
// through the nxBatch... helpers (stream memory has no alignment).
//
// Ownership: the access owns its stream (freed with it; a stream passed to a
// failing constructor stays the caller's). Thread safety: an access belongs
// to one thread at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

class TnxAbstractCursor;
class TnxBatchStreamAccess;
class TnxMemoryStream;

struct TnxBatchStreamHeader {
  std::uint32_t bshInnerError;
  std::int32_t bshCount;
};
inline constexpr std::uint32_t nxBatchStreamHeaderSize = 8;  // bshStart

#pragma pack(push, 1)
struct TnxBatchBlobOffset {
  std::uint32_t bboOffset;
  std::uint16_t bboFieldNo;
};
#pragma pack(pop)
static_assert(sizeof(TnxBatchBlobOffset) == 6);
inline constexpr std::int32_t nxMaxBatchBlobOffsets = 65536;

inline constexpr std::uint32_t nxBatchResultFlag = 0x80000000u;
inline constexpr std::uint32_t nxBatchSizeMask = 0x7FFFFFFFu;
// Entry result and BLOB block result of data the client already holds.
inline constexpr TnxResult nxBatchCacheValid = 2;
inline constexpr std::uint32_t nxBatchCacheInfoSize = 20;  // ref nr, modify LSN, index
inline constexpr std::uint32_t nxBatchRecordCacheInfoSize = 16;

// Little-endian access to unaligned stream memory.
inline std::uint32_t nxBatchGetU32(const std::uint8_t* aPtr) {
  std::uint32_t v;
  std::memcpy(&v, aPtr, 4);
  return v;
}
inline void nxBatchPutU32(std::uint8_t* aPtr, std::uint32_t aValue) { std::memcpy(aPtr, &aValue, 4); }
inline std::uint16_t nxBatchGetU16(const std::uint8_t* aPtr) {
  std::uint16_t v;
  std::memcpy(&v, aPtr, 2);
  return v;
}
inline void nxBatchPutU16(std::uint8_t* aPtr, std::uint16_t aValue) { std::memcpy(aPtr, &aValue, 2); }
inline std::int64_t nxBatchGetI64(const std::uint8_t* aPtr) {
  std::int64_t v;
  std::memcpy(&v, aPtr, 8);
  return v;
}
inline void nxBatchPutI64(std::uint8_t* aPtr, std::int64_t aValue) { std::memcpy(aPtr, &aValue, 8); }
static_assert(std::endian::native == std::endian::little, "the batch helpers copy host words");

TnxIndexedRecordCacheInfo nxBatchGetCacheInfo(const std::uint8_t* aPtr);
void nxBatchPutCacheInfo(std::uint8_t* aPtr, const TnxIndexedRecordCacheInfo& aInfo);
TnxBatchBlobOffset nxBatchGetBlobOffset(const std::uint8_t* aPtr);
void nxBatchPutBlobOffset(std::uint8_t* aPtr, const TnxBatchBlobOffset& aOffset);

struct TnxBatchStreamEntry {
  TnxBatchStreamAccess* bseBatchAccess;
  std::uint8_t* bseStreamBase;
  std::uint8_t* bseEntryBase;
  std::uint8_t* bseRecord;      // record image or nil
  std::uint8_t* bseBookmark;    // bookmark or nil
  std::uint8_t* bseCacheInfo;   // a cache-valid entry's 20 bytes, or nil
  std::uint8_t* bseBlobOffsets; // its offset list (6-byte items), or nil
  std::uint32_t bseSize;        // N
  TnxResult bseResult;
};

struct TnxBatchBlobAccess {
  std::uint8_t* bbaBase;      // the block's length word
  std::uint8_t* bbaBlobData;  // the data, or nil
  TnxBlobNr bbaBlobNr;
  std::uint32_t bbaOffset;
  std::uint32_t bbaSize;      // S
  TnxResult bbaResult;        // 0 when data is present
  std::uint16_t bbaFieldNo;
  bool bbaInCache;            // filled in from a client cache
};
using TnxBatchBlobAccesses = std::vector<TnxBatchBlobAccess>;

class TnxBatchStreamAccess : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // aStream nil: a new empty stream. gboBlobs is dropped for a layout
  // without BLOB fields, gboBlobNrs without gboBlobs.
  TnxBatchStreamAccess(TnxAbstractCursor* aCursor, TnxRecordGetBatchExOptions aOptions, TnxMemoryStream* aStream);
  ~TnxBatchStreamAccess() override;
  TnxBatchStreamAccess(const TnxBatchStreamAccess&) = delete;
  TnxBatchStreamAccess& operator=(const TnxBatchStreamAccess&) = delete;

  // Re-reads the header, positions before the first entry; True when the
  // count is above 0.
  bool Reset(bool aApplyClientFilter);
  // The next entry (skipping filtered ones with a client filter); False and
  // a zeroed entry at the end. aPos and aTotalPos are counted when given.
  bool Next(TnxBatchStreamEntry& aEntry, std::int32_t* aPos = nullptr, std::int32_t* aTotalPos = nullptr);
  // aKeepError with an inner error: cut to a header of count 0; else empty.
  void Clear(bool aKeepError);

  bool GetBlobAccess(const TnxBatchStreamEntry& aEntry, std::int32_t aFieldNo, TnxBatchBlobAccess& aBlobAccess);
  bool GetBlobAccessByOffset(const TnxBatchStreamEntry& aEntry, std::uint32_t aBlobOffset,
                             TnxBatchBlobAccess& aBlobAccess);
  // By the offset already in aBlobAccess.
  bool GetBlobAccess(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccess& aBlobAccess);
  bool GetBlobAccesses(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccesses& aBlobAccesses, bool aEmbeddedOnly);

  // When the batch has BLOB data the caller did not ask for: BLOB fields get
  // their numbers back and the BLOB options go.
  void FixupBlobs(TnxRecordGetBatchExOptions aOrgOptions);
  // aBlobInfos: one TnxRecordCacheInfoBlobInfo per info, or nil.
  bool CheckCacheValid(std::int32_t aCacheInfosCount, const TnxIndexedRecordCacheInfo* aCacheInfos,
                       const std::uint8_t* aBlobInfos);
  bool CheckCacheValidSeq(const TnxRecordCacheInfos& aCacheInfos, const std::uint8_t* aBlobInfos);
  void CheckEntryForCachedBlobs(TnxBatchStreamEntry& aEntry, TnxAbstractCursor* aCache,
                                TnxBatchBlobAccesses& aBlobs);
  bool OverwriteEntry(TnxBatchStreamEntry& aTarget, const TnxBatchStreamEntry& aSource,
                      TnxBatchBlobAccesses& aBlobs, bool aRemoveBlobData);

  TnxMemoryStream* Stream() const { return bsaStream; }
  std::uint8_t* Memory() const;
  std::int64_t Size() const;
  std::int32_t Count() const;
  std::uint32_t InnerError() const;
  // Only when the stream holds a header.
  void SetInnerError(std::uint32_t aValue);
  TnxRecordGetBatchExOptions Options() const { return bsaOptions; }
  const TnxMarkedBlobsByBlobIdx& MarkedBlobs() const { return bsaMarkedBlobs; }
  std::int32_t CurrentIndex() const { return bsaCurrentIndex; }
  // The invalid list after the entries (valid after the walk reached the
  // end): nil when there is none.
  std::uint32_t InvalidCount() const;
  TnxRecordCacheInfo InvalidInfo(std::uint32_t aIndex) const;
  std::uint32_t RecordLength() const { return bsaRecordLength; }
  std::uint32_t BookmarkSize() const { return bsaBookmarkSize; }

 private:
  // Decodes the entry at aPos; False when it reaches past the end.
  bool DecodeEntry(std::uint8_t* aPos, TnxBatchStreamEntry& aEntry, std::uint8_t*& aNext) const;
  void LocateInvalidList(std::uint8_t* aAfter);
  bool FieldSelected(std::int32_t aFieldNo) const;
  bool IsBlobField(std::int32_t aFieldNo) const;
  std::int32_t BlobFieldCount() const;
  void MarkClientBlobs(TnxBatchStreamEntry& aEntry, const std::uint8_t* aBlobInfo, bool aWriteOffsets,
                       bool& aDiffers);
  void MakeCacheValid(TnxBatchStreamEntry& aEntry, const TnxIndexedRecordCacheInfo& aInfo,
                      const std::uint8_t* aBlobInfo, bool& aAnswer);
  void AppendInvalid(const std::vector<TnxRecordCacheInfo>& aInvalid, std::uint8_t* aAfterEntries);
  std::uint8_t* EndOfEntries();

  TnxMemoryStream* bsaStream = nullptr;
  std::uint8_t* bsaStart = nullptr;
  std::uint8_t* bsaEnd = nullptr;
  std::uint8_t* bsaCurrentEntry = nullptr;
  std::int32_t bsaCurrentIndex = -1;
  std::int32_t bsaCount = 0;  // the header's count as of the last Reset
  bool bsaCheckFilter = false;
  TnxAbstractCursor* bsaCursor = nullptr;
  TnxMarkedBlobsByBlobIdx bsaMarkedBlobs;
  std::uint32_t bsaRecordLength = 0;
  std::uint32_t bsaBookmarkSize = 0;
  std::uint8_t* bsaInvalidCount = nullptr;
  std::uint8_t* bsaInvalidInfos = nullptr;
  TnxRecordGetBatchExOptions bsaOptions{};
};
