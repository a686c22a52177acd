// The platform's string list over UTF-16 text: strings with an associated
// object each, optionally kept sorted, with a duplicates rule, name=value
// lines, delimited and line-broken text forms and change notification.
//
// Contracts:
// - Objects are not owned: the list never frees them.
// - Indexes are 0-based ints; an index out of range raises StringListError
//   with the list-index text and the index. Nothing changes on an error.
// - Comparison (compareStrings, virtual): case-sensitive lists compare UTF-16
//   code units ordinally; case-insensitive lists (the default) compare after
//   Unicode default case folding (ICU), also in code-unit order. Sorting,
//   find, indexOf, indexOfName and the duplicates rule all use it; equals()
//   compares exactly.
// - Sorted lists: add/addObject insert at the sorted position; the duplicates
//   rule applies to them only (ignore: answer the existing index, the object
//   is not replaced; error: StringListError with the duplicate text; accept:
//   insert before the equal strings). put, insert, exchange and move are
//   refused with the sorted-list text (a moved item would break the binary
//   search). Unsorted lists accept everything, duplicates included.
// - Notification: every change runs onChanging before and onChange after it,
//   each only while no update bracket is open. beginUpdate at level 0 fires
//   onChanging, the endUpdate that closes the last level fires onChange; bulk
//   operations (text setters, addStrings, assign, move) run inside one
//   bracket. An exception from onChanging aborts the change.
// - Thread safety: none; one thread at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "plErrors.h"
#include "plObject.h"
#include "plString.h"

namespace platform {

// The class library's list error and its string-list subclass.
class ListError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};
class StringListError : public ListError {
 public:
  using ListError::ListError;
};

// Texts of the string-list errors (UTF-8); the index text has one %d.
extern const char* const kListIndexErrorText;
extern const char* const kDuplicateStringText;
extern const char* const kSortedListErrorText;

enum class Duplicates { ignore, accept, error };

class TStringList : public TObject {
  PL_CLASS_INFO_DECL()
 public:
  using NotifyEvent = std::function<void(TStringList& aSender)>;
  // Answers <0, 0 or >0 for the strings at two indexes of aList.
  using CompareFunc = std::function<int(const TStringList& aList, int aIndex1, int aIndex2)>;

  TStringList() = default;
  // A list that starts sorted with the given rule.
  TStringList(Duplicates aDuplicates, bool aCaseSensitive = false);

  int count() const { return static_cast<int>(items_.size()); }
  bool empty() const { return items_.empty(); }
  const UnicodeString& strings(int aIndex) const;
  void put(int aIndex, UnicodeString aString);
  TObject* objects(int aIndex) const;
  void putObject(int aIndex, TObject* aObject);

  // Answers the index of the string (see the duplicates rule).
  int add(UnicodeString aString) { return addObject(std::move(aString), nullptr); }
  int addObject(UnicodeString aString, TObject* aObject);
  void insert(int aIndex, UnicodeString aString) { insertObject(aIndex, std::move(aString), nullptr); }
  void insertObject(int aIndex, UnicodeString aString, TObject* aObject);
  void deleteAt(int aIndex);
  void clear();
  void exchange(int aIndex1, int aIndex2);
  void move(int aCurIndex, int aNewIndex);
  void addStrings(const TStringList& aSource);
  // Replaces the contents (strings and objects) by those of aSource.
  void assign(const TStringList& aSource);
  // Same count and exactly equal strings (objects ignored).
  bool equals(const TStringList& aOther) const;

  // Binary search: true with the index of the first equal string, else false
  // with the insertion point. Meaningful only on a sorted list.
  bool find(UnicodeStringView aString, int& aIndex) const;
  int indexOf(UnicodeStringView aString) const;
  int indexOfObject(const TObject* aObject) const;

  // Sorts an unsorted list (stable); nothing on a list that is kept sorted.
  void sort();
  void customSort(const CompareFunc& aCompare);

  bool sorted() const { return sorted_; }
  void setSorted(bool aSorted);
  Duplicates duplicates() const { return duplicates_; }
  void setDuplicates(Duplicates aDuplicates) { duplicates_ = aDuplicates; }
  bool caseSensitive() const { return caseSensitive_; }
  void setCaseSensitive(bool aCaseSensitive);

  // name=value lines: the name is the text before the first separator (empty
  // without one), the value the text after it.
  char16_t nameValueSeparator() const { return nameValueSeparator_; }
  void setNameValueSeparator(char16_t c) { nameValueSeparator_ = c; }
  UnicodeString names(int aIndex) const;
  UnicodeString valueFromIndex(int aIndex) const;
  int indexOfName(UnicodeStringView aName) const;
  // Empty when no line has the name.
  UnicodeString values(UnicodeStringView aName) const;
  // An empty value deletes the line; a new name appends a line.
  void setValue(UnicodeStringView aName, UnicodeStringView aValue);

  // Delimited text: items separated by the delimiter; an item holding the
  // delimiter, the quote character or (unless strict) a character up to
  // U+0020 is quoted, with quote characters doubled. A list of one empty
  // string reads as two quote characters. Reading: quoted items are unquoted;
  // unless strict, blanks and control characters also separate items and are
  // skipped around delimiters; a delimiter at the very end adds an empty item.
  char16_t delimiter() const { return delimiter_; }
  void setDelimiter(char16_t c) { delimiter_ = c; }
  char16_t quoteChar() const { return quoteChar_; }
  void setQuoteChar(char16_t c) { quoteChar_ = c; }
  bool strictDelimiter() const { return strictDelimiter_; }
  void setStrictDelimiter(bool b) { strictDelimiter_ = b; }
  UnicodeString delimitedText() const;
  void setDelimitedText(UnicodeStringView aText);
  // Delimited text with ',' and '"', never strict.
  UnicodeString commaText() const;
  void setCommaText(UnicodeStringView aText);

  // Every string followed by the line break (CR LF by default). Reading with
  // the default break splits at CR LF, CR and LF; with another break string
  // at that string. A final break adds no empty line.
  const UnicodeString& lineBreak() const { return lineBreak_; }
  void setLineBreak(UnicodeString aLineBreak) { lineBreak_ = std::move(aLineBreak); }
  UnicodeString text() const;
  void setText(UnicodeStringView aText);

  void beginUpdate();
  void endUpdate();
  int updateCount() const { return updateCount_; }

  NotifyEvent onChange;
  NotifyEvent onChanging;

  virtual int compareStrings(UnicodeStringView a, UnicodeStringView b) const;

 protected:
  virtual void changing();
  virtual void changed();
  virtual void setUpdateState(bool aUpdating);

 private:
  struct Item {
    UnicodeString string;
    TObject* object;
  };

  void checkIndex(int aIndex) const;
  void checkNotSorted() const;
  void insertItem(int aIndex, UnicodeString aString, TObject* aObject);
  void sortBy(const CompareFunc& aCompare);
  UnicodeString delimitedTextWith(char16_t aDelimiter, char16_t aQuote, bool aStrict) const;
  void setDelimitedTextWith(UnicodeStringView aText, char16_t aDelimiter, char16_t aQuote, bool aStrict);
  template <class F>
  void updating(F&& aBody);

  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  Duplicates duplicates_ = Duplicates::ignore;
  char16_t nameValueSeparator_ = u'=';
  char16_t delimiter_ = u',';
  char16_t quoteChar_ = u'"';
  bool strictDelimiter_ = false;
  UnicodeString lineBreak_ = u"\r\n";
  int updateCount_ = 0;
};

}  // namespace platform
