// The dataset framework's types, its error classes and its message table.
//
// TFieldType numbers reach the engine's mapper registries (indexed by them),
// so the order is fixed: ftUnknown = 0 .. ftSingle = 51.
//
// Errors: EDatabaseError is the framework's database error; EAbort is the
// silent abort (an application's message loop ends it without a message).
// Messages are the framework's own texts (Japanese), one table below.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

#include "plErrors.h"
#include "plFormat.h"
#include "plString.h"

namespace platform {

enum TFieldType : std::uint8_t {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD, ftDate,
  ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic, ftFmtMemo,
  ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString, ftLargeint, ftADT,
  ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant, ftInterface, ftIDispatch, ftGuid,
  ftTimeStamp, ftFMTBcd, ftFixedWideChar, ftWideMemo, ftOraTimeStamp, ftOraInterval, ftLongWord,
  ftShortint, ftByte, ftExtended, ftConnection, ftParams, ftStream, ftTimeStampOffset, ftObject,
  ftSingle
};
inline constexpr int kFieldTypeCount = 52;
// "String", "Integer", ... for messages.
UnicodeString fieldTypeName(TFieldType aType);
bool isBlobType(TFieldType aType);

enum TDataSetState : std::uint8_t {
  dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue, dsOldValue,
  dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};

enum TDataEvent : std::uint8_t {
  deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange, deUpdateRecord,
  deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange, deFocusControl, deParentScroll,
  deConnectChange, deReconcileError, deDisabledStateChange
};

enum TGetMode : std::uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : std::uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : std::uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TDataAction : std::uint8_t { daFail, daAbort, daRetry };
enum TFieldKind : std::uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };
enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };
enum TParamType : std::uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

// Small sets over an enumeration (the framework's "set of").
template <class E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> aItems) {
    for (E e : aItems) bits_ |= bit(e);
  }
  constexpr bool contains(E e) const { return (bits_ & bit(e)) != 0; }
  constexpr TSet& add(E e) { bits_ |= bit(e); return *this; }
  constexpr TSet& remove(E e) { bits_ &= ~bit(e); return *this; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr std::uint64_t bits() const { return bits_; }
  friend constexpr bool operator==(TSet, TSet) = default;

 private:
  static constexpr std::uint64_t bit(E e) { return std::uint64_t{1} << static_cast<unsigned>(e); }
  std::uint64_t bits_ = 0;
};

enum TResyncModeItem : std::uint8_t { rmExact, rmCenter };
using TResyncMode = TSet<TResyncModeItem>;
enum TLocateOption : std::uint8_t { loCaseInsensitive, loPartialKey };
using TLocateOptions = TSet<TLocateOption>;
enum TFilterOption : std::uint8_t { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TSet<TFilterOption>;
enum TFieldAttribute : std::uint8_t { faHiddenCol, faReadonly, faRequired, faLink, faUnNamed, faFixed };
using TFieldAttributes = TSet<TFieldAttribute>;
enum TIndexOption : std::uint8_t {
  ixPrimary, ixUnique, ixDescending, ixCaseInsensitive, ixExpression, ixNonMaintained
};
using TIndexOptions = TSet<TIndexOption>;

// Bookmarks are byte arrays whose content only the dataset understands.
using TBookmark = std::vector<std::uint8_t>;
// A record buffer: an opaque block that only the dataset descendant
// allocates, fills and frees.
using TRecordBuffer = std::uint8_t*;

// ---------------------------------------------------------------------------
// Errors

class EDatabaseError : public RuntimeError {
 public:
  explicit EDatabaseError(const UnicodeString& aMessage);
  const UnicodeString& Message() const { return edMessage; }

 protected:
  // For a subclass that can build its text only after its own fields.
  void SetMessage(const UnicodeString& aMessage);

 private:
  UnicodeString edMessage;
};

// A failed update as a provider reports it: the error code, the code of the
// error before it (0: none) and the original exception.
class EUpdateError : public EDatabaseError {
 public:
  EUpdateError(const UnicodeString& aMessage, const UnicodeString& aContext, int aErrorCode, int aPreviousError,
               std::exception_ptr aOriginal)
      : EDatabaseError(aMessage), ueContext(aContext), ueErrorCode(aErrorCode), uePreviousError(aPreviousError),
        ueOriginal(std::move(aOriginal)) {}
  const UnicodeString& Context() const { return ueContext; }
  int ErrorCode() const { return ueErrorCode; }
  int PreviousError() const { return uePreviousError; }
  std::exception_ptr OriginalException() const { return ueOriginal; }

 private:
  UnicodeString ueContext;
  int ueErrorCode;
  int uePreviousError;
  std::exception_ptr ueOriginal;
};

// The silent abort.
class EAbort : public RuntimeError {
 public:
  EAbort() : RuntimeError("Operation aborted") {}
};

[[noreturn]] void DatabaseError(const UnicodeString& aMessage);
[[noreturn]] void DatabaseErrorFmt(UnicodeStringView aFormat, std::initializer_list<FormatArg> aArgs);
[[noreturn]] void Abort();

// ---------------------------------------------------------------------------
// The framework's messages.
namespace dbmsg {
inline constexpr char16_t SNotEditing[] = u"データセットが編集または挿入モードではありません";
inline constexpr char16_t SFieldIndexError[] = u"フィールド インデックスが範囲外です";
inline constexpr char16_t SIndexFieldMissing[] = u"インデックス フィールド '%s' にアクセスできません";
inline constexpr char16_t SNoFieldIndexes[] = u"どのインデックスも有効になっていません";
inline constexpr char16_t SNotIndexField[] = u"フィールド '%s' はインデックス付けされていないため変更できません";
inline constexpr char16_t SFieldValueError[] = u"フィールド '%s' の値が無効です";
inline constexpr char16_t SDataSetOpen[] = u"データセットが開いているため、この操作は実行できません";
inline constexpr char16_t SDataSetClosed[] = u"データセットが閉じているため、この操作は実行できません";
inline constexpr char16_t SDataSetEmpty[] = u"データセットが空のため、この操作は実行できません";
inline constexpr char16_t SDataSetReadOnly[] = u"読み取り専用のデータセットは変更できません";
inline constexpr char16_t SDataSetUnidirectional[] = u"単方向のデータセットではこの操作は実行できません";
inline constexpr char16_t SFieldNotFound[] = u"フィールド '%s' が見つかりません";
inline constexpr char16_t SFieldRequired[] = u"フィールド '%s' には値が必要です";
inline constexpr char16_t SFieldReadOnly[] = u"フィールド '%s' は変更できません";
inline constexpr char16_t SFieldAccessError[] = u"フィールド '%s' を %s 型としてアクセスできません";
inline constexpr char16_t SFieldRangeError[] =
    u"%s はフィールド '%s' の有効な値ではありません。有効な範囲は %s から %s までです";
inline constexpr char16_t SFieldTypeMismatch[] = u"フィールド '%s' の型が違います。%s 型であるべきところが %s 型です";
inline constexpr char16_t SUnknownFieldType[] = u"フィールド '%s' の型が不明です";
inline constexpr char16_t SFieldDefNotFound[] = u"フィールド定義 '%s' が見つかりません";
inline constexpr char16_t SDuplicateFieldName[] = u"フィールド名 '%s' が重複しています";
inline constexpr char16_t SIndexNotFound[] = u"インデックス '%s' が見つかりません";
inline constexpr char16_t SNoIndexForFields[] = u"フィールド '%s' に対するインデックスがありません";
inline constexpr char16_t SRecordNotFound[] = u"レコードが見つかりません";
inline constexpr char16_t SBookmarkNotFound[] = u"ブックマークが見つかりません";
inline constexpr char16_t SInvalidBookmark[] = u"ブックマークが無効です";
inline constexpr char16_t SNotBrowsing[] = u"データセットが参照モードではありません";
inline constexpr char16_t SCircularDataLink[] = u"データリンクが循環しています";
inline constexpr char16_t SParameterNotFound[] = u"パラメータ '%s' が見つかりません";
inline constexpr char16_t SInvalidParamType[] = u"パラメータ '%s' の型が不正です";
inline constexpr char16_t SBlobNotAvailable[] = u"フィールド '%s' の BLOB データにアクセスできません";
inline constexpr char16_t SNoDataSet[] = u"フィールド '%s' にデータセットがありません";
inline constexpr char16_t SInvalidFieldSize[] = u"フィールドのサイズが不正です";
inline constexpr char16_t SNotABoolean[] = u"'%s' はブール値ではありません";
inline constexpr char16_t SNotAGuid[] = u"'%s' は GUID 値ではありません";
// Filter expressions.
inline constexpr char16_t SExprUnterminated[] = u"フィルタ式の文字列定数が閉じていません";
inline constexpr char16_t SExprSyntax[] = u"フィルタ式の構文が正しくありません: %s";
inline constexpr char16_t SExprNoField[] = u"フィルタ式のフィールド '%s' が見つかりません";
inline constexpr char16_t SExprBadConstant[] = u"フィルタ式の定数 '%s' は %s 型のフィールドに合いません";
inline constexpr char16_t SExprTooLarge[] = u"フィルタ式が大きすぎます";
inline constexpr char16_t SExprEmpty[] = u"フィルタ式が空です";
}  // namespace dbmsg

}  // namespace platform
