// Index kit: a table with an Int32 "ID", a nullable ShortString "Name" of
// 200 characters (long keys keep node capacities small on 4 KB blocks) and
// indices over them, its indices engine, records and keys built by the real
// key engines, and an independent walker that checks a whole tree.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>
#include <optional>
#include <string>
#include <vector>

#include "../storage/nxseTableTestSupport.h"
#include "nxStepBound.h"
#include "nxseIndexEngineKeylessBstarTree.h"
#include "nxseIndexLibrary.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxsrTimeoutHandling.h"

namespace nxtest {

struct IndexDef {
  IndexDef(std::u16string aName, TnxIndexDups aDups, std::vector<std::int32_t> aFields,
            TnxNullBehaviour aNameNulls = nbTop, std::u16string aEngine = {})
      : name(std::move(aName)), dups(aDups), fields(std::move(aFields)), nameNulls(aNameNulls),
        engine(std::move(aEngine)) {}
  std::u16string name;
  TnxIndexDups dups;
  std::vector<std::int32_t> fields;  // 0 ID, 1 Name
  TnxNullBehaviour nameNulls;
  std::u16string engine;  // empty: the default engine
};

struct Entry {
  std::vector<std::uint8_t> key;
  TnxRefNr refNr;
};

class IndexTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseIndexLibraryInitialize();
    nxSetTimeout(0, true);  // no deadline
  }
  void TearDown() override {
    indices_.reset();
    indexAccess_.reset();
    for (auto& t : tables_) t->close();
    nxseIndexLibraryFinalize();
    TableTest::TearDown();
  }

  static TnxServerDataDict* indexDictionary(const std::vector<IndexDef>& aIndices, std::int32_t aNameUnits = 200) {
    TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
    dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, aNameUnits, 0, false);
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    // The default sequential index has a RefNr key, whose key engine is not
    // in the key engine registry yet.
    list->RemoveIndex(u"Sequential Access Index");
    for (const IndexDef& def : aIndices) {
      TnxIndexDescriptor* index = list->AddIndex(def.name, 0, def.dups, u"");
      if (!def.engine.empty()) index->SetIndexEngine(def.engine);
      auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
      for (std::int32_t field : def.fields) {
        TnxKeyFieldDescriptor* kf = key->Add(field);
        if (field == 1) kf->SetNullBehaviour(def.nameNulls);
      }
    }
    return dict;
  }

  // Creates the table and its indices engine (committed).
  void createIndexed(const std::vector<IndexDef>& aIndices, std::int32_t aNameUnits = 200,
                     const std::string& aPath = "/db/t.nx1") {
    TnxServerDataDict* dict = indexDictionary(aIndices, aNameUnits);
    TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
    indices_.reset();
    indexAccess_.reset();
    table_ = &createTable(dict, aPath);
    TnxOwned<TestTransaction> trans(newTransaction());
    indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                        table_->dict->IndicesDescriptor()->ID()));
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      table_->records.get(), trans.get(), false));
    trans->Commit();
  }

  TnxStaticKeyBstarTreeIndexEngine* engine(std::int32_t aIndex = 0) {
    return platform::objectAs<TnxStaticKeyBstarTreeIndexEngine>(indices_->biseGetIndex(aIndex));
  }
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> newPath(std::int32_t aIndex = 0) {
    return TnxOwned<TnxStaticKeyBstarTreeIndexPath>(
        static_cast<TnxStaticKeyBstarTreeIndexPath*>(engine(aIndex)->CreateIndexPath()));
  }

  std::vector<std::uint8_t> record(std::optional<std::int32_t> aID, std::optional<std::string> aName) {
    TnxFieldsDescriptor* fields = table_->dict->FieldsDescriptor();
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    fields->InitRecord(r.data());
    if (aID) {
      fields->SetRecordField(0, r.data(), &*aID);
    }
    if (aName) {
      std::vector<std::uint8_t> s(static_cast<std::size_t>(fields->Fields(1)->fdLength), 0);
      s[0] = static_cast<std::uint8_t>(aName->size());
      std::memcpy(s.data() + 1, aName->data(), aName->size());
      fields->SetRecordField(1, r.data(), s.data());
    }
    return r;
  }
  std::vector<std::uint8_t> key(std::int32_t aIndex, std::optional<std::int32_t> aID,
                                std::optional<std::string> aName) {
    TnxBaseKeyEngine* keys = engine(aIndex)->bieKeyEngine.get();
    std::vector<std::uint8_t> k(keys->KeyLength(), 0);
    const std::vector<std::uint8_t> r = record(aID, aName);
    EXPECT_EQ(keys->BuildKey(r.data(), k.data(), 1, true), 0);
    return k;
  }

  std::int32_t compareEntries(std::int32_t aIndex, const Entry& a, const Entry& b) {
    TnxStaticKeyBstarTreeIndexEngine* e = engine(aIndex);
    std::int32_t c = e->bieKeyEngine->CompareKey(a.key.data(), b.key.data());
    if (c == 0 && e->ieAddKeyRefsToKeys) c = a.refNr < b.refNr ? -1 : a.refNr > b.refNr ? 1 : 0;
    return c;
  }

  // Walks the whole tree of index aIndex independently of the engine and
  // answers the leaf entries in chain order; any broken rule fails the test.
  std::vector<Entry> checkTree(TnxBaseTransaction* aTrans, std::int32_t aIndex = 0, std::uint32_t* aDepth = nullptr) {
    TnxStaticKeyBstarTreeIndexEngine* e = engine(aIndex);
    TnxOwned<TnxBaseIndexHeaderAccess> header(e->CreateHeaderAccess(aTrans, false, false, 0, 0));
    const TnxBlockNumber root = header->GetIndexRoot();
    const std::uint32_t pages = header->GetIndexPageCount(), keys = header->GetIndexKeyCount();
    std::vector<Entry> entries;
    if (root == nxIdx::NoBlock) {
      EXPECT_EQ(pages, 0u);
      EXPECT_EQ(keys, 0u);
      return entries;
    }
    std::uint32_t nodes = 0;
    std::vector<TnxBlockNumber> leaves;
    std::int32_t leafDepth = -1;
    const std::uint32_t kl = e->ieDescKeyLength, lp = e->ieSizeOfLeafNodeKeyPair, ip = e->ieSizeOfInternalNodeKeyPair;
    const bool keyless = e->ieLayout != TnxBstarTreeLayout::Keys;
    // Keyless entries are references: their keys come from the records.
    auto refEntry = [&](const std::uint8_t* p) {
      const auto ref = static_cast<TnxRefNr>(nxseGetU64(p));
      return Entry{keyOfRecord(aTrans, aIndex, ref), ref};
    };
    auto leafEntry = [&](const std::uint8_t* b, std::int32_t slot) {
      const std::uint8_t* p = b + 40 + static_cast<std::uint32_t>(slot) * lp;
      if (keyless) return refEntry(p);
      Entry x{std::vector<std::uint8_t>(p, p + e->bieKeyEngine->KeyLength()), 0};
      x.refNr = static_cast<TnxRefNr>(nxseGetU64(e->bieKeysAreRefs ? p : p + kl));
      return x;
    };
    auto nodeEntry = [&](const std::uint8_t* b, std::int32_t i) {
      const std::uint8_t* p = b + 44 + static_cast<std::uint32_t>(i) * ip;
      if (keyless) return refEntry(p);
      Entry x{std::vector<std::uint8_t>(p, p + e->bieKeyEngine->KeyLength()), 0};
      if (e->ieAddKeyRefsToKeys) x.refNr = static_cast<TnxRefNr>(nxseGetU64(p + kl));
      return x;
    };
    // Visits a subtree; every entry must lie in (lo, hi].
    std::function<void(TnxBlockNumber, std::int32_t, const Entry*, const Entry*)> visit =
        [&](TnxBlockNumber aBlock, std::int32_t aDepthNow, const Entry* lo, const Entry* hi) {
          ASSERT_LT(nodes, 100000u);
          ++nodes;
          TnxReleaseMethod release;
          PnxBlock b = indexAccess_->GetBlock(aTrans, aBlock, false, release, e->bseID);
          std::vector<std::uint8_t> copy(b, b + indexAccess_->fiBlockSizeBytes());
          nxReleaseBlock(release, b);
          const std::uint8_t* n = copy.data();
          ASSERT_EQ(std::memcmp(n, "NXIH", 4), 0);
          ASSERT_EQ(nxseGetU32(n + 4), aBlock);
          ASSERT_EQ(n[37], static_cast<std::uint8_t>(e->bieIndexNumber));
          const std::int32_t first = nxseGetU16(n + 32), count = nxseGetU16(n + 34);
          const bool isRoot = aBlock == root;
          if (n[36] == nxIdx::KindLeaf) {
            ASSERT_LE(first + count, e->ieMaxLeafNodeKeyCount);
            if (!isRoot) { ASSERT_GE(count, (e->ieMaxLeafNodeKeyCount + 1) >> 1) << "leaf " << aBlock; }
            ASSERT_GT(count, 0);
            if (leafDepth < 0) leafDepth = aDepthNow;
            ASSERT_EQ(leafDepth, aDepthNow) << "leaves at different depths";
            leaves.push_back(aBlock);
            for (std::int32_t s = first; s < first + count; ++s) {
              Entry x = leafEntry(n, s);
              if (lo) { ASSERT_GT(compareEntries(aIndex, x, *lo), 0); }
              if (hi) { ASSERT_LE(compareEntries(aIndex, x, *hi), 0); }
              if (!entries.empty()) { ASSERT_GT(compareEntries(aIndex, x, entries.back()), 0) << "leaf order"; }
              entries.push_back(std::move(x));
            }
            return;
          }
          ASSERT_EQ(n[36], nxIdx::KindInternal);
          ASSERT_EQ(first, 0);
          ASSERT_GE(count, 1);
          ASSERT_LE(count, e->ieMaxInternalNodeKeyCount);
          if (!isRoot) { ASSERT_GE(count, e->ieMaxInternalNodeKeyCount >> 1) << "internal " << aBlock; }
          std::vector<Entry> seps;
          for (std::int32_t i = 0; i < count; ++i) {
            seps.push_back(nodeEntry(n, i));
            if (i > 0) { ASSERT_GT(compareEntries(aIndex, seps[i], seps[i - 1]), 0) << "separator order"; }
          }
          for (std::int32_t i = 0; i <= count; ++i) {
            const Entry* l = i == 0 ? lo : &seps[static_cast<std::size_t>(i - 1)];
            const Entry* h = i == count ? hi : &seps[static_cast<std::size_t>(i)];
            visit(nxseGetU32(n + 40 + static_cast<std::uint32_t>(i) * ip), aDepthNow + 1, l, h);
            if (testing::Test::HasFatalFailure()) return;
          }
        };
    visit(root, 0, nullptr, nullptr);
    if (testing::Test::HasFatalFailure()) return entries;
    // The leaf chain links the leaves in key order.
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      TnxReleaseMethod release;
      PnxBlock b = indexAccess_->GetBlock(aTrans, leaves[i], false, release, e->bseID);
      const TnxBlockNumber prev = nxseGetU32(b + 24), next = nxseGetU32(b + 28);
      nxReleaseBlock(release, b);
      EXPECT_EQ(prev, i == 0 ? nxIdx::NoBlock : leaves[i - 1]) << "prev link of " << leaves[i];
      EXPECT_EQ(next, i + 1 == leaves.size() ? nxIdx::NoBlock : leaves[i + 1]) << "next link of " << leaves[i];
    }
    EXPECT_EQ(pages, nodes);
    EXPECT_EQ(keys, entries.size());
    if (aDepth) *aDepth = static_cast<std::uint32_t>(leafDepth + 1);
    return entries;
  }

  // The key of a stored record (keyless trees).
  std::vector<std::uint8_t> keyOfRecord(TnxBaseTransaction* aTrans, std::int32_t aIndex, TnxRefNr aRefNr) {
    TnxBaseKeyEngine* keys = engine(aIndex)->bieKeyEngine.get();
    std::vector<std::uint8_t> k(keys->KeyLength(), 0), r(static_cast<std::size_t>(table_->records->breRecordLength) + 8);
    table_->records->ReadRecord(aTrans, aRefNr, r.data());
    EXPECT_EQ(keys->BuildKey(r.data(), k.data(), aRefNr, true), 0);
    return k;
  }

  TnxOwned<TnxBlockAccess> indexAccess_;
  TnxOwned<TnxBaseIndicesEngine> indices_;
  Table* table_ = nullptr;
};

}  // namespace nxtest
