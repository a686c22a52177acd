// Wide string lists that order and compare their strings through a pluggable
// comparer and rewrite every string through a pluggable transformer; the
// comparers and transformers over the platform's text services.
//
// Contracts:
// - Comparers answer -1, 0 or 1. Transformers may be called with aInput and
//   aOutput naming the same string. Neither holds mutable state, so one
//   instance may serve several lists and threads.
// - Comparers and transformers are reference counted (TnxInterfacedObject):
//   hold them through TnxIntfPtr. A list keeps one reference to each of its
//   own; a transformer hub keeps one to each of its parts.
// - A list stores strings in transformed form: whatever enters (add, insert,
//   put, text) goes through the transformer first, and whatever is searched
//   for (Find, IndexOf, IndexOfName, name/value access) is transformed before
//   it is compared.
// - Objects attached to strings are not owned.
// - List misuse (bad index, insert or put on a sorted list, a duplicate under
//   the error rule, moving on a sorted list) raises platform::StringListError
//   and changes nothing. Platform text-service failures raise the engine's
//   operating-system error (EnxBaseException, code 11047) naming the action.
// - Change events fire only outside BeginUpdate/EndUpdate brackets; an
//   exception from OnChanging aborts the change.
// - Thread safety: a list is used by one thread at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllTypes.h"
#include "plGuid.h"
#include "plObject.h"
#include "plStringList.h"

// ---------------------------------------------------------------------------
// Interfaces

class InxWideStringComparer : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x99A47C9F, 0x95DA, 0x4D19, {0xB7, 0x08, 0x11, 0x2F, 0x19, 0x41, 0xFE, 0x09}};
  virtual std::int8_t Compare(const TnxWideString& a, const TnxWideString& b) = 0;

 protected:
  ~InxWideStringComparer() = default;
};

class InxWideStringTransformer : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x55B1D182, 0x5AC3, 0x462A, {0x87, 0x7A, 0x68, 0x1D, 0x5F, 0x59, 0x04, 0x8B}};
  virtual void Transform(const TnxWideString& aInput, TnxWideString& aOutput) = 0;

 protected:
  ~InxWideStringTransformer() = default;
};

using TnxWideStringComparerPtr = TnxIntfPtr<InxWideStringComparer>;
using TnxWideStringTransformerPtr = TnxIntfPtr<InxWideStringTransformer>;

// Raised by the locale-mapping transformer for LCMAP_SORTKEY (12289).
NX_DECLARE_EXCEPTION(EnxWideStringLocaleMappingTransformerException, EnxBaseException)

// ---------------------------------------------------------------------------
// Comparers

// Implementation base: the interface's three basic operations are the
// object's.
class TnxWideStringComparer : public TnxInterfacedObject, public InxWideStringComparer {
  PL_CLASS_INFO_DECL()
 public:
  NX_INTERFACED_OBJECT_BASICS()

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
};

// The units as raw little-endian memory, byte by byte unsigned (so "B" comes
// before "a" and U+0100 before U+00FF); on an equal prefix the shorter first.
class TnxWideStringByteComparer : public TnxWideStringComparer {
  PL_CLASS_INFO_DECL()
 public:
  std::int8_t Compare(const TnxWideString& a, const TnxWideString& b) override;
};

class TnxBaseWideStringCompareStringComparer;

// Class-level virtual constructor of the CompareString comparers.
struct TnxWideStringCompareStringComparerClassFuncs {
  TnxBaseWideStringCompareStringComparer* (*Create)(TnxWord32 aLocale, TnxWord32 aFlags);
};

// Locale and CompareString flags (NORM_IGNORECASE etc., plCollation.h).
class TnxBaseWideStringCompareStringComparer : public TnxWideStringComparer {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseWideStringCompareStringComparer(TnxWord32 aLocale, TnxWord32 aFlags)
      : bwscscLocale(aLocale), bwscscFlags(aFlags) {}
  TnxWord32 Locale() const { return bwscscLocale; }
  TnxWord32 Flags() const { return bwscscFlags; }

  // Builds an instance of aClass through its virtual constructor; every
  // concrete class of this family carries the class table.
  static TnxBaseWideStringCompareStringComparer* CreateOfClass(const platform::ClassInfo& aClass, TnxWord32 aLocale,
                                                               TnxWord32 aFlags);

 protected:
  TnxWord32 bwscscLocale;
  TnxWord32 bwscscFlags;
};

// Either text empty: the lengths; otherwise the locale's collation with the
// flags. A collation failure (unknown locale or flag) raises the
// operating-system error, never a result.
class TnxWideStringCompareStringWComparer : public TnxBaseWideStringCompareStringComparer {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseWideStringCompareStringComparer::TnxBaseWideStringCompareStringComparer;
  std::int8_t Compare(const TnxWideString& a, const TnxWideString& b) override;
};

// ---------------------------------------------------------------------------
// Transformers

class TnxWideStringTransformer : public TnxInterfacedObject, public InxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  NX_INTERFACED_OBJECT_BASICS()

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
};

class TnxWideStringNullTransformer : public TnxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  void Transform(const TnxWideString& aInput, TnxWideString& aOutput) override;
};

// FoldString with the flags (MAP_PRECOMPOSED etc., plNormalize.h). Empty
// stays empty; bad flags raise the operating-system error with the action
// "TnxWideStringFoldStringTransformer.Transform/FoldStringW/1".
class TnxWideStringFoldStringTransformer : public TnxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxWideStringFoldStringTransformer(TnxWord32 aFlags) : wsfstFlags(aFlags) {}
  void Transform(const TnxWideString& aInput, TnxWideString& aOutput) override;
  TnxWord32 Flags() const { return wsfstFlags; }

 protected:
  TnxWord32 wsfstFlags;
};

// Composes combining sequences (MAP_PRECOMPOSED).
class TnxWideStringPreComposeTransformer : public TnxWideStringFoldStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  TnxWideStringPreComposeTransformer();
};

// nxWideLCMapString with locale and flags; empty stays empty. LCMAP_SORTKEY
// is refused at construction (sort keys are bytes, not text).
class TnxWideStringLocaleMappingTransformer : public TnxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  TnxWideStringLocaleMappingTransformer(TnxWord32 aLocale, TnxWord32 aFlags);
  void Transform(const TnxWideString& aInput, TnxWideString& aOutput) override;
  TnxWord32 Locale() const { return wslmtLocale; }
  TnxWord32 Flags() const { return wslmtFlags; }

 protected:
  TnxWord32 wslmtLocale;
  TnxWord32 wslmtFlags;
};

class TnxWideStringLowerCaseTransformer : public TnxWideStringLocaleMappingTransformer {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxWideStringLowerCaseTransformer(TnxWord32 aLocale);
};

class TnxWideStringUpperCaseTransformer : public TnxWideStringLocaleMappingTransformer {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxWideStringUpperCaseTransformer(TnxWord32 aLocale);
};

// At most aMaxLength units (a negative maximum counts as 0); a cut that would
// keep a high surrogate without its partner keeps one unit fewer.
class TnxWideStringTruncateTransformer : public TnxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxWideStringTruncateTransformer(std::int32_t aMaxLength) : wsttMaxLength(aMaxLength < 0 ? 0 : aMaxLength) {}
  void Transform(const TnxWideString& aInput, TnxWideString& aOutput) override;
  std::int32_t MaxLength() const { return wsttMaxLength; }

 protected:
  std::int32_t wsttMaxLength;
};

// Applies its transformers in array order, each to the previous output.
// Empty entries are left out.
class TnxWideStringTransformerHub : public TnxWideStringTransformer {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxWideStringTransformerHub(std::span<const TnxWideStringTransformerPtr> aTransformers);
  TnxWideStringTransformerHub(std::initializer_list<TnxWideStringTransformerPtr> aTransformers)
      : TnxWideStringTransformerHub(std::span<const TnxWideStringTransformerPtr>(aTransformers.begin(),
                                                                                aTransformers.size())) {}
  void Transform(const TnxWideString& aInput, TnxWideString& aOutput) override;
  std::size_t TransformerCount() const { return wsthTransformers.size(); }

 protected:
  std::vector<TnxWideStringTransformerPtr> wsthTransformers;
};

// A new reference to a freshly created comparer or transformer.
template <class T, class... Args>
TnxWideStringComparerPtr nxNewWideStringComparer(Args&&... aArgs) {
  return TnxWideStringComparerPtr(platform::create<T>(std::forward<Args>(aArgs)...));
}
template <class T, class... Args>
TnxWideStringTransformerPtr nxNewWideStringTransformer(Args&&... aArgs) {
  return TnxWideStringTransformerPtr(platform::create<T>(std::forward<Args>(aArgs)...));
}

// ---------------------------------------------------------------------------
// Lists

// The code page value that stands for nxDefaultCodePage in the 8-bit
// overloads and in the stream operations (0 does too).
inline constexpr TnxWord32 nxWideStringsDefaultCodePage = 0xFFFF;
// The line separator Text joins with.
inline constexpr char16_t nxWideLineSeparator = u'\u2028';
// Name of the streamed property that carries Text in form data.
inline constexpr std::string_view nxWideStringsPropertyName = "WideStrings";

using TnxWideStringsNotifyEvent = TnxMethod<platform::TObject*>;

// The abstract list: positional access is the descendants'; comparison,
// text, name/value lines, streams and assignment are built on it.
class TnxWideStrings : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Empty references give a byte comparer and a null transformer.
  explicit TnxWideStrings(TnxWideStringComparerPtr aComparer = {}, TnxWideStringTransformerPtr aTransformer = {});
  TnxWideStrings(const TnxWideStrings&) = delete;
  TnxWideStrings& operator=(const TnxWideStrings&) = delete;

  // --- virtual operations
  virtual void SetUpdateState(bool aUpdating);
  virtual std::int32_t GetCapacity() const { return GetCount(); }
  virtual void SetCapacity(std::int32_t aCapacity);
  virtual std::int32_t GetCount() const = 0;
  virtual TnxWideString wsGetString(std::int32_t aIndex) const = 0;
  virtual void wsPutString(std::int32_t aIndex, const TnxWideString& s) = 0;
  virtual platform::TObject* wsGetObject(std::int32_t aIndex) const;
  virtual void wsPutObject(std::int32_t aIndex, platform::TObject* aObject) = 0;
  virtual TnxWideString GetText() const;
  virtual void SetText(const TnxWideString& aText);
  virtual std::int8_t CompareStrings(const TnxWideString& a, const TnxWideString& b) const;
  virtual void TransformString(const TnxWideString& s, TnxWideString& t) const;
  virtual void Clear() = 0;
  virtual std::int32_t Add(const TnxWideString& s);
  virtual std::int32_t AddObject(const TnxWideString& s, platform::TObject* aObject);
  virtual void Insert(std::int32_t aIndex, const TnxWideString& s) = 0;
  virtual void Delete(std::int32_t aIndex) = 0;
  // The lines are UTF-16 already; aCodePage is not used.
  virtual void AddStrings(const platform::TStringList& aStrings, TnxWord32 aCodePage);
  virtual void AddStrings(const TnxWideStrings& aStrings);
  virtual void Exchange(std::int32_t aIndex1, std::int32_t aIndex2);
  // Both indexes are checked before anything changes.
  virtual void Move(std::int32_t aCurIndex, std::int32_t aNewIndex);
  virtual TnxWideString GetSeparatedText(const TnxWideString& aSeparators) const;
  virtual std::int32_t IndexOf(const TnxWideString& s) const;
  // File names are UTF-8 paths. Saved UTF-16 is Text (lines separated by
  // U+2028), optionally after the mark FF FE; saved 8-bit text separates the
  // lines with CR LF. The 8-bit forms use aCodePage (0 or $FFFF:
  // nxDefaultCodePage). Loading honours the marks FF FE and FE FF.
  virtual void LoadFromFile(const std::string& aFileName, bool aForceUnicode, TnxWord32 aCodePage);
  virtual void LoadFromStream(TStream& aStream, bool aForceUnicode, TnxWord32 aCodePage);
  virtual void SaveToFile(const std::string& aFileName, bool aUnicode, bool aWithBOM, TnxWord32 aCodePage);
  virtual void SaveToStream(TStream& aStream, bool aUnicode, bool aWithBOM, TnxWord32 aCodePage);

  // --- static operations
  std::int32_t Count() const { return GetCount(); }
  std::int32_t Capacity() const { return GetCapacity(); }
  TnxWideString Strings(std::int32_t aIndex) const { return wsGetString(aIndex); }
  platform::TObject* Objects(std::int32_t aIndex) const { return wsGetObject(aIndex); }
  TnxWideString Text() const { return GetText(); }
  const TnxWideStringComparerPtr& Comparer() const { return wsComparer; }
  const TnxWideStringTransformerPtr& Transformer() const { return wsTransformer; }

  void BeginUpdate();
  void EndUpdate();
  std::int32_t UpdateCount() const { return wsUpdateCount; }

  std::int32_t Add(platform::UnicodeStringView s);
  std::int32_t Add(std::string_view s, TnxWord32 aCodePage);
  std::int32_t AddObject(platform::UnicodeStringView s, platform::TObject* aObject);
  std::int32_t AddObject(std::string_view s, TnxWord32 aCodePage, platform::TObject* aObject);
  void Insert(std::int32_t aIndex, platform::UnicodeStringView s);
  void Insert(std::int32_t aIndex, std::string_view s, TnxWord32 aCodePage);
  void InsertObject(std::int32_t aIndex, const TnxWideString& s, platform::TObject* aObject);
  void InsertObject(std::int32_t aIndex, platform::UnicodeStringView s, platform::TObject* aObject);
  void InsertObject(std::int32_t aIndex, std::string_view s, TnxWord32 aCodePage, platform::TObject* aObject);
  void Append(const TnxWideString& s) { Add(s); }
  void Append(platform::UnicodeStringView s) { Add(s); }
  void Append(std::string_view s, TnxWord32 aCodePage) { Add(s, aCodePage); }

  TnxWideString GetSeparatedText(char16_t aSeparator) const;
  // Same count and every pair equal by CompareStrings.
  bool Equals(const TnxWideStrings* aStrings) const;
  std::int32_t IndexOfName(const TnxWideString& aName) const;
  std::int32_t IndexOfObject(const platform::TObject* aObject) const;
  TnxWideString wsGetName(std::int32_t aIndex) const;
  TnxWideString wsGetValue(const TnxWideString& aName) const;
  // An empty value deletes the line; a new name adds a line.
  void wsSetValue(const TnxWideString& aName, const TnxWideString& aValue);

  // From another TnxWideStrings or a platform::TStringList; anything else
  // raises platform::ConvertError.
  void Assign(const platform::TObject* aSource);
  void AssignTo(platform::TObject* aDest) const;

  // Form data: whether the "WideStrings" property is written against
  // aAncestor (nullptr = none), and its value (Text as a wide string).
  bool WideStringsStored(const platform::TObject* aAncestor) const;
  void WriteWideStrings(TnxWriter& aWriter) const;
  // Accepts string, long string, UTF-8 and wide string values.
  void ReadWideStrings(TnxReader& aReader);

 protected:
  // BeginUpdate/EndUpdate for a scope.
  class UpdateBracket {
   public:
    explicit UpdateBracket(TnxWideStrings& aList);
    ~UpdateBracket() noexcept(false);
    UpdateBracket(const UpdateBracket&) = delete;
    UpdateBracket& operator=(const UpdateBracket&) = delete;

   private:
    TnxWideStrings& ubList;
    int ubExceptions;
  };

  TnxWideString Transformed(const TnxWideString& s) const;
  [[noreturn]] static void IndexError(std::int32_t aIndex);
  [[noreturn]] static void SortedListError();
  [[noreturn]] static void DuplicateError();

  std::int32_t wsUpdateCount = 0;
  TnxWideStringComparerPtr wsComparer;
  TnxWideStringTransformerPtr wsTransformer;
};

struct TnxWideStringItem {
  TnxWideString wsiString;
  platform::TObject* wsiObject = nullptr;  // not owned
};

// The array-backed list, optionally kept sorted by the comparer.
class TnxWideStringList : public TnxWideStrings {
  PL_CLASS_INFO_DECL()
 public:
  using TnxWideStrings::TnxWideStrings;
  using TnxWideStrings::Add;
  using TnxWideStrings::AddObject;
  using TnxWideStrings::AddStrings;
  using TnxWideStrings::GetSeparatedText;
  using TnxWideStrings::Insert;

  void SetUpdateState(bool aUpdating) override;
  std::int32_t GetCapacity() const override { return static_cast<std::int32_t>(wslList.size()); }
  // Below Count cuts Count.
  void SetCapacity(std::int32_t aCapacity) override;
  std::int32_t GetCount() const override { return wslCount; }
  TnxWideString wsGetString(std::int32_t aIndex) const override;
  void wsPutString(std::int32_t aIndex, const TnxWideString& s) override;
  platform::TObject* wsGetObject(std::int32_t aIndex) const override;
  void wsPutObject(std::int32_t aIndex, platform::TObject* aObject) override;
  void Clear() override;
  std::int32_t Add(const TnxWideString& s) override;
  void Insert(std::int32_t aIndex, const TnxWideString& s) override;
  void Delete(std::int32_t aIndex) override;
  void Exchange(std::int32_t aIndex1, std::int32_t aIndex2) override;
  // Refused on a sorted list (the item could not be put back).
  void Move(std::int32_t aCurIndex, std::int32_t aNewIndex) override;
  std::int32_t IndexOf(const TnxWideString& s) const override;
  virtual void Changed();
  virtual void Changing();
  // Binary search for the transformed s: true with its index, else false
  // with the insertion point. Meaningful only while the list is sorted.
  virtual bool Find(const TnxWideString& s, std::int32_t& aIndex) const;
  virtual void Sort();

  // The stored string without a copy.
  const TnxWideString& StringRef(std::int32_t aIndex) const;

  platform::Duplicates Duplicates() const { return wslDuplicates; }
  void SetDuplicates(platform::Duplicates aDuplicates) { wslDuplicates = aDuplicates; }
  bool Sorted() const { return wslSorted; }
  void SetSorted(bool aSorted);

  TnxWideStringsNotifyEvent OnChange;
  TnxWideStringsNotifyEvent OnChanging;

 private:
  void CheckIndex(std::int32_t aIndex) const;
  // Stores the already transformed string at aIndex.
  void InsertItem(std::int32_t aIndex, TnxWideString t);
  bool FindTransformed(const TnxWideString& t, std::int32_t& aIndex) const;
  void QuickSort(std::int32_t aLeft, std::int32_t aRight);

  std::vector<TnxWideStringItem> wslList;  // size = capacity
  std::int32_t wslCount = 0;
  bool wslSorted = false;
  platform::Duplicates wslDuplicates = platform::Duplicates::ignore;
};
