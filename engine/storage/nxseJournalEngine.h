// The journal: block images written before a top-level commit touches the
// table files, so that a crash in the middle can be repaired.
//
// File layout (little-endian): header of 12 bytes: "NXJH", the complete
// flag (0 while written, -1 once complete), the journal kind (0 before and
// after images, 1 after images, 2 before images). Then records: "NXJR",
// block number (u32), block size code (bit 7 set: a before image of a block
// the commit creates, with no image following), image kind (255 before,
// 0 after), 2 zero bytes, the table file name as a length byte and up to
// 255 bytes of UTF-8 (relative to the journal's folder when the file lies
// in it), then the image exactly as the table file stores the block
// (encoded by the file's encryption engine, except block 0). A freed
// block's after image is the freed-block image the file would write.
//
// Durability: the journal is written under its name plus ".tmp", which
// recovery deletes unread. Records are gathered in memory and written in
// large sequential writes (past a bound, while the transaction adds blocks).
// FinalizeJournal writes the rest with the complete flag set and syncs the
// file, then renames it to its journal name and syncs the folder: the name
// never lasts without the records and flag behind it, and nothing reaches a
// table file before FinalizeJournal returns. Once the table files are
// synced, the owner retires the journal: it writes 0 into the complete flag
// and syncs it, then unlinks the file without waiting for the folder, since
// a journal that comes back after a crash is then dropped. When the cleared
// flag cannot be made durable, the unlink and a folder sync must be, or the
// retirement fails, and with it the commit, which recovery then undoes.
//
// Recovery (Check) of a folder: journals still being written are deleted;
// complete rollback journals are replayed
// newest first, complete commit journals oldest first (by the number in the
// journal's name, which rises with commit order); incomplete ones are
// dropped. A replay validates the whole journal before writing anything:
// size codes up to 4, no truncated image, every target an existing file
// whose block 0 carries a table signature and the record's block size.
// Every table file written is synced before the journal is deleted, then
// the folder is synced. A journal that fails stays for the next check.
// Thread safety: a journal belongs to one committing transaction; Check runs
// while the folder's tables are closed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nxsrBufferManager.h"
#include "plFileSystem.h"

NX_DECLARE_EXCEPTION(Enx1xJournalEngineException, EnxBaseJournalEngineException)

struct TnxJournalEngineClassFuncs {
  TnxBaseJournalEngine* (*create)(const nxString& aFileName);
  void (*check)(const nxString& aAlias, const nxString& aPath);
  std::int32_t (*journalKind)();
};
template <class T>
inline constexpr TnxJournalEngineClassFuncs nxJournalEngineFuncs{
    [](const nxString& aFileName) -> TnxBaseJournalEngine* { return platform::create<T>(aFileName); },
    &T::Check, &T::JournalKind};

class Tnx1xJournalEngine : public TnxBaseJournalEngine {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::uint32_t HeaderSize = 12;
  static constexpr std::uint32_t RecordHeaderSize = 268;
  // Gathered bytes past which AddBlock writes them out.
  static constexpr std::size_t WriteBound = std::size_t{1} << 20;

  explicit Tnx1xJournalEngine(const nxString& aFileName) : TnxBaseJournalEngine(aFileName) {}
  ~Tnx1xJournalEngine() override;

  // 0 before and after images, 1 after images, 2 before images.
  static std::int32_t JournalKind() { return 0; }
  // Recovery of the folder aPath: 10018 when it does not exist; a journal
  // that cannot be handled stays in place.
  static void Check(const nxString& aAlias, const nxString& aPath) { CheckKind(aAlias, aPath, JournalKind()); }
  static void CheckKind(const nxString& aAlias, const nxString& aPath, std::int32_t aClassKind);

  void PrepareJournal() override;
  void AddBlock(TnxBaseTransaction* aTrans, TnxReadOnlyBlock* aBlock) override;
  void FinalizeJournal() override;
  // The complete flag is cleared and synced, and the file unlinked and its
  // folder synced; success needs one of the two. Else 9218 with the error.
  void RetireJournal() override;
  void KeepJournalFile() override;
  virtual std::int32_t Kind() const { return JournalKind(); }

  // Replays one open journal after validating all of it. aSynced collects
  // the table files written (opened; the caller syncs and closes them).
  static void ProcessJournal(const nxString& aJournalName, platform::FileId aFile, bool aApplyAfterImages);

 protected:
  void WriteJournalHeader(bool aComplete);
  void WriteJournalRecord(TnxReadOnlyBlock* aBlock, TnxBaseTransaction* aTrans, bool aBeforeImage);
  // The 256-byte name field of aFile's records, converted once per file.
  const std::uint8_t* NameField(TnxBaseFile* aFile);
  // Room for aCount more bytes at the end of the gathered bytes.
  std::uint8_t* Reserve(std::size_t aCount);
  // Writes the gathered bytes at their place in the file.
  void WriteGathered();

  platform::FileId jeJournalFile = -1;
  std::int64_t jeSize = 0;  // bytes of the journal, written or gathered
  bool jeComplete = false;  // the flag is set in the file (named or not)
  bool jeNamed = false;     // the file has its journal name
  std::string jePath;       // the file's name now
  // Gathered bytes not yet written; they start at file offset jeGatheredAt.
  std::unique_ptr<std::uint8_t[]> jeGathered;
  std::size_t jeGatheredCount = 0, jeGatheredCapacity = 0;
  std::int64_t jeGatheredAt = 0;
  std::vector<std::pair<TnxBaseFile*, std::array<std::uint8_t, 256>>> jeNames;
  bool jeWriteThrough = false;
  std::vector<std::uint8_t> jeFreedImage;  // reused for freed-block images
};

class Tnx1xCommitJournalEngine : public Tnx1xJournalEngine {
  PL_CLASS_INFO_DECL()
 public:
  using Tnx1xJournalEngine::Tnx1xJournalEngine;
  static std::int32_t JournalKind() { return 1; }
  static void Check(const nxString& aAlias, const nxString& aPath) { CheckKind(aAlias, aPath, JournalKind()); }
  std::int32_t Kind() const override { return JournalKind(); }
};

class Tnx1xRollbackJournalEngine : public Tnx1xJournalEngine {
  PL_CLASS_INFO_DECL()
 public:
  using Tnx1xJournalEngine::Tnx1xJournalEngine;
  static std::int32_t JournalKind() { return 2; }
  static void Check(const nxString& aAlias, const nxString& aPath) { CheckKind(aAlias, aPath, JournalKind()); }
  std::int32_t Kind() const override { return JournalKind(); }
};

// The process-wide default journal class, used for new transactions'
// journals and for a folder's recovery; nil when unset. Set at start-up and
// from the server's configuration, read by the folders.
// REQUIRES: aClass, when set, descends from TnxBaseJournalEngine.
const platform::ClassInfo* nxGetDefaultJournalEngineClass();
void nxSetDefaultJournalEngineClass(const platform::ClassInfo* aClass);

// Start-up registers the three classes by name and makes the rollback kind
// the default; finalisation removes them and unsets the default.
void nxseJournalEngineInitialize();
void nxseJournalEngineFinalize();
