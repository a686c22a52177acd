// The indices engine over a table's life: an index added to a table that
// holds records, emptying an index, the three kinds of indices sections in
// one file, and the rules of cache tables with their sequential access index.
#include "nxsdDataDictionaryFulltext.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

// "n" and a four-digit number (written out by hand: the optimiser warns falsely about
// the concatenation of two strings).
std::string nm(std::int32_t aNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "n%04d", aNumber);
  return text;
}

class IndicesLifeTest : public IndexTest {
 protected:
  void TearDown() override {
    extraEngines_.clear();
    extraAccesses_.clear();
    IndexTest::TearDown();
  }

  std::uint32_t keyCount(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aEngine) {
    std::uint32_t n = 0;
    aEngine->GetKeyCount(aTrans, n);
    return n;
  }
  std::vector<TnxRefNr> walk(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aEngine) {
    std::vector<TnxRefNr> refs;
    TnxOwned<TnxBaseIndexPath> p(aEngine->CreateIndexPath());
    nxtest::StepBound step;
    while (step() && aEngine->NextKey(aTrans, p.get(), nullptr)) refs.push_back(p->RefNr);
    return refs;
  }
  // Adds a record to the record engine and its keys to every index.
  TnxRefNr addRecord(TnxBaseTransaction* aTrans, std::int32_t aID, std::optional<std::string> aName) {
    std::vector<std::uint8_t> r = record(aID, aName);
    TnxRefNr refNr = 0;
    table_->records->AddRecord(aTrans, refNr, r.data());
    EXPECT_EQ(indices_->InsertKeys(aTrans, refNr, r.data(), nullptr), 0) << aID;
    return refNr;
  }
  TnxBlockNumber usedBlocks(TnxBaseTransaction* aTrans) {
    TnxOwned<TnxBaseFileHeaderAccess> header(table_->main->HeaderAccess(aTrans, false));
    return header->UsedBlocks();
  }
  // An indices engine of another descriptor on the same file, with an
  // access of its own ID.
  TnxBaseIndicesEngine* extraEngine(TnxBaseIndicesDescriptor* aDescriptor, TnxBaseTransaction* aTrans) {
    extraAccesses_.emplace_back(
        platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t", aDescriptor->ID()));
    extraEngines_.emplace_back(TnxBaseIndicesEngine::CreateEngine(aDescriptor, {extraAccesses_.back().get()},
                                                                  table_->records.get(), aTrans, false));
    return extraEngines_.back().get();
  }
  // The block number the named 4-byte section holds in the header block of
  // extra engine aEngine (its sub-header block).
  std::int32_t sectionBlock(std::size_t aEngine, const std::u16string& aName) {
    TnxOwned<TnxBaseFileHeaderAccess> header(extraAccesses_.at(aEngine)->HeaderAccess(nullptr, false));
    return nxseGetI32(header->Header + header->RegisterHeaderSection(aName, 4, false, false));
  }

  std::vector<TnxOwned<TnxBlockAccess>> extraAccesses_;
  std::vector<TnxOwned<TnxBaseIndicesEngine>> extraEngines_;
};

// An index added to a table with records starts empty, is filled by its
// bulk builder, follows later inserts and is verified when the table opens.
TEST_F(IndicesLifeTest, IndexAddedToATableWithRecords) {
  createIndexed({{u"ByID", idNone, {0}}});
  std::vector<TnxRefNr> refs;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::int32_t id = 0; id < 400; ++id) refs.push_back(addRecord(trans.get(), id, nm(399 - id)));
    trans->Commit();
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  table_->dict->ForceOffReadOnly();
  TnxIndexDescriptor* byName = table_->dict->IndicesDescriptor()->AddIndex(u"ByName", 0, idAll, u"");
  platform::objectAs<TnxCompKeyDescriptor>(byName->KeyDescriptor())->Add(1);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(table_->dict->IndicesDescriptor());
  table_->file->SetMaxID(table_->dict->CurrentID());
  indices_->AddIndex(trans.get(), 1);
  ASSERT_EQ(indices_->IndexCount(), 2);
  {
    TnxOwned<TnxBaseIndexHeaderAccess> header(engine(1)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
    EXPECT_EQ(header->GetIndexRoot(), nxIdx::NoBlock);
    EXPECT_EQ(header->GetIndexKeyCount(), 0u);
  }
  {
    TnxOwned<TnxBaseBulkBuilder> builder(engine(1)->CreateBulkBuilder(trans.get()));
    for (std::size_t i = 0; i < refs.size(); ++i) {
      std::vector<std::uint8_t> r(table_->records->breRecordLength);
      table_->records->ReadRecord(trans.get(), refs[i], r.data());
      ASSERT_EQ(builder->InsertKey(&refs[i], r.data(), trans.get()), 0);
    }
    ASSERT_EQ(builder->Finalize(trans.get()), 0);
  }
  // Names run against the IDs.
  std::vector<TnxRefNr> reversed(refs.rbegin(), refs.rend());
  EXPECT_EQ(walk(trans.get(), engine(1)), reversed);
  EXPECT_EQ(walk(trans.get(), engine(0)), refs);
  std::uint32_t depth = 0;
  checkTree(trans.get(), 1, &depth);
  EXPECT_GE(depth, 2u);
  // Key maintenance now covers both indices.
  const TnxRefNr late = addRecord(trans.get(), 1000, "a");
  EXPECT_EQ(walk(trans.get(), engine(1)).front(), late);
  EXPECT_EQ(walk(trans.get(), engine(0)).back(), late);
  trans->Commit();
  // Opening verifies both header entries.
  indices_.reset();
  TnxOwned<TestTransaction> reader(newTransaction());
  indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                    table_->records.get(), nullptr, false));
  EXPECT_EQ(keyCount(reader.get(), engine(1)), 401u);
  checkTree(reader.get(), 1);
  reader->Commit();
  EXPECT_EQ(checkFile(), "");
}

// DeleteAllKeys empties one index of a deep tree and gives its nodes back
// to the file; the other index in the same header block stays whole.
TEST_F(IndicesLifeTest, DeleteAllKeysFreesEveryNode) {
  createIndexed({{u"Both", idAll, {1, 0}}, {u"ByID", idNone, {0}}});
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::int32_t id = 0; id < 1500; ++id) addRecord(trans.get(), id, nm(id % 37));
    trans->Commit();
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  std::uint32_t depth = 0;
  checkTree(trans.get(), 0, &depth);
  ASSERT_GE(depth, 3u);
  std::uint32_t pages = 0;
  {
    TnxOwned<TnxBaseIndexHeaderAccess> header(engine(0)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
    pages = header->GetIndexPageCount();
  }
  const TnxBlockNumber used = usedBlocks(trans.get());
  engine(0)->DeleteAllKeys(trans.get());
  {
    TnxOwned<TnxBaseIndexHeaderAccess> header(engine(0)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
    EXPECT_EQ(header->GetIndexRoot(), nxIdx::NoBlock);
    EXPECT_EQ(header->GetIndexPageCount(), 0u);
    EXPECT_EQ(header->GetIndexKeyCount(), 0u);
  }
  EXPECT_TRUE(walk(trans.get(), engine(0)).empty());
  EXPECT_EQ(walk(trans.get(), engine(1)).size(), 1500u);
  checkTree(trans.get(), 1);
  // Emptying an empty index does nothing.
  engine(0)->DeleteAllKeys(trans.get());
  trans->Commit();
  // Every node went back to the file (the checker finds no lost block) and
  // building the tree again takes them before the file grows.
  EXPECT_EQ(checkFile(), "");
  trans.reset(newTransaction());
  for (std::int32_t id = 0; id < 1500; ++id) {
    const std::vector<std::uint8_t> k = key(0, id, nm(id % 37));
    ASSERT_TRUE(engine(0)->InsertKey(trans.get(), k.data(), id + 1, 0, nullptr));
  }
  EXPECT_LE(usedBlocks(trans.get()), used + 1);
  EXPECT_GE(pages, 100u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

// "Indices", "InternalIndices" and "Fulltext$Indices": three indices
// engines in one file, each with its own section and header block.
TEST_F(IndicesLifeTest, ThreeIndicesSectionsInOneFile) {
  TnxServerDataDict* dict = indexDictionary({{u"ByID", idNone, {0}}});
  TnxInternalIndicesDescriptor* internal = dict->EnsureInternalIndicesDescriptor();
  platform::objectAs<TnxCompKeyDescriptor>(internal->AddIndex(u"InternalByName", 0, idAll, u"")->KeyDescriptor())
      ->Add(1);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(internal);
  table_ = &createTable(dict);
  // The full-text indices descriptor is not stored with the dictionary here:
  // only its section matters.
  table_->dict->ForceOffReadOnly();
  auto* fulltext = static_cast<TnxFulltextDescriptor*>(table_->dict->CustomDescsDescriptor()->AddCustom(
      nxFulltextDescriptorName, &TnxFulltextDescriptor::staticClassInfo()));
  TnxTokenIndicesDescriptor* tokens = fulltext->ForceIndicesDescriptor();
  ASSERT_EQ(tokens->HeaderSection(), "Fulltext$Indices");
  platform::objectAs<TnxCompKeyDescriptor>(tokens->AddIndex(u"FulltextByID", 0, idAll, u"")->KeyDescriptor())->Add(0);
  table_->file->SetMaxID(table_->dict->CurrentID());
  TnxBaseIndicesDescriptor* lists[] = {table_->dict->IndicesDescriptor(), internal, tokens};
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (TnxBaseIndicesDescriptor* list : lists) extraEngine(list, trans.get());
    for (std::int32_t id = 0; id < 300; ++id) {
      std::vector<std::uint8_t> r = record(id, nm(id % 7));
      TnxRefNr refNr = 0;
      table_->records->AddRecord(trans.get(), refNr, r.data());
      for (auto& e : extraEngines_) ASSERT_EQ(e->InsertKeys(trans.get(), refNr, r.data(), nullptr), 0);
    }
    trans->Commit();
  }
  const std::int32_t blocks[] = {sectionBlock(0, u"Indices"), sectionBlock(1, u"InternalIndices"),
                                 sectionBlock(2, u"Fulltext$Indices")};
  const std::vector<std::uint8_t> image = disk();
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_GT(blocks[i], 0);
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(blocks[i], blocks[j]);
    const std::uint8_t* b = image.data() + static_cast<std::size_t>(blocks[i]) * 4096;
    EXPECT_EQ(std::memcmp(b, "NXIH", 4), 0);
    EXPECT_EQ(nxseGetI32(b + 4092), lists[i]->ID()) << "owner of the header block of " << lists[i]->HeaderSection();
  }
  EXPECT_EQ(checkFile(), "");
  // Each opens again against its own section.
  extraEngines_.clear();
  TnxOwned<TestTransaction> reader(newTransaction());
  for (TnxBaseIndicesDescriptor* list : lists) {
    TnxBaseIndicesEngine* e = extraEngine(list, nullptr);
    EXPECT_EQ(keyCount(reader.get(), e->biseGetIndex(0)), 300u) << list->HeaderSection();
  }
  reader->Commit();
}

// A version 1 file (made here byte by byte: such files are never created)
// takes a dictionary, records and an index through its fixed sections; the
// checker at the end of the test reads it in that format.
TEST_F(IndicesLifeTest, Version1FileWithRecordsAndAnIndex) {
  std::vector<std::uint8_t> image(4096, 0);
  std::memcpy(image.data(), "NX!1", 4);
  nxsePutU32(image.data() + 20, 4096);
  nxsePutI32(image.data() + 24, -1);
  nxsePutU32(image.data() + 32, 1);
  nxsePutU32(image.data() + 36, 30000);
  image[72] = 11;
  std::memcpy(image.data() + 73, "nx1xDefault", 11);
  putDisk(image, "/db/t.nx1", true);
  Table& t = newTable();
  t.dict.reset(indexDictionary({{u"ByID", idNone, {0}}}));
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(t.dict->IndicesDescriptor());
  TnxOwned<TestTransaction> trans(newTransaction());
  t.file = openTable("/db/t.nx1");
  attach(t, trans.get());
  t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
  t.file->SetMaxID(t.dict->CurrentID());
  t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, trans.get()));
  recordLengths_["/db/t.nx1"] = t.records->breRecordLength;
  table_ = &t;
  indexAccess_.reset(platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", t.dict->IndicesDescriptor()->ID()));
  indices_.reset(TnxBaseIndicesEngine::CreateEngine(t.dict->IndicesDescriptor(), {indexAccess_.get()},
                                                    t.records.get(), trans.get(), false));
  for (std::int32_t id = 0; id < 300; ++id) addRecord(trans.get(), id, nm(id));
  trans->Commit();
  const std::vector<std::uint8_t> written = disk();
  ASSERT_EQ(std::memcmp(written.data(), "NX!1", 4), 0);
  EXPECT_NE(nxseGetI32(written.data() + 1536), -1);  // the index header block
  EXPECT_EQ(nxseGetU32(written.data() + 1024), 300u);  // the record count
  // The checker reads those sections: wrong counts are found.
  std::vector<std::uint8_t> bad = written;
  nxsePutU32(bad.data() + 1024, 301);
  const std::size_t header = static_cast<std::size_t>(nxseGetI32(written.data() + 1536)) * 4096;
  nxsePutU32(bad.data() + header + 552, 299);
  putDisk(bad, "/db/bad.nx1");
  const std::string report = checkFile("/db/bad.nx1", t.records->breRecordLength);
  EXPECT_NE(report.find("record count 301, blocks hold 300"), std::string::npos) << report;
  EXPECT_NE(report.find("header says 299 keys"), std::string::npos) << report;
  TnxOwned<TestTransaction> reader(newTransaction());
  EXPECT_EQ(walk(reader.get(), engine(0)).size(), 300u);
  reader->Commit();
}

TEST_F(IndicesLifeTest, ARootLayoutTableWithRecordsBlobsAndAnIndex) {
  // A root table keeps every engine's section in block 0 while each
  // engine's blocks carry the engine's own ID.
  TnxServerDataDict* dict = indexDictionary({{u"ByID", idNone, {0}}});
  platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor())->AddHeapDescriptor()->AddBlockHeapDescriptor();
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
  Table& t = createTable(dict, "/db/t.nx1", true);
  table_ = &t;
  auto blobBytes = [](std::int32_t i) { return std::string(20000 + 999 * static_cast<std::size_t>(i), static_cast<char>('a' + i)); };
  std::vector<TnxBlobNr> blobs;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    indexAccess_.reset(platform::create<TnxBlockAccess>(t.file, nullptr, u"t", 0));
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(t.dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      t.records.get(), trans.get(), false));
    for (std::int32_t id = 0; id < 300; ++id) addRecord(trans.get(), id, nm(id));
    for (std::int32_t i = 0; i < 4; ++i) {
      TnxBlobNr nr = 0;
      t.blobs->AddBlob(trans.get(), nr);
      const std::string bytes = blobBytes(i);
      t.blobs->Write(trans.get(), nr, 0, static_cast<std::uint32_t>(bytes.size()), bytes.data());
      blobs.push_back(nr);
    }
    trans->Commit();
  }
  EXPECT_FALSE(hasSubHeader(t, t.dict->RecordDescriptor()->ID()));
  // The engines' blocks carry their IDs, not the header's 0.
  std::set<std::int32_t> owners;
  const std::vector<std::uint8_t> written = disk();
  for (std::size_t at = 4096; at + 4096 <= written.size(); at += 4096) owners.insert(nxseGetI32(written.data() + at + 4092));
  EXPECT_TRUE(owners.count(t.dict->RecordDescriptor()->ID()));
  EXPECT_GE(owners.size(), 3u);
  EXPECT_EQ(checkFile("/db/t.nx1", t.records->breRecordLength), "");

  indices_.reset();
  indexAccess_.reset();
  closeAll();
  tables_.clear();
  Table& again = openExisting();
  EXPECT_TRUE(again.root);
  table_ = &again;
  indexAccess_.reset(platform::create<TnxBlockAccess>(again.file, nullptr, u"t", 0));
  indices_.reset(TnxBaseIndicesEngine::CreateEngine(again.dict->IndicesDescriptor(), {indexAccess_.get()},
                                                    again.records.get(), nullptr, false));
  TnxOwned<TestTransaction> reader(newTransaction());
  std::uint32_t count = 0;
  again.records->GetRecordCount(reader.get(), count);
  EXPECT_EQ(count, 300u);
  EXPECT_EQ(walk(reader.get(), engine(0)).size(), 300u);
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    TnxAnsiStringStream stream;
    EXPECT_EQ(again.blobs->Read(reader.get(), blobs[i], 0, 0xFFFFFFFFu, nullptr, stream), 0u);
    EXPECT_EQ(stream.DataString(), blobBytes(static_cast<std::int32_t>(i))) << i;
  }
  reader->Commit();
}

// Cache tables: only the sequential access index (and internal indices)
// may use this engine; that index maps cache references to RefNrs.
class CacheIndexTest : public IndicesLifeTest {
 protected:
  // A cache copy of the ID/Name table: RefNr field, the sequential access
  // index over it and the LSN index of its source.
  TnxServerDataDict* cacheDictionary() {
    TnxServerDataDict* dict = indexDictionary({});
    dict->EnsureIndicesDescriptor()->AddIndex(u"Sequential Access Index", 0, idNone, u"Sequential Access Index",
                                              &TnxRefKeyDescriptor::staticClassInfo());
    dict->MakeCacheable(true);
    dict->MarkAsInCache(false);
    EXPECT_EQ(dict->CachingState(), tcsIsCache);
    return dict;
  }
  std::vector<std::uint8_t> cacheRecord(TnxServerDataDict* aDict, std::int32_t aID, TnxRefNr aCacheRefNr) {
    TnxFieldsDescriptor* fields = aDict->FieldsDescriptor();
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()), 0);
    fields->InitRecord(r.data());
    fields->SetRecordField(0, r.data(), &aID);
    std::int32_t refField = -1;
    EXPECT_TRUE(fields->HasRefNrField(refField));
    fields->SetRecordField(refField, r.data(), &aCacheRefNr);
    return r;
  }
};

TEST_F(CacheIndexTest, OnlyTheSequentialAccessIndexOfACacheTable) {
  TnxOwned<TnxServerDataDict> cache(cacheDictionary());
  TnxMainIndicesDescriptor* main = cache->IndicesDescriptor();
  ASSERT_EQ(main->IndexCount(), 2);
  // The LSN index of the source is another main index: refused.
  main->Indices(1)->SetIndexEngine(u"nx1xDefault");
  table_ = &createTable(newDictionary());
  table_->file->SetMaxID(std::max(table_->file->MaxID(), cache->CurrentID()));
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    expectFailsWith(12289, "TnxStaticKeyBstarTreeIndexEngine is not supported for cache tables",
                    [&] { extraEngine(main, trans.get()); });
    trans->Rollback();
  }
  extraAccesses_.clear();
  // Without it the sequential access index is taken, and so is an internal
  // index of the cache table.
  main->RemoveIndex(1);
  TnxInternalIndicesDescriptor* internal = cache->EnsureInternalIndicesDescriptor();
  platform::objectAs<TnxCompKeyDescriptor>(internal->AddIndex(u"ByID", 0, idNone, u"")->KeyDescriptor())->Add(0);
  table_->file->SetMaxID(std::max(table_->file->MaxID(), cache->CurrentID()));
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseIndicesEngine* seq = extraEngine(main, trans.get());
  TnxBaseIndicesEngine* internals = extraEngine(internal, trans.get());
  ASSERT_TRUE(seq->biseIsCache);
  ASSERT_GE(seq->biseRefNrOffset, 0);
  auto* seqIndex = platform::objectAs<TnxStaticKeyBstarTreeIndexEngine>(seq->biseGetIndex(0));
  auto* byID = platform::objectAs<TnxStaticKeyBstarTreeIndexEngine>(internals->biseGetIndex(0));
  EXPECT_TRUE(seqIndex->ieIsCacheSeqAccess);
  EXPECT_FALSE(byID->ieIsCacheSeqAccess);
  // RefNr r has the cache reference 5000 + 3r.
  for (TnxRefNr r = 1; r <= 600; ++r) {
    std::vector<std::uint8_t> rec = cacheRecord(cache.get(), static_cast<std::int32_t>(r), 5000 + 3 * r);
    ASSERT_EQ(seq->InsertKeys(trans.get(), r, rec.data(), nullptr), 0);
    ASSERT_EQ(internals->InsertKeys(trans.get(), r, rec.data(), nullptr), 0);
  }
  trans->Commit();
  trans.reset(newTransaction());
  for (TnxRefNr r : {1, 2, 300, 599, 600}) EXPECT_EQ(seqIndex->SeqAccessLookup(trans.get(), 5000 + 3 * r, nullptr), r);
  EXPECT_EQ(seqIndex->SeqAccessLookup(trans.get(), 5001, nullptr), 0);  // between two references
  EXPECT_EQ(seqIndex->SeqAccessLookup(trans.get(), 1, nullptr), 0);
  EXPECT_EQ(byID->SeqAccessLookup(trans.get(), 5003, nullptr), 0);  // not the sequential access index
  // Into a given path: it ends on the entry with both references.
  TnxOwned<TnxBaseIndexPath> p(seqIndex->CreateIndexPath());
  EXPECT_EQ(seqIndex->SeqAccessLookup(trans.get(), 5000 + 3 * 42, p.get()), 42);
  EXPECT_TRUE(p->IsOnKey());
  EXPECT_EQ(p->RefNr, 42);
  EXPECT_EQ(p->CacheRefNr, 5000 + 3 * 42);
  // Positioned paths of the sequential access index carry the cache
  // reference; those of other indices do not.
  TnxOwned<TnxBaseIndexPath> q(byID->CreateIndexPath());
  ASSERT_TRUE(byID->NextKey(trans.get(), q.get(), nullptr));
  EXPECT_EQ(q->CacheRefNr, 0);
  // A cache bookmark holds only the cache reference; the path taking it
  // finds its RefNr through the lookup and steps on from there.
  const std::int32_t size = p->GetBookmarkSize();
  std::vector<std::uint8_t> mark(static_cast<std::size_t>(size));
  ASSERT_EQ(p->GetBookmark(mark.data(), size, true), 0);
  TnxOwned<TnxBaseIndexPath> back(seqIndex->CreateIndexPath());
  ASSERT_EQ(back->SetToBookmark(mark.data(), size, true), 0);
  EXPECT_EQ(back->RefNr, 0);
  EXPECT_EQ(back->CacheRefNr, 5000 + 3 * 42);
  ASSERT_TRUE(seqIndex->NextKey(trans.get(), back.get(), nullptr));
  EXPECT_EQ(back->RefNr, 43);
  EXPECT_EQ(back->CacheRefNr, 5000 + 3 * 43);
  // SetToRecord takes the cache reference from the record's RefNr field.
  std::vector<std::uint8_t> rec = cacheRecord(cache.get(), 7, 5021);
  ASSERT_EQ(back->SetToRecord(rec.data(), 7), 0);
  EXPECT_EQ(back->CacheRefNr, 5021);
  ASSERT_TRUE(seqIndex->NextKey(trans.get(), back.get(), nullptr));
  EXPECT_EQ(back->RefNr, 8);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

}  // namespace
}  // namespace nxtest
