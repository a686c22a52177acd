// The stream engine of table files ("nx1xDefault" in the stream family) and
// the server's data dictionary, which lives in the named stream "DICT".
//
// A stream is a chain of "NXSH" blocks (little-endian): 0 signature, 4 block
// number, 8 LSN, 16 next block (-1 ends), 20 stream signature ("DICT",
// "USER", "SMAP" or the caller's), 24 length in bytes (first block only), 28
// stream number (= its first block), 32 data up to the usable size. An empty
// stream is one block of length 0.
// The 8-byte header section holds the first block of "DICT" (0 none) and of
// the stream map (0 none). The map, a stream with signature "SMAP": u32
// count, then per entry a length byte, the name's single-byte characters and
// the u32 first block; names sorted without regard to ASCII case, unique.
// Lengths, links and map entries read from the file are checked against the
// file and the chain before use; a chain longer than the file's block count
// is a cycle (8962).
// An engine keeps no state between calls but its section offset; it runs
// inside the caller's transaction.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxseStreamEngineExcpetion, EnxStreamEngineException)
NX_DECLARE_EXCEPTION(EnxServerDataDictException, EnxDataDictionaryException)

class TnxSimpleStreamEngine : public TnxBaseStreamEngine {
  PL_CLASS_INFO_DECL()
 public:
  // With a transaction the header section is created (a new table), else
  // looked up.
  TnxSimpleStreamEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, TnxBlockAccess* aDataFile);

  void DeleteStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr) override;
  void ReadStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr, TStream& aStream) override;
  void WriteStream(TnxBaseTransaction* aTrans, TnxBlockNumber& aStreamNr, TStream& aStream, bool aCreateNew,
                   const TnxBlockSignature& aStreamSig) override;
  TnxResult GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) override;
  TnxResult GetNamedStreamCount(TnxBaseTransaction* aTrans, std::int32_t& aCount) override;
  TnxResult DeleteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName) override;
  TnxResult ReadNamedStream(TnxBaseTransaction* aTrans, const nxString& aName, TStream& aStream) override;
  TnxResult WriteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName, TStream& aStream) override;

  std::uint16_t seHeaderSection = 0;

 private:
  using StreamMap = std::vector<std::pair<nxString, TnxBlockNumber>>;
  std::uint32_t DataPerBlock() const { return bseDataFile->fiBlockSizeBytes() - 32; }
  PnxBlock ReadBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty, TnxReleaseMethod& aRelease);
  PnxBlock NewBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess, PnxBlock aPrevious,
                    TnxReleaseMethod& aRelease);
  void FreeChain(TnxBaseTransaction* aTrans, TnxBlockNumber aFirst, bool aKeepFirst);
  TnxBlockNumber SectionField(TnxBaseTransaction* aTrans, std::uint32_t aField);
  void SetSectionField(TnxBaseTransaction* aTrans, std::uint32_t aField, TnxBlockNumber aValue);
  StreamMap LoadMap(TnxBaseTransaction* aTrans);
  void SaveMap(TnxBaseTransaction* aTrans, const StreamMap& aMap);
  [[noreturn]] void RaiseChain(TnxBlockNumber aBlock);
};

// The server's dictionary: read from and written to a table file.
class TnxServerDataDict : public TnxDataDictionary {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerDataDict() = default;

  // 9992 "The data dictionary is missing (<file>)" when "DICT" cannot be read.
  void ReadFromFile(TnxBaseStreamEngine* aStreamEngine, TnxBaseTransaction* aTrans);
  void WriteToFile(TnxBaseStreamEngine* aStreamEngine, TnxBaseTransaction* aTrans, std::int32_t aVersion);
  // The dictionary checks, the header format (15504 unknown, v1 refuses a
  // build) and every storage engine family.
  void CheckValid(bool aForBuild) override;
  // Block bytes minus the encryption and header-format reserves.
  std::int32_t UsableBlockSize(TnxBlockSize aBlockSize) override;
  bool IsCompatibleClass(const TnxDictionaryItem* aItem) const override;

  void IncID() { SetCurrentID(CurrentID() + 1); }
  void RestoreID(std::int32_t aOldID) { SetCurrentID(aOldID); }
  void RecreateGuid();
  void ForceOffReadOnly() { TnxDataDictionary::ForceOffReadOnly(); }
  void ForceOnReadOnly() { MakeReadOnly(); }
};

// Registers the stream engine (module start-up) and removes it.
void nxseStreamEngineInitialize();
void nxseStreamEngineFinalize();
