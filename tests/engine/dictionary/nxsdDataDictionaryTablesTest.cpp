// The data dictionary: default content, the stream in every version (golden
// bytes, committed fixtures), the question bank round trips, the edge cases of
// table levels and nested tables, and mutated streams.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
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
        if (!refNr) {
          EXPECT_TRUE(copy->IsEqual(d.get()));
        }
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

namespace {

// ---------------------------------------------------------------- edge cases

// The default content as a fresh dictionary has it.
void expectDefaultContent(TnxDataDictionary& d) {
  DictPtr fresh = newDictionary();
  EXPECT_TRUE(d.IsEqual(fresh.get()));
  EXPECT_EQ(d.Version(), 3);
  EXPECT_EQ(d.HeaderSignature(), nxSignatureNX2);
  EXPECT_TRUE(d.BaseName().empty());
  EXPECT_EQ(d.FieldsDescriptor()->FieldCount(), 0);
  EXPECT_EQ(d.TablesDescriptor()->TableCount(), 0);
  EXPECT_FALSE(d.ReadOnly());
}

Bytes replaceBytes(Bytes aStream, const Bytes& aFrom, const Bytes& aTo) {
  const auto it = std::search(aStream.begin(), aStream.end(), aFrom.begin(), aFrom.end());
  EXPECT_NE(it, aStream.end());
  if (it == aStream.end()) return aStream;
  const auto at = aStream.erase(it, it + static_cast<std::ptrdiff_t>(aFrom.size()));
  aStream.insert(at, aTo.begin(), aTo.end());
  return aStream;
}

TEST_F(DictionaryStreamTest, DefaultContent) {
  DictPtr d = newDictionary();
  EXPECT_EQ(d->Version(), 3);
  EXPECT_EQ(d->HeaderSignature(), nxSignatureNX2);
  ASSERT_NE(d->StreamDescriptor(), nullptr);
  EXPECT_EQ(d->StreamDescriptor()->HeaderSection(), "Stream");
  ASSERT_NE(d->RecordDescriptor(), nullptr);
  EXPECT_EQ(d->RecordDescriptor()->HeaderSection(), "Record");
  ASSERT_EQ(d->FilesDescriptor()->FileCount(), 1);
  EXPECT_EQ(d->FilesDescriptor()->Files(0)->Desc(), u"Data/DataDict File");
  ASSERT_EQ(d->IndicesDescriptor()->IndexCount(), 1);
  EXPECT_EQ(d->IndicesDescriptor()->Indices(0)->Name(), u"Sequential Access Index");
  EXPECT_EQ(&d->IndicesDescriptor()->Indices(0)->KeyDescriptor()->classInfo(),
            &TnxRefKeyDescriptor::staticClassInfo());
  EXPECT_EQ(d->IndicesDescriptor()->DefaultIndex(), 0);
  EXPECT_EQ(d->BlobDescriptor(), nullptr);
  EXPECT_EQ(d->AutoIncDescriptor(), nullptr);
  EXPECT_TRUE(d->UseByteOrderForWideString());
  EXPECT_NE(d->Guid(), platform::Guid{});
  EXPECT_EQ(d->UsableBlockSize(nxbs64k), 65536);
  EXPECT_EQ(d->FilesDescriptor()->Files(0)->UsableBlockSize(), 4096);
  // Each reset draws a new identity.
  const platform::Guid before = d->Guid();
  d->Clear(false);
  EXPECT_NE(d->Guid(), before);
  expectCode<EnxBaseTableDescriptorException>([&] { d->CheckValid(true); }, nxErrInvalidRecordStruct,
                                              u"FieldsDescriptor requires a minimum of one field");
  d->FieldsDescriptor()->AddField(u"F", u"", nxtInt32, 0, 0, false);
  d->RemoveRecordDescriptor();
  expectCode<EnxBaseTableDescriptorException>([&] { d->CheckValid(false); }, nxErrInvalidDesc,
                                              u"A record descriptor is required");
  d->AddRecordDescriptor();
  d->RemoveStreamDescriptor();
  expectCode<EnxDataDictionaryException>([&] { d->CheckValid(false); }, nxErrInvalidDesc,
                                         u"A stream descriptor is required");
}

TEST_F(DictionaryStreamTest, DamagedStreamsLeaveTheDefaultContent) {
  const Bytes good = goldenOneField(47501);
  const Bytes v1 = versionOneStream();
  struct Case {
    const char* what;
    Bytes stream;
    TnxResult code;
  };
  // The version sits right after the leading ident.
  const auto withVersion = [&](std::uint8_t v) {
    Bytes b = good;
    b[10] = v;
    return b;
  };
  const Bytes secondFileKind = B().Str("blb").Int(2).b;
  const Case cases[] = {
      {"other ident before CurrentID", replaceBytes(good, B().Ident("CurrentID").b, B().Ident("CurrentId").b),
       nxErrIncompatibleStream},
      {"version 0", withVersion(0), nxErrIncompatibleStream},
      {"version 6", withVersion(6), nxErrIncompatibleStream},
      {"second old-layout file of kind 0", replaceBytes(v1, secondFileKind, B().Str("blb").Int(0).b),
       nxErrIncompatibleStream},
      {"second BLOB file", replaceBytes(replaceBytes(v1, B().Int(2).b, B().Int(3).b), B().Str("Data").b,
                                        B().Str("Data").b),
       nxErrIncompatibleStream},
      {"wrong closing ident", replaceBytes(good, B().Ident("CurrentID").Int(11).Ident("DazavAV").b,
                                           B().Ident("CurrentID").Int(11).Ident("DazavAW").b),
       nxErrIncompatibleStream},
      {"negative CurrentID", replaceBytes(good, B().Ident("CurrentID").Int(11).b, B().Ident("CurrentID").Int(-1).b),
       nxErrIncompatibleStream},
      {"unknown record class", replaceBytes(good, B().Str("TnxBaseRecordDescriptor").b, B().Str("TnxNoRecord").b),
       nxErrUnsupportedDescriptor},
      {"cut short", Bytes(good.begin(), good.begin() + 300), nxErrIncompatibleStream},
      {"empty", Bytes(), nxErrIncompatibleStream},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DictPtr d = questionBank();
    expectCode([&] { readDict(*d, c.stream); }, c.code);
    expectDefaultContent(*d);
  }
}

// A stream whose counter sits at its limit and that fails after the counter
// was read: the reset still builds the default content, and the read's own
// error is the one raised.
TEST_F(DictionaryStreamTest, FailedReadAtTheIdLimitLeavesTheDefaultContent) {
  const Bytes good = goldenOneField(47501);
  const Bytes noStreamDescriptor =
      replaceBytes(good, B().Ident("StreamDescriptor").Bool(true).Str("TnxBaseStreamDescriptor").Item(5).Int(1)
                             .Str("nx1xDefault").b,
                   B().Ident("StreamDescriptor").Bool(false).b);
  for (const std::int32_t limit : {INT32_MAX - 1, INT32_MAX}) {
    SCOPED_TRACE(limit);
    const Bytes atLimit = B().Ident("CurrentID").Int(limit).b;
    const Bytes current = B().Ident("CurrentID").Int(11).b;
    DictPtr d = questionBank();
    expectCode<EnxDataDictionaryException>([&] { readDict(*d, replaceBytes(noStreamDescriptor, current, atLimit)); },
                                           nxErrInvalidDesc, u"A stream descriptor is required");
    expectDefaultContent(*d);
    ASSERT_NE(d->StreamDescriptor(), nullptr);
    ASSERT_NE(d->RecordDescriptor(), nullptr);
    EXPECT_EQ(d->FilesDescriptor()->FileCount(), 1);
    EXPECT_LT(d->CurrentID(), INT32_MAX - 1);
    expectCode([&] {
      readDict(*d, replaceBytes(good, B().Ident("CurrentID").Int(11).Ident("DazavAV").b,
                                B().Ident("CurrentID").Int(limit).Ident("DazavAW").b));
    }, nxErrIncompatibleStream);
    expectDefaultContent(*d);
    // The reset dictionary still takes new items.
    d->FieldsDescriptor()->AddField(u"G", u"", nxtInt32, 0, 0, false);
  }
}

TEST_F(DictionaryStreamTest, ExhaustedIdCounterRefusesNewItems) {
  DictPtr d = newDictionary();
  readDict(*d, replaceBytes(goldenOneField(47501), B().Ident("CurrentID").Int(11).b,
                            B().Ident("CurrentID").Int(INT32_MAX).b));
  EXPECT_EQ(d->CurrentID(), INT32_MAX);
  expectCode<EnxDataDictionaryException>(
      [&] { d->FieldsDescriptor()->AddField(u"G", u"", nxtInt32, 0, 0, false); }, nxErrIncompatibleStream);
  EXPECT_EQ(d->FieldsDescriptor()->FieldCount(), 1);
}

TEST_F(DictionaryStreamTest, OldLayoutRefusesASecondBlobFile) {
  // Two files of kind 2: the second one finds the first already named.
  Bytes b = versionOneStream();
  b = replaceBytes(b, B().Ident("FileDescriptor").Int(2).b, B().Ident("FileDescriptor").Int(3).b);
  const Bytes fileTwo = B().Str("TnxFileDescriptor").Str("bl2").Int(2).Item(0, true).Int(1).Str("More").Int(4096)
                            .Int(4).Int(1).b;
  const Bytes fields = B().Ident("FieldDescriptor").b;
  b = replaceBytes(b, fields, [&] {
    Bytes r = fileTwo;
    r.insert(r.end(), fields.begin(), fields.end());
    return r;
  }());
  DictPtr d = newDictionary();
  expectCode<EnxDataDictionaryException>([&] { readDict(*d, b); }, nxErrInvalidDesc,
                                         u"A BLOB file has already been defined");
  expectDefaultContent(*d);
}

TEST_F(DictionaryStreamTest, NestedTablePaths) {
  DictPtr d = questionBank();
  d->_BaseName(u"T");
  TnxBaseTableDescriptor* a = d->GetChild(u"qzrecord");
  TnxBaseTableDescriptor* b = d->GetChild(u"gcount");
  EXPECT_EQ(d->GetChild(u"qzrecord:..:gcount"), b);
  EXPECT_EQ(d->GetChild(u"QZRECORD:.:..:GCount"), b);
  EXPECT_EQ(d->GetChild(u""), d.get());
  EXPECT_EQ(a->GetChild(u".."), d.get());
  expectCode<EnxBaseTableDescriptorException>([&] { d->GetChild(u".."); }, nxErrNoSuchTable,
                                              u"Table does not exist.");
  expectCode<EnxTablesDescriptorException>([&] { d->GetChild(u"qzrecord:none"); }, nxErrNoSuchTable);
  TnxNestedTableDescriptor* deep = a->TablesDescriptor()->AddTable(u"B");
  EXPECT_EQ(deep->btdFullName(), u"T:qzrecord:B");
  EXPECT_EQ(d->GetChild(u"qzrecord:B"), deep);
  // A nested level's blocks are those of the dictionary's files.
  EXPECT_EQ(deep->DictionaryUsableBlockSize(nxbs8k), d->DictionaryUsableBlockSize(nxbs8k));

  TnxTablesDescriptor* tables = d->TablesDescriptor();
  tables->RenameTable(u"gcount", u"gcount");
  expectCode<EnxTablesDescriptorException>([&] { tables->RenameTable(u"gcount", u"GCOUNT"); }, nxErrNameNotUnique,
                                           u"Duplicated table name: GCOUNT");
  expectCode<EnxTablesDescriptorException>([&] { tables->RenameTable(u"none", u"other"); }, nxErrNoSuchTable);
  expectCode<EnxTablesDescriptorException>([&] { tables->RenameTable(u"gcount", u" x"); }, nxErrInvalidTableName);
  expectCode<EnxTablesDescriptorException>([&] { tables->AddTable(u"QZRecord"); }, nxErrNameNotUnique,
                                           u"Duplicated table name: QZRecord");
  expectCode<EnxNestedTableDescriptorException>(
      [&] { platform::TObject::free(platform::create<TnxNestedTableDescriptor>(nullptr, nxString(u" x"))); },
      nxErrInvalidTableName);
  tables->RenameTable(u"gcount", u"runs");
  EXPECT_EQ(d->GetChild(u"runs"), b);
  platform::TStringList names;
  tables->GetTables(names);
  EXPECT_EQ(names.commaText(), u"qzrecord,runs");
  // Every level is checked: an empty nested table has no field.
  expectCode<EnxBaseTableDescriptorException>([&] { d->CheckValid(false); }, nxErrInvalidRecordStruct);
  a->TablesDescriptor()->RemoveTable(u"b");
  d->CheckValid(false);
}

TEST_F(DictionaryStreamTest, KeyLengthsAndBookmarks) {
  DictPtr d = questionBank();
  EXPECT_EQ(d->tdGetKeyLen(0), 8u);
  EXPECT_EQ(d->tdGetBookmarkSize(0), 32);
  expectCode<EnxBaseTableDescriptorException>([&] { d->tdGetKeyLen(3); }, nxErrInvalidDescNumber,
                                              u"Index out of bounds: 3");
  const std::uint32_t longest = d->MaxKeyLen();
  EXPECT_GT(longest, 8u);
  EXPECT_EQ(d->MaxBookmarkSize(), static_cast<std::int32_t>(longest) + 24);
  TnxBaseTableDescriptor* runs = d->GetChild(u"gcount");
  EXPECT_EQ(runs->tdGetBookmarkSize(0), 24);
  EXPECT_EQ(runs->tdGetBookmarkSize(99), 24);
  EXPECT_EQ(runs->MaxKeyLen(), 0u);
  expectCode<EnxBaseTableDescriptorException>([&] { runs->tdGetKeyLen(0); }, nxErrInvalidDescNumber);
  d->MakeReadOnly();
  EXPECT_EQ(d->MaxKeyLen(), longest);
}

TEST_F(DictionaryStreamTest, MissingInformationMarkerRefusesABuild) {
  const Bytes marked = replaceBytes(goldenOneField(47501), B().Str("$CachingState=tcsNone").b,
                                    B().Str("$MissingInformation=True").Str("$CachingState=tcsNone").b);
  DictPtr d = newDictionary();
  readDict(*d, marked);
  EXPECT_TRUE(d->MissingInformation());
  expectCode<EnxDataDictionaryException>(
      [&] { d->CheckValid(true); }, nxErrUnsupportedDescriptor,
      u"This DataDictionary is missing information which was stripped to make it compatible with an older client "
      u"version and can't be used to restructure or create a table.");
  d->CheckValid(false);
  const Bytes again = writeDict(*d, 47501);
  EXPECT_EQ(again, marked) << streamDiff(again, marked);
  DictPtr copy = newDictionary();
  readDict(*copy, again);
  EXPECT_TRUE(copy->MissingInformation());
}

TEST_F(DictionaryStreamTest, ConstraintNamesAreUniquePerTable) {
  DictPtr d = questionBank();
  TnxFieldDescriptor* id = d->FieldsDescriptor()->Fields(0);
  id->SetConstraintName(u"pk_qbnk");
  TnxIndexDescriptor* index = d->IndicesDescriptor()->Indices(1);
  expectCode<EnxBaseTableDescriptorException>([&] { index->SetConstraintName(u"PK_QBNK"); }, nxErrNameNotUnique,
                                              u"Constraint name already in use: \"PK_QBNK\"");
  EXPECT_EQ(d->GetConstraintByName(u"PK_qbnk"), id);
  // Nested tables keep their own register.
  d->GetChild(u"qzrecord")->IndicesDescriptor()->Indices(0)->SetConstraintName(u"pk_qbnk");
  platform::TStringList names;
  d->GetConstraints(names);
  EXPECT_EQ(names.count(), 1);
  EXPECT_TRUE(d->IsFieldDescValid(d->FieldsDescriptor()->Fields(1)));
  DictPtr other = newDictionary();
  TnxIndexDescriptor* foreign = other->IndicesDescriptor()->Indices(0);
  EXPECT_TRUE(d->IsIndexDescValid(foreign));
  foreign->SetConstraintName(u"pk_QBNK");
  EXPECT_FALSE(d->IsIndexDescValid(foreign));
  id->SetConstraintName(u"");
  EXPECT_EQ(d->GetConstraintByName(u"pk_qbnk"), nullptr);
  EXPECT_TRUE(d->IsIndexDescValid(foreign));
  index->SetConstraintName(u"pk_qbnk");
  // Names travel with the stream and register again.
  DictPtr copy = newDictionary();
  readDict(*copy, writeDict(*d, 47501));
  EXPECT_EQ(copy->GetConstraintByName(u"pk_qbnk"), copy->IndicesDescriptor()->Indices(1));
}

TEST_F(DictionaryStreamTest, ReadOnlyRefusesEveryChange) {
  DictPtr d = questionBank();
  d->CheckValid(true);
  const Bytes stream = writeDict(*d, 47501);
  d->MakeReadOnly();
  TnxBaseTableDescriptor* nested = d->GetChild(u"qzrecord");
  const std::function<void()> changes[] = {
      [&] { d->FieldsDescriptor()->AddField(u"X", u"", nxtInt32, 0, 0, false); },
      [&] { d->IndicesDescriptor()->AddIndex(u"X", 0, false, u""); },
      [&] { d->IndicesDescriptor()->RemoveIndex(0); },
      [&] { d->IndicesDescriptor()->SetDefaultIndex(1); },
      [&] { d->TablesDescriptor()->AddTable(u"X"); },
      [&] { d->TablesDescriptor()->RenameTable(u"gcount", u"X"); },
      [&] { nested->FieldsDescriptor()->EnsureValidations(); },
      [&] { d->CustomDescsDescriptor()->AddCustom(u"X"); },
      [&] { d->AddBlobDescriptor(); },
      [&] { d->RemoveInternalIndicesDescriptor(); },
      [&] { d->AddStreamDescriptor(); },
      [&] { d->SetEncryptionEngine(u"X"); },
      [&] { d->AssignOnlyFields(d.get()); },
      [&] { d->Assign(d.get()); },
      [&] { readDict(*d, stream); },
      [&] { d->LocaleDescriptor()->SetLocale(1033); },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    expectCode(changes[i], nxErrDictionaryReadOnly);
  }
  EXPECT_EQ(writeDict(*d, 47501), stream);  // a read-only dictionary still writes

  TnxDataDictionary* dup = d->Duplicate();
  EXPECT_TRUE(dup->IsEqual(d.get()));
  EXPECT_FALSE(dup->ReadOnly());
  dup->FieldsDescriptor()->AddField(u"X", u"", nxtInt32, 0, 0, false);
  EXPECT_FALSE(dup->IsEqual(d.get()));
  platform::TObject::free(dup);
  // A full reset is the way back.
  d->Clear(false);
  expectDefaultContent(*d);
}

TEST_F(DictionaryStreamTest, AssignOnlyFieldsKeepsTheShape) {
  DictPtr source = questionBank({.refNr = true});
  source->FieldsDescriptor()->Fields(1)->fdRequired = true;
  source->FieldsDescriptor()->Fields(0)->AddDefaultValue();
  DictPtr d = newDictionary();
  const std::int32_t streamID = d->StreamDescriptor()->ID();
  d->AssignOnlyFields(source.get());
  // A table file finds its dictionary through this ID: it must not move.
  ASSERT_NE(d->StreamDescriptor(), nullptr);
  EXPECT_EQ(d->StreamDescriptor()->ID(), streamID);
  EXPECT_EQ(d->IndicesDescriptor(), nullptr);
  EXPECT_EQ(d->InternalIndicesDescriptor(), nullptr);
  ASSERT_NE(d->LocaleDescriptor(), nullptr);
  EXPECT_EQ(d->LocaleDescriptor()->Locale(), 1041u);
  ASSERT_EQ(d->FieldsDescriptor()->FieldCount(), source->FieldsDescriptor()->FieldCount());
  EXPECT_FALSE(d->FieldsDescriptor()->Fields(1)->fdRequired);
  EXPECT_EQ(d->FieldsDescriptor()->Fields(0)->DefaultValue(), nullptr);
  EXPECT_EQ(d->FieldsDescriptor()->Fields(17)->fdType, nxtRefNr);
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(d->RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordEngine(), u"Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Smart");
  TnxBaseTableDescriptor* rec = d->GetChild(u"qzrecord");
  EXPECT_EQ(rec->FieldsDescriptor()->FieldCount(), 13);
  EXPECT_EQ(rec->IndicesDescriptor(), nullptr);
  EXPECT_NE(platform::objectAs<TnxHeapRecordDescriptor>(rec->RecordDescriptor()), nullptr);
}

TEST_F(DictionaryStreamTest, AssignCopiesThroughTheStream) {
  DictPtr source = questionBank();
  source->_BaseName(u"qbnk");
  source->CheckValid(false);  // the copy is checked after reading
  DictPtr d = newDictionary();
  d->Assign(source.get());
  EXPECT_TRUE(d->IsEqual(source.get()));
  EXPECT_EQ(d->Guid(), source->Guid());
  EXPECT_EQ(d->BaseName(), u"qbnk");
  // Lookups from deep items stop at their own table level.
  TnxBaseTableDescriptor* rec = d->GetChild(u"qzrecord");
  TnxKeyFieldDescriptor* key =
      static_cast<TnxCompKeyDescriptor*>(rec->IndicesDescriptor()->Indices(0)->KeyDescriptor())->KeyFields(0);
  EXPECT_EQ(key->Field(), rec->FieldsDescriptor()->Fields(9));
  EXPECT_EQ(key->GetRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo()), d->FilesDescriptor());
}

}  // namespace

namespace {

// ---------------------------------------------------------------- mutated streams

// Reads aStream into a new dictionary: either it reads and passes the check,
// or it fails with an engine code and leaves the default content.
void readMutated(const Bytes& aStream, const DictPtr& aFresh, int& aRead, int& aRefused) {
  DictPtr d = newDictionary();
  try {
    readDict(*d, aStream);
  } catch (const EnxBaseException&) {
    ++aRefused;
    if (!d->IsEqual(aFresh.get()) || d->Version() != 3 || d->FieldsDescriptor()->FieldCount() != 0)
      ADD_FAILURE() << "a failed read left content behind: " << d->IsEqual(aFresh.get()) << " " << d->Version()
                    << " " << d->FieldsDescriptor()->FieldCount() << " " << d->RecordDescriptor() << " "
                    << d->LocaleDescriptor() << " " << d->TablesDescriptor()->TableCount() << " "
                    << d->CustomDescsDescriptor()->CustomCount() << " " << d->IndicesDescriptor()->IndexCount() << " "
                    << d->InternalIndicesDescriptor() << " " << d->FilesDescriptor()->FileCount() << " "
                    << (d->CachingState() == aFresh->CachingState()) << " "
                    << d->FilesDescriptor()->IsEqual(aFresh->FilesDescriptor()) << " "
                    << d->StreamDescriptor()->IsEqual(aFresh->StreamDescriptor()) << " "
                    << d->IndicesDescriptor()->IsEqual(aFresh->IndicesDescriptor());
    return;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an engine failure: " << e.what();
    return;
  }
  ++aRead;
  d->CheckValid(false);
  try {
    writeDict(*d, 47501);
  } catch (const EnxBaseException&) {
    // A dictionary may hold what cannot be written; it must say so cleanly.
  }
}

std::vector<Bytes> fuzzBases() {
  std::vector<Bytes> bases;
  DictPtr plain = questionBank();
  plain->FieldsDescriptor()->Fields(0)->EnsureValidations()->AddValidation(
      u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo());
  plain->FieldsDescriptor()->EnsureValidations()->AddValidation(u"Check",
                                                                 &TnxSqlCheckValidationDescriptor::staticClassInfo());
  plain->CheckValid(true);
  bases.push_back(writeDict(*plain, 47501));
  bases.push_back(writeDict(*plain, 30899));
  DictPtr withRef = questionBank({.refNr = true});
  withRef->CheckValid(true);
  bases.push_back(writeDict(*withRef, 47501));
  DictPtr old = questionBank({.ownLocale = false});
  old->CheckValid(true);
  bases.push_back(writeDict(*old, 19999));
  bases.push_back(versionOneStream());
  return bases;
}

TEST_F(DictionaryStreamTest, MutatedQuestionBankStreams) {
  const DictPtr fresh = newDictionary();
  const std::vector<Bytes> bases = fuzzBases();
  std::mt19937 rng(20260420);
  const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  int read = 0, refused = 0;
  for (const Bytes& base : bases) {
    for (int round = 0; round < 300; ++round) {
      Bytes m = base;
      switch (round % 4) {
        case 0:  // flip bytes
          for (int k = 0; k < 1 + round % 3; ++k) m[pick(m.size())] ^= static_cast<std::uint8_t>(1 + pick(255));
          break;
        case 1:  // cut
          m.resize(pick(m.size()));
          break;
        case 2: {  // insert bytes
          const std::size_t at = pick(m.size());
          Bytes extra(1 + pick(8));
          for (auto& x : extra) x = static_cast<std::uint8_t>(pick(256));
          m.insert(m.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
          break;
        }
        default: {  // a small integer changed to another small one
          std::vector<std::size_t> ints;
          for (std::size_t i = 0; i + 1 < m.size(); ++i)
            if (m[i] == 2) ints.push_back(i);
          m[ints[pick(ints.size())] + 1] = static_cast<std::uint8_t>(pick(256));
          break;
        }
      }
      readMutated(m, fresh, read, refused);
      if (HasFailure()) return;
    }
  }
  // Both outcomes occur: the mutations reach past the first bytes.
  EXPECT_GT(read, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(DictionaryStreamTest, ChangedRecordLengthsInTheStream) {
  const DictPtr fresh = newDictionary();
  DictPtr d = questionBank();
  d->CheckValid(true);
  const Bytes base = writeDict(*d, 47501);
  const std::int32_t lrl = d->FieldsDescriptor()->fsdLogRecLen, nb = d->FieldsDescriptor()->fsdLogRecLenAlign;
  const Bytes at = B().Int(lrl).Int(nb).Bool(false).Ident("IndicesDescriptor").b;
  ASSERT_NE(std::search(base.begin(), base.end(), at.begin(), at.end()), base.end());
  const std::pair<std::int32_t, std::int32_t> changes[] = {
      {0, nb},        {lrl, 0},       {-1, nb},          {lrl, -1},         {lrl + 1, nb},
      {lrl, nb + 4},  {lrl, nb - 1},  {INT32_MAX, nb},   {lrl, INT32_MAX},  {INT32_MIN, INT32_MIN},
      {lrl - 1, nb},  {nb, lrl},      {INT32_MAX - 1, INT32_MAX - 1},
  };
  int read = 0, refused = 0;
  for (const auto& [newLrl, newNb] : changes) {
    SCOPED_TRACE(std::to_string(newLrl) + "/" + std::to_string(newNb));
    readMutated(replaceBytes(base, at, B().Int(newLrl).Int(newNb).Bool(false).Ident("IndicesDescriptor").b), fresh,
                read, refused);
  }
  EXPECT_EQ(read + refused, static_cast<int>(std::size(changes)));
}

}  // namespace

namespace {

// Aborts the run when the guarded work hangs.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds aLimit)
      : wThread([this, aLimit] {
          std::unique_lock lock(wMutex);
          if (!wDone.wait_for(lock, aLimit, [this] { return wFinished; })) {
            std::fprintf(stderr, "watchdog: the test hangs\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(wMutex);
      wFinished = true;
    }
    wDone.notify_all();
    wThread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex wMutex;
  std::condition_variable wDone;
  bool wFinished = false;
  std::thread wThread;
};

TEST_F(DictionaryStreamTest, ReadOnlyDictionaryWrittenByManyThreads) {
  DictPtr d = questionBank({.refNr = true});
  d->CheckValid(true);
  d->MakeReadOnly();
  const Bytes expected = writeDict(*d, 47501);
  const Bytes old = writeDict(*d, 30899);
  Watchdog watchdog(std::chrono::seconds(60));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const bool current = (t + i) % 2 == 0;
        if (writeDict(*d, current ? 47501 : 30899) != (current ? expected : old)) ++mismatches;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(DictionaryStreamTest, ReadingReplacesTheInternalIndices) {
  DictPtr d = questionBank({.refNr = true});
  ASSERT_NE(d->InternalIndicesDescriptor(), nullptr);
  DictPtr plain = questionBank();
  plain->CheckValid(true);
  readDict(*d, writeDict(*plain, 47501));
  EXPECT_EQ(d->InternalIndicesDescriptor(), nullptr);
  EXPECT_TRUE(d->IsEqual(plain.get()));
}

}  // namespace
