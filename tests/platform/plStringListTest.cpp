#include "plStringList.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "plString.h"

using platform::Duplicates;
using platform::StringListError;
using platform::TObject;
using platform::TStringList;
using platform::UnicodeString;

namespace {

std::vector<std::string> contents(const TStringList& l) {
  std::vector<std::string> out;
  for (int i = 0; i < l.count(); ++i) out.push_back(platform::toUtf8(l.strings(i)));
  return out;
}

void fill(TStringList& l, std::initializer_list<const char16_t*> items) {
  for (const char16_t* s : items) l.add(s);
}

using Strings = std::vector<std::string>;

TObject objA, objB, objC;

}  // namespace

TEST(StringList, DuplicatesRulesOfSortedLists) {
  {
    TStringList l(Duplicates::ignore);
    fill(l, {u"b", u"a", u"c"});
    l.putObject(1, &objA);
    EXPECT_EQ(l.addObject(u"B", &objB), 1);  // equal ignoring case: existing index
    EXPECT_EQ(contents(l), (Strings{"a", "b", "c"}));
    EXPECT_EQ(l.objects(1), &objA);  // object not replaced
  }
  {
    TStringList l(Duplicates::error);
    fill(l, {u"b", u"a"});
    EXPECT_THROW(l.add(u"A"), StringListError);
    EXPECT_EQ(contents(l), (Strings{"a", "b"}));
  }
  {
    TStringList l(Duplicates::accept);
    fill(l, {u"b", u"a"});
    l.putObject(1, &objA);
    EXPECT_EQ(l.addObject(u"B", &objB), 1);  // before the equal one
    EXPECT_EQ(contents(l), (Strings{"a", "B", "b"}));
    int index = -1;
    EXPECT_TRUE(l.find(u"b", index));
    EXPECT_EQ(index, 1);  // the first of the equal strings
  }
  {
    TStringList l;  // unsorted lists keep everything
    l.setDuplicates(Duplicates::error);
    fill(l, {u"x", u"x"});
    EXPECT_EQ(l.count(), 2);
  }
}

TEST(StringList, CaseInsensitiveComparisonFoldsUnicode) {
  TStringList l;
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool equalInsensitive;
  } cases[] = {
      {u"abc", u"ABC", true},
      {u"\u00c4rger", u"\u00e4RGER", true},  // Ä / ä
      {u"stra\u00dfe", u"STRASSE", true},     // ß folds to ss
      {u"\u0391\u03b2", u"\u03b1\u0392", true},
      {u"abc", u"abd", false},
      {u"ab", u"abc", false},
  };
  for (const auto& c : cases) {
    l.setCaseSensitive(false);
    EXPECT_EQ(l.compareStrings(c.a, c.b) == 0, c.equalInsensitive) << platform::toUtf8(c.a);
    l.setCaseSensitive(true);
    EXPECT_EQ(l.compareStrings(c.a, c.b) == 0, UnicodeString(c.a) == c.b);
  }
  // Case-sensitive order is by code units: upper-case ASCII first.
  EXPECT_LT(l.compareStrings(u"B", u"a"), 0);
  l.setCaseSensitive(false);
  EXPECT_GT(l.compareStrings(u"B", u"a"), 0);
}

TEST(StringList, SortedListFindsByBinarySearchAndResortsOnCaseChange) {
  TStringList l(Duplicates::accept);
  fill(l, {u"delta", u"Bravo", u"alpha", u"charlie"});
  EXPECT_EQ(contents(l), (Strings{"alpha", "Bravo", "charlie", "delta"}));
  int index = -1;
  EXPECT_TRUE(l.find(u"CHARLIE", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(l.find(u"bz", index));
  EXPECT_EQ(index, 2);  // insertion point
  EXPECT_FALSE(l.find(u"zulu", index));
  EXPECT_EQ(index, 4);
  EXPECT_EQ(l.indexOf(u"ALPHA"), 0);
  EXPECT_EQ(l.indexOf(u"echo"), -1);

  l.setCaseSensitive(true);  // ordinal: "Bravo" moves first
  EXPECT_EQ(contents(l), (Strings{"Bravo", "alpha", "charlie", "delta"}));
  EXPECT_EQ(l.indexOf(u"ALPHA"), -1);

  TStringList empty(Duplicates::ignore);
  EXPECT_FALSE(empty.find(u"a", index));
  EXPECT_EQ(index, 0);
}

TEST(StringList, UnsortedIndexOfAndSorting) {
  TStringList l;
  fill(l, {u"pear", u"Apple", u"fig"});
  l.putObject(0, &objA);
  l.putObject(1, &objB);
  l.putObject(2, &objC);
  EXPECT_EQ(l.indexOf(u"APPLE"), 1);  // linear search with the list's comparison
  EXPECT_EQ(l.indexOfObject(&objC), 2);

  l.customSort([](const TStringList& list, int a, int b) {
    return static_cast<int>(list.strings(a).size()) - static_cast<int>(list.strings(b).size());
  });
  EXPECT_EQ(contents(l), (Strings{"fig", "pear", "Apple"}));
  EXPECT_EQ(l.objects(0), &objC);  // objects travel with their strings
  EXPECT_EQ(l.objects(2), &objB);

  l.setSorted(true);
  EXPECT_EQ(contents(l), (Strings{"Apple", "fig", "pear"}));
  EXPECT_EQ(l.objects(0), &objB);
  EXPECT_EQ(l.add(u"banana"), 1);
}

TEST(StringList, IndexErrorsNameTheIndexAndChangeNothing) {
  TStringList l;
  fill(l, {u"a", u"b", u"c"});
  try {
    l.strings(3);
    FAIL();
  } catch (const StringListError& e) {
    EXPECT_NE(std::string(e.what()).find("(3)"), std::string::npos) << e.what();
  }
  EXPECT_THROW(l.strings(-1), StringListError);
  EXPECT_THROW(l.objects(3), StringListError);
  EXPECT_THROW(l.put(3, u"x"), StringListError);
  EXPECT_THROW(l.insert(4, u"x"), StringListError);
  EXPECT_THROW(l.deleteAt(-1), StringListError);
  EXPECT_THROW(l.exchange(0, 3), StringListError);
  EXPECT_THROW(l.move(0, 3), StringListError);
  EXPECT_THROW(l.move(3, 0), StringListError);
  EXPECT_EQ(contents(l), (Strings{"a", "b", "c"}));
  l.insert(3, u"d");  // at the end is a valid place
  EXPECT_EQ(l.count(), 4);
  // A base-class list error catches the string-list error.
  EXPECT_THROW(l.deleteAt(9), platform::ListError);
}

TEST(StringList, PositionalOperations) {
  TStringList l;
  fill(l, {u"A", u"B", u"C"});
  l.putObject(2, &objC);
  l.move(2, 0);
  EXPECT_EQ(contents(l), (Strings{"C", "A", "B"}));
  EXPECT_EQ(l.objects(0), &objC);
  l.move(0, 2);
  EXPECT_EQ(contents(l), (Strings{"A", "B", "C"}));
  l.exchange(0, 2);
  EXPECT_EQ(contents(l), (Strings{"C", "B", "A"}));
  EXPECT_EQ(l.objects(0), &objC);
  l.put(1, u"b");
  l.deleteAt(0);
  EXPECT_EQ(contents(l), (Strings{"b", "A"}));
}

TEST(StringList, SortedListsRefusePositionalChanges) {
  TStringList l(Duplicates::ignore);
  fill(l, {u"a", u"b", u"c"});
  EXPECT_THROW(l.insert(0, u"z"), StringListError);
  EXPECT_THROW(l.put(0, u"z"), StringListError);
  EXPECT_THROW(l.exchange(0, 2), StringListError);
  EXPECT_THROW(l.move(2, 0), StringListError);
  EXPECT_EQ(contents(l), (Strings{"a", "b", "c"}));
  l.customSort([](const TStringList&, int a, int b) { return b - a; });  // kept sorted: no effect
  EXPECT_EQ(contents(l), (Strings{"a", "b", "c"}));
}

TEST(StringList, NameValuePairs) {
  TStringList l;
  fill(l, {u"Table=T1", u"novalue", u"Code=", u"=anonymous", u"Key=a=b"});
  EXPECT_EQ(platform::toUtf8(l.names(0)), "Table");
  EXPECT_EQ(l.names(1), u"");
  EXPECT_EQ(l.valueFromIndex(1), u"");
  EXPECT_EQ(l.names(3), u"");
  EXPECT_EQ(l.values(u"key"), u"a=b");  // first separator splits; names ignore case
  EXPECT_EQ(l.indexOfName(u"CODE"), 2);
  EXPECT_EQ(l.indexOfName(u"novalue"), -1);
  EXPECT_EQ(l.values(u"missing"), u"");

  l.setValue(u"table", u"T2");
  EXPECT_EQ(l.strings(0), u"table=T2");
  l.setValue(u"New", u"1");
  EXPECT_EQ(l.strings(l.count() - 1), u"New=1");
  l.setValue(u"Key", u"");
  EXPECT_EQ(l.indexOfName(u"Key"), -1);
  EXPECT_EQ(l.count(), 5);

  l.setNameValueSeparator(u':');
  l.add(u"Host:local");
  EXPECT_EQ(l.values(u"host"), u"local");

  TStringList sortedList(Duplicates::error);
  fill(sortedList, {u"b=2", u"c=3"});
  sortedList.setValue(u"B", u"9");
  sortedList.setValue(u"a", u"1");
  EXPECT_EQ(contents(sortedList), (Strings{"a=1", "B=9", "c=3"}));
}

TEST(StringList, DelimitedTextWriting) {
  struct Case {
    std::vector<const char16_t*> items;
    const char16_t* comma;
  } cases[] = {
      {{}, u""},
      {{u""}, u"\"\""},
      {{u"a", u"b"}, u"a,b"},
      {{u"a b", u"c,d", u"say \"hi\"", u""}, u"\"a b\",\"c,d\",\"say \"\"hi\"\"\","},
      {{u"", u"x"}, u",x"},
      {{u"tab\there"}, u"\"tab\there\""},
      {{u"\u65e5\u672c"}, u"\u65e5\u672c"},
  };
  for (const auto& c : cases) {
    TStringList l;
    for (const char16_t* s : c.items) l.add(s);
    EXPECT_EQ(l.commaText(), c.comma) << platform::toUtf8(c.comma);
  }

  TStringList l;
  fill(l, {u"a b", u"c;d", u"e"});
  l.setDelimiter(u';');
  l.setQuoteChar(u'\'');
  EXPECT_EQ(l.delimitedText(), u"'a b';'c;d';e");
  l.setStrictDelimiter(true);
  EXPECT_EQ(l.delimitedText(), u"a b;'c;d';e");
  EXPECT_EQ(l.commaText(), u"\"a b\",c;d,e");  // comma text is never strict
}

TEST(StringList, DelimitedTextReading) {
  struct Case {
    const char16_t* text;
    Strings items;
  } cases[] = {
      {u"", {}},
      {u"   ", {}},
      {u"\"\"", {""}},
      {u"a,b,c", {"a", "b", "c"}},
      {u"a, b ,c", {"a", "b", "c"}},
      {u"a b", {"a", "b"}},  // blanks separate items too
      {u"a,,b", {"a", "", "b"}},
      {u"a,", {"a", ""}},
      {u",a", {"", "a"}},
      {u"\"a b\",\"c,d\"", {"a b", "c,d"}},
      {u"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {u"\"ab\"cd", {"ab", "cd"}},
      {u"\"unterminated", {"unterminated"}},
  };
  for (const auto& c : cases) {
    TStringList l;
    l.add(u"old");
    l.setCommaText(c.text);
    EXPECT_EQ(contents(l), c.items) << platform::toUtf8(c.text);
  }

  TStringList strict;
  strict.setStrictDelimiter(true);
  strict.setDelimiter(u'|');
  strict.setDelimitedText(u" a b | c|\"d|e\"|");
  EXPECT_EQ(contents(strict), (Strings{" a b ", " c", "d|e", ""}));
}

TEST(StringList, DelimitedTextRoundTrips) {
  const std::vector<std::vector<const char16_t*>> lists = {
      {u""}, {u"", u""}, {u"a\"b", u" lead", u"trail ", u"x,y"}, {u"\r\n", u"\u3042 \u3044"}};
  for (const auto& items : lists) {
    TStringList source;
    for (const char16_t* s : items) source.add(s);
    TStringList copy;
    copy.setCommaText(source.commaText());
    EXPECT_TRUE(copy.equals(source)) << platform::toUtf8(source.commaText());
  }
}

TEST(StringList, TextWithLineBreaks) {
  TStringList l;
  fill(l, {u"a", u"", u"b"});
  EXPECT_EQ(l.text(), u"a\r\n\r\nb\r\n");

  struct Case {
    const char16_t* text;
    Strings lines;
  } cases[] = {
      {u"", {}},
      {u"\r\n", {""}},
      {u"a\r\nb\r\n", {"a", "b"}},
      {u"a\nb", {"a", "b"}},
      {u"a\rb\r", {"a", "b"}},
      {u"\r\r", {"", ""}},
      {u"a\n\rb", {"a", "", "b"}},
  };
  for (const auto& c : cases) {
    l.setText(c.text);
    EXPECT_EQ(contents(l), c.lines) << platform::toUtf8(c.text);
  }

  l.setLineBreak(u"|");
  l.setText(u"x|y\nz|");
  EXPECT_EQ(contents(l), (Strings{"x", "y\nz"}));
  EXPECT_EQ(l.text(), u"x|y\nz|");
}

TEST(StringList, ChangeNotification) {
  TStringList l;
  std::vector<std::string> events;
  l.onChanging = [&](TStringList& sender) {
    EXPECT_EQ(&sender, &l);
    events.push_back("changing:" + std::to_string(sender.count()));
  };
  l.onChange = [&](TStringList& sender) { events.push_back("change:" + std::to_string(sender.count())); };

  l.add(u"a");
  EXPECT_EQ(events, (Strings{"changing:0", "change:1"}));

  events.clear();
  l.beginUpdate();
  l.add(u"b");
  l.beginUpdate();
  l.deleteAt(0);
  l.endUpdate();
  EXPECT_EQ(events, (Strings{"changing:1"}));
  l.endUpdate();
  EXPECT_EQ(events, (Strings{"changing:1", "change:1"}));

  events.clear();
  l.setText(u"x\ny\nz");
  l.setCommaText(u"p,q");
  EXPECT_EQ(events, (Strings{"changing:1", "change:3", "changing:3", "change:2"}));

  events.clear();
  l.clear();
  l.clear();  // already empty: no change
  EXPECT_EQ(events, (Strings{"changing:2", "change:0"}));

  // A refusing onChanging aborts the change.
  l.onChanging = [](TStringList&) { throw std::runtime_error("read-only"); };
  EXPECT_THROW(l.add(u"z"), std::runtime_error);
  EXPECT_EQ(l.count(), 0);
}

TEST(StringList, AssignAddStringsEquals) {
  TStringList a;
  fill(a, {u"one", u"two"});
  a.putObject(1, &objB);
  TStringList b(Duplicates::ignore);
  fill(b, {u"zero", u"TWO"});
  b.addStrings(a);
  EXPECT_EQ(contents(b), (Strings{"one", "TWO", "zero"}));

  TStringList c;
  c.add(u"stale");
  c.assign(a);
  EXPECT_TRUE(c.equals(a));
  EXPECT_EQ(c.objects(1), &objB);
  c.put(0, u"ONE");
  EXPECT_FALSE(c.equals(a));  // exact comparison

  a.addStrings(a);  // from itself: doubles once
  EXPECT_EQ(contents(a), (Strings{"one", "two", "one", "two"}));
}

TEST(StringList, ClassMetadata) {
  TStringList* l = platform::create<TStringList>();
  TObject* o = l;
  EXPECT_EQ(o->className(), "TStringList");
  EXPECT_EQ(platform::objectAs<TStringList>(o), l);
  TObject::free(o);
}
