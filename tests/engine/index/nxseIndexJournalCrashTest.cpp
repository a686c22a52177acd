// Crash consistency of journaled commits over indexed tables: two tables
// (one encrypted), each with a static-key B*-tree on "ID" and one on the
// long "Name" (small nodes), go through a commit that deletes, updates and
// adds records and their keys, so that data and index blocks are freed and
// allocated and nodes split and merge. The commit is cut at every write and
// sync point; after recovery the checker accepts each file, each index holds
// exactly the keys of its table's records, and the records are the state
// before or after the commit (after, once the commit returned).
#include <algorithm>
#include <deque>
#include <set>

#include "../storage/nxseCrashTestSupport.h"
#include "nxseEncryptionEngineBlowfishRC4.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

using Records = std::vector<std::pair<TnxRefNr, std::int32_t>>;

const char* const kPlain = "/db/plain.nx1";
const char* const kSecret = "/db/secret.nx1";
constexpr std::int32_t kIndices = 2;

// One table with its indices engine.
struct Indexed {
  Table* table = nullptr;
  TnxOwned<TnxBlockAccess> access;
  TnxOwned<TnxBaseIndicesEngine> indices;
};

class IndexJournalCrashTest : public JournalCrashKit<IndexTest>,
                              public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    JournalCrashKit::SetUp();
    nxseEncryptionEngineBlowfishRC4Initialize();
    nxseJournalEngineInitialize();
  }
  void TearDown() override {
    indexed_.clear();
    JournalCrashKit::TearDown();
    nxseJournalEngineFinalize();
    nxseEncryptionEngineBlowfishRC4Finalize();
  }

  static std::string name(std::int32_t aValue) { return "name-" + std::to_string(aValue); }

  // Runs aBody with the kit's index members pointing at aTable's.
  template <class F>
  void on(Indexed& aTable, F&& aBody) {
    std::swap(indexAccess_, aTable.access);
    std::swap(indices_, aTable.indices);
    table_ = aTable.table;
    struct Back {
      IndexJournalCrashTest* self;
      Indexed& t;
      ~Back() {
        std::swap(self->indexAccess_, t.access);
        std::swap(self->indices_, t.indices);
        self->table_ = nullptr;
      }
    } back{this, aTable};
    aBody();
  }

  Indexed& make(const std::string& aPath, bool aEncrypted) {
    TnxServerDataDict* dict = indexDictionary({{u"ID", idNone, {0}}, {u"Name", idNone, {1}}});
    TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
    Indexed& x = indexed_.emplace_back();
    x.table = &makeCrashTable(aPath, aEncrypted, dict);
    TnxOwned<TestTransaction> trans(newTransaction());
    x.access.reset(platform::create<TnxBlockAccess>(x.table->file, x.table->main.get(), u"t",
                                                    x.table->dict->IndicesDescriptor()->ID()));
    x.indices.reset(TnxBaseIndicesEngine::CreateEngine(x.table->dict->IndicesDescriptor(), {x.access.get()},
                                                       x.table->records.get(), trans.get(), false));
    trans->Commit();
    return x;
  }
  Indexed& open(const std::string& aPath) {
    Indexed& x = indexed_.emplace_back();
    x.table = &openCrashTable(aPath);
    x.access.reset(platform::create<TnxBlockAccess>(x.table->file, x.table->main.get(), u"t",
                                                    x.table->dict->IndicesDescriptor()->ID()));
    x.indices.reset(TnxBaseIndicesEngine::CreateEngine(x.table->dict->IndicesDescriptor(), {x.access.get()},
                                                       x.table->records.get(), nullptr, false));
    return x;
  }

  void add(Indexed& t, TnxBaseTransaction* aTrans, std::int32_t aValue) {
    on(t, [&] {
      std::vector<std::uint8_t> r = record(aValue, name(aValue));
      TnxRefNr refNr = 0;
      t.table->records->AddRecord(aTrans, refNr, r.data());
      ASSERT_EQ(indices_->InsertKeys(aTrans, refNr, r.data(), nullptr), 0);
    });
  }
  // The commit under test: deletes the first 45 records (whole data blocks
  // are freed, index leaves merge), renames 15 and adds 90 whose names fall
  // between existing ones (leaves split, blocks are allocated).
  void change(Indexed& t, TnxBaseTransaction* aTrans, const Records& aBefore) {
    on(t, [&] {
      for (std::size_t i = 0; i < aBefore.size() && i < 60; ++i) {
        const auto [refNr, value] = aBefore[i];
        std::vector<std::uint8_t> old = record(value, name(value));
        if (i < 45) {
          t.table->records->DeleteRecord(aTrans, refNr);
          ASSERT_EQ(indices_->DeleteKeys(aTrans, refNr, old.data(), nullptr), 0);
        } else {
          std::vector<std::uint8_t> now = record(value + 1000, name(value + 1000)), was(old.size());
          t.table->records->UpdateRecord(aTrans, refNr, now.data(), was.data());
          ASSERT_EQ(indices_->UpdateKeys(aTrans, refNr, old.data(), refNr, now.data(), nullptr), 0);
        }
      }
    });
    for (std::int32_t v = 5000; v < 5090; ++v) add(t, aTrans, v);
  }

  // The records of a table; each index must hold exactly their keys, in a
  // tree the independent walker accepts.
  Records scan(Indexed& t) {
    Records result;
    TnxFieldsDescriptor* fields = t.table->dict->FieldsDescriptor();
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      bool isNull = false;
      std::int32_t id = 0;
      fields->GetRecordField(0, aRecord, isNull, &id);
      std::vector<char> s(static_cast<std::size_t>(fields->Fields(1)->fdLength), 0);
      fields->GetRecordField(1, aRecord, isNull, s.data());
      EXPECT_EQ(std::string(s.data() + 1, static_cast<std::uint8_t>(s[0])), name(id));
      result.emplace_back(aRefNr, id);
      return rirContinue;
    };
    t.table->records->Iterate(nullptr, refNr, &data, it, nullptr, nullptr, false, false);
    on(t, [&] {
      TnxOwned<TestTransaction> reader(newTransaction());
      for (std::int32_t i = 0; i < kIndices; ++i) {
        std::multiset<std::pair<std::string, TnxRefNr>> want, have;
        for (const auto& [r, v] : result) {
          const std::vector<std::uint8_t> k = key(i, v, name(v));
          want.insert({std::string(k.begin(), k.end()), r});
        }
        for (const Entry& e : checkTree(reader.get(), i)) have.insert({std::string(e.key.begin(), e.key.end()), e.refNr});
        EXPECT_TRUE(want == have) << "index " << i << " disagrees with the records";
      }
      reader->Commit();
    });
    return result;
  }
  std::uint32_t nodes(Indexed& t, std::int32_t aIndex) {
    std::uint32_t pages = 0;
    on(t, [&] {
      TnxOwned<TestTransaction> reader(newTransaction());
      {
        TnxOwned<TnxBaseIndexHeaderAccess> header(
            engine(aIndex)->CreateHeaderAccess(reader.get(), false, false, 0, 0));
        pages = header->GetIndexPageCount();
      }
      reader->Commit();
    });
    return pages;
  }

  void restoreFiles(const Files& aFiles) {
    indexed_.clear();
    restore(aFiles);
  }
  std::pair<Records, Records> recoveredState(const Files& aFiles, bool aCommitKind) {
    restoreFiles(aFiles);
    recover(aCommitKind);
    expectNoJournalLeft();
    Indexed& plain = open(kPlain);
    Indexed& secret = open(kSecret);
    std::pair<Records, Records> state{scan(plain), scan(secret)};
    checkWithChecker(kPlain, plain.table->file, plain.table->records->breRecordLength);
    checkWithChecker(kSecret, secret.table->file, secret.table->records->breRecordLength);
    return state;
  }

  // Both tables with 100 records, durable; answers the state.
  std::pair<Records, Records> fill() {
    Indexed& plain = make(kPlain, false);
    Indexed& secret = make(kSecret, true);
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      for (std::int32_t v = 0; v < 100; ++v)
        for (Indexed* t : {&plain, &secret}) add(*t, trans.get(), v);
      trans->Commit();
    }
    makeDurable();
    return {scan(plain), scan(secret)};
  }
  // Runs the commit under test on the recorder; answers the state after it.
  std::pair<Records, Records> commit(CrashRecorder& aRecorder, int aKind, const std::pair<Records, Records>& aBefore) {
    Indexed& plain = indexed_[0];
    Indexed& secret = indexed_[1];
    const std::uint32_t nodesBefore = nodes(plain, 1);
    platform::setCurrentFileSystem(&aRecorder);
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      change(plain, trans.get(), aBefore.first);
      change(secret, trans.get(), aBefore.second);
      trans->SetJournal(newJournal(aKind, trans.get()));
      trans->Commit();
    }
    aRecorder.capture();  // the commit returned
    platform::setCurrentFileSystem(&fs_);
    EXPECT_NE(nodes(plain, 1), nodesBefore);  // the name index changed shape
    return {scan(plain), scan(secret)};
  }

  std::deque<Indexed> indexed_;  // references stay valid as it grows
};

TEST_P(IndexJournalCrashTest, EveryPointOfACommitRecoversToBeforeOrAfter) {
  const auto [kind, subset] = GetParam();
  const std::pair<Records, Records> before = fill();
  CrashRecorder recorder(fs_, subset, 20261211u + static_cast<std::uint32_t>(kind));
  const std::pair<Records, Records> after = commit(recorder, kind, before);
  ASSERT_NE(before, after);
  ASSERT_GT(recorder.points.size(), 20u);

  int sawBefore = 0, sawAfter = 0;
  for (std::size_t k = 0; k < recorder.points.size(); ++k) {
    SCOPED_TRACE("crash point " + std::to_string(k));
    const auto state = recoveredState(recorder.points[k], kind == 1);
    const bool isBefore = state == before, isAfter = state == after;
    EXPECT_TRUE(isBefore || isAfter);
    sawBefore += isBefore;
    sawAfter += isAfter;
    if (k + 1 == recorder.points.size()) {
      EXPECT_TRUE(isAfter) << "after the commit returned";
    }
    if (HasFailure()) break;  // one broken point tells enough
  }
  EXPECT_GT(sawBefore, 0);
  EXPECT_GT(sawAfter, 0);
}

TEST_P(IndexJournalCrashTest, ACrashDuringRecoveryRecoversTheSame) {
  // Every journal kind (the one with both images recovered as the default
  // rollback kind does); the flag picks the first or the last point inside
  // the table writes.
  const auto [kind, lastPoint] = GetParam();
  const bool commitKind = kind == 1;
  const std::pair<Records, Records> before = fill();
  CrashRecorder commitPoints(fs_, false, 1);
  const std::pair<Records, Records> after = commit(commitPoints, kind, before);
  std::size_t mid = 0;
  for (std::size_t k = 0; k < commitPoints.points.size(); ++k) {
    const Files& f = commitPoints.points[k];
    for (const auto& [path, data] : f)
      if (path.size() > 4 && path.substr(path.size() - 4) == ".n$2" && data.size() >= 8 && data[4] == 0xFF &&
          f.at(kPlain) != commitPoints.points.back().at(kPlain))
        if (lastPoint || mid == 0) mid = k;
  }
  ASSERT_GT(mid, 0u);
  const Files crashed = commitPoints.points[mid];
  const std::pair<Records, Records> expected = recoveredState(crashed, commitKind);
  EXPECT_TRUE(expected == (commitKind ? after : before));

  restoreFiles(crashed);
  CrashRecorder recovery(fs_, false, 2);
  platform::setCurrentFileSystem(&recovery);
  recover(commitKind);
  platform::setCurrentFileSystem(&fs_);
  ASSERT_GT(recovery.points.size(), 3u);
  for (std::size_t k = 0; k < recovery.points.size(); ++k) {
    SCOPED_TRACE("recovery crash point " + std::to_string(k));
    EXPECT_TRUE(recoveredState(recovery.points[k], commitKind) == expected);
    if (HasFailure()) break;
  }
}

std::string kindName(const ::testing::TestParamInfo<std::tuple<int, bool>>& aParam) {
  static const char* const kKinds[] = {"BeforeAndAfter", "Commit", "Rollback"};
  return std::string(kKinds[std::get<0>(aParam.param)]) + (std::get<1>(aParam.param) ? "Variant" : "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, IndexJournalCrashTest,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()), kindName);

}  // namespace
}  // namespace nxtest
