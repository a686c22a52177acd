#include "nxllWideStringList.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "nxllList.h"
#include "nxllUtils.h"
#include "nxllWideString.h"
#include "plCollation.h"
#include "plErrors.h"
#include "plNormalize.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxWideStringLocaleMappingTransformerException, EnxBaseException)

namespace {

template <class T>
const TnxWideStringCompareStringComparerClassFuncs compareStringFuncs{
    [](TnxWord32 aLocale, TnxWord32 aFlags) -> TnxBaseWideStringCompareStringComparer* {
      return platform::create<T>(aLocale, aFlags);
    }};

platform::UnicodeStringView viewOf(const TnxWideString& s) { return {s.data(), s.size()}; }

TnxWideString wideOf(platform::UnicodeStringView s) { return TnxWideString(s.begin(), s.end()); }

TnxWord32 listCodePage(TnxWord32 aCodePage) { return aCodePage == nxWideStringsDefaultCodePage ? 0 : aCodePage; }

[[noreturn]] void formattedListError(const char* aText, std::int32_t aValue) {
  std::string text = aText;
  text.replace(text.find("%d"), 2, std::to_string(aValue));
  throw platform::StringListError(text);
}

bool isLineBreak(char16_t c) {
  return c == 0 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x2028 || c == 0x2029;
}

// Index checks are unsigned: a negative index is out of range too.
bool outOfRange(std::int32_t aIndex, std::int32_t aLimit) {
  return static_cast<std::uint32_t>(aIndex) >= static_cast<std::uint32_t>(aLimit);
}

}  // namespace

// ---------------------------------------------------------------- comparers

PL_CLASS_INFO_IMPL(TnxWideStringComparer, TnxInterfacedObject, "TnxWideStringComparer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringByteComparer, TnxWideStringComparer, "TnxWideStringByteComparer",
                   &platform::factoryFor<TnxWideStringByteComparer>)
PL_CLASS_INFO_IMPL(TnxBaseWideStringCompareStringComparer, TnxWideStringComparer,
                   "TnxBaseWideStringCompareStringComparer", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxWideStringCompareStringWComparer, TnxBaseWideStringCompareStringComparer,
                         "TnxWideStringCompareStringWComparer", nullptr,
                         platform::bindClassTable(compareStringFuncs<TnxWideStringCompareStringWComparer>))

const TnxInterfaceEntry* TnxWideStringComparer::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxWideStringComparer::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxWideStringComparer*>(static_cast<TnxWideStringComparer*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

std::int8_t TnxWideStringByteComparer::Compare(const TnxWideString& a, const TnxWideString& b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (std::int8_t r = nxCompareBytes(a.data(), b.data(), common * sizeof(char16_t)); r != 0) return r;
  return nxCompareInteger(static_cast<std::int32_t>(a.size()), static_cast<std::int32_t>(b.size()));
}

TnxBaseWideStringCompareStringComparer* TnxBaseWideStringCompareStringComparer::CreateOfClass(
    const platform::ClassInfo& aClass, TnxWord32 aLocale, TnxWord32 aFlags) {
  const auto* funcs = aClass.table<TnxWideStringCompareStringComparerClassFuncs>();
  nxAssert(funcs, "class without a CompareString constructor");
  return funcs->Create(aLocale, aFlags);
}

std::int8_t TnxWideStringCompareStringWComparer::Compare(const TnxWideString& a, const TnxWideString& b) {
  if (a.empty() || b.empty())
    return nxCompareInteger(static_cast<std::int32_t>(a.size()), static_cast<std::int32_t>(b.size()));
  try {
    return static_cast<std::int8_t>(platform::compareString(bwscscLocale, bwscscFlags, viewOf(a), viewOf(b)));
  } catch (const platform::OsError& e) {
    // A failed comparison must not pass for an order.
    nxRaiseOSError(e.code(), 0, u"TnxWideStringCompareStringWComparer.Compare/CompareStringW");
  }
}

// ------------------------------------------------------------- transformers

PL_CLASS_INFO_IMPL(TnxWideStringTransformer, TnxInterfacedObject, "TnxWideStringTransformer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringNullTransformer, TnxWideStringTransformer, "TnxWideStringNullTransformer",
                   &platform::factoryFor<TnxWideStringNullTransformer>)
PL_CLASS_INFO_IMPL(TnxWideStringFoldStringTransformer, TnxWideStringTransformer,
                   "TnxWideStringFoldStringTransformer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringPreComposeTransformer, TnxWideStringFoldStringTransformer,
                   "TnxWideStringPreComposeTransformer", &platform::factoryFor<TnxWideStringPreComposeTransformer>)
PL_CLASS_INFO_IMPL(TnxWideStringLocaleMappingTransformer, TnxWideStringTransformer,
                   "TnxWideStringLocaleMappingTransformer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringLowerCaseTransformer, TnxWideStringLocaleMappingTransformer,
                   "TnxWideStringLowerCaseTransformer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringUpperCaseTransformer, TnxWideStringLocaleMappingTransformer,
                   "TnxWideStringUpperCaseTransformer", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringTruncateTransformer, TnxWideStringTransformer, "TnxWideStringTruncateTransformer",
                   nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringTransformerHub, TnxWideStringTransformer, "TnxWideStringTransformerHub", nullptr)

const TnxInterfaceEntry* TnxWideStringTransformer::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxWideStringTransformer::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxWideStringTransformer*>(static_cast<TnxWideStringTransformer*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

void TnxWideStringNullTransformer::Transform(const TnxWideString& aInput, TnxWideString& aOutput) {
  aOutput = aInput;
}

void TnxWideStringFoldStringTransformer::Transform(const TnxWideString& aInput, TnxWideString& aOutput) {
  if (aInput.empty()) {
    aOutput.clear();
    return;
  }
  // The platform folds in one step; any failure is the measuring step's.
  platform::UnicodeString folded;
  try {
    folded = platform::foldString(wsfstFlags, viewOf(aInput));
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1");
  }
  aOutput = wideOf(folded);
}

TnxWideStringPreComposeTransformer::TnxWideStringPreComposeTransformer()
    : TnxWideStringFoldStringTransformer(platform::MAP_PRECOMPOSED) {}

TnxWideStringLocaleMappingTransformer::TnxWideStringLocaleMappingTransformer(TnxWord32 aLocale, TnxWord32 aFlags)
    : wslmtLocale(aLocale), wslmtFlags(aFlags) {
  if (aFlags & platform::LCMAP_SORTKEY)
    throw EnxWideStringLocaleMappingTransformerException(
        nxErrNotSupported, u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer");
}

void TnxWideStringLocaleMappingTransformer::Transform(const TnxWideString& aInput, TnxWideString& aOutput) {
  if (aInput.empty()) {
    aOutput.clear();
    return;
  }
  aOutput = wideOf(nxWideLCMapString(viewOf(aInput), wslmtLocale, wslmtFlags));
}

TnxWideStringLowerCaseTransformer::TnxWideStringLowerCaseTransformer(TnxWord32 aLocale)
    : TnxWideStringLocaleMappingTransformer(aLocale, platform::LCMAP_LOWERCASE) {}

TnxWideStringUpperCaseTransformer::TnxWideStringUpperCaseTransformer(TnxWord32 aLocale)
    : TnxWideStringLocaleMappingTransformer(aLocale, platform::LCMAP_UPPERCASE) {}

void TnxWideStringTruncateTransformer::Transform(const TnxWideString& aInput, TnxWideString& aOutput) {
  if (&aOutput != &aInput) aOutput = aInput;
  const auto max = static_cast<std::size_t>(wsttMaxLength);
  if (aOutput.size() <= max) return;
  std::size_t keep = max;
  // Never keep half of a surrogate pair.
  if (keep > 0 && aOutput[keep - 1] >= 0xD800 && aOutput[keep - 1] <= 0xDBFF) --keep;
  aOutput.resize(keep);
}

TnxWideStringTransformerHub::TnxWideStringTransformerHub(std::span<const TnxWideStringTransformerPtr> aTransformers) {
  wsthTransformers.reserve(aTransformers.size());
  for (const auto& t : aTransformers)
    if (t) wsthTransformers.push_back(t);
}

void TnxWideStringTransformerHub::Transform(const TnxWideString& aInput, TnxWideString& aOutput) {
  TnxWideString current = aInput;
  TnxWideString next;
  for (const auto& t : wsthTransformers) {
    t->Transform(current, next);
    current.swap(next);
  }
  aOutput = std::move(current);
}

// ------------------------------------------------------------- TnxWideStrings

PL_CLASS_INFO_IMPL(TnxWideStrings, TnxObject, "TnxWideStrings", nullptr)
PL_CLASS_INFO_IMPL(TnxWideStringList, TnxWideStrings, "TnxWideStringList",
                   &platform::factoryFor<TnxWideStringList>)

TnxWideStrings::TnxWideStrings(TnxWideStringComparerPtr aComparer, TnxWideStringTransformerPtr aTransformer)
    : wsComparer(std::move(aComparer)), wsTransformer(std::move(aTransformer)) {
  if (!wsComparer) wsComparer = nxNewWideStringComparer<TnxWideStringByteComparer>();
  if (!wsTransformer) wsTransformer = nxNewWideStringTransformer<TnxWideStringNullTransformer>();
}

TnxWideStrings::UpdateBracket::UpdateBracket(TnxWideStrings& aList)
    : ubList(aList), ubExceptions(std::uncaught_exceptions()) {
  ubList.BeginUpdate();
}

TnxWideStrings::UpdateBracket::~UpdateBracket() noexcept(false) {
  if (std::uncaught_exceptions() > ubExceptions) {
    // Unwinding already: the first failure is the one to report.
    try {
      ubList.EndUpdate();
    } catch (...) {
    }
  } else {
    ubList.EndUpdate();
  }
}

void TnxWideStrings::IndexError(std::int32_t aIndex) { formattedListError(platform::kListIndexErrorText, aIndex); }

void TnxWideStrings::SortedListError() { throw platform::StringListError(platform::kSortedListErrorText); }

void TnxWideStrings::DuplicateError() { throw platform::StringListError(platform::kDuplicateStringText); }

TnxWideString TnxWideStrings::Transformed(const TnxWideString& s) const {
  TnxWideString t;
  TransformString(s, t);
  return t;
}

void TnxWideStrings::SetUpdateState(bool) {}

void TnxWideStrings::SetCapacity(std::int32_t) {}

platform::TObject* TnxWideStrings::wsGetObject(std::int32_t) const { return nullptr; }

TnxWideString TnxWideStrings::GetText() const { return GetSeparatedText(nxWideLineSeparator); }

void TnxWideStrings::SetText(const TnxWideString& aText) {
  UpdateBracket bracket(*this);
  Clear();
  const std::size_t n = aText.size();
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < n) {
    if (!isLineBreak(aText[i])) {
      ++i;
      continue;
    }
    Add(TnxWideString(aText.begin() + static_cast<std::ptrdiff_t>(start), aText.begin() + static_cast<std::ptrdiff_t>(i)));
    if (aText[i] == 0x0D && i + 1 < n && aText[i + 1] == 0x0A) ++i;
    start = ++i;
  }
  if (start < n) Add(TnxWideString(aText.begin() + static_cast<std::ptrdiff_t>(start), aText.end()));
}

std::int8_t TnxWideStrings::CompareStrings(const TnxWideString& a, const TnxWideString& b) const {
  return wsComparer->Compare(a, b);
}

void TnxWideStrings::TransformString(const TnxWideString& s, TnxWideString& t) const {
  wsTransformer->Transform(s, t);
}

std::int32_t TnxWideStrings::Add(const TnxWideString& s) {
  const std::int32_t index = GetCount();
  Insert(index, s);
  return index;
}

std::int32_t TnxWideStrings::AddObject(const TnxWideString& s, platform::TObject* aObject) {
  const std::int32_t before = GetCount();
  const std::int32_t index = Add(s);
  // A string the duplicates rule dropped keeps the existing entry's object.
  if (GetCount() > before) wsPutObject(index, aObject);
  return index;
}

void TnxWideStrings::AddStrings(const platform::TStringList& aStrings, TnxWord32) {
  UpdateBracket bracket(*this);
  for (int i = 0; i < aStrings.count(); ++i) AddObject(wideOf(aStrings.strings(i)), aStrings.objects(i));
}

void TnxWideStrings::AddStrings(const TnxWideStrings& aStrings) {
  UpdateBracket bracket(*this);
  if (&aStrings == this) {
    // Adding to itself: take the items as they are before the first add.
    std::vector<TnxWideStringItem> items;
    for (std::int32_t i = 0; i < GetCount(); ++i) items.push_back({wsGetString(i), wsGetObject(i)});
    for (auto& item : items) AddObject(item.wsiString, item.wsiObject);
    return;
  }
  for (std::int32_t i = 0; i < aStrings.GetCount(); ++i) AddObject(aStrings.wsGetString(i), aStrings.wsGetObject(i));
}

void TnxWideStrings::Exchange(std::int32_t aIndex1, std::int32_t aIndex2) {
  UpdateBracket bracket(*this);
  const TnxWideString s1 = wsGetString(aIndex1);
  platform::TObject* o1 = wsGetObject(aIndex1);
  const TnxWideString s2 = wsGetString(aIndex2);
  platform::TObject* o2 = wsGetObject(aIndex2);
  wsPutString(aIndex1, s2);
  wsPutObject(aIndex1, o2);
  wsPutString(aIndex2, s1);
  wsPutObject(aIndex2, o1);
}

void TnxWideStrings::Move(std::int32_t aCurIndex, std::int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  // Checked first: a failing insert after the delete would lose the item.
  if (outOfRange(aCurIndex, GetCount())) IndexError(aCurIndex);
  if (outOfRange(aNewIndex, GetCount())) IndexError(aNewIndex);
  UpdateBracket bracket(*this);
  const TnxWideString s = wsGetString(aCurIndex);
  platform::TObject* o = wsGetObject(aCurIndex);
  Delete(aCurIndex);
  InsertObject(aNewIndex, s, o);
}

TnxWideString TnxWideStrings::GetSeparatedText(const TnxWideString& aSeparators) const {
  TnxWideString result;
  const std::int32_t n = GetCount();
  for (std::int32_t i = 0; i < n; ++i) {
    if (i > 0) result.insert(result.end(), aSeparators.begin(), aSeparators.end());
    const TnxWideString s = wsGetString(i);
    result.insert(result.end(), s.begin(), s.end());
  }
  return result;
}

TnxWideString TnxWideStrings::GetSeparatedText(char16_t aSeparator) const {
  return GetSeparatedText(TnxWideString{aSeparator});
}

std::int32_t TnxWideStrings::IndexOf(const TnxWideString& s) const {
  const TnxWideString t = Transformed(s);
  for (std::int32_t i = 0; i < GetCount(); ++i)
    if (CompareStrings(wsGetString(i), t) == 0) return i;
  return -1;
}

void TnxWideStrings::LoadFromFile(const std::string& aFileName, bool aForceUnicode, TnxWord32 aCodePage) {
  auto* stream = platform::create<TnxMemoryStream>();
  struct Free {
    TnxMemoryStream* s;
    ~Free() { platform::TObject::free(s); }
  } free{stream};
  stream->LoadFromFile(aFileName);
  LoadFromStream(*stream, aForceUnicode, aCodePage);
}

void TnxWideStrings::LoadFromStream(TStream& aStream, bool aForceUnicode, TnxWord32 aCodePage) {
  UpdateBracket bracket(*this);
  const std::int64_t n = aStream.Size() - aStream.Seek(0, soCurrent);
  if (n <= 0) {
    SetText({});
    return;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
  aStream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(n));
  std::size_t offset = 0;
  bool unicode = aForceUnicode;
  bool swap = false;
  if (n >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    unicode = true;
    offset = 2;
  } else if (n >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    unicode = swap = true;
    offset = 2;
  }
  TnxWideString text;
  if (unicode) {
    text.resize((bytes.size() - offset) / 2);  // an odd last byte is no unit
    std::copy_n(bytes.data() + offset, text.size() * 2, reinterpret_cast<std::uint8_t*>(text.data()));
    if (swap) nxSwapByteOrder(text.data(), text.size());
  } else {
    text = nxStringToWideString(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), listCodePage(aCodePage));
  }
  SetText(text);
}

void TnxWideStrings::SaveToFile(const std::string& aFileName, bool aUnicode, bool aWithBOM, TnxWord32 aCodePage) {
  auto* stream = platform::create<TnxMemoryStream>();
  struct Free {
    TnxMemoryStream* s;
    ~Free() { platform::TObject::free(s); }
  } free{stream};
  SaveToStream(*stream, aUnicode, aWithBOM, aCodePage);
  stream->SaveToFile(aFileName);
}

void TnxWideStrings::SaveToStream(TStream& aStream, bool aUnicode, bool aWithBOM, TnxWord32 aCodePage) {
  if (aUnicode) {
    const TnxWideString text = GetText();
    if (aWithBOM) {
      const std::uint8_t bom[2] = {0xFF, 0xFE};
      aStream.WriteBuffer(bom, 2);
    }
    // x86-64: the units are little-endian in memory already.
    if (!text.empty()) aStream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size() * 2));
    return;
  }
  // 8-bit code pages mostly lack U+2028 (it would become '?' and merge the
  // lines): their text breaks lines with CR LF, which loading splits alike.
  const std::string bytes = nxWideStringToString(GetSeparatedText(TnxWideString{u'\r', u'\n'}),
                                                 listCodePage(aCodePage));
  if (!bytes.empty()) aStream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void TnxWideStrings::BeginUpdate() {
  if (wsUpdateCount == 0) SetUpdateState(true);
  ++wsUpdateCount;
}

void TnxWideStrings::EndUpdate() {
  if (wsUpdateCount <= 0) return;
  if (--wsUpdateCount == 0) SetUpdateState(false);
}

std::int32_t TnxWideStrings::Add(platform::UnicodeStringView s) { return Add(wideOf(s)); }

std::int32_t TnxWideStrings::Add(std::string_view s, TnxWord32 aCodePage) {
  return Add(nxStringToWideString(s, listCodePage(aCodePage)));
}

std::int32_t TnxWideStrings::AddObject(platform::UnicodeStringView s, platform::TObject* aObject) {
  return AddObject(wideOf(s), aObject);
}

std::int32_t TnxWideStrings::AddObject(std::string_view s, TnxWord32 aCodePage, platform::TObject* aObject) {
  return AddObject(nxStringToWideString(s, listCodePage(aCodePage)), aObject);
}

void TnxWideStrings::Insert(std::int32_t aIndex, platform::UnicodeStringView s) { Insert(aIndex, wideOf(s)); }

void TnxWideStrings::Insert(std::int32_t aIndex, std::string_view s, TnxWord32 aCodePage) {
  Insert(aIndex, nxStringToWideString(s, listCodePage(aCodePage)));
}

void TnxWideStrings::InsertObject(std::int32_t aIndex, const TnxWideString& s, platform::TObject* aObject) {
  Insert(aIndex, s);
  wsPutObject(aIndex, aObject);
}

void TnxWideStrings::InsertObject(std::int32_t aIndex, platform::UnicodeStringView s, platform::TObject* aObject) {
  InsertObject(aIndex, wideOf(s), aObject);
}

void TnxWideStrings::InsertObject(std::int32_t aIndex, std::string_view s, TnxWord32 aCodePage,
                                  platform::TObject* aObject) {
  InsertObject(aIndex, nxStringToWideString(s, listCodePage(aCodePage)), aObject);
}

bool TnxWideStrings::Equals(const TnxWideStrings* aStrings) const {
  nxAssert(aStrings, "Equals needs a list");
  const std::int32_t n = GetCount();
  if (aStrings->GetCount() != n) return false;
  for (std::int32_t i = 0; i < n; ++i)
    if (CompareStrings(wsGetString(i), aStrings->wsGetString(i)) != 0) return false;
  return true;
}

std::int32_t TnxWideStrings::IndexOfName(const TnxWideString& aName) const {
  const TnxWideString t = Transformed(aName);
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    const TnxWideString s = wsGetString(i);
    const auto eq = std::find(s.begin(), s.end(), u'=');
    if (eq == s.end()) continue;  // no name at all
    if (CompareStrings(TnxWideString(s.begin(), eq), t) == 0) return i;
  }
  return -1;
}

std::int32_t TnxWideStrings::IndexOfObject(const platform::TObject* aObject) const {
  for (std::int32_t i = 0; i < GetCount(); ++i)
    if (wsGetObject(i) == aObject) return i;
  return -1;
}

TnxWideString TnxWideStrings::wsGetName(std::int32_t aIndex) const {
  const TnxWideString s = wsGetString(aIndex);
  const auto eq = std::find(s.begin(), s.end(), u'=');
  return eq == s.end() ? TnxWideString{} : TnxWideString(s.begin(), eq);
}

TnxWideString TnxWideStrings::wsGetValue(const TnxWideString& aName) const {
  const std::int32_t i = IndexOfName(aName);
  if (i < 0) return {};
  const TnxWideString s = wsGetString(i);
  const auto eq = std::find(s.begin(), s.end(), u'=');
  return TnxWideString(eq + 1, s.end());
}

void TnxWideStrings::wsSetValue(const TnxWideString& aName, const TnxWideString& aValue) {
  std::int32_t i = IndexOfName(aName);
  if (aValue.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  bool added = false;
  if (i < 0) {
    const std::int32_t before = GetCount();
    i = Add(TnxWideString{});
    added = GetCount() > before;
  }
  TnxWideString line = aName;
  line.push_back(u'=');
  line.insert(line.end(), aValue.begin(), aValue.end());
  try {
    wsPutString(i, line);
  } catch (...) {
    // A list that refuses the line keeps no empty one in its place.
    if (added) Delete(i);
    throw;
  }
}

void TnxWideStrings::Assign(const platform::TObject* aSource) {
  if (aSource == this) return;  // clearing first would empty the source
  if (const auto* wide = platform::objectAs<TnxWideStrings>(aSource)) {
    UpdateBracket bracket(*this);
    Clear();
    AddStrings(*wide);
    return;
  }
  if (const auto* list = platform::objectAs<platform::TStringList>(aSource)) {
    UpdateBracket bracket(*this);
    Clear();
    AddStrings(*list, nxWideStringsDefaultCodePage);
    return;
  }
  throw platform::ConvertError("Cannot assign a " + std::string(aSource ? aSource->className() : "nil") + " to a " +
                               std::string(className()));
}

void TnxWideStrings::AssignTo(platform::TObject* aDest) const {
  if (aDest == this) return;
  if (auto* list = platform::objectAs<platform::TStringList>(aDest)) {
    list->beginUpdate();
    struct End {
      platform::TStringList* l;
      ~End() { l->endUpdate(); }
    } end{list};
    list->clear();
    for (std::int32_t i = 0; i < GetCount(); ++i) list->addObject(nxWideStringToStr(wsGetString(i)), wsGetObject(i));
    return;
  }
  if (auto* wide = platform::objectAs<TnxWideStrings>(aDest)) {
    UpdateBracket bracket(*wide);
    wide->Clear();
    wide->AddStrings(*this);
    return;
  }
  throw platform::ConvertError("Cannot assign a " + std::string(className()) + " to a " +
                               std::string(aDest ? aDest->className() : "nil"));
}

bool TnxWideStrings::WideStringsStored(const platform::TObject* aAncestor) const {
  if (!aAncestor) return GetCount() > 0;
  if (const auto* wide = platform::objectAs<TnxWideStrings>(aAncestor)) return !Equals(wide);
  return true;
}

void TnxWideStrings::WriteWideStrings(TnxWriter& aWriter) const {
  const TnxWideString text = GetText();
  aWriter.WriteWideString_(viewOf(text));
}

void TnxWideStrings::ReadWideStrings(TnxReader& aReader) {
  // ReadString takes exactly the four text kinds and refuses the rest.
  SetText(wideOf(aReader.ReadString()));
}

// ---------------------------------------------------------- TnxWideStringList

void TnxWideStringList::CheckIndex(std::int32_t aIndex) const {
  if (outOfRange(aIndex, wslCount)) IndexError(aIndex);
}

void TnxWideStringList::SetUpdateState(bool aUpdating) {
  if (aUpdating)
    Changing();
  else
    Changed();
}

void TnxWideStringList::Changed() {
  if (wsUpdateCount == 0 && OnChange) OnChange(this);
}

void TnxWideStringList::Changing() {
  if (wsUpdateCount == 0 && OnChanging) OnChanging(this);
}

void TnxWideStringList::SetCapacity(std::int32_t aCapacity) {
  if (aCapacity < 0) formattedListError(nxListCapacityErrorText, aCapacity);
  wslList.resize(static_cast<std::size_t>(aCapacity));
  if (wslCount > aCapacity) wslCount = aCapacity;
}

TnxWideString TnxWideStringList::wsGetString(std::int32_t aIndex) const { return StringRef(aIndex); }

const TnxWideString& TnxWideStringList::StringRef(std::int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[static_cast<std::size_t>(aIndex)].wsiString;
}

void TnxWideStringList::wsPutString(std::int32_t aIndex, const TnxWideString& s) {
  if (wslSorted) SortedListError();
  CheckIndex(aIndex);
  TnxWideString t = Transformed(s);
  Changing();
  wslList[static_cast<std::size_t>(aIndex)].wsiString = std::move(t);
  Changed();
}

platform::TObject* TnxWideStringList::wsGetObject(std::int32_t aIndex) const {
  CheckIndex(aIndex);
  return wslList[static_cast<std::size_t>(aIndex)].wsiObject;
}

void TnxWideStringList::wsPutObject(std::int32_t aIndex, platform::TObject* aObject) {
  CheckIndex(aIndex);
  Changing();
  wslList[static_cast<std::size_t>(aIndex)].wsiObject = aObject;
  Changed();
}

void TnxWideStringList::Clear() {
  if (wslCount == 0) return;
  Changing();
  std::vector<TnxWideStringItem>().swap(wslList);
  wslCount = 0;
  Changed();
}

bool TnxWideStringList::FindTransformed(const TnxWideString& t, std::int32_t& aIndex) const {
  std::int32_t lo = 0;
  std::int32_t hi = wslCount - 1;
  while (lo <= hi) {
    const std::int32_t mid = (lo + hi) / 2;
    const std::int8_t c = CompareStrings(wslList[static_cast<std::size_t>(mid)].wsiString, t);
    if (c == -1) {
      lo = mid + 1;
    } else if (c == 1) {
      hi = mid - 1;
    } else {
      aIndex = mid;
      return true;
    }
  }
  aIndex = lo;
  return false;
}

bool TnxWideStringList::Find(const TnxWideString& s, std::int32_t& aIndex) const {
  return FindTransformed(Transformed(s), aIndex);
}

std::int32_t TnxWideStringList::Add(const TnxWideString& s) {
  TnxWideString t = Transformed(s);
  std::int32_t index = wslCount;
  if (wslSorted && FindTransformed(t, index)) {
    if (wslDuplicates == platform::Duplicates::ignore) return index;
    if (wslDuplicates == platform::Duplicates::error) DuplicateError();
  }
  InsertItem(index, std::move(t));
  return index;
}

void TnxWideStringList::InsertItem(std::int32_t aIndex, TnxWideString t) {
  Changing();
  if (static_cast<std::size_t>(wslCount) == wslList.size()) {
    const auto capacity = static_cast<std::int32_t>(wslList.size());
    const std::int32_t delta = capacity > 64 ? capacity / 4 : capacity > 8 ? 16 : 4;
    wslList.resize(static_cast<std::size_t>(capacity + delta));
  }
  const auto at = wslList.begin() + aIndex;
  std::move_backward(at, wslList.begin() + wslCount, wslList.begin() + wslCount + 1);
  *at = TnxWideStringItem{std::move(t), nullptr};
  ++wslCount;
  Changed();
}

void TnxWideStringList::Insert(std::int32_t aIndex, const TnxWideString& s) {
  if (wslSorted) SortedListError();
  if (static_cast<std::uint32_t>(aIndex) > static_cast<std::uint32_t>(wslCount)) IndexError(aIndex);
  InsertItem(aIndex, Transformed(s));
}

void TnxWideStringList::Delete(std::int32_t aIndex) {
  CheckIndex(aIndex);
  Changing();
  const auto at = wslList.begin() + aIndex;
  std::move(at + 1, wslList.begin() + wslCount, at);
  --wslCount;
  wslList[static_cast<std::size_t>(wslCount)] = TnxWideStringItem{};
  Changed();
}

void TnxWideStringList::Exchange(std::int32_t aIndex1, std::int32_t aIndex2) {
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  Changing();
  std::swap(wslList[static_cast<std::size_t>(aIndex1)], wslList[static_cast<std::size_t>(aIndex2)]);
  Changed();
}

void TnxWideStringList::Move(std::int32_t aCurIndex, std::int32_t aNewIndex) {
  if (aCurIndex != aNewIndex && wslSorted) SortedListError();
  TnxWideStrings::Move(aCurIndex, aNewIndex);
}

std::int32_t TnxWideStringList::IndexOf(const TnxWideString& s) const {
  if (!wslSorted) return TnxWideStrings::IndexOf(s);
  std::int32_t index = -1;
  return Find(s, index) ? index : -1;
}

void TnxWideStringList::QuickSort(std::int32_t aLeft, std::int32_t aRight) {
  // Hoare partitioning around the middle item; the pivot index follows the
  // item when it is swapped. Recursing into the smaller part bounds the depth.
  while (aLeft < aRight) {
    std::int32_t i = aLeft;
    std::int32_t j = aRight;
    std::int32_t p = aLeft + (aRight - aLeft) / 2;
    auto str = [this](std::int32_t k) -> const TnxWideString& { return wslList[static_cast<std::size_t>(k)].wsiString; };
    do {
      while (CompareStrings(str(i), str(p)) < 0) ++i;
      while (CompareStrings(str(j), str(p)) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(wslList[static_cast<std::size_t>(i)], wslList[static_cast<std::size_t>(j)]);
        if (p == i)
          p = j;
        else if (p == j)
          p = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - aLeft < aRight - i) {
      if (aLeft < j) QuickSort(aLeft, j);
      aLeft = i;
    } else {
      if (i < aRight) QuickSort(i, aRight);
      aRight = j;
    }
  }
}

void TnxWideStringList::Sort() {
  if (wslSorted || wslCount < 2) return;
  Changing();
  QuickSort(0, wslCount - 1);
  Changed();
}

void TnxWideStringList::SetSorted(bool aSorted) {
  if (aSorted == wslSorted) return;
  if (aSorted) Sort();
  wslSorted = aSorted;
}
