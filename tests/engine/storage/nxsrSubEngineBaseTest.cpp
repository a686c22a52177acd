// Engine registries, dictionary validation, bookmarks and file utilities.
#include <gtest/gtest.h>

#include "nxllUtils.h"
#include "nxseRecordEngineVariableVersioned.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

using SubEngineTest = TableTest;

TEST_F(SubEngineTest, RegistriesByFamilyAndShortName) {
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"static"),
            &TnxStaticRecordEngine::staticClassInfo());
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"NX1XDEFAULT"),
            &TnxStaticRecordEngine::staticClassInfo());
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseStreamEngine::staticClassInfo(), u"nx1xDefault"),
            &TnxSimpleStreamEngine::staticClassInfo());
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"variable"),
            &TnxVariableRecordEngine::staticClassInfo());
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"VariableVersioned"),
            &TnxVariableVersionedRecordEngine::staticClassInfo());
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"Versioned"), nullptr);
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseBlobEngine::staticClassInfo(), u"nx1xDefault"),
            &TnxSegmentedBlobEngine::staticClassInfo());
  // The same name twice in one family is refused.
  EXPECT_ANY_THROW(TnxBaseSubEngine::RegisterSubEngine(TnxStaticRecordEngine::staticClassInfo(), "nx1xDefault"));
  // Unregistering removes every name of the class.
  nxseRecordEngineStaticFinalize();
  EXPECT_EQ(TnxBaseSubEngine::FindSubEngineClass(TnxBaseRecordEngine::staticClassInfo(), u"Static"), nullptr);
  nxseRecordEngineStaticInitialize();
}

TEST_F(SubEngineTest, UnknownEnginesFailValidationWithTheFamilyAndName) {
  TnxOwned<TnxServerDataDict> dict(newDictionary());
  TnxBaseSubEngine::CheckValidAll(dict.get());
  dict->RecordDescriptor()->SetRecordEngine(u"Fancy");
  expectFailsWith(15503, "Unknown Record engine: \"Fancy\"", [&] { TnxBaseSubEngine::CheckValidAll(dict.get()); });
  dict->RecordDescriptor()->SetRecordEngine(u"Static");
  dict->StreamDescriptor()->SetStreamEngine(u"Other");
  expectFailsWith(15503, "Unknown stream engine: \"Other\"", [&] { TnxBaseSubEngine::CheckValidAll(dict.get()); });
  dict->StreamDescriptor()->SetStreamEngine(u"nx1xDefault");
  // A nested table is checked as well.
  TnxOwned<TnxServerDataDict> nested(newDictionary());
  TnxBaseTableDescriptor* child = nested->TablesDescriptor()->AddTable(u"child");
  child->FieldsDescriptor()->AddField(u"x", u"", nxtInt32, 0, 0, false);
  child->AddRecordDescriptor()->SetRecordEngine(u"Missing");
  expectFailsWith(15503, "Unknown Record engine: \"Missing\"", [&] { TnxBaseSubEngine::CheckValidAll(nested.get()); });
  // The server dictionary adds the header-format check.
  TnxOwned<TnxServerDataDict> old(newDictionary());
  old->SetHeaderSignature(kNX1);
  expectFails(12289, [&] { TnxBaseFileHeaderAccessFactory::CheckValid(old.get(), true); });
  TnxBaseFileHeaderAccessFactory::CheckValid(old.get(), false);
  old->SetHeaderSignature({'N', 'X', '!', '9'});
  expectFails(15504, [&] { old->CheckValid(false); });
}

TEST_F(SubEngineTest, RecordEngineKeepsTheRefNrFieldCurrent) {
  TnxServerDataDict* dict = newDictionary(8);
  dict->FieldsDescriptor()->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  Table& t = createTable(dict);
  std::int32_t field = -1;
  ASSERT_TRUE(t.dict->FieldsDescriptor()->HasRefNrField(field));
  EXPECT_EQ(t.records->breRefNrField, field);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> record(t.records->breRecordLength + 4, 0);
  TnxRefNr refNr = 0;
  t.records->AddRecord(trans.get(), refNr, record.data());
  std::vector<std::uint8_t> back(record.size(), 0);
  t.records->ReadRecord(trans.get(), refNr, back.data());
  bool isNull = true;
  TnxRefNr stored = 0;
  t.dict->FieldsDescriptor()->GetRecordField(field, back.data(), isNull, &stored);
  EXPECT_EQ(stored, refNr);
  trans->Commit();
}

TEST_F(SubEngineTest, FileUtilities) {
  EXPECT_EQ(nxCombinePath(u"/data/", u"t.nx1"), u"/data/t.nx1");
  EXPECT_EQ(nxCombinePath(u"/data", u"t.nx1"), u"/data/t.nx1");
  EXPECT_EQ(nxCombinePath(u"", u"t.nx1"), u"t.nx1");
  EXPECT_EQ(nxAddExtension(u"t", u"nx1"), u"t.nx1");
  fs_.putFile("/db/a.nx1", std::vector<std::uint8_t>(10, 1));
  nxRenameFile(u"/db/a.nx1", u"/db/b.nx1");
  std::vector<std::uint8_t> data;
  EXPECT_TRUE(fs_.contents("/db/b.nx1", data));
  nxDeleteFile(u"/db/b.nx1");
  EXPECT_FALSE(fs_.contents("/db/b.nx1", data));
  expectFailsWith(15393, "DeleteFile (\"/db/b.nx1\")", [] { nxDeleteFile(u"/db/b.nx1"); });
  expectFailsWith(15394, "RenameFile (from \"/db/x\" to \"/db/y\")", [] { nxRenameFile(u"/db/x", u"/db/y"); });
}

// Bookmarks without a key engine: 24 bytes.
std::vector<std::uint8_t> bookmark(std::uint8_t aPosition, TnxRefNr aRefNr, std::int32_t aIndexID = -1) {
  std::vector<std::uint8_t> b(24, 0);
  nxsePutI32(b.data() + 4, aIndexID);
  b[8] = aPosition;
  b[9] = 1;
  nxsePutU64(b.data() + 12, static_cast<std::uint64_t>(aRefNr));
  TnxBookmarkHandler::SetChecksum(b.data());
  return b;
}

TEST_F(SubEngineTest, BookmarksCompareByPositionRefNrAndCrack) {
  TnxBookmarkHandler* handler = nxNoIndexBookmarkHandler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->BookmarkSize(), 24);
  struct Case {
    std::uint8_t p1;
    TnxRefNr r1;
    std::uint8_t p2;
    TnxRefNr r2;
    std::int32_t expected;
  };
  const Case cases[] = {
      {ippBof, 0, ippOnKey, 5, -1},          {ippEof, 0, ippEof, 0, 0},
      {ippBof, 0, ippBof, 0, 0},             {ippOnKey, 5, ippEof, 0, -1},
      {ippOnKey, 5, ippBof, 0, 1},           {ippOnKey, 5, ippOnKey, 7, -1},
      {ippOnKey, -5, ippOnKey, 3, -1},       {ippOnCrackBefore, 5, ippOnKey, 5, -1},
      {ippOnCrackAfter, 5, ippOnKey, 5, 1},  {ippOnKey, 5, ippOnKey, 5, 0},
  };
  for (const Case& c : cases) {
    const auto a = bookmark(c.p1, c.r1), b = bookmark(c.p2, c.r2);
    std::int32_t result = 99;
    EXPECT_EQ(handler->CompareBookmarks(a.data(), b.data(), 24, result), 0);
    EXPECT_EQ(result, c.expected) << int(c.p1) << " " << c.r1 << " / " << int(c.p2) << " " << c.r2;
  }
  std::int32_t result = 0;
  const auto unknown = bookmark(ippUnknown, 1), onKey = bookmark(ippOnKey, 1);
  EXPECT_EQ(handler->CompareBookmarks(unknown.data(), onKey.data(), 24, result), 10021);
  EXPECT_EQ(handler->CompareBookmarks(onKey.data(), unknown.data(), 24, result), 10021);
}

TEST_F(SubEngineTest, BookmarkChecksRefuseDamagedOrShortBookmarks) {
  TnxBookmarkHandler* handler = nxNoIndexBookmarkHandler();
  const auto good = bookmark(ippOnKey, 42);
  EXPECT_EQ(handler->CheckBookmark(good.data(), 24), 0);
  EXPECT_EQ(handler->CheckBookmark(nullptr, 24), 10021);
  EXPECT_EQ(handler->CheckBookmark(good.data(), 23), 10021);  // checked before any field is read
  EXPECT_EQ(handler->CheckBookmark(bookmark(ippOnKey, 42, 3).data(), 24), 10021);
  auto damaged = good;
  damaged[13] ^= 1;
  EXPECT_EQ(handler->CheckBookmark(damaged.data(), 24), 10021);
  auto longKey = good;
  nxsePutU32(longKey.data() + 20, 8);
  EXPECT_EQ(handler->CheckBookmark(longKey.data(), 24), 10021);
}

TEST_F(SubEngineTest, SaveAllWritesOneLinePerRecord) {
  Table& t = createTable(newDictionary(8));
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> record(t.records->breRecordLength + 4, 0);
  TnxRefNr first = 0, second = 0;
  t.records->AddRecord(trans.get(), first, record.data());
  t.records->AddRecord(trans.get(), second, record.data());
  t.records->_SaveAll(trans.get(), u"/db/dump.txt");
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fs_.contents("/db/dump.txt", data));
  EXPECT_EQ(std::string(data.begin(), data.end()), std::to_string(first) + "\n" + std::to_string(second) + "\n");
  trans->Commit();
}

}  // namespace
