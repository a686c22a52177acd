// Damaged table files and journals: intact files of several shapes (static
// records with BLOBs, variable records, an encrypted table) get one damaged
// value each (a header field, a count, a block number, an owner ID, an LSN,
// a section or BLOB root byte, any byte), from fixed seeds and a bounded
// number of inputs. Each is opened, read whole (records and BLOBs), given
// one committed change and closed. Every failure must be an engine error,
// no file may grow past what one commit adds, and the sanitizer build
// refuses any allocation above 1 GB. Journals caught after their commit's
// journal was written get the same treatment through the folder check.
#include <gtest/gtest.h>

#include <random>

#include "nxseCrashTestSupport.h"
#include "nxseEncryptionEngineBlowfishRC4.h"

namespace {

using namespace nxtest;

enum class Shape { staticWithBlobs, variable, encrypted };

const char* const kPath = "/db/f.nx1";
constexpr std::uint32_t kRecords = 60;
constexpr int kInputsPerShape = 300;

class DamagedFileFuzzTest : public JournalCrashKit<TableTest>, public ::testing::WithParamInterface<Shape> {
 protected:
  void SetUp() override {
    JournalCrashKit::SetUp();
    nxseEncryptionEngineBlowfishRC4Initialize();
    nxseJournalEngineInitialize();
  }
  void TearDown() override {
    JournalCrashKit::TearDown();
    nxseJournalEngineFinalize();
    nxseEncryptionEngineBlowfishRC4Finalize();
  }

  TnxServerDataDict* dictionary() {
    switch (GetParam()) {
      case Shape::variable: return newVariableDictionary({{nxtInt32, 0}, {nxtInt64, 0}, {nxtNullString, 300}});
      default: return newBlobDictionary(96);
    }
  }
  std::vector<std::uint8_t> record(Table& t, std::uint32_t aValue, TnxBlobNr aBlob) {
    std::vector<std::uint8_t> r(t.records->breRecordLength + 8, 0);
    if (t.variables()) {
      TnxFieldsDescriptor* fields = t.dict->FieldsDescriptor();
      fields->InitRecord(r.data());
      fields->SetRecordField(0, r.data(), &aValue);
      const std::int64_t wide = aValue * 1000003ll;
      fields->SetRecordField(1, r.data(), &wide);
      fields->SetRecordFieldNull(2, r.data(), false);
      const std::string text(aValue % 250, static_cast<char>('a' + aValue % 26));
      std::memcpy(r.data() + fields->Fields(2)->fdOffset, text.c_str(), text.size() + 1);
      return r;
    }
    nxsePutU32(r.data(), aValue);
    std::memcpy(r.data() + 8, &aBlob, 8);
    return r;
  }
  // The intact file: records, BLOBs of every size class, a delete (free
  // blocks) and a second commit; answers the BLOB numbers.
  std::vector<TnxBlobNr> makeIntact() {
    Table& t = makeCrashTable(kPath, GetParam() == Shape::encrypted, dictionary());
    std::vector<TnxBlobNr> blobs;
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      for (std::uint32_t v = 0; v < kRecords; ++v) {
        TnxBlobNr nr = 0;
        if (t.blobs) {
          t.blobs->AddBlob(trans.get(), nr);
          const std::string bytes(static_cast<std::size_t>(v % 5 == 0 ? 9000 + 97 * v : v * 13),
                                  static_cast<char>(v));
          if (!bytes.empty())
            t.blobs->Write(trans.get(), nr, 0, static_cast<std::uint32_t>(bytes.size()), bytes.data());
          blobs.push_back(nr);
        }
        std::vector<std::uint8_t> r = record(t, v, nr);
        TnxRefNr refNr = 0;
        t.records->AddRecord(trans.get(), refNr, r.data());
      }
      trans->Commit();
    }
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      std::vector<TnxBlobNr> kept;
      for (std::size_t i = 0; i < blobs.size(); ++i)
        if (i % 10 == 0 && t.blobs)
          t.blobs->DeleteBlob(trans.get(), blobs[i]);
        else
          kept.push_back(blobs[i]);
      blobs.swap(kept);
      trans->Commit();
    }
    closeAll();
    tables_.clear();
    return blobs;
  }

  // Opens the file as the server engine does; a refused header is an
  // engine error like any other.
  Table& open() {
    Table& t = newTable();
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(kPath), manager_);
    files_.push_back(t.file);
    t.file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    const TnxResult result = manager_->AddFile(t.file, nullptr, {u"pw"}, false, release, header, readOnly);
    if (result != 0) throw EnxBaseException(result);
    nxReleaseBlock(release, header);
    attach(t, nullptr);
    t.dict.reset(platform::create<TnxServerDataDict>());
    t.dict->ReadFromFile(t.stream.get(), nullptr);
    t.stream->Initialize(t.dict.get());
    t.file->fiMaxID = t.dict->CurrentID();
    if (!t.dict->RecordDescriptor()) throw EnxBaseException(8961);
    t.recordAccess.reset(engineAccess(t, t.dict->RecordDescriptor()->ID()));
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, nullptr));
    attachBlobs(t, nullptr);
    return t;
  }

  // Open, read everything, commit one change, close; what failed, if
  // anything, must be an engine error.
  void exercise(const std::vector<TnxBlobNr>& aBlobs, const std::string& aWhat) {
    try {
      Table& t = open();
      std::uint32_t seen = 0;
      TnxRefNr refNr = 0;
      PnxRecordBuffer data = nullptr;
      auto it = [&](void*, TnxRefNr, PnxRecordBuffer) {
        ++seen;
        return rirContinue;
      };
      t.records->Iterate(nullptr, refNr, &data, it, nullptr, nullptr, false, false);
      if (t.blobs)
        for (TnxBlobNr nr : aBlobs) {
          TnxAnsiStringStream stream;
          (void)t.blobs->Read(nullptr, nr, 0, 0xFFFFFFFFu, nullptr, stream);
        }
      TnxOwned<TestTransaction> trans(newTransaction());
      try {
        std::vector<std::uint8_t> r = record(t, 9999, 0);
        TnxRefNr added = 0;
        t.records->AddRecord(trans.get(), added, r.data());
        if (t.blobs) {
          TnxBlobNr nr = 0;
          t.blobs->AddBlob(trans.get(), nr);
          const std::string bytes(5000, 'q');
          t.blobs->Write(trans.get(), nr, 0, 5000, bytes.data());
        }
        trans->Commit();
        ++committed_;
      } catch (...) {
        if (!trans->Done()) trans->Rollback();
        throw;
      }
    } catch (const EnxBaseException&) {
      // A clear error.
    } catch (const std::exception& e) {
      ADD_FAILURE() << aWhat << ": not an engine error: " << e.what();
    }
    try {
      closeAll();
    } catch (const EnxBaseException&) {
    } catch (const std::exception& e) {
      ADD_FAILURE() << aWhat << ": closing: " << e.what();
    }
    tables_.clear();
  }

  int committed_ = 0;  // inputs that went through to their commit
  std::mt19937 random_{20261211u};
  std::uint32_t pick(std::uint32_t aBound) { return static_cast<std::uint32_t>(random_() % aBound); }

  // One damaged value in a copy of aImage; aWhat names it.
  std::vector<std::uint8_t> damage(const std::vector<std::uint8_t>& aImage, std::string& aWhat) {
    std::vector<std::uint8_t> d = aImage;
    const std::uint32_t blocks = static_cast<std::uint32_t>(d.size() / kBlock);
    const std::uint32_t usable = nxseGetU32(d.data() + 20);
    const std::uint32_t used = nxseGetU32(d.data() + 32);
    const std::uint32_t block = pick(blocks);
    std::uint8_t* b = d.data() + std::size_t{block} * kBlock;
    static const std::uint32_t kValues[] = {0, 1, 2, 3, 0x7F, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFE, 0x7FFFFFFF,
                                            0x80000000u, 0xFFFFFFFFu, 1048581};
    auto value = [&]() -> std::uint32_t {
      switch (pick(4)) {
        case 0: return kValues[pick(std::size(kValues))];
        case 1: return used + pick(8) - 4;
        case 2: return pick(blocks + 4);
        default: return static_cast<std::uint32_t>(random_());
      }
    };
    std::uint32_t at = 0;
    switch (pick(8)) {
      case 0:  // a block-0 field: block size, sizes, free set, used blocks, version, names, free cache
        at = std::vector<std::uint32_t>{16, 17, 20, 24, 28, 32, 36, 40, 72, 104, 108, 180}[pick(12)];
        nxsePutU32(d.data() + at, value());
        aWhat = "header field at " + std::to_string(at);
        return d;
      case 1:  // the section directory and the sections of block 0
        at = 256 + pick(usable > 300 ? usable - 260 : 40);
        d[at] = static_cast<std::uint8_t>(random_());
        aWhat = "block 0 byte " + std::to_string(at);
        return d;
      case 2:
        nxsePutU32(b + 4, value());
        aWhat = "block number of " + std::to_string(block);
        return d;
      case 3:
        if (usable + 4 <= kBlock) nxsePutU32(b + usable, value());
        aWhat = "owner ID of " + std::to_string(block);
        return d;
      case 4: {
        const std::uint64_t lsn = pick(2) ? (std::uint64_t{value()} << 32) | random_() : 0x7FFFFFFFFFFFFFFFull;
        std::memcpy(b + 8, &lsn, 8);
        aWhat = "LSN of " + std::to_string(block);
        return d;
      }
      case 5:  // a count or link in an engine block's header (chains, slots, heap and index headers, BLOB roots)
        at = 16 + 2 * pick(20);
        nxsePutU32(b + at, value());
        aWhat = "engine header of " + std::to_string(block) + " at " + std::to_string(at);
        return d;
      case 6:  // a byte near the end of the usable area (heap slot directories, record slots)
        at = usable > 64 ? usable - 1 - pick(64) : 0;
        b[at] = static_cast<std::uint8_t>(random_());
        aWhat = "block " + std::to_string(block) + " byte " + std::to_string(at);
        return d;
      default:
        at = pick(kBlock);
        b[at] = static_cast<std::uint8_t>(random_());
        aWhat = "block " + std::to_string(block) + " byte " + std::to_string(at);
        return d;
    }
  }
};

TEST_P(DamagedFileFuzzTest, DamagedTableFilesGiveEngineErrors) {
  const std::vector<TnxBlobNr> blobs = makeIntact();
  const std::vector<std::uint8_t> intact = disk(kPath);
  random_.seed(20261211u + static_cast<std::uint32_t>(GetParam()));
  for (int input = 0; input < kInputsPerShape; ++input) {
    std::string what;
    const std::vector<std::uint8_t> damaged = damage(intact, what);
    SCOPED_TRACE(what);
    putDisk(damaged, kPath);
    exercise(blobs, what);
    // One commit adds a record and a 5 KB BLOB: a few blocks and the grow step.
    EXPECT_LE(disk(kPath).size(), damaged.size() + 32 * kBlock) << what;
  }
  // Many damaged values lie where nothing reads them: those inputs went the
  // whole way, the others were refused.
  EXPECT_GT(committed_, kInputsPerShape / 4);
  EXPECT_LT(committed_, kInputsPerShape);
}

TEST_P(DamagedFileFuzzTest, DamagedJournalsAreReplayedOrLeft) {
  const std::vector<TnxBlobNr> blobs = makeIntact();
  const std::vector<std::uint8_t> intact = disk(kPath);
  makeDurable();
  // A commit stopped after its journal: the journal complete, no table
  // block written.
  std::vector<std::uint8_t> journal;
  std::string journalName;
  {
    Table& t = open();
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t v = 500; v < 560; ++v) {
      std::vector<std::uint8_t> r = record(t, v, 0);
      TnxRefNr refNr = 0;
      t.records->AddRecord(trans.get(), refNr, r.data());
    }
    trans->SetJournal(newJournal(2, trans.get()));
    journalName = "/db/" + std::to_string(trans->btLSN) + ".n$2";
    TnxFlushList list;
    manager_->CommitTransaction(trans.get(), &list, false);
    platform::TObject::free(trans->btTransLevelsTail);
    fs_.contents(journalName, journal);
    list.Flush(false);
    closeAll();
    tables_.clear();
  }
  ASSERT_GT(journal.size(), 12u);
  random_.seed(20261212u + static_cast<std::uint32_t>(GetParam()));
  for (int input = 0; input < kInputsPerShape / 2; ++input) {
    std::vector<std::uint8_t> damaged = journal;
    const std::uint32_t records = static_cast<std::uint32_t>((journal.size() - 12) / (268 + kBlock));
    const std::uint32_t record = pick(records + 1);
    const std::size_t base = 12 + std::size_t{record} * (268 + kBlock);
    std::size_t at = 0;
    switch (pick(4)) {
      case 0: at = pick(12); break;                           // the header
      case 1: at = base + 4 + pick(8); break;                 // block number, size code, kind
      case 2: at = base + 12 + pick(16); break;               // the table name
      default: at = base + 268 + 32 + pick(4); break;         // an image's used-block count
    }
    if (at >= damaged.size()) at = damaged.size() - 1;
    damaged[at] = static_cast<std::uint8_t>(random_());
    const std::string what = "journal byte " + std::to_string(at);
    SCOPED_TRACE(what);
    restore({{kPath, intact}, {journalName, damaged}});
    try {
      Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
    } catch (const std::exception& e) {
      ADD_FAILURE() << what << ": the folder check raised " << e.what();
    }
    // The replay writes only within what the table and its commit hold.
    EXPECT_LE(disk(kPath).size(), intact.size() + 16 * kBlock) << what;
    exercise(blobs, what);
    putDisk(disk(kPath), kPath);  // damaged on purpose: left out of the teardown check
  }
}

std::string shapeName(const ::testing::TestParamInfo<Shape>& aParam) {
  switch (aParam.param) {
    case Shape::staticWithBlobs: return "StaticWithBlobs";
    case Shape::variable: return "Variable";
    default: return "Encrypted";
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DamagedFileFuzzTest,
                         ::testing::Values(Shape::staticWithBlobs, Shape::variable, Shape::encrypted), shapeName);

}  // namespace
