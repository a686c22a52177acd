// Variant lists: lazily allocated entries, the two GetValue forms, locales,
// typed entries, interface lookup and index checks.
#include "nxsqlBaseVariantList.h"

#include <gtest/gtest.h>

#include "nxsdDataDictionaryItems.h"

namespace {

using platform::Variant;

// A distinct non-null locale pointer; the lists never dereference it.
TnxLocaleDescriptor* fakeLocale(int aTag) {
  static char slots[4];
  return reinterpret_cast<TnxLocaleDescriptor*>(&slots[aTag]);
}

TEST(SqlVariantList, NewListHasItsCapacityAndNoEntries) {
  TnxIntfPtr<InxVariantList> list;
  nxNewVariantList(3, list);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->GetCount(), 3);
  for (std::int32_t i = 0; i < 3; ++i) {
    Variant v = Variant(7);
    EXPECT_EQ(list->GetValue(i, v), nxE_UNEXPECTED);
    EXPECT_EQ(list->GetValuePtr(i), nullptr);
    TnxLocaleDescriptor* locale = fakeLocale(0);
    EXPECT_EQ(list->GetValue(i, locale, v), nxS_OK);
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(locale, nullptr);
  }
}

TEST(SqlVariantList, IndexChecks) {
  TnxIntfPtr<InxVariantList> list;
  nxNewVariantList(2, list);
  list->SetValue(1, Variant(5));
  Variant v;
  TnxLocaleDescriptor* locale = fakeLocale(0);
  struct Case {
    std::int32_t index;
    bool present;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {2, false}, {1000, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(list->GetValue(c.index, v), c.present ? nxS_OK : nxE_UNEXPECTED) << c.index;
    EXPECT_EQ(list->GetValuePtr(c.index) != nullptr, c.present) << c.index;
    EXPECT_EQ(list->GetValue(c.index, locale, v), nxS_OK);
    EXPECT_EQ(v.isNull(), !c.present);
  }
  EXPECT_THROW(list->SetValue(2, Variant(1)), platform::AssertionFailed);
  EXPECT_THROW(list->SetValue(-1, Variant(1), nullptr), platform::AssertionFailed);
  EXPECT_THROW(list->GetLocale(0), platform::AssertionFailed);  // entry missing
  EXPECT_THROW(list->GetValueFast(0), platform::AssertionFailed);
}

TEST(SqlVariantList, ValueOnlySetKeepsTheLocaleAndValuesAreCopies) {
  TnxIntfPtr<InxVariantList> list;
  nxNewVariantList(3, list);
  list->SetValue(1, Variant(u"abc"), fakeLocale(1));
  list->SetValue(1, Variant(u"xyz"));
  EXPECT_EQ(list->GetLocale(1), fakeLocale(1));
  EXPECT_EQ(list->GetValueFast(1).toString(), u"xyz");
  list->SetValue(1, Variant(2), nullptr);
  EXPECT_EQ(list->GetLocale(1), nullptr);

  Variant out;
  ASSERT_EQ(list->GetValue(1, out), nxS_OK);
  out = Variant(99);  // a copy: the entry keeps its value
  EXPECT_EQ(list->GetValueFast(1).toInt32(), 2);
  *list->GetValuePtr(1) = Variant(3);  // the pointer reaches the entry itself
  EXPECT_EQ(list->GetValueFast(1).toInt32(), 3);
}

TEST(SqlVariantList, TypedEntriesKeepTypeAndSizeUnderSetValueOnly) {
  TnxIntfPtr<InxTypedVariantList> list;
  nxNewTypedVariantList(2, list);
  list->SetValue(0, Variant(u"ab"), fakeLocale(2), nxtWideString, 40);
  list->SetValueOnly(0, Variant(u"cd"));
  EXPECT_EQ(list->GetType(0), nxtWideString);
  EXPECT_EQ(list->GetLocale(0), fakeLocale(2));
  EXPECT_EQ(list->GetValueFast(0).toString(), u"cd");
  EXPECT_THROW(list->SetValueOnly(1, Variant(1)), platform::AssertionFailed);
  EXPECT_THROW(list->GetType(1), platform::AssertionFailed);
}

TEST(SqlVariantList, InterfacesAnsweredByEachClass) {
  TnxIntfPtr<InxVariantList> plain;
  nxNewVariantList(1, plain);
  TnxIntfPtr<InxTypedVariantList> typed;
  nxNewTypedVariantList(1, typed);
  EXPECT_FALSE(nxSupports<InxTypedVariantList>(plain.get()));
  EXPECT_TRUE(nxSupports<InxVariantListSimple>(plain.get()));
  EXPECT_TRUE(nxSupports<InxTypedVariantList>(typed.get()));
  TnxIntfPtr<InxVariantList> asPlain = nxSupports<InxVariantList>(typed.get());
  ASSERT_TRUE(asPlain);
  asPlain->SetValue(0, Variant(8));
  EXPECT_EQ(typed->GetValueFast(0).toInt32(), 8);  // one list behind both interfaces
  TnxIntfPtr<InxVariantListSimple> simple = nxSupports<InxVariantListSimple>(typed.get());
  Variant v;
  EXPECT_EQ(simple->GetValue(0, v), nxS_OK);
  EXPECT_EQ(v.toInt32(), 8);
}

}  // namespace
