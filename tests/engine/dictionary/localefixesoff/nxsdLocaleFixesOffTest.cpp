// Dictionaries built while the program runs with "/Disable30900LocaleFixes":
// they stay at version 3 and compare wide strings by locale.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdKeyEngineComp.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"

namespace {

using namespace nxsdtest;

class LocaleFixesOffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize();  // the program's own command line
    ASSERT_TRUE(nxDisable30900LocaleFixes) << "start this executable with /Disable30900LocaleFixes";
  }
  void TearDown() override {
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
    nxsdSetStrippedInformation(false);
  }
};

TEST_F(LocaleFixesOffTest, BuiltDictionariesStayAtVersionThree) {
  DictPtr fresh = newDictionary();
  EXPECT_FALSE(fresh->UseByteOrderForWideString());
  DictPtr d = questionBank();
  d->CheckValid(true);
  EXPECT_EQ(d->Version(), 3);
  EXPECT_FALSE(d->UseByteOrderForWideString());
  DictPtr withRef = questionBank({.refNr = true});
  withRef->CheckValid(true);
  EXPECT_EQ(withRef->Version(), 5);
  EXPECT_FALSE(withRef->UseByteOrderForWideString());
  // The RefNr field gone, the version comes back to 3.
  withRef->FieldsDescriptor()->RemoveField(withRef->FieldsDescriptor()->GetFieldFromName(u"row_ref"));
  withRef->CheckValid(true);
  EXPECT_EQ(withRef->Version(), 3);
}

TEST_F(LocaleFixesOffTest, QuestionBankRoundTrips) {
  for (const std::int32_t client : {47501, 47004, 30899}) {
    SCOPED_TRACE(client);
    DictPtr d = questionBank();
    d->CheckValid(true);
    const Bytes first = writeDict(*d, client);
    DictPtr copy = newDictionary();
    readDict(*copy, first);
    EXPECT_EQ(writeDict(*copy, client), first);
    EXPECT_EQ(copy->Version(), 3);
    ASSERT_NE(copy->LocaleDescriptor(), nullptr);
    EXPECT_EQ(copy->LocaleDescriptor()->Version(), 1);  // no collation record under the switch
    EXPECT_TRUE(copy->IsEqual(d.get()));
  }
}

TEST_F(LocaleFixesOffTest, VersionFourStreamIsBuiltAsThree) {
  std::ifstream in(std::string(NX_DICTIONARY_FIXTURES) + "/one_field_47501.dict", std::ios::binary);
  const Bytes stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(stream.empty());
  DictPtr d = newDictionary();
  readDict(*d, stream);
  EXPECT_EQ(d->Version(), 4);
  EXPECT_TRUE(d->UseByteOrderForWideString());
  d->CheckValid(false);
  EXPECT_EQ(d->Version(), 4);  // only a build changes it
  d->CheckValid(true);
  EXPECT_EQ(d->Version(), 3);
  EXPECT_FALSE(d->UseByteOrderForWideString());
}

// A RefNr field lifts a dictionary built under the switch to version 5; its
// wide keys without a locale still compare by locale, read back as well.
TEST_F(LocaleFixesOffTest, VersionFiveDictionaryKeepsLocaleOrderForWideKeys) {
  DictPtr built = questionBank({.ownLocale = false, .refNr = true, .nested = false});
  addIndex(*built, u"ByKeyword", {u"KEYWORD"});
  built->CheckValid(true);
  ASSERT_EQ(built->Version(), 5);
  ASSERT_FALSE(built->UseByteOrderForWideString());
  DictPtr read = newDictionary();
  readDict(*read, writeDict(*built, 47501));
  for (TnxDataDictionary* d : {built.get(), read.get()}) {
    EXPECT_FALSE(d->UseByteOrderForWideString());
    TnxFieldsDescriptor* fields = d->FieldsDescriptor();
    const std::int32_t keyword = fields->GetFieldFromName(u"KEYWORD");
    auto record = [&](const std::u16string& aText) {
      std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
      fields->InitRecord(r.data());
      std::memcpy(r.data() + fields->Fields(keyword)->fdOffset, aText.c_str(), (aText.size() + 1) * 2);
      fields->SetRecordFieldNull(keyword, r.data(), false);
      return r;
    };
    TnxBaseKeyDescriptor* key = d->IndicesDescriptor()->GetDescriptorFromName(u"ByKeyword")->KeyDescriptor();
    TnxBaseKeyEngine* engine = TnxBaseKeyEngine::CreateFor(key);
    const auto a = record(u"a"), b = record(u"B");
    EXPECT_EQ(static_cast<TnxCompKeyEngine*>(engine)->CompareRecord(a.data(), b.data()), -1);
    platform::TObject::free(engine);
  }
}

}  // namespace
