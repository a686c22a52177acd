// Client caching of table levels: what makes a table a cacheable source, the
// conversion into one, the cache copy made from it, and the failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"
#include "plString.h"

namespace {

using namespace nxsdtest;

class CachingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
  }
  void TearDown() override {
    nxReleaseCacheableInfo(info);
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }
  PnxCacheableInfo info = nullptr;
};

DictPtr oneField() {
  DictPtr d = newDictionary();
  d->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, true);
  return d;
}

bool implicitCacheable(TnxDictionaryItem* aItem) {
  return aItem->HasCustomStrings() && aItem->CustomStrings().values(u"$Implicit") == u"$Cacheable";
}

struct Shape {
  std::int32_t fields, indices, internals;
  bool operator==(const Shape&) const = default;
};
Shape shapeOf(TnxBaseTableDescriptor& t) {
  return {t.FieldsDescriptor()->FieldCount(), t.IndicesDescriptor() ? t.IndicesDescriptor()->IndexCount() : 0,
          t.InternalIndicesDescriptor() ? t.InternalIndicesDescriptor()->IndexCount() : 0};
}

TEST_F(CachingTest, NewDictionaryIsNotCacheableAndCannotBeMadeSoWithoutChanges) {
  DictPtr d = oneField();
  EXPECT_FALSE(d->IsCacheable(info, tcsNone, false));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ciModifyLSNIndex, -1);
  expectCode<EnxBaseTableDescriptorException>([&] { d->MakeCacheable(false); }, nxErrNotSupported,
                                              u"Failed to make table cachable");
  EXPECT_EQ(d->CachingState(), tcsNone);
  EXPECT_EQ(d->FieldsDescriptor()->FieldCount(), 1);
}

TEST_F(CachingTest, MakeCacheableAddsTheMissingPartsMarkedImplicit) {
  DictPtr d = oneField();
  d->MakeCacheable(true);
  EXPECT_EQ(d->CachingState(), tcsCacheable);

  TnxFieldsDescriptor* fields = d->FieldsDescriptor();
  const std::int32_t modify = fields->GetFieldFromName(u"$ModifyLSN");
  const std::int32_t insert = fields->GetFieldFromName(u"$InsertLSN");
  const std::int32_t ref = fields->GetFieldFromName(u"$RefNr");
  ASSERT_GE(modify, 0);
  ASSERT_GE(insert, 0);
  ASSERT_GE(ref, 0);
  EXPECT_EQ(fields->Fields(modify)->fdType, nxtInt64);
  EXPECT_EQ(fields->Fields(insert)->fdType, nxtInt64);
  EXPECT_EQ(fields->Fields(ref)->fdType, nxtRefNr);
  EXPECT_TRUE(fields->Fields(modify)->DefaultValue()->ApplyOnModify());
  EXPECT_FALSE(fields->Fields(insert)->DefaultValue()->ApplyOnModify());
  for (std::int32_t f : {modify, insert, ref}) EXPECT_TRUE(implicitCacheable(fields->Fields(f))) << f;

  TnxIndexDescriptor* lsn = d->IndicesDescriptor()->GetDescriptorFromName(u"$ModifyLSN");
  ASSERT_NE(lsn, nullptr);
  EXPECT_EQ(lsn->Dups(), idNone);
  EXPECT_TRUE(implicitCacheable(lsn));
  auto* key = platform::objectAs<TnxNoNullCompKeyDescriptor>(lsn->KeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->KeyFields(0)->FieldNumber(), modify);

  TnxInternalIndicesDescriptor* internals = d->InternalIndicesDescriptor();
  ASSERT_NE(internals, nullptr);
  ASSERT_EQ(internals->IndexCount(), 3);
  for (const char16_t* name : {u"$GraveyardLSN", u"$GraveyardRefNr", u"$BlobNrCounter"}) {
    TnxIndexDescriptor* index = internals->GetDescriptorFromName(name);
    ASSERT_NE(index, nullptr) << platform::toUtf8(name);
    EXPECT_NE(platform::objectAs<TnxInt64KeyDescriptor>(index->KeyDescriptor()), nullptr);
    EXPECT_TRUE(implicitCacheable(index));
  }

  ASSERT_TRUE(d->IsCacheable(info, tcsCacheable, false));
  EXPECT_EQ(info->ciModifyLSNIndex, lsn->Number());
  EXPECT_EQ(info->ciSFI->sfiFields[sftModifyLSN], modify);
  EXPECT_EQ(info->ciSFI->sfiFields[sftInsertLSN], insert);
  EXPECT_EQ(info->ciSFI->sfiFields[sftRefNr], ref);
  EXPECT_EQ(info->ciGraveyardLSNIndex, internals->GetIndexFromName(u"$GraveyardLSN"));
  EXPECT_EQ(info->ciCachedBlobsIndex, -1);
  // A source is not a cache copy.
  EXPECT_FALSE(d->IsCacheable(info, tcsIsCache, false));

  // Everything is there now: a second call adds nothing.
  const Shape before = shapeOf(*d);
  d->MakeCacheable(true);
  EXPECT_EQ(shapeOf(*d), before);
  d->MakeCacheable(false);
  EXPECT_EQ(shapeOf(*d), before);
}

TEST_F(CachingTest, ExistingModifyLSNIndexGetsAKeyWithoutNullFlags) {
  DictPtr d = oneField();
  TnxFieldDescriptor* lsn = d->FieldsDescriptor()->AddField(u"CHANGED", u"", nxtInt64, 0, 0, true);
  lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo());
  addIndex(*d, u"ByChange", {u"CHANGED"});
  d->IndicesDescriptor()->GetDescriptorFromName(u"ByChange")->SetDups(idNone);
  d->MakeCacheable(true);
  // Its own field and index serve; only the key is replaced.
  EXPECT_LT(d->FieldsDescriptor()->GetFieldFromName(u"$ModifyLSN"), 0);
  EXPECT_EQ(d->IndicesDescriptor()->GetIndexFromName(u"$ModifyLSN"), -1);
  TnxIndexDescriptor* index = d->IndicesDescriptor()->GetDescriptorFromName(u"ByChange");
  auto* key = platform::objectAs<TnxNoNullCompKeyDescriptor>(index->KeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->KeyFields(0)->FieldNumber(), lsn->fdNumber);
}

TEST_F(CachingTest, CacheableQuestionBankBuildsAsVersion5AndRoundTrips) {
  DictPtr d = questionBank();
  d->MakeCacheable(true);
  d->CheckValid(true);
  EXPECT_EQ(d->Version(), 5);
  const Bytes stream = writeDict(*d, 47501);
  DictPtr copy = newDictionary();
  readDict(*copy, stream);
  EXPECT_EQ(copy->CachingState(), tcsCacheable);
  EXPECT_EQ(copy->GetChild(u"qzrecord")->CachingState(), tcsNone);
  EXPECT_TRUE(copy->IsEqual(d.get()));
  EXPECT_TRUE(copy->IsCacheable(info, tcsCacheable, false));
  EXPECT_EQ(writeDict(*copy, 47501), stream);
}

TEST_F(CachingTest, MakeCacheConvertsACacheableCopy) {
  DictPtr d = questionBank();
  d->GetChild(u"gcount")->MakeCacheable(true);
  d->MakeCacheable(true);
  d->SetEncryptionEngine(u"Blowfish");
  d->CustomDescsDescriptor()->AddCustom(u"Note");
  d->FieldsDescriptor()->Fields(0)->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::staticClassInfo());
  d->CheckValid(true);
  const std::int32_t currentID = d->CurrentID();

  // Silent, so that the plain nested table qzrecord is dropped instead of
  // failing the conversion.
  DictPtr cache(d->Duplicate());
  cache->MakeCache(true);
  EXPECT_EQ(cache->CachingState(), tcsIsCache);
  EXPECT_EQ(cache->CacheGuid(), cache->Guid());
  EXPECT_EQ(cache->CacheCurrentID(), currentID);
  EXPECT_TRUE(cache->EncryptionEngine().empty());
  EXPECT_EQ(cache->CustomDescsDescriptor()->CustomCount(), 0);
  EXPECT_EQ(cache->FieldsDescriptor()->Fields(0)->DefaultValue(), nullptr);
  // The LSN defaults stay: the cache keeps its own change numbers.
  const std::int32_t lsn = cache->FieldsDescriptor()->GetFieldFromName(u"$ModifyLSN");
  EXPECT_NE(cache->FieldsDescriptor()->Fields(lsn)->DefaultValue(), nullptr);

  TnxMainIndicesDescriptor* indices = cache->IndicesDescriptor();
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i) {
    TnxIndexDescriptor* index = indices->Indices(i);
    SCOPED_TRACE(platform::toUtf8(index->Name()));
    if (index->Name() == u"Sequential Access Index") {
      EXPECT_EQ(index->Dups(), idNone);
      EXPECT_EQ(index->IndexEngine(), u"nx1xDefault");
    } else {
      EXPECT_EQ(index->Dups(), idAll);
      EXPECT_EQ(index->IndexEngine(), u"CacheKeylessBStarTree");
    }
  }
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(cache->RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordEngine(), u"Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Compressor");
  EXPECT_EQ(record->RecordCompressionDescriptor()->CompressType(), 11);
  // The question bank has BLOB fields: only the cached-BLOBs index remains internal.
  ASSERT_NE(cache->InternalIndicesDescriptor(), nullptr);
  ASSERT_EQ(cache->InternalIndicesDescriptor()->IndexCount(), 1);
  EXPECT_NE(cache->InternalIndicesDescriptor()->GetIndexFromName(u"$CachedBlobs"), -1);
  EXPECT_TRUE(cache->IsCacheable(info, tcsIsCache, false));

  // The cacheable nested table stays as a cache; the plain one goes.
  ASSERT_EQ(cache->TablesDescriptor()->TableCount(), 1);
  EXPECT_EQ(cache->TablesDescriptor()->Tables(0)->Name(), u"gcount");
  EXPECT_EQ(cache->TablesDescriptor()->Tables(0)->CachingState(), tcsIsCache);
  // gcount has no BLOB field: no internal list at all.
  EXPECT_EQ(cache->TablesDescriptor()->Tables(0)->InternalIndicesDescriptor(), nullptr);

  // The copy checks and keeps its state through the stream; a second
  // conversion changes nothing.
  cache->CheckValid(true);
  const Bytes stream = writeDict(*cache, 47501);
  DictPtr back = newDictionary();
  readDict(*back, stream);
  EXPECT_EQ(back->CachingState(), tcsIsCache);
  EXPECT_EQ(back->CacheGuid(), d->Guid());
  back->MakeCache(false);
  EXPECT_EQ(writeDict(*back, 47501), stream);

  // A cache copy cannot become a source again.
  expectCode<EnxBaseTableDescriptorException>([&] { cache->MakeCacheable(true); }, nxErrNotSupported,
                                              u"Can't make a InCache table Cachable");
}

TEST_F(CachingTest, MakeCacheOfANonCacheableDictionary) {
  DictPtr d = questionBank();
  d->CustomDescsDescriptor()->AddCustom(u"Note");
  d->CheckValid(true);
  DictPtr silent(d->Duplicate());
  silent->MakeCache(true);
  EXPECT_EQ(silent->CachingState(), tcsNone);
  EXPECT_EQ(silent->CacheCurrentID(), 0);
  EXPECT_EQ(silent->CacheGuid(), platform::Guid{});
  EXPECT_FALSE(silent->HasCachingSupport(tcsNone));
  // Stripped all the same: duplicates everywhere, no customs, no plain nested tables.
  EXPECT_EQ(silent->IndicesDescriptor()->GetDescriptorFromName(u"ID")->Dups(), idAll);
  EXPECT_EQ(silent->CustomDescsDescriptor()->CustomCount(), 0);
  EXPECT_EQ(silent->TablesDescriptor()->TableCount(), 0);

  DictPtr loud(d->Duplicate());
  expectCode<EnxBaseTableDescriptorException>([&] { loud->MakeCache(false); }, nxErrNotSupported,
                                              u"Only Cachable tables can be marked as InCache");
  EXPECT_EQ(loud->CachingState(), tcsNone);
  EXPECT_EQ(loud->CacheCurrentID(), 0);
}

TEST_F(CachingTest, HasCachingSupportLooksIntoNestedTables) {
  DictPtr d = questionBank();
  EXPECT_FALSE(d->HasCachingSupport(tcsNone));
  d->GetChild(u"qzrecord")->MakeCacheable(true);
  EXPECT_EQ(d->CachingState(), tcsNone);
  EXPECT_TRUE(d->HasCachingSupport(tcsNone));
  EXPECT_TRUE(d->HasCachingSupport(tcsCacheable));
  EXPECT_FALSE(d->HasCachingSupport(tcsIsCache));
  EXPECT_FALSE(d->GetChild(u"gcount")->HasCachingSupport(tcsNone));
}

TEST_F(CachingTest, UnknownStateIsAnAssertionOfTheDictionary) {
  DictPtr d = oneField();
  d->MakeCacheable(true);
  try {
    d->IsCacheable(info, static_cast<TnxTableCachingState>(3), false);
    ADD_FAILURE() << "no assertion";
  } catch (const platform::AssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("nxsdDataDictionary"), std::string::npos) << e.what();
  }
}

TEST_F(CachingTest, ReadOnlyDictionaryRefusesConversion) {
  DictPtr d = oneField();
  d->CheckValid(true);
  d->MakeReadOnly();
  expectCode([&] { d->MakeCacheable(true); }, 15500);
  EXPECT_EQ(d->CachingState(), tcsNone);
}

}  // namespace
