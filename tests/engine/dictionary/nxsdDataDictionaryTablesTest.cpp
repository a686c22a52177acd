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
