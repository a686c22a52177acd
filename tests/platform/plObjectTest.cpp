#include "plObject.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

using platform::ClassInfo;
using platform::TObject;

namespace {

// Records what happened to the objects of one test.
struct Journal {
  int constructed = 0;
  int afterConstruction = 0;
  int beforeDestruction = 0;
  int destroyed = 0;
};
Journal* gJournal = nullptr;

class TAnimal : public TObject {
  PL_CLASS_INFO_DECL()
 public:
  TAnimal() {
    if (gJournal) ++gJournal->constructed;
  }
  ~TAnimal() override {
    if (gJournal) ++gJournal->destroyed;
  }
  void afterConstruction() override {
    if (gJournal) ++gJournal->afterConstruction;
    if (failAfterConstruction) throw std::runtime_error("init failed");
    constructedFully = true;
  }
  void beforeDestruction() override {
    if (gJournal) ++gJournal->beforeDestruction;
    if (refuseDestruction) throw std::runtime_error("still in use");
  }
  static std::string_view sound() { return "..."; }

  bool constructedFully = false;
  bool refuseDestruction = false;
  static inline bool failAfterConstruction = false;
};

class TDog : public TAnimal {
  PL_CLASS_INFO_DECL()
 public:
  static std::string_view sound() { return "woof"; }
};

class TPuppy : public TDog {
  PL_CLASS_INFO_DECL()
};

class TPlant : public TObject {
  PL_CLASS_INFO_DECL()
};

// A family's class-level functions: a virtual constructor with an argument
// and a class function that subclasses may redeclare.
struct AnimalClassFuncs {
  TAnimal* (*createNamed)(const std::string& aName);
  std::string_view (*sound)();
};
template <class T>
inline constexpr AnimalClassFuncs animalFuncs{[](const std::string&) -> TAnimal* { return platform::create<T>(); },
                                              &T::sound};

struct OtherFuncs {
  int (*value)();
};
inline constexpr OtherFuncs otherFuncs{[] { return 1; }};

PL_CLASS_INFO_IMPL_TABLE(TAnimal, TObject, "TAnimal", &platform::factoryFor<TAnimal>,
                         platform::bindClassTable(animalFuncs<TAnimal>))
PL_CLASS_INFO_IMPL_TABLE(TDog, TAnimal, "TDog", &platform::factoryFor<TDog>,
                         platform::bindClassTable(animalFuncs<TDog>))
PL_CLASS_INFO_IMPL_TABLE(TPuppy, TDog, "TPuppy", &platform::factoryFor<TPuppy>,
                         platform::bindClassTable(animalFuncs<TPuppy>))
PL_CLASS_INFO_IMPL_TABLE(TPlant, TObject, "TPlant", nullptr, platform::bindClassTable(otherFuncs))

class ObjectLife : public ::testing::Test {
 protected:
  void SetUp() override { gJournal = &journal; }
  void TearDown() override {
    gJournal = nullptr;
    TAnimal::failAfterConstruction = false;
  }
  Journal journal;
};

// The process-wide registry is shared by all tests: each test undoes its registrations.
class ClassRegistration : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const ClassInfo* c : {&TAnimal::staticClassInfo(), &TDog::staticClassInfo(), &TPuppy::staticClassInfo(),
                               &TPlant::staticClassInfo()})
      platform::unregisterClass(*c);
  }
};

}  // namespace

TEST(ClassMetadata, NamesParentsAndInheritance) {
  const TPuppy puppy;
  EXPECT_EQ(puppy.className(), "TPuppy");
  EXPECT_EQ(puppy.classParent(), &TDog::staticClassInfo());
  EXPECT_EQ(TDog::staticClassInfo().classParent(), &TAnimal::staticClassInfo());
  EXPECT_EQ(TObject::staticClassInfo().classParent(), nullptr);
  EXPECT_TRUE(puppy.classNameIs("tpuppy"));
  EXPECT_FALSE(puppy.classNameIs("TPupp"));

  struct Case {
    const ClassInfo& cls;
    const ClassInfo& ancestor;
    bool expected;
  } cases[] = {
      {TPuppy::staticClassInfo(), TPuppy::staticClassInfo(), true},
      {TPuppy::staticClassInfo(), TAnimal::staticClassInfo(), true},
      {TPuppy::staticClassInfo(), TObject::staticClassInfo(), true},
      {TAnimal::staticClassInfo(), TDog::staticClassInfo(), false},
      {TDog::staticClassInfo(), TPlant::staticClassInfo(), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.cls.inheritsFrom(c.ancestor), c.expected) << c.cls.name << " / " << c.ancestor.name;

  const TObject* asObject = &puppy;
  EXPECT_EQ(platform::objectAs<TDog>(asObject), &puppy);
  EXPECT_EQ(platform::objectAs<TPlant>(asObject), nullptr);
  EXPECT_EQ(platform::objectAs<TDog>(static_cast<const TObject*>(nullptr)), nullptr);
}

TEST(ClassMetadata, ClassTablesAreOwnAndTypeChecked) {
  // The class function resolves to the nearest redeclared static.
  EXPECT_EQ(TAnimal::staticClassInfo().table<AnimalClassFuncs>()->sound(), "...");
  EXPECT_EQ(TDog::staticClassInfo().table<AnimalClassFuncs>()->sound(), "woof");
  EXPECT_EQ(TPuppy::staticClassInfo().table<AnimalClassFuncs>()->sound(), "woof");

  // A class reference builds its own class through the table's virtual constructor.
  const ClassInfo& ref = TPuppy::staticClassInfo();
  TAnimal* a = ref.table<AnimalClassFuncs>()->createNamed("rex");
  EXPECT_EQ(a->className(), "TPuppy");
  EXPECT_TRUE(a->constructedFully);
  TObject::free(a);

  // A table of another type is not handed out under the wrong type.
  EXPECT_EQ(TPlant::staticClassInfo().table<AnimalClassFuncs>(), nullptr);
  EXPECT_EQ(TPlant::staticClassInfo().table<OtherFuncs>()->value(), 1);
  EXPECT_EQ(TObject::staticClassInfo().table<AnimalClassFuncs>(), nullptr);
}

TEST_F(ObjectLife, CreateRunsAfterConstructionOnceAndFreeRunsBeforeDestruction) {
  TAnimal* a = platform::create<TDog>();
  EXPECT_EQ(journal.constructed, 1);
  EXPECT_EQ(journal.afterConstruction, 1);
  EXPECT_TRUE(a->constructedFully);
  TObject::free(a);
  EXPECT_EQ(journal.beforeDestruction, 1);
  EXPECT_EQ(journal.destroyed, 1);
  TObject::free(nullptr);  // nil-safe
}

TEST_F(ObjectLife, ThrowingInitialisationDestroysTheObjectExactlyOnce) {
  TAnimal::failAfterConstruction = true;
  EXPECT_THROW(platform::create<TPuppy>(), std::runtime_error);
  EXPECT_EQ(journal.constructed, 1);
  EXPECT_EQ(journal.afterConstruction, 1);
  EXPECT_EQ(journal.destroyed, 1);
  // The hook of fully built objects is not run on a half-built one.
  EXPECT_EQ(journal.beforeDestruction, 0);
}

TEST_F(ObjectLife, ThrowingBeforeDestructionKeepsTheObjectAlive) {
  TAnimal* a = platform::create<TAnimal>();
  a->refuseDestruction = true;
  EXPECT_THROW(TObject::free(a), std::runtime_error);
  EXPECT_EQ(journal.destroyed, 0);
  // Still usable; a later free succeeds once allowed.
  EXPECT_TRUE(a->constructedFully);
  a->refuseDestruction = false;
  TObject::free(a);
  EXPECT_EQ(journal.beforeDestruction, 2);
  EXPECT_EQ(journal.destroyed, 1);
}

TEST_F(ClassRegistration, FindsClassesByNameInAnyCase) {
  platform::registerClass(TDog::staticClassInfo());
  platform::registerClass(TPuppy::staticClassInfo());
  EXPECT_EQ(platform::getClass("tdog"), &TDog::staticClassInfo());
  EXPECT_EQ(&platform::findClass("TPUPPY"), &TPuppy::staticClassInfo());
  EXPECT_EQ(platform::getClass("TDo"), nullptr);
  EXPECT_EQ(platform::getClass("TAnimal"), nullptr);
  EXPECT_THROW(platform::findClass("TAnimal"), platform::ClassNotFound);
}

TEST_F(ClassRegistration, FactoriesBuildTheNamedClass) {
  Journal journal;
  gJournal = &journal;
  platform::registerClass(TAnimal::staticClassInfo());
  platform::registerClass(TPuppy::staticClassInfo());
  TObject* o = platform::createObjectByName("tpuppy");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->classInfo().name, "TPuppy");
  EXPECT_TRUE(platform::objectAs<TAnimal>(o)->constructedFully);
  TObject::free(o);
  o = platform::createObjectByName("TAnimal");
  EXPECT_EQ(o->className(), "TAnimal");
  TObject::free(o);
  EXPECT_EQ(journal.destroyed, 2);
  gJournal = nullptr;

  platform::registerClass(TPlant::staticClassInfo());  // no factory
  EXPECT_THROW(platform::createObjectByName("TPlant"), platform::FilerError);
  EXPECT_THROW(platform::createObjectByName("TNothing"), platform::ClassNotFound);
}

TEST_F(ClassRegistration, DuplicatesAliasesAndUnregistration) {
  platform::registerClass(TDog::staticClassInfo());
  platform::registerClass(TDog::staticClassInfo());  // the same class again: nothing
  platform::registerClassAlias(TPuppy::staticClassInfo(), "TYoungDog");
  // Another class under a taken name, in any letter case, fails and keeps the first.
  EXPECT_THROW(platform::registerClassAlias(TPlant::staticClassInfo(), "tdog"), platform::FilerError);
  EXPECT_THROW(platform::registerClassAlias(TDog::staticClassInfo(), "TYOUNGDOG"), platform::FilerError);
  EXPECT_EQ(platform::getClass("TDog"), &TDog::staticClassInfo());
  EXPECT_EQ(platform::getClass("tyoungdog"), &TPuppy::staticClassInfo());

  platform::registerClass(TPuppy::staticClassInfo());
  platform::unregisterClass(TPuppy::staticClassInfo());  // with its alias
  EXPECT_EQ(platform::getClass("TPuppy"), nullptr);
  EXPECT_EQ(platform::getClass("TYoungDog"), nullptr);
  EXPECT_EQ(platform::getClass("TDog"), &TDog::staticClassInfo());
  platform::unregisterClass(TPuppy::staticClassInfo());  // not registered: ignored
}

TEST(ClassRegistryFamily, SortedEntriesAliasesAndRemoval) {
  platform::ClassRegistry family;
  EXPECT_TRUE(family.add(TPuppy::staticClassInfo()));
  EXPECT_TRUE(family.add(TDog::staticClassInfo()));
  EXPECT_TRUE(family.add("AOldDog", TDog::staticClassInfo()));
  EXPECT_FALSE(family.add("tpuppy", TAnimal::staticClassInfo()));
  EXPECT_EQ(family.find("TPUPPY"), &TPuppy::staticClassInfo());
  EXPECT_EQ(family.find("aolddog"), &TDog::staticClassInfo());

  auto all = family.entries(true);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, "AOldDog");
  EXPECT_EQ(all[1].name, "TDog");
  EXPECT_EQ(all[2].name, "TPuppy");
  auto own = family.entries(false);
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[0].name, "TDog");

  EXPECT_EQ(family.removeClass(TDog::staticClassInfo()), 2u);
  EXPECT_EQ(family.find("AOldDog"), nullptr);
  EXPECT_EQ(family.removeClass(TPuppy::staticClassInfo()), 1u);
  EXPECT_TRUE(family.empty());
}

TEST(ClassRegistryFamily, NameComparisonIgnoresAsciiCaseOnly) {
  EXPECT_EQ(platform::compareClassNames("TnxFieldDescriptor", "tnxfielddescriptor"), 0);
  EXPECT_LT(platform::compareClassNames("TA", "tb"), 0);
  EXPECT_LT(platform::compareClassNames("T", "TA"), 0);
  EXPECT_GT(platform::compareClassNames("T_", "TA"), 0);  // '_' above 'A' after upper-casing
  EXPECT_NE(platform::compareClassNames("T\xC3\xA4", "T\xC3\x84"), 0);  // no folding beyond ASCII
}
