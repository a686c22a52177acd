// Damaged indexed table files: intact files with each B*-tree kind
// (static-key, keyless, cache-keyless) and with a full-text index get one
// damaged value each (header fields, counts, block numbers, owner IDs,
// LSNs, index node fields, token index BLOBs), from fixed seeds and a
// bounded number of inputs. Each is opened, read whole, every index walked,
// given one committed change and closed. Every failure must be an engine
// error, no file may grow past what one commit adds, and the sanitizer
// build refuses any allocation above 1 GB.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "../storage/nxseCrashTestSupport.h"
#include "../storage/nxseFileDamage.h"
#include "nxAllocationLimit.h"
#include "nxseFulltextTestSupport.h"
#include "nxseIndexEngineCacheKeylessBstarTree.h"

NX_TEST_ALLOCATION_LIMIT()

namespace nxtest {
namespace {

enum class Shape { staticKey, keyless, cacheKeyless, fulltext };

const char* const kPath = "/db/f.nx1";
constexpr int kInputsPerShape = 300;
constexpr std::uint32_t kWalkLimit = 100000;  // keys per index walk; a damaged chain may loop

class IndexDamagedFileFuzzTest : public JournalCrashKit<FulltextTest>, public ::testing::WithParamInterface<Shape> {
 protected:
  void SetUp() override {
    JournalCrashKit::SetUp();
    nxseIndexEngineCacheKeylessBstarTreeInitialize();
  }
  void TearDown() override {
    closeEngines();
    nxseIndexEngineCacheKeylessBstarTreeFinalize();
    JournalCrashKit::TearDown();
  }

  bool fulltext() const { return GetParam() == Shape::fulltext; }
  // Enough for trees of several levels; full text costs more per record.
  std::int32_t records() const { return fulltext() ? 60 : 150; }

  TnxServerDataDict* dictionary() {
    switch (GetParam()) {
      case Shape::staticKey: return indexDictionary({{u"ID", idAll, {0}}, {u"Name", idAll, {1}}});
      case Shape::keyless:
        return indexDictionary(
            {{u"ID", idAll, {0}, nbTop, u"KeylessBStarTree"}, {u"Name", idAll, {1}, nbTop, u"KeylessBStarTree"}});
      case Shape::cacheKeyless: {
        // A cache table: its sequential access index first, then ByID.
        TnxServerDataDict* dict = indexDictionary({{u"ByID", idAll, {0}}});
        dict->MakeCacheable(true);
        dict->MakeCache(true);
        dict->AddRecordDescriptor();
        TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
        for (std::int32_t i = list->IndexCount(); i-- > 0;)
          if (platform::sameTextAscii(list->Indices(i)->Name(), u"Sequential Access Index"))
            list->RemoveIndex(list->Indices(i)->Name());
        list->InsertIndexAt(0, u"Sequential Access Index", 0, idNone, u"Sequential Access Index",
                            &TnxRefKeyDescriptor::staticClassInfo());
        for (std::int32_t i = 0; i < list->IndexCount(); ++i)
          if (list->Indices(i)->Name() == nxString(u"ByID")) list->Indices(i)->SetIndexEngine(u"CacheKeylessBstarTree");
        return dict;
      }
      default: {
        TnxServerDataDict* dict = fulltextDictionary();
        TnxFulltextIndexDescriptor* body = fulltextOf(dict)->AddFulltextIndex(u"Body");
        body->AddFieldTokenExtractor(fText);
        addBitArrayIndex(body);
        return dict;
      }
    }
  }

  std::vector<std::uint8_t> makeRecord(std::int32_t aValue) {
    TnxFieldsDescriptor* fields = table_->dict->FieldsDescriptor();
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    fields->InitRecord(r.data());
    if (fulltext()) {
      const auto loc = static_cast<std::uint32_t>(aValue);
      fields->SetRecordField(fLoc, r.data(), &loc);
      std::vector<std::uint8_t> s(static_cast<std::size_t>(fields->Fields(fText)->fdLength), 0);
      const std::u16string text = platform::fromUtf8("word" + std::to_string(aValue % 7) + " common w" +
                                                     std::to_string(aValue) + " x" + std::to_string(aValue % 31));
      std::memcpy(s.data(), text.data(), std::min(text.size() * 2, s.size() - 2));
      fields->SetRecordField(fText, r.data(), s.data());
      return r;
    }
    fields->SetRecordField(0, r.data(), &aValue);
    const std::string name = "name-" + std::to_string(aValue * 7919 % 1000);
    std::vector<std::uint8_t> s(static_cast<std::size_t>(fields->Fields(1)->fdLength), 0);
    s[0] = static_cast<std::uint8_t>(name.size());
    std::memcpy(s.data() + 1, name.data(), name.size());
    fields->SetRecordField(1, r.data(), s.data());
    std::int32_t refField = -1;
    if (fields->HasRefNrField(refField)) {
      const TnxRefNr cacheRef = 100000 - aValue;
      fields->SetRecordField(refField, r.data(), &cacheRef);
    }
    return r;
  }

  // The engines over table_; without aTrans they read what the file holds.
  void openEngines(TnxBaseTransaction* aTrans) {
    if (!table_->dict->IndicesDescriptor()) throw EnxBaseException(8961);
    indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                        table_->dict->IndicesDescriptor()->ID()));
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      table_->records.get(), aTrans, false));
    if (!fulltext()) return;
    TnxDictionaryItem* ft = nxFindFulltextDescriptor(table_->dict.get());
    if (!ft) throw EnxBaseException(8961);
    tableEngine_.reset(platform::objectAs<TnxFulltextTableEngine>(
        TnxBaseFulltextTableEngine::CreateFor(ft, {table_->main.get()}, indices_.get(), aTrans)));
    if (!tableEngine_) throw EnxBaseException(8961);
    cursorEngine_.reset(
        platform::objectAs<TnxFulltextCursorEngine>(TnxBaseFulltextCursorEngine::CreateFor(tableEngine_.get(), nullptr)));
    if (!cursorEngine_) throw EnxBaseException(8961);
  }
  void closeEngines() {
    cursorEngine_.reset();
    tableEngine_.reset();
    indices_.reset();
    indexAccess_.reset();
    table_ = nullptr;
  }

  // Adds (or, with aDelete, removes) a record with its keys and tokens.
  void change(TnxBaseTransaction* aTrans, std::int32_t aValue, TnxRefNr& aRefNr, bool aDelete = false) {
    std::vector<std::uint8_t> r = makeRecord(aValue);
    if (aDelete) {
      table_->records->DeleteRecord(aTrans, aRefNr);
      if (indices_->DeleteKeys(aTrans, aRefNr, r.data(), nullptr) != 0) throw EnxBaseException(8961);
      if (fulltext() && cursorEngine_->UpdateIndex(aTrans, r.data(), aRefNr, nullptr, 0) != 0)
        throw EnxBaseException(8961);
      return;
    }
    table_->records->AddRecord(aTrans, aRefNr, r.data());
    if (indices_->InsertKeys(aTrans, aRefNr, r.data(), nullptr) != 0) throw EnxBaseException(8961);
    if (fulltext() && cursorEngine_->UpdateIndex(aTrans, nullptr, 0, r.data(), aRefNr) != 0)
      throw EnxBaseException(8961);
  }

  // The intact file: records in every index, then a commit that deletes
  // some (free blocks, merged nodes, cleared bits).
  void makeIntact() {
    table_ = &makeCrashTable(kPath, false, dictionary());
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      openEngines(trans.get());
      trans->Commit();
    }
    std::vector<TnxRefNr> refs(static_cast<std::size_t>(records()));
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      for (std::int32_t v = 0; v < records(); ++v) change(trans.get(), v, refs[static_cast<std::size_t>(v)]);
      trans->Commit();
    }
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      for (std::int32_t v = 0; v < records(); v += 4) change(trans.get(), v, refs[static_cast<std::size_t>(v)], true);
      trans->Commit();
    }
    closeEngines();
    closeAll();
    tables_.clear();
  }

  // Every key of every index, and for full text every token with its bit
  // array; answers the keys seen.
  std::uint32_t walk(TnxBaseTransaction* aTrans) {
    std::uint32_t seen = 0;
    for (std::int32_t i = 0; i < indices_->IndexCount(); ++i) {
      TnxBaseIndexEngine* e = indices_->biseGetIndex(i);
      TnxOwned<TnxBaseIndexPath> path(e->CreateIndexPath());
      std::uint32_t keys = 0;
      e->Iterate(aTrans, path.get(), nullptr,
                 [&](void*, TnxRefNr, PnxKeyBuffer) { return ++keys < kWalkLimit ? kirContinue : kirStop; }, {},
                 nullptr, {}, {}, nullptr, nullptr, false);
      seen += keys;
    }
    if (fulltext()) {
      TnxBaseIndexEngine* tokens = bitArrayIndex()->batiteIndexEngine;
      TnxOwned<TnxBaseIndexPath> path(tokens->CreateIndexPath());
      path->SetToBof();
      for (std::uint32_t n = 0; n < kWalkLimit && tokens->NextKey(aTrans, path.get(), nullptr); ++n, ++seen) {
        TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
        std::uint32_t length = 0;
        const auto ref = static_cast<TnxBlobNr>(path->RefNr);
        if (tableEngine_->ftteBlobEngine->GetBlobLength(aTrans, ref, {}, length) == 0)
          (void)tableEngine_->ftteBlobEngine->Read(aTrans, ref, 0, length, {}, *stream);
      }
    }
    return seen;
  }

  // Open, read everything, walk every index, commit one change, close;
  // what failed, if anything, must be an engine error.
  void exercise(const std::string& aWhat) {
    try {
      table_ = &openOrThrow(kPath);
      openEngines(nullptr);
      TnxRefNr refNr = 0;
      PnxRecordBuffer data = nullptr;
      table_->records->Iterate(nullptr, refNr, &data, [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; },
                               nullptr, nullptr, false, false);
      {
        TnxOwned<TestTransaction> reader(newTransaction());
        try {
          walked_ += walk(reader.get());
        } catch (...) {
          reader->Rollback();
          throw;
        }
        reader->Commit();
      }
      TnxOwned<TestTransaction> trans(newTransaction());
      try {
        TnxRefNr added = 0;
        change(trans.get(), 9999, added);
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
    closeEngines();
    try {
      closeAll();
    } catch (const EnxBaseException&) {
    } catch (const std::exception& e) {
      ADD_FAILURE() << aWhat << ": closing: " << e.what();
    }
    tables_.clear();
  }

  int committed_ = 0;         // inputs that went through to their commit
  std::uint64_t walked_ = 0;  // keys and tokens the walks met
  FileDamager damager_{20261214u};
};

TEST_P(IndexDamagedFileFuzzTest, DamagedIndexedFilesGiveEngineErrors) {
  makeIntact();
  const std::vector<std::uint8_t> intact = disk(kPath);
  // The intact file goes the whole way and its walks meet every key.
  exercise("intact");
  ASSERT_EQ(committed_, 1);
  ASSERT_GT(walked_, static_cast<std::uint64_t>(records()));
  putDisk(intact, kPath);
  committed_ = 0;
  const std::vector<std::string> focus =
      fulltext() ? std::vector<std::string>{"NXIH", "NXBH", "NXHD", "NXHM"} : std::vector<std::string>{"NXIH"};
  damager_.seed(20261214u + static_cast<std::uint32_t>(GetParam()));
  for (int input = 0; input < kInputsPerShape; ++input) {
    std::string what;
    const std::vector<std::uint8_t> damaged = damager_.damage(intact, what, focus);
    SCOPED_TRACE(what);
    putDisk(damaged, kPath);
    exercise(what);
    // One commit adds a record, its keys and tokens: a few blocks and the grow step.
    EXPECT_LE(disk(kPath).size(), damaged.size() + 32 * kBlock) << what;
  }
  putDisk(intact, kPath);  // damaged on purpose: left out of the teardown check
  EXPECT_GT(committed_, kInputsPerShape / 10);
  EXPECT_LT(committed_, kInputsPerShape);
}

std::string shapeName(const ::testing::TestParamInfo<Shape>& aParam) {
  switch (aParam.param) {
    case Shape::staticKey: return "StaticKey";
    case Shape::keyless: return "Keyless";
    case Shape::cacheKeyless: return "CacheKeyless";
    default: return "Fulltext";
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, IndexDamagedFileFuzzTest,
                         ::testing::Values(Shape::staticKey, Shape::keyless, Shape::cacheKeyless, Shape::fulltext),
                         shapeName);

#if defined(__SANITIZE_ADDRESS__)
// The limit above is in force: a 2 GB allocation ends the process with the
// sanitizer's report instead of being served.
TEST(AllocationLimitDeathTest, TwoGigabytesAreRefused) {
  EXPECT_DEATH(
      {
        void* p = std::malloc(std::size_t{2} << 30);
        std::printf("%p\n", p);
        std::free(p);
      },
      "allocation-size-too-big|exceeds maximum supported size");
}
#endif

}  // namespace
}  // namespace nxtest
