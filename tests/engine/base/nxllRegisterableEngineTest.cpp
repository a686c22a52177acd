#include "nxllRegisterableEngine.h"

#include <gtest/gtest.h>

#include <string>

#include "plStringList.h"

namespace {

// Two descriptor families and one engine family, as the dictionary modules
// declare them.
class TFieldDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  static TnxClassList& GetList() {
    static TnxClassList list = nullptr;
    return list;
  }
};
PL_CLASS_INFO_IMPL(TFieldDescriptor, TnxBaseRegisterableDescriptor, "TnxFieldDescriptor", nullptr)

class TWideFieldDescriptor : public TFieldDescriptor {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(TWideFieldDescriptor, TFieldDescriptor, "TnxWideFieldDescriptor", nullptr)

class TFieldValidationsDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  static TnxClassList& GetList() {
    static TnxClassList list = nullptr;
    return list;
  }
};
PL_CLASS_INFO_IMPL(TFieldValidationsDescriptor, TnxBaseRegisterableDescriptor, "TnxFieldValidationsDescriptor",
                   nullptr)

class TBaseDefaultValueEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  static TnxClassList& GetList() {
    static TnxClassList list = nullptr;
    return list;
  }
};
PL_CLASS_INFO_IMPL(TBaseDefaultValueEngine, TnxBaseRegisterableEngine, "TnxBaseDefaultValueEngine", nullptr)

class TConstDefaultValueEngine : public TBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(TConstDefaultValueEngine, TBaseDefaultValueEngine, "TnxConstDefaultValueEngine", nullptr)

// A module's start-up and finalisation, in the order the program runs them.
void startDictionaryModule() {
  TnxDescriptorClass<TFieldDescriptor>::Register();
  TnxDescriptorClass<TWideFieldDescriptor>::Register();
  TnxDescriptorClass<TFieldValidationsDescriptor>::Register();
  TnxDescriptorClass<TFieldValidationsDescriptor>::Register("TnxValidationsDescriptor");
  TnxEngineClass<TConstDefaultValueEngine>::Register();
}
void stopDictionaryModule() {
  TnxEngineClass<TConstDefaultValueEngine>::Unregister();
  TnxDescriptorClass<TFieldValidationsDescriptor>::Unregister();
  TnxDescriptorClass<TWideFieldDescriptor>::Unregister();
  TnxDescriptorClass<TFieldDescriptor>::Unregister();
}

class NxRegisterableEngine : public ::testing::Test {
 protected:
  void SetUp() override { startDictionaryModule(); }
  void TearDown() override {
    stopDictionaryModule();
    EXPECT_EQ(TFieldDescriptor::GetList(), nullptr);
    EXPECT_EQ(TFieldValidationsDescriptor::GetList(), nullptr);
    EXPECT_EQ(TBaseDefaultValueEngine::GetList(), nullptr);
  }
};

TEST_F(NxRegisterableEngine, FindsByNameIgnoringCaseAndByAlias) {
  using Fields = TnxDescriptorClass<TFieldDescriptor>;
  using Validations = TnxDescriptorClass<TFieldValidationsDescriptor>;
  EXPECT_EQ(Fields::FindDescriptorClass("tnxfielddescriptor"), &TFieldDescriptor::staticClassInfo());
  // A subclass asks its family's registry.
  EXPECT_EQ(TnxDescriptorClass<TWideFieldDescriptor>::FindDescriptorClass("TNXWIDEFIELDDESCRIPTOR"),
            &TWideFieldDescriptor::staticClassInfo());
  EXPECT_EQ(Validations::FindDescriptorClass("TnxValidationsDescriptor"),
            &TFieldValidationsDescriptor::staticClassInfo());
  // Families do not see each other's classes.
  EXPECT_EQ(Fields::FindDescriptorClass("TnxValidationsDescriptor"), nullptr);
  EXPECT_EQ(Fields::FindDescriptorClass("TnxUnknownDescriptor"), nullptr);
  EXPECT_EQ(Fields::FindDescriptorClass(""), nullptr);

  auto withAliases = Validations::GetRegisteredDescriptors(true);
  ASSERT_EQ(withAliases.size(), 2u);
  EXPECT_EQ(withAliases[0].name, "TnxFieldValidationsDescriptor");
  EXPECT_EQ(withAliases[1].name, "TnxValidationsDescriptor");
  auto withoutAliases = Validations::GetRegisteredDescriptors(false);
  ASSERT_EQ(withoutAliases.size(), 1u);
  EXPECT_EQ(withoutAliases[0].name, "TnxFieldValidationsDescriptor");
}

TEST_F(NxRegisterableEngine, DuplicateNameFailsAndKeepsTheFirst) {
  EXPECT_THROW(TnxDescriptorClass<TWideFieldDescriptor>::Register("TNXFIELDDESCRIPTOR"), platform::StringListError);
  EXPECT_EQ(TnxDescriptorClass<TFieldDescriptor>::FindDescriptorClass("TnxFieldDescriptor"),
            &TFieldDescriptor::staticClassInfo());
  EXPECT_EQ(TnxDescriptorClass<TFieldDescriptor>::GetRegisteredDescriptors(true).size(), 2u);
}

TEST_F(NxRegisterableEngine, DescriptorFindsItsEngineByName) {
  EXPECT_EQ(nxDescriptorToEngineName("TnxConstDefaultValueDescriptor"), "TnxConstDefaultValueEngine");
  EXPECT_EQ(nxDescriptorToEngineName("TnxDescriptorDESCRIPTORx"), "TnxEngineEnginex");
  EXPECT_EQ(nxDescriptorToEngineName("TnxTokenIndexDescriptor", "TableEngine"), "TnxTokenIndexTableEngine");
  EXPECT_EQ(nxDescriptorToEngineName("TnxDescripto"), "TnxDescripto");

  EXPECT_EQ(&nxFindEngineForDescriptor(TBaseDefaultValueEngine::GetList(), "TnxConstDefaultValueDescriptor",
                                       "DefaultValue"),
            &TConstDefaultValueEngine::staticClassInfo());
  try {
    nxFindEngineForDescriptor(TBaseDefaultValueEngine::GetList(), "TnxAutoGuidDefaultValueDescriptor",
                              "DefaultValue");
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_STREQ(e.what(), "DazavAV: Unknown DefaultValue engine: \"TnxAutoGuidDefaultValueEngine\" [$3C8F/15503]");
  }
}

TEST(NxRegisterableEngineFamilies, EmptyFamilyFindsNothingAndRootsBelongToNone) {
  using Engines = TnxEngineClass<TBaseDefaultValueEngine>;
  EXPECT_EQ(Engines::FindEngineClass("TnxConstDefaultValueEngine"), nullptr);
  EXPECT_TRUE(Engines::GetRegisteredEngines(true).empty());
  EXPECT_THROW(nxFindEngineForDescriptor(TBaseDefaultValueEngine::GetList(), "TnxConstDefaultValueDescriptor",
                                         "DefaultValue"),
               EnxBaseException);
  EXPECT_NO_THROW(Engines::Unregister());

  // Freed outright by the module that declares the family.
  TnxEngineClass<TConstDefaultValueEngine>::Register();
  nxFreeClassList(TBaseDefaultValueEngine::GetList());
  EXPECT_EQ(Engines::FindEngineClass("TnxConstDefaultValueEngine"), nullptr);

  EXPECT_THROW(TnxEngineClass<TnxBaseRegisterableEngine>::Register(), platform::RuntimeError);
  EXPECT_THROW(TnxDescriptorClass<TnxBaseRegisterableDescriptor>::FindDescriptorClass("x"), platform::RuntimeError);
}

}  // namespace
