// The auto-increment counter: start values, steps, the wrap of the start
// state, the top of the range and the counter on disk.
#include <gtest/gtest.h>

#include "nxseAutoIncEngineSimple.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

class AutoIncTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseAutoIncEngineSimpleInitialize();
  }
  void TearDown() override {
    engine_.reset();
    access_.reset();
    nxseAutoIncEngineSimpleFinalize();
    TableTest::TearDown();
  }
  void closeTables() {
    engine_.reset();
    access_.reset();
    closeAll();
    tables_.clear();
  }

  // A new table whose counter starts at aInitial with aStep (a plain
  // descriptor when aAdvanced is false).
  TnxBaseAutoIncEngine* create(std::uint32_t aInitial = 1, std::uint32_t aStep = 1, bool aAdvanced = true) {
    TnxServerDataDict* dict = newDictionary();
    if (aAdvanced) {
      auto* d = platform::objectAs<TnxAdvAutoIncDescriptor>(
          dict->AddAutoIncDescriptor(&TnxAdvAutoIncDescriptor::staticClassInfo()));
      d->SetInitialValue(aInitial);
      d->SetStep(aStep);
    } else {
      dict->AddAutoIncDescriptor();
    }
    Table& t = createTable(dict);
    TnxOwned<TestTransaction> trans(newTransaction());
    attachEngine(t, trans.get());
    trans->Commit();
    return engine_.get();
  }
  void attachEngine(Table& t, TnxBaseTransaction* aTrans) {
    engine_.reset();
    access_.reset(platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", t.dict->AutoIncDescriptor()->ID()));
    engine_.reset(TnxBaseAutoIncEngine::CreateEngine(t.dict.get(), {access_.get()}, aTrans));
  }
  std::vector<std::uint32_t> next(int aCount) {
    TnxOwned<TestTransaction> trans(newTransaction());
    std::vector<std::uint32_t> values;
    for (int i = 0; i < aCount; ++i) values.push_back(engine_->NextAutoIncValue(trans.get(), nullptr));
    trans->Commit();
    return values;
  }
  void set(std::uint32_t aValue) {
    TnxOwned<TestTransaction> trans(newTransaction());
    engine_->SetAutoIncValue(trans.get(), aValue);
    trans->Commit();
  }

  TnxOwned<TnxBlockAccess> access_;
  TnxOwned<TnxBaseAutoIncEngine> engine_;
};

TEST_F(AutoIncTest, StartValuesAndSteps) {
  struct Case {
    std::uint32_t initial, step;
    bool advanced;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {1, 1, false, {1, 2, 3}},
      {100, 10, true, {100, 110, 120}},
      // Initial below the step: the start state lies above the top and
      // wraps to initial + step.
      {1, 10, true, {11, 21}},
  };
  for (const Case& c : cases) {
    closeTables();
    create(c.initial, c.step, c.advanced);
    EXPECT_EQ(next(static_cast<int>(c.expected.size())), c.expected) << c.initial << "/" << c.step;
  }
}

TEST_F(AutoIncTest, ReadShowsTheStartStateAndNextHandsOutThePreviousValue) {
  create(5, 2);
  EXPECT_EQ(engine_->ReadAutoIncValue(nullptr), 3u);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::uint32_t before = 0;
  EXPECT_EQ(engine_->NextAutoIncValue(trans.get(), &before), 5u);
  EXPECT_EQ(before, 3u);
  EXPECT_EQ(engine_->ReadAutoIncValue(trans.get()), 5u);
  trans->Rollback();
  EXPECT_EQ(engine_->ReadAutoIncValue(nullptr), 3u);
}

TEST_F(AutoIncTest, SetValueIsTakenAsItIs) {
  create(1, 7);
  set(1000);
  EXPECT_EQ(next(1), std::vector<std::uint32_t>{1007});
  set(10);  // no check that the counter grows
  EXPECT_EQ(next(1), std::vector<std::uint32_t>{17});
}

TEST_F(AutoIncTest, TopOfTheRange) {
  create();
  set(4294967294u);
  EXPECT_EQ(next(1), std::vector<std::uint32_t>{4294967295u});
  TnxOwned<TestTransaction> trans(newTransaction());
  expectFailsWith(9731, "Maximum AutoInc value has been reached",
                  [&] { engine_->NextAutoIncValue(trans.get(), nullptr); });
  EXPECT_EQ(engine_->ReadAutoIncValue(trans.get()), 4294967295u);  // unchanged
  trans->Rollback();

  // With a larger step the refusal comes before the top is passed.
  closeTables();
  create(1, 10);
  set(4294967285u);
  EXPECT_EQ(next(1), std::vector<std::uint32_t>{4294967295u});
  set(4294967286u);
  TnxOwned<TestTransaction> again(newTransaction());
  expectFails(9731, [&] { engine_->NextAutoIncValue(again.get(), nullptr); });
  again->Rollback();
}

TEST_F(AutoIncTest, CounterLivesInItsHeaderSectionAcrossReopen) {
  create(100, 10);
  next(3);
  closeTables();
  Table& t = openExisting();
  attachEngine(t, nullptr);
  EXPECT_EQ(engine_->ReadAutoIncValue(nullptr), 120u);
  EXPECT_EQ(next(1), std::vector<std::uint32_t>{130});
  EXPECT_EQ(checkFile(), "");
}

}  // namespace
