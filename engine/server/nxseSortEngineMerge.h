// The default sort engine: records of one layout sorted by the key of one
// index.
//
// Records are copied once into a 1 MB in-memory run and sorted by permuting
// 32-bit slot numbers (an iterative quicksort; records never move). A full
// run is sorted and spilled into an unnamed temporary table (a result set of
// the database) when the next record arrives. Reading starts with the first
// Get or iteration: without spilled runs straight from memory, else the
// last run is spilled too, runs are merged five at a time into new runs
// until at most five are left, and those are merged while reading.
//
// Ownership: the sorter owns its buffers and every run cursor (freeing a run
// cursor frees its table).
// Thread safety: one sorter belongs to one operation on one thread; it takes
// no lock of its own. The run cursors take the session lock per call.
// Start-up: nxseSortEngineMergeInitialize makes TnxMergeSortEngine the
// storage layer's default sort class unless one is set already;
// finalisation clears that setting while it still names this class.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "nxsrEngineBases.h"

class TnxSqlAbstractDatabase;
class TnxSqlAbstractCursor;

NX_DECLARE_EXCEPTION(EnxMergeSortEngineException, EnxBaseSortEngineException)

enum TnxSortState : std::uint8_t { nxspEmpty, nxspPutting, nxspGetting };

class TnxMergeSortEngine : public TnxBaseSortEngine {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::uint32_t msBufferSize = 1048576;
  static constexpr int msMergeWidth = 5;

  // REQUIRES: aDB is a database that makes result sets (a TnxSqlAbstractDatabase).
  TnxMergeSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc);
  ~TnxMergeSortEngine() override;

  // A failed spill of the full run is returned and the record is not added.
  TnxResult Put(PnxRecordBuffer aRecord) override;
  TnxResult Get(PnxRecordBuffer aRecord) override;
  // A pointer *aData that was nil at the start is nil again at the end.
  bool Iterate(PPnxRecordBuffer aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
               void* aCookie) override;
  bool IterateSameKey(PPnxRecordBuffer aData, const TnxRecordIterator& aIterator, void* aCookie) override;

  std::uint32_t MaxRecCount() const { return msMaxRecCount; }
  std::uint32_t TotalCount() const { return msTotalCount; }
  // Spilled runs not yet exhausted by a merge.
  std::size_t RunCount() const { return msCursorList.size(); }

 private:
  struct TnxMergeRun {
    TnxSqlAbstractCursor* cursor = nullptr;
    std::uint8_t* record = nullptr;  // its current record
  };

  std::uint8_t* msSlot(std::uint32_t aEntry) const { return msBuffer + std::size_t(msBufferRefs[aEntry]) * bsRecLenBuf; }
  int msCompare(const void* aRecord1, const void* aRecord2) const;
  void msSortBuffer();
  // The in-memory run (sorted) into a new run table; msRecCount becomes 0.
  TnxResult msSpill();
  TnxSqlAbstractCursor* msCreateRunCursor();
  void msFreeRun(TnxSqlAbstractCursor* aCursor) noexcept;
  void msFreeExhausted() noexcept;
  // 0 when reading may go on; 8706 for an empty sorter; a failed spill.
  TnxResult msStartGetting();
  void msOpenMerge();
  // The merge position of the smallest current record; -1 when all runs
  // are exhausted.
  int msMergeWinner() const;
  // Moves the run at aPos to its next record; an exhausted run is freed.
  void msMergeAdvance(int aPos);
  // Copies the next record of the merge into aRecord (nil: skips it);
  // false at the end.
  bool msMergeNext(void* aRecord);
  bool msDeliver(PPnxRecordBuffer aData, bool aCopy, std::uint8_t* aRecord, const TnxRecordIterator& aIterator,
                 void* aCookie);

  std::uint8_t* msBuffer = nullptr;
  std::uint32_t* msBufferRefs = nullptr;
  std::uint32_t msBufferOffset = 0;
  std::deque<TnxSqlAbstractCursor*> msCursorList;
  std::uint32_t msMaxRecCount = 0;
  TnxMergeRun msMergeCursor[msMergeWidth];
  std::uint16_t msMergeCursorCount = 0;
  TnxSqlAbstractCursor* msOutputCursor = nullptr;
  std::uint8_t* msRecBuffer = nullptr;
  std::uint32_t msRecCount = 0;
  std::uint32_t msRunIndex = 0;
  TnxSortState msState = nxspEmpty;
  std::uint32_t msTotalCount = 0;
  // Runs exhausted by an intermediate pass, freed when its level commits.
  bool msDeferFree = false;
  std::vector<TnxSqlAbstractCursor*> msExhausted;
};

void nxseSortEngineMergeInitialize();
void nxseSortEngineMergeFinalize();
