// Dictionaries built while the program runs with "/Disable30900LocaleFixes":
// they stay at version 3 and compare wide strings by locale.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
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

}  // namespace
