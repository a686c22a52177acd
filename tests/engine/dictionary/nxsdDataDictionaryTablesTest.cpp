// The data dictionary: default content, the stream in every version (golden
// bytes, committed fixtures), the question bank round trips, the edge cases of
// table levels and nested tables, and mutated streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"
#include "plString.h"

namespace {

using namespace nxsdtest;

class DictionaryStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
  }
  void TearDown() override {
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
    nxsdSetStrippedInformation(false);
  }
};

const char* const kGuidText = "{12345678-9ABC-DEF0-1122-334455667788}";

// A dictionary with one nxtInt32 field "F" and a fixed GUID.
DictPtr oneFieldDictionary() {
  DictPtr d = newDictionary();
  d->SetGuid(platform::stringToGuid(std::string_view(kGuidText)));
  d->FieldsDescriptor()->AddField(u"F", u"", nxtInt32, 0, 0, false);
  return d;
}

// The expected stream of oneFieldDictionary after CheckValid(True), spelled
// value by value (an nxtInt32 field has 10 units). IDs: the fields, custom and nested-table containers 1-3,
// the files 4, stream 5, record 6, file 7, indices 8, index 9, its key 10,
// the field 11.
Bytes goldenOneField(std::int32_t aClient) {
  B b;
  if (aClient < 20000) {
    b.Ident("DazavAV").Int(2).Raw({'N', 'X', '!', '2'}).Str("");
    b.Str("nx1xDefault").Str("nx1xDefault").Str("nx1xDefault");
    b.Ident("RecordDescriptor").Bool(true).Str("TnxBaseRecordDescriptor").Item(0, true).Int(1).Str("nx1xDefault");
    b.Ident("BlobDescriptor").Bool(false);
    b.Ident("FileDescriptor").Int(1).Str("TnxFileDescriptor").Str("").Int(0);
    b.Item(0, true).Int(1).Str("Data/DataDict File").Int(4096).Int(4).Int(1);
    b.Ident("FieldDescriptor").Int(1).Str("TnxFieldDescriptor").Str("F").Str("").Str("nxtInt32").Int(10).Int(0);
    b.Bool(false).Item(0, true).Int(1).Int(0).Int(4).Bool(false).Bool(false);
    b.Ident("IndexDescriptor").Int(1).Str("TnxIndexDescriptor").Str("TnxRefKeyDescriptor");
    b.Str("Sequential Access Index").Int(0);
    b.Item(0, true).Int(1).Str("nx1xDefault").Str("Sequential Access Index").Bool(false);
    b.Item(0, true).Int(1);  // the key
    b.Int(0);                // default index
    b.Int(4).Int(4);         // LRL, NB
    b.Ident("CustomDescriptor").Int(0);
    b.Ident("DazavAV");
    return b.b;
  }
  const std::int32_t version = aClient < 30900 ? 3 : 4;
  b.Ident("DazavAV").Int(version).Raw({'N', 'X', '!', '2'}).Str("");
  if (version >= 4) b.Bool(true);
  b.Ident("StreamDescriptor").Bool(true).Str("TnxBaseStreamDescriptor").Item(5).Int(1).Str("nx1xDefault");
  b.Ident("FilesDescriptor").Bool(true).Str("TnxFilesDescriptor").Item(4).Int(1).Int(1);
  b.Str("TnxFileDescriptor").Str("").Item(7).Int(1).Str("Data/DataDict File").Int(4096).Int(4).Int(1);
  // The table level with the dictionary's item part.
  b.Int(3).ListBegin().Str(std::string("$GUID=") + kGuidText).Str("$CachingState=tcsNone").ListEnd();
  b.Int(0).Str("");
  b.Int(1);
  b.Ident("LocaleDescriptor").Int(1).Bool(false);
  b.Ident("RecordDescriptor").Bool(true).Str("TnxBaseRecordDescriptor").Item(6).Int(2).Str("nx1xDefault").Int(0);
  b.Ident("BlobDescriptor").Bool(false);
  b.Ident("FieldsDescriptor").Bool(true).Str("TnxFieldsDescriptor").Item(1).Int(2).Int(1);
  b.Str("TnxFieldDescriptor").Str("F").Str("").Str("nxtInt32").Int(10).Int(0).Bool(false);
  b.Item(11).Int(3).Int(0).Int(4).Bool(false).Bool(false).Int(1).Bool(false).Bool(false);
  b.Int(4).Int(4).Bool(false);
  b.Ident("IndicesDescriptor").Bool(true).Str("TnxMainIndicesDescriptor").Item(8).Int(1).Str("nx1xDefault").Int(1);
  b.Str("TnxIndexDescriptor").Str("TnxRefKeyDescriptor").Str("Sequential Access Index").Int(0);
  b.Item(9).Int(1).Str("nx1xDefault").Str("Sequential Access Index").Bool(false);
  b.Item(10).Ident("BKD").Int(1).Bool(false).Int(1);
  b.Int(1).Int(0);
  b.Ident("AutoIncDescriptor").Bool(false);
  b.Ident("CustomDescsDescriptor").Bool(true).Str("TnxCustomDescsDescriptor").Item(2).Int(1).Int(0);
  b.Ident("TablesDescriptor").Bool(true).Str("TnxTablesDescriptor").Item(3).Int(1).Int(0);
  b.Ident("CurrentID").Int(11);
  b.Ident("DazavAV");
  return b.b;
}

std::string fixturePath(std::int32_t aClient) {
  return std::string(NX_DICTIONARY_FIXTURES) + "/one_field_" + std::to_string(aClient) + ".dict";
}

Bytes readFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------- golden streams

TEST_F(DictionaryStreamTest, GoldenStreamOfOneFieldPerClientVersion) {
  for (const std::int32_t client : {47501, 47004, 30899, 19999}) {
    SCOPED_TRACE(client);
    DictPtr d = oneFieldDictionary();
    d->CheckValid(true);
    const Bytes written = writeDict(*d, client);
    EXPECT_EQ(written, goldenOneField(client)) << streamDiff(written, goldenOneField(client));
    if (std::getenv("NX_UPDATE_FIXTURES")) {
      std::ofstream out(fixturePath(client), std::ios::binary);
      out.write(reinterpret_cast<const char*>(written.data()), static_cast<std::streamsize>(written.size()));
    }
    EXPECT_EQ(readFile(fixturePath(client)), written) << "the stored format drifted";
  }
}

TEST_F(DictionaryStreamTest, FixturesReadBack) {
  for (const std::int32_t client : {47501, 47004, 30899, 19999}) {
    SCOPED_TRACE(client);
    DictPtr d = newDictionary();
    readDict(*d, readFile(fixturePath(client)), u"T");
    EXPECT_EQ(d->Version(), client < 20000 ? 2 : client < 30900 ? 3 : 4);
    ASSERT_EQ(d->FieldsDescriptor()->FieldCount(), 1);
    EXPECT_EQ(d->FieldsDescriptor()->Fields(0)->fdName, u"F");
    EXPECT_EQ(d->BaseName(), u"T");
    if (client >= 20000) {
      EXPECT_EQ(d->Guid(), platform::stringToGuid(std::string_view(kGuidText)));
      EXPECT_EQ(d->CurrentID(), 11);
    }
    if (client < 20000) {
      // The old layout always reads back a BLOB and an auto-increment descriptor.
      EXPECT_NE(d->BlobDescriptor(), nullptr);
      EXPECT_NE(d->AutoIncDescriptor(), nullptr);
      continue;
    }
    const Bytes again = writeDict(*d, client);
    EXPECT_EQ(again, readFile(fixturePath(client))) << streamDiff(again, readFile(fixturePath(client)));
  }
}

}  // namespace

namespace {

// ---------------------------------------------------------------- the question bank

TEST_F(DictionaryStreamTest, QuestionBankBuildVersions) {
  DictPtr plain = questionBank();
  plain->CheckValid(true);
  EXPECT_EQ(plain->Version(), 4);
  EXPECT_TRUE(plain->UseByteOrderForWideString());
  DictPtr withRef = questionBank({.refNr = true});
  withRef->CheckValid(true);
  EXPECT_EQ(withRef->Version(), 5);
  // A RefNr field in a nested table counts as well.
  DictPtr nestedRef = questionBank();
  nestedRef->GetChild(u"gcount")->FieldsDescriptor()->AddField(u"r", u"", nxtRefNr, 0, 0, false);
  nestedRef->CheckValid(true);
  EXPECT_EQ(nestedRef->Version(), 5);
  // Built again without it, the version comes back down.
  nestedRef->GetChild(u"gcount")->FieldsDescriptor()->RemoveField(5);
  nestedRef->CheckValid(true);
  EXPECT_EQ(nestedRef->Version(), 4);
}

TEST_F(DictionaryStreamTest, QuestionBankRoundTripsPerClientVersion) {
  for (const bool refNr : {false, true}) {
    for (const std::int32_t client : {47501, 47004, 30899}) {
      SCOPED_TRACE(std::to_string(client) + (refNr ? " with RefNr" : ""));
      DictPtr d = questionBank({.refNr = refNr});
      d->CheckValid(true);
      const Bytes first = writeDict(*d, client);
      DictPtr copy = newDictionary();
      readDict(*copy, first);
      const Bytes second = writeDict(*copy, client);
      EXPECT_EQ(first, second) << streamDiff(first, second);
      EXPECT_EQ(copy->Version(), std::min(d->Version(), client < 30900 ? 3 : client < 47005 ? 4 : 5));
      EXPECT_EQ(copy->Guid(), d->Guid());
      EXPECT_EQ(copy->CurrentID(), d->CurrentID());
      EXPECT_FALSE(copy->MissingInformation());  // stripping comes after the item part
      ASSERT_EQ(copy->TablesDescriptor()->TableCount(), 2);
      EXPECT_EQ(copy->GetChild(u"qzrecord")->FieldsDescriptor()->FieldCount(), 13);
      EXPECT_EQ(copy->GetChild(u"qzrecord")->btdFullName(), u"qbnk:qzrecord");
      const std::int32_t refField = copy->FieldsDescriptor()->GetFieldFromName(u"row_ref");
      if (client == 47501) {
        EXPECT_TRUE(copy->IsEqual(d.get()));
        EXPECT_TRUE(d->IsEqual(copy.get()));
      } else if (client == 47004) {
        if (refNr) {
          EXPECT_EQ(copy->FieldsDescriptor()->Fields(refField)->fdType, nxtInt64);
          EXPECT_EQ(copy->InternalIndicesDescriptor(), nullptr);
          EXPECT_FALSE(copy->IsEqual(d.get()));
          d->RemoveInternalIndicesDescriptor();
          // What is left differs only in the field type, which stores alike.
        }
        EXPECT_TRUE(copy->IsEqual(d.get()));
      } else {
        ASSERT_NE(copy->LocaleDescriptor(), nullptr);
        EXPECT_EQ(copy->LocaleDescriptor()->Version(), 1);
        EXPECT_EQ(copy->LocaleDescriptor()->BuildVersionInfo(), nullptr);
        EXPECT_EQ(copy->LocaleDescriptor()->Locale(), 1041u);
      }
    }
  }
}

TEST_F(DictionaryStreamTest, QuestionBankForTheOldLayout) {
  DictPtr withLocale = questionBank();
  withLocale->CheckValid(true);
  expectCode<EnxDataDictionaryException>([&] { writeDict(*withLocale, 19999); }, nxErrIncompatibleStream,
                                         u"Higher dictionary version required");

  DictPtr d = questionBank({.ownLocale = false});
  d->CheckValid(true);
  const Bytes old = writeDict(*d, 19999);
  EXPECT_TRUE(nxsdStrippedInformation());  // the nested tables had no place
  DictPtr copy = newDictionary();
  readDict(*copy, old);
  EXPECT_EQ(copy->Version(), 2);
  EXPECT_TRUE(copy->FieldsDescriptor()->IsEqual(d->FieldsDescriptor()));
  EXPECT_TRUE(copy->FilesDescriptor()->IsEqual(d->FilesDescriptor()));
  EXPECT_TRUE(copy->IndicesDescriptor()->IsEqual(d->IndicesDescriptor()));
  EXPECT_TRUE(copy->BlobDescriptor()->IsEqual(d->BlobDescriptor()));
  EXPECT_EQ(copy->TablesDescriptor()->TableCount(), 0);
  EXPECT_EQ(writeDict(*copy, 19999), old);
}

// A version-1 stream as the oldest clients wrote it: NB equals LRL.
Bytes versionOneStream() {
  std::int32_t boolUnits = 0, boolDec = 0, boolLen = 0, shortUnits = 0, shortDec = 0, shortLen = 0;
  bool req = false;
  TnxFieldDescriptor::SetupField(nxtBoolean, boolUnits, boolDec, req, boolLen);
  TnxFieldDescriptor::SetupField(nxtInt16, shortUnits, shortDec, req, shortLen);
  B b;
  b.Ident("DazavAV").Int(1).Raw({'N', 'X', '!', '1'}).Str("");
  b.Str("nx1xDefault").Str("nx1xDefault").Str("nx1xDefault");
  b.Ident("RecordDescriptor").Bool(true).Str("TnxBaseRecordDescriptor").Item(0, true).Int(1).Str("nx1xDefault");
  b.Ident("BlobDescriptor").Bool(true).Str("TnxHeapBlobDescriptor").Item(0, true).Int(1).Str("nx1xDefault");
  b.Int(1).Bool(true).Str("TnxBaseHeapDescriptor").Item(0, true).Int(1).Str("nx1xDefault");
  b.Bool(true).Str("TnxBaseBlockHeapDescriptor").Item(0, true).Int(1).Str("nx1xDefault");
  b.Ident("FileDescriptor").Int(2);
  b.Str("TnxFileDescriptor").Str("").Int(0).Item(0, true).Int(1).Str("Data").Int(4096).Int(4).Int(1);
  b.Str("TnxFileDescriptor").Str("blb").Int(2).Item(0, true).Int(1).Str("Blobs").Int(8192).Int(4).Int(1);
  b.Ident("FieldDescriptor").Int(2);
  b.Str("TnxFieldDescriptor").Str("Flag").Str("").Str("nxtBoolean").Int(boolUnits).Int(boolDec).Bool(false);
  b.Item(0, true).Int(1).Int(0).Int(boolLen).Bool(false).Bool(false);
  b.Str("TnxFieldDescriptor").Str("Qty").Str("").Str("nxtInt16").Int(shortUnits).Int(shortDec).Bool(false);
  b.Item(0, true).Int(1).Int(boolLen).Int(shortLen).Bool(false).Bool(false);
  b.Ident("IndexDescriptor").Int(1).Str("TnxIndexDescriptor").Str("TnxRefKeyDescriptor");
  b.Str("Sequential Access Index").Int(0);
  b.Item(0, true).Int(1).Str("nx1xDefault").Str("").Bool(false).Item(0, true).Int(1);
  b.Int(0);
  b.Int(boolLen + shortLen);
  b.Ident("CustomDescriptor").Int(0);
  b.Ident("DazavAV");
  return b.b;
}

TEST_F(DictionaryStreamTest, VersionOneStreamReadsAndIsLiftedForBuild) {
  const Bytes stream = versionOneStream();
  DictPtr d = newDictionary();
  readDict(*d, stream);
  EXPECT_EQ(d->Version(), 1);
  EXPECT_TRUE(d->OwnRequiresPack());
  ASSERT_NE(d->BlobDescriptor(), nullptr);
  EXPECT_EQ(d->BlobDescriptor()->FileNumber(), 1);
  EXPECT_EQ(d->FilesDescriptor()->Files(1)->BlockSizeBytes(), 8192);
  EXPECT_EQ(d->FieldsDescriptor()->fsdLogRecLen, 3);
  EXPECT_EQ(d->FieldsDescriptor()->fsdLogRecLenAlign, 3);
  const Bytes again = writeDict(*d, 19999);
  EXPECT_EQ(again, stream) << streamDiff(again, stream);

  d->CheckValid(true);
  EXPECT_EQ(d->Version(), 4);
  EXPECT_EQ(d->FieldsDescriptor()->fsdLogRecLenAlign, 4);
  EXPECT_EQ(d->HeaderSignature(), nxSignatureNX2);
  EXPECT_FALSE(d->OwnRequiresPack());
}

}  // namespace
