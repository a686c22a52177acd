// Compiled filter texts evaluated by the engine's simple-expression filter
// over engine records: the compiler and the evaluator agree on the layout.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../../engine/dictionary/nxsdKeyEngineTestSupport.h"
#include "nxsdFilterEngineSimpleExpression.h"
#include "plDbFilter.h"

// The dictionary tests define the table class in their own executable.
PL_CLASS_INFO_IMPL(nxsdkeytest::KeyTable, TnxDictionaryItem, "KeyTable", nullptr)

namespace {

using Record = std::vector<std::uint8_t>;

class CompiledFilterTest : public nxsdkeytest::KeyEngineTest {
 protected:
  void SetUp() override {
    KeyEngineTest::SetUp();
    id = AddField(u"ID", nxtInt32);
    name = AddField(u"NAME", nxtNullString, 10);
    a = AddField(u"A", nxtInt32);
    b = AddField(u"B", nxtNullString, 10);
    d = AddField(u"D", nxtDate);
  }
  static bool Resolve(platform::UnicodeStringView aName, platform::TFilterField& aField) {
    static const std::pair<const char16_t*, platform::TFieldType> fields[] = {
        {u"ID", platform::ftInteger}, {u"NAME", platform::ftString}, {u"A", platform::ftInteger},
        {u"B", platform::ftString}, {u"D", platform::ftDate}};
    for (int i = 0; i < 5; ++i)
      if (platform::sameTextAscii(aName, fields[i].first)) {
        aField = platform::TFilterField{i + 1, fields[i].second};
        return true;
      }
    return false;
  }
  bool Matches(const std::vector<std::uint8_t>& aExpr, const Record& aRecord) {
    nxsdkeytest::Owned<TnxSimpleExpressionFilterDescriptor> descriptor(
        platform::create<TnxSimpleExpressionFilterDescriptor>(std::make_shared<const std::vector<std::uint8_t>>(aExpr),
                                                              932));
    nxsdkeytest::Owned<TnxBaseFilterEngine> engine(
        TnxBaseFilterEngine::CreateFor(descriptor.get(), TnxIntfPtr<InxFieldsSource>(table.fields)));
    engine->SetActive(true);
    return engine->MatchesBuffer(aRecord.data());
  }
  Record Row(std::int32_t aId, const std::string& aName, std::int32_t aA, const char* aB, std::int32_t aDay) {
    Record r = NewRecord();
    Set<std::int32_t>(r, id, aId);
    SetNull(r, name, aName);
    Set<std::int32_t>(r, a, aA);
    if (aB) SetNull(r, b, aB);
    Set<std::int32_t>(r, d, aDay);
    return r;
  }
  std::int32_t id = 0, name = 0, a = 0, b = 0, d = 0;
};

TEST_F(CompiledFilterTest, EngineMatchesTheExpectedRecords) {
  // 2025-04-19, -20 and 2025-05-01 as day numbers from 0001-01-01.
  const std::vector<Record> rows = {Row(5, "\x83\x41\x83\x43", 2, "x", 739361),  // アイ
                                    Row(6, "\x83\x43", 0, nullptr, 739360),      // イ
                                    Row(7, "\x83\x41z", 3, nullptr, 739372)};    // アz
  struct Case {
    const char16_t* text;
    platform::TFilterOptions options;
    std::vector<bool> expected;
  } cases[] = {
      {u"ID = 5", {}, {true, false, false}},
      {u"NAME = 'ア*'", {}, {true, false, true}},
      {u"A > 1 AND NOT B IS NULL", {}, {true, false, false}},
      {u"D >= '2025/04/20'", {}, {true, false, true}},
      {u"B LIKE '%X%'", {platform::foCaseInsensitive}, {true, false, false}},
      {u"NAME <> 'アイ' OR ID = 5", {}, {true, true, true}},
  };
  for (const Case& c : cases) {
    const auto expr = platform::compileFilter(c.text, c.options, 932, Resolve);
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(Matches(expr, rows[i]), c.expected[i]) << platform::toUtf8(c.text) << " row " << i;
  }
}

}  // namespace
