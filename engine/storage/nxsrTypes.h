// Types shared by the storage and server layers: their exception classes,
// block numbers and the 16-byte header every block starts with, block sizes,
// the file attributes, the block iterator delegates and the lock-failure
// description.
//
// Block layout (little-endian): 0 signature (4 characters), 4 block number
// (u32, must equal the block's position), 8 LSN (i64) of the transaction that
// last changed it. Engines use the bytes from 16 up to the file's usable size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nxllException.h"
#include "nxllTypes.h"
#include "nxsdServerBaseCursor.h"
#include "nxsdServerEngine.h"
#include "nxsdTypes.h"
#include "plStringList.h"

NX_DECLARE_EXCEPTION(EnxServerException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxServerOSException, EnxServerException)

using TnxBlockNumber = std::uint32_t;
using PnxBlock = std::uint8_t*;
using PnxBlockNumber = TnxBlockNumber*;

struct TnxBlockCommonHeader {
  TnxBlockSignature bchSignature;
  TnxBlockNumber bchThisBlock;
  TnxLSN bchLSN;
};
static_assert(sizeof(TnxBlockCommonHeader) == 16);
using PnxBlockCommonHeader = TnxBlockCommonHeader*;

inline TnxBlockCommonHeader* nxBlockHeader(PnxBlock aBlock) { return reinterpret_cast<TnxBlockCommonHeader*>(aBlock); }
inline const TnxBlockCommonHeader* nxBlockHeader(const std::uint8_t* aBlock) {
  return reinterpret_cast<const TnxBlockCommonHeader*>(aBlock);
}

// Bytes of a block size class: 4096 shl code, 4194304 for nxbs4M.
constexpr std::uint32_t nxBlockBytes(TnxBlockSizeAll aSize) {
  return aSize == nxbs4M ? 4194304u : 4096u << static_cast<unsigned>(aSize);
}
// Block n of a file starts at byte n shl nxBlockShift.
constexpr unsigned nxBlockShift(TnxBlockSize aSize) { return 12u + static_cast<unsigned>(aSize); }
// 4 KB pages of a size class.
constexpr std::int32_t nxBlockPages(TnxBlockSizeAll aSize) { return aSize == nxbs4M ? 1024 : 1 << static_cast<int>(aSize); }

enum TnxFileAttribute : std::uint8_t { nxfaTemporary, nxfaMemTable, nxfaTransWriteThrough, nxfaReplicationLog };
using TnxFileAttributes = TnxSmallSet<TnxFileAttribute>;

enum TnxBlockIteratorResult : std::uint8_t { birContinue, birStop };

// Delegates (object plus function), called with the iterator's cookie.
struct TnxBlockIterator {
  TnxBlockIteratorResult (*Code)(void* aObject, void* aCookie, TnxBlockNumber aBlockNr, PnxBlock aBlock) = nullptr;
  void* Object = nullptr;
  explicit operator bool() const { return Code != nullptr; }
};
struct TnxBlockCookieIterator {
  TnxBlockIteratorResult (*Code)(void* aObject, void* aCookie, TnxBlockNumber aBlockNr, const std::vector<std::uint8_t>& aBlockCookie,
                                 PnxBlock aBlock) = nullptr;
  void* Object = nullptr;
  explicit operator bool() const { return Code != nullptr; }
};

// The fatal-error latch: set when writing committed changes fails; never
// cleared while the process runs.
bool nxsrFatalErrorIsSet();
void nxsrSetFatalError();
// "A fatal error has occurred. ..." (the latch's message).
extern const char16_t* const nxsrFatalErrorMessage;

// Adds aValue to one counter of the calling thread's session statistics
// (nothing when the thread runs no session call).
void nxsrCountSessionStats(TnxSessionStatsCounter aCounter, std::int64_t aValue);
