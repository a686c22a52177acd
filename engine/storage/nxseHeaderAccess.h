// The two table-file header formats and the header access through which a
// transaction allocates and frees blocks and finds named header sections.
//
// Block 0 (both formats, little-endian): 0 signature "NX!1"/"NX!2", 4 block
// number 0, 8 LSN, 16 block size code (0..4), 17 u16 encryption header size
// (v2), 20 u32 usable size, 24 first free (v1: free chain head, v2: first
// "FBMH" map block; -1 none), 28 free count (v1: chain length, v2: entries of
// the free-block cache, 0..20), 32 used blocks, 36 version, 40 and 72 short
// strings (encryption and stream engine names, at most 31 characters), 104
// the v2 free-block cache (20 x u32), 256 sections.
// v1 sections sit at fixed offsets per name. v2 keeps at 256 the section
// top (u16) and from 258 a directory of {short string name, u16 offset}
// ending at a zero byte; sections grow down from the top. Every v2 block
// carries its owner ID (the sub-engine's ID) at the usable size: 0 freed,
// 0x7FFFFFFF "FBMH" map block, 0x7FFFFFFE "CHOF" sub-header overflow block.
// A v2 engine keeps its sections in a sub-header block of its own ID, found
// through the "SubHeaders" section of block 0 and the "CHOF" chain.
//
// Nothing read from a file is trusted: every offset, count and block number
// is checked against the block geometry and the used-block count before use
// (8961 for block 0 and sections, 8962 for other blocks), and every chain
// walk stops after as many steps as the file has blocks.
//
// A header access object lives for one operation of one transaction and
// holds its header block pinned; it is not thread-safe (the transaction's
// thread drives it).
#pragma once

#include <cstdint>
#include <cstring>

#include "nxsrBufferManager.h"

NX_DECLARE_EXCEPTION(Enx1xFileHeaderAccessException, EnxFileHeaderAccessException)
NX_DECLARE_EXCEPTION(Enx2xFileHeaderAccessException, EnxFileHeaderAccessException)

// ---- Little-endian field access ---------------------------------------------------

inline std::uint16_t nxseGetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t nxseGetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t nxseGetI32(const std::uint8_t* p) { return static_cast<std::int32_t>(nxseGetU32(p)); }
inline std::uint64_t nxseGetU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(nxseGetU32(p)) | (static_cast<std::uint64_t>(nxseGetU32(p + 4)) << 32);
}
inline void nxsePutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void nxsePutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void nxsePutI32(std::uint8_t* p, std::int32_t v) { nxsePutU32(p, static_cast<std::uint32_t>(v)); }
inline void nxsePutU64(std::uint8_t* p, std::uint64_t v) {
  nxsePutU32(p, static_cast<std::uint32_t>(v));
  nxsePutU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline bool nxseHasSignature(const std::uint8_t* aBlock, const char (&aSig)[5]) {
  return std::memcmp(aBlock, aSig, 4) == 0;
}
inline void nxseSetSignature(std::uint8_t* aBlock, const char (&aSig)[5]) { std::memcpy(aBlock, aSig, 4); }
inline TnxBlockNumber nxseThisBlock(const std::uint8_t* aBlock) { return nxseGetU32(aBlock + 4); }

// Block 0 fields.
namespace nxseHdr {
inline constexpr std::uint32_t BlockSize = 16, EncHeaderSize = 17, UsableSize = 20, FirstFree = 24,
                               FreeCount = 28, UsedBlocks = 32, Version = 36, EncryptionName = 40,
                               StreamName = 72, FreeCache = 104, SectionTop = 256, Directory = 258;
inline constexpr std::uint32_t FreeCacheSize = 20, SpillTo = 5, RefillTo = 15;
inline constexpr std::int32_t FreeMapID = 0x7FFFFFFF, OverflowID = 0x7FFFFFFE;
inline constexpr std::uint32_t SubHeadersSize = 253, SubHeadersMax = 31;
}  // namespace nxseHdr

// ---- Factories ----------------------------------------------------------------------

class TnxCommonFileHeaderAccessFactory : public TnxBaseFileHeaderAccessFactory {
  PL_CLASS_INFO_DECL()
 public:
  // Non-zero aSignature: formats a new block 0 in aHeader. Zero: takes the
  // file's fields from the block-0 image (8961 for values out of range).
  TnxCommonFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader);

  std::uint32_t GetUsedBlocks(const std::uint8_t* aHeader) override { return nxseGetU32(aHeader + nxseHdr::UsedBlocks); }

 protected:
  [[noreturn]] void RaiseHeader(TnxResult aCode, const nxString& aText = {}, TnxFormatArgs aArgs = {}) {
    DoRaise(aCode, aText, aArgs);
    throw EnxFileHeaderAccessException(aCode);  // DoRaise always throws
  }
  // Raises the format's exception class (the default text for an empty one).
  [[noreturn]] virtual void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) = 0;
};

class Tnx1xFileHeaderAccessFactory : public TnxCommonFileHeaderAccessFactory {
  PL_CLASS_INFO_DECL()
 public:
  // 12289 for a new file: version 1 files are never created.
  Tnx1xFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader);
  const platform::ClassInfo& HeaderAccessClass() override;
  static void ValidateDictionary(TnxDataDictionary* aDataDictionary, bool aForBuild);
  static std::int32_t AdditionalReservedSpace() { return 0; }

 protected:
  [[noreturn]] void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) override;
};

class Tnx2xFileHeaderAccessFactory : public TnxCommonFileHeaderAccessFactory {
  PL_CLASS_INFO_DECL()
 public:
  Tnx2xFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader);
  const platform::ClassInfo& HeaderAccessClass() override;
  static void ValidateDictionary(TnxDataDictionary* aDataDictionary, bool aForBuild);
  static std::int32_t AdditionalReservedSpace() { return 4; }
  void SetupTableChecksum(PnxBlock aHeader, bool aIsNew) override;
  void VerifyID(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum, std::int32_t aID) override;
  void ValidateBlock(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum) override;
  std::int32_t GetID(const std::uint8_t* aBlock) override;
  std::uint8_t* GetEncryptionEngineHeader(PnxBlock aHeader) override;
  std::uint8_t* GetTableChecksum(PnxBlock aHeader) override;

 protected:
  [[noreturn]] void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) override;
};

// ---- Header accesses ------------------------------------------------------------------

class TnxCommonFileHeaderAccess : public TnxBaseFileHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess;

  std::uint32_t UsedBlocks() override;
  std::uint32_t AvailableBlocks() override;

  std::uint32_t UsableSize() const { return bfhaHeaderFile->BlockSizeBytes(); }

 protected:
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText = {}, TnxFormatArgs aArgs = {}) {
    DoRaise(aCode, aText, aArgs);
    throw EnxFileHeaderAccessException(aCode);  // DoRaise always throws
  }
  [[noreturn]] virtual void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) = 0;
  void RequireDirty();
  // Appends block "used blocks" to the file (9479 at MaxBlocks).
  PnxBlock ExtendFile(TnxBaseTransaction* aTrans, TnxReleaseMethod& aReleaseMethod);
  // 8962 unless aBlock is a block number of the file other than 0.
  void CheckBlockNumber(std::uint32_t aBlock, TnxResult aCode);
};

class Tnx1xFileHeaderAccess : public TnxCommonFileHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  using TnxCommonFileHeaderAccess::TnxCommonFileHeaderAccess;

  PnxBlock GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t aID, TnxReleaseMethod& aReleaseMethod) override;
  void DeleteBlock(TnxBaseTransaction* aTrans, PnxBlock aBlock) override;
  std::uint16_t RegisterHeaderSection(const nxString& aName, std::uint8_t aSize, bool aCreate,
                                      bool aOverwrite) override;

 protected:
  [[noreturn]] void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) override;
};

class Tnx2xFileHeaderAccess : public TnxCommonFileHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  using TnxCommonFileHeaderAccess::TnxCommonFileHeaderAccess;

  void LoadHeader(TnxBaseTransaction* aTrans) override;
  PnxBlock GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t aID, TnxReleaseMethod& aReleaseMethod) override;
  void DeleteBlock(TnxBaseTransaction* aTrans, PnxBlock aBlock) override;
  std::uint16_t RegisterHeaderSection(const nxString& aName, std::uint8_t aSize, bool aCreate,
                                      bool aOverwrite) override;
  void ChangePassword(const nxString& aNewPassword) override;
  // The sub-header block of aID; created with a transaction, 8961 without
  // one when it does not exist. Called on the access object of block 0.
  TnxBlockNumber GetHeaderBlockForID(TnxBaseTransaction* aTrans, std::int32_t aID);

 protected:
  [[noreturn]] void DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) override;

 private:
  std::uint32_t CacheCount();
  PnxBlock FetchMapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, TnxReleaseMethod& aRelease);
  PnxBlock FetchOverflowBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty,
                              TnxReleaseMethod& aRelease);
  PnxBlock NewOverflowBlock(TnxBaseTransaction* aTrans, std::int32_t aID, std::int32_t aBlock,
                            TnxReleaseMethod& aRelease);
};

// Registers "NX!1" and "NX!2" (module start-up) and removes them.
void nxseHeaderAccessInitialize();
void nxseHeaderAccessFinalize();
