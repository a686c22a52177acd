#include "plStringList.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <numeric>

namespace platform {

const char* const kListIndexErrorText = "リストのインデックスが範囲を超えています (%d)";
const char* const kDuplicateStringText = "文字列リストでは重複は許可されていません";
const char* const kSortedListErrorText = "ソートされたリストでは操作できません";

PL_CLASS_INFO_IMPL(TStringList, TObject, "TStringList", &factoryFor<TStringList>)

namespace {

[[noreturn]] void indexError(int aIndex) {
  std::string text = kListIndexErrorText;
  text.replace(text.find("%d"), 2, std::to_string(aIndex));
  throw StringListError(text);
}

bool isBlank(char16_t c) { return c <= u' '; }

}  // namespace

TStringList::TStringList(Duplicates aDuplicates, bool aCaseSensitive)
    : sorted_(true), caseSensitive_(aCaseSensitive), duplicates_(aDuplicates) {}

template <class F>
void TStringList::updating(F&& aBody) {
  beginUpdate();
  try {
    aBody();
  } catch (...) {
    endUpdate();
    throw;
  }
  endUpdate();
}

int TStringList::compareStrings(UnicodeStringView a, UnicodeStringView b) const {
  if (caseSensitive_) return a.compare(b);
  UErrorCode status = U_ZERO_ERROR;
  return u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
                          U_FOLD_CASE_DEFAULT, &status);
}

void TStringList::changing() {
  if (updateCount_ == 0 && onChanging) onChanging(*this);
}

void TStringList::changed() {
  if (updateCount_ == 0 && onChange) onChange(*this);
}

void TStringList::setUpdateState(bool aUpdating) {
  if (aUpdating)
    changing();
  else
    changed();
}

void TStringList::beginUpdate() {
  if (updateCount_ == 0) setUpdateState(true);
  ++updateCount_;
}

void TStringList::endUpdate() {
  --updateCount_;
  if (updateCount_ == 0) setUpdateState(false);
}

void TStringList::checkIndex(int aIndex) const {
  if (aIndex < 0 || aIndex >= count()) indexError(aIndex);
}

void TStringList::checkNotSorted() const {
  if (sorted_) throw StringListError(kSortedListErrorText);
}

const UnicodeString& TStringList::strings(int aIndex) const {
  checkIndex(aIndex);
  return items_[static_cast<std::size_t>(aIndex)].string;
}

TObject* TStringList::objects(int aIndex) const {
  checkIndex(aIndex);
  return items_[static_cast<std::size_t>(aIndex)].object;
}

void TStringList::put(int aIndex, UnicodeString aString) {
  checkNotSorted();
  checkIndex(aIndex);
  changing();
  items_[static_cast<std::size_t>(aIndex)].string = std::move(aString);
  changed();
}

void TStringList::putObject(int aIndex, TObject* aObject) {
  checkIndex(aIndex);
  changing();
  items_[static_cast<std::size_t>(aIndex)].object = aObject;
  changed();
}

void TStringList::insertItem(int aIndex, UnicodeString aString, TObject* aObject) {
  changing();
  items_.insert(items_.begin() + aIndex, Item{std::move(aString), aObject});
  changed();
}

int TStringList::addObject(UnicodeString aString, TObject* aObject) {
  int index = count();
  if (sorted_ && find(aString, index)) {
    if (duplicates_ == Duplicates::ignore) return index;
    if (duplicates_ == Duplicates::error) throw StringListError(kDuplicateStringText);
  }
  insertItem(index, std::move(aString), aObject);
  return index;
}

void TStringList::insertObject(int aIndex, UnicodeString aString, TObject* aObject) {
  checkNotSorted();
  if (aIndex < 0 || aIndex > count()) indexError(aIndex);
  insertItem(aIndex, std::move(aString), aObject);
}

void TStringList::deleteAt(int aIndex) {
  checkIndex(aIndex);
  changing();
  items_.erase(items_.begin() + aIndex);
  changed();
}

void TStringList::clear() {
  if (items_.empty()) return;
  changing();
  items_.clear();
  changed();
}

void TStringList::exchange(int aIndex1, int aIndex2) {
  checkNotSorted();
  checkIndex(aIndex1);
  checkIndex(aIndex2);
  changing();
  std::swap(items_[static_cast<std::size_t>(aIndex1)], items_[static_cast<std::size_t>(aIndex2)]);
  changed();
}

void TStringList::move(int aCurIndex, int aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  checkNotSorted();
  checkIndex(aCurIndex);
  checkIndex(aNewIndex);
  updating([&] {
    Item item = std::move(items_[static_cast<std::size_t>(aCurIndex)]);
    deleteAt(aCurIndex);
    insertItem(aNewIndex, std::move(item.string), item.object);
  });
}

void TStringList::addStrings(const TStringList& aSource) {
  if (&aSource == this) {
    const std::vector<Item> copy = items_;
    updating([&] {
      for (const auto& item : copy) addObject(item.string, item.object);
    });
    return;
  }
  updating([&] {
    for (const auto& item : aSource.items_) addObject(item.string, item.object);
  });
}

void TStringList::assign(const TStringList& aSource) {
  if (&aSource == this) return;
  updating([&] {
    clear();
    addStrings(aSource);
  });
}

bool TStringList::equals(const TStringList& aOther) const {
  if (count() != aOther.count()) return false;
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].string != aOther.items_[i].string) return false;
  return true;
}

bool TStringList::find(UnicodeStringView aString, int& aIndex) const {
  // First position whose string is not below aString: with accepted
  // duplicates this is the first of the equal strings.
  int lo = 0;
  int hi = count();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (compareStrings(items_[static_cast<std::size_t>(mid)].string, aString) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  aIndex = lo;
  return lo < count() && compareStrings(items_[static_cast<std::size_t>(lo)].string, aString) == 0;
}

int TStringList::indexOf(UnicodeStringView aString) const {
  if (sorted_) {
    int index;
    return find(aString, index) ? index : -1;
  }
  for (int i = 0; i < count(); ++i)
    if (compareStrings(items_[static_cast<std::size_t>(i)].string, aString) == 0) return i;
  return -1;
}

int TStringList::indexOfObject(const TObject* aObject) const {
  for (int i = 0; i < count(); ++i)
    if (items_[static_cast<std::size_t>(i)].object == aObject) return i;
  return -1;
}

void TStringList::sortBy(const CompareFunc& aCompare) {
  if (items_.size() < 2) return;
  changing();
  // The comparison sees the items at their places before the sort.
  std::vector<int> order(items_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return aCompare(*this, a, b) < 0; });
  std::vector<Item> sortedItems;
  sortedItems.reserve(items_.size());
  for (int i : order) sortedItems.push_back(std::move(items_[static_cast<std::size_t>(i)]));
  items_ = std::move(sortedItems);
  changed();
}

void TStringList::sort() {
  if (sorted_) return;
  sortBy([](const TStringList& l, int a, int b) { return l.compareStrings(l.items_[a].string, l.items_[b].string); });
}

void TStringList::customSort(const CompareFunc& aCompare) {
  if (sorted_) return;
  sortBy(aCompare);
}

void TStringList::setSorted(bool aSorted) {
  if (aSorted == sorted_) return;
  if (aSorted) sort();
  sorted_ = aSorted;
}

void TStringList::setCaseSensitive(bool aCaseSensitive) {
  if (aCaseSensitive == caseSensitive_) return;
  caseSensitive_ = aCaseSensitive;
  if (sorted_)
    sortBy([](const TStringList& l, int a, int b) { return l.compareStrings(l.items_[a].string, l.items_[b].string); });
}

UnicodeString TStringList::names(int aIndex) const {
  const UnicodeString& s = strings(aIndex);
  const auto p = s.find(nameValueSeparator_);
  return p == UnicodeString::npos ? UnicodeString() : s.substr(0, p);
}

UnicodeString TStringList::valueFromIndex(int aIndex) const {
  const UnicodeString& s = strings(aIndex);
  const auto p = s.find(nameValueSeparator_);
  return p == UnicodeString::npos ? UnicodeString() : s.substr(p + 1);
}

int TStringList::indexOfName(UnicodeStringView aName) const {
  for (int i = 0; i < count(); ++i) {
    const UnicodeStringView s = items_[static_cast<std::size_t>(i)].string;
    const auto p = s.find(nameValueSeparator_);
    if (p != UnicodeStringView::npos && compareStrings(s.substr(0, p), aName) == 0) return i;
  }
  return -1;
}

UnicodeString TStringList::values(UnicodeStringView aName) const {
  const int i = indexOfName(aName);
  return i < 0 ? UnicodeString() : valueFromIndex(i);
}

void TStringList::setValue(UnicodeStringView aName, UnicodeStringView aValue) {
  int i = indexOfName(aName);
  if (aValue.empty()) {
    if (i >= 0) deleteAt(i);
    return;
  }
  UnicodeString line(aName);
  line += nameValueSeparator_;
  line += aValue;
  if (i >= 0 && !sorted_) {
    put(i, std::move(line));
    return;
  }
  // A sorted list keeps its order: the line is re-added at its place.
  updating([&] {
    if (i >= 0) deleteAt(i);
    add(std::move(line));
  });
}

UnicodeString TStringList::delimitedTextWith(char16_t aDelimiter, char16_t aQuote, bool aStrict) const {
  if (items_.size() == 1 && items_[0].string.empty()) return UnicodeString(2, aQuote);
  UnicodeString result;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const UnicodeString& s = items_[i].string;
    if (i > 0) result += aDelimiter;
    const bool needsQuotes = std::any_of(s.begin(), s.end(), [&](char16_t c) {
      return c == aQuote || c == aDelimiter || (!aStrict && isBlank(c)) || c == u'\0';
    });
    if (!needsQuotes) {
      result += s;
      continue;
    }
    result += aQuote;
    for (char16_t c : s) {
      if (c == aQuote) result += aQuote;
      result += c;
    }
    result += aQuote;
  }
  return result;
}

void TStringList::setDelimitedTextWith(UnicodeStringView aText, char16_t aDelimiter, char16_t aQuote, bool aStrict) {
  const std::size_t n = aText.size();
  std::size_t p = 0;
  auto skipBlanks = [&] {
    if (!aStrict)
      while (p < n && isBlank(aText[p])) ++p;
  };
  updating([&] {
    clear();
    skipBlanks();
    while (p < n) {
      UnicodeString item;
      if (aText[p] == aQuote) {
        ++p;
        while (p < n) {
          if (aText[p] == aQuote) {
            if (p + 1 < n && aText[p + 1] == aQuote) {
              item += aQuote;
              p += 2;
              continue;
            }
            ++p;  // closing quote
            break;
          }
          item += aText[p++];
        }
      } else {
        const std::size_t start = p;
        while (p < n && aText[p] != aDelimiter && (aStrict || !isBlank(aText[p]))) ++p;
        item.assign(aText.substr(start, p - start));
      }
      add(std::move(item));
      skipBlanks();
      if (p < n && aText[p] == aDelimiter) {
        ++p;
        if (p == n) add(UnicodeString());
        skipBlanks();
      }
    }
  });
}

UnicodeString TStringList::delimitedText() const { return delimitedTextWith(delimiter_, quoteChar_, strictDelimiter_); }

void TStringList::setDelimitedText(UnicodeStringView aText) {
  setDelimitedTextWith(aText, delimiter_, quoteChar_, strictDelimiter_);
}

UnicodeString TStringList::commaText() const { return delimitedTextWith(u',', u'"', false); }

void TStringList::setCommaText(UnicodeStringView aText) { setDelimitedTextWith(aText, u',', u'"', false); }

UnicodeString TStringList::text() const {
  UnicodeString result;
  for (const auto& item : items_) {
    result += item.string;
    result += lineBreak_;
  }
  return result;
}

void TStringList::setText(UnicodeStringView aText) {
  updating([&] {
    clear();
    const std::size_t n = aText.size();
    std::size_t p = 0;
    if (lineBreak_ == u"\r\n") {
      while (p < n) {
        std::size_t e = p;
        while (e < n && aText[e] != u'\r' && aText[e] != u'\n') ++e;
        add(UnicodeString(aText.substr(p, e - p)));
        if (e < n && aText[e] == u'\r') ++e;
        if (e < n && aText[e] == u'\n') ++e;
        p = e;
      }
    } else if (lineBreak_.empty()) {
      if (n > 0) add(UnicodeString(aText));
    } else {
      while (p < n) {
        std::size_t e = aText.find(lineBreak_, p);
        if (e == UnicodeStringView::npos) e = n;
        add(UnicodeString(aText.substr(p, e - p)));
        p = e == n ? n : e + lineBreak_.size();
      }
    }
  });
}

}  // namespace platform
