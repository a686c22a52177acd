#include "nxsqlProxiesFieldDefs.h"

#include <algorithm>

#include "plCaseFold.h"

PL_CLASS_INFO_IMPL(TnxSqlFieldDefList, TnxObject, "TnxSqlFieldDefList", nullptr)
PL_CLASS_INFO_IMPL(TnxSqlForeignKeyConstraint, TnxObject, "TnxSqlForeignKeyConstraint", nullptr)

// ------------------------------------------------------------ pair tables

namespace {

using TypeRow = std::array<TnxFieldType, nxFieldTypeCount>;
struct PairTables {
  std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> compatible{};
  std::array<TypeRow, nxFieldTypeCount> combined{};
  constexpr void set(TnxFieldType p, TnxFieldType q, TnxFieldType r) {
    compatible[p][q] = true;
    combined[p][q] = r;
  }
};

constexpr PairTables buildPairTables() {
  PairTables t;
  for (int p = 0; p < nxFieldTypeCount; ++p)
    for (int q = 0; q < nxFieldTypeCount; ++q) t.combined[p][q] = TnxFieldType(p);

  // Numeric pairs: rows and columns in this order.
  constexpr TnxFieldType N[15] = {nxtByte,   nxtWord16, nxtWord32,   nxtInt8,     nxtInt16,
                                  nxtInt32,  nxtInt64,  nxtAutoInc,  nxtSingle,   nxtDouble,
                                  nxtExtended, nxtCurrency, nxtRecRev, nxtBCD,    nxtFmtBCD};
  constexpr TnxFieldType W16 = nxtWord16, W32 = nxtWord32, I8 = nxtInt8, I16 = nxtInt16,
                         I32 = nxtInt32, I64 = nxtInt64, S = nxtSingle, D = nxtDouble, E = nxtExtended,
                         C = nxtCurrency, RR = nxtRecRev, BCD = nxtBCD, FB = nxtFmtBCD;
  constexpr TnxFieldType num[15][15] = {
      /* B   */ {W16, W16, W32, I16, I16, I32, I64, W32, S, D, E, C, RR, BCD, FB},
      /* W16 */ {W16, W16, W32, I32, I32, I32, I64, W32, S, D, E, C, RR, BCD, FB},
      /* W32 */ {W32, W32, W32, I64, I64, I64, I64, W32, S, D, E, C, RR, BCD, FB},
      /* I8  */ {I32, I32, I64, I8, I16, I32, I64, I64, S, D, E, C, RR, BCD, FB},
      /* I16 */ {I32, I32, I64, I16, I16, I32, I64, I64, S, D, E, C, RR, BCD, FB},
      /* I32 */ {I32, I32, I64, I32, I32, I32, I64, I64, S, D, E, C, RR, BCD, FB},
      /* I64 */ {I64, I64, I64, I64, I64, I64, I64, I64, D, D, E, C, RR, BCD, FB},
      /* AI  */ {W32, W32, W32, I64, I64, I64, I64, W32, D, D, E, C, RR, BCD, FB},
      /* S   */ {S, S, S, S, S, S, S, S, S, D, E, C, RR, D, D},
      /* D   */ {D, D, D, D, D, D, D, D, D, D, E, C, RR, D, D},
      /* E   */ {E, E, E, E, E, E, E, E, E, E, E, C, RR, E, E},
      /* C   */ {C, C, C, C, C, C, C, C, C, C, C, C, RR, BCD, FB},
      /* RR  */ {W32, W32, W32, I64, I64, I64, I64, I64, S, D, E, C, RR, BCD, FB},
      /* BCD */ {BCD, BCD, BCD, BCD, BCD, BCD, BCD, BCD, D, D, E, BCD, RR, BCD, FB},
      /* FB  */ {FB, FB, FB, FB, FB, FB, FB, FB, FB, FB, FB, FB, RR, FB, FB},
  };
  for (int p = 0; p < 15; ++p)
    for (int q = 0; q < 15; ++q) t.set(N[p], N[q], num[p][q]);

  // Widening must not lose values. A floating type with Currency, BCD or
  // FmtBCD (either order) holds both only as a float: Double, or Extended.
  for (TnxFieldType f : {S, D, E})
    for (TnxFieldType x : {C, BCD, FB}) {
      const TnxFieldType r = f == E ? E : D;
      t.set(f, x, r);
      t.set(x, f, r);
    }
  // Currency has 4 decimals but only about 15 integer digits: with Int64 only a decimal holds both.
  t.set(I64, C, FB);
  t.set(C, I64, FB);
  // RecRev is 32 bits: X with RecRev widens as RecRev with X does.
  for (int q = 0; q < 15; ++q) t.set(N[q], RR, t.combined[RR][N[q]]);

  // Character pairs.
  constexpr TnxFieldType Ch = nxtChar, WCh = nxtWideChar, BM = nxtBlobMemo, SS = nxtShortString, NS = nxtNullString,
                         WS = nxtWideString, BWM = nxtBlobWideMemo;
  constexpr TnxFieldType X[7] = {Ch, WCh, BM, SS, NS, WS, BWM};
  constexpr TnxFieldType none = TnxFieldType(0xFF);
  constexpr TnxFieldType chars[7][7] = {
      /* Ch  */ {Ch, WCh, BM, SS, NS, WS, BWM},
      /* WCh */ {none, WCh, none, none, none, none, none},
      /* BM  */ {BM, BWM, BM, BM, BM, BWM, BWM},  // wide text widens a memo to a wide memo
      /* SS  */ {SS, WS, BM, SS, NS, WS, BWM},    // a wide character needs a wide string
      /* NS  */ {NS, WS, BM, NS, NS, WS, BWM},
      /* WS  */ {WS, WS, BWM, WS, WS, WS, BWM},
      /* BWM */ {BWM, BWM, BWM, BWM, BWM, BWM, BWM},
  };
  for (int p = 0; p < 7; ++p)
    for (int q = 0; q < 7; ++q)
      if (chars[p][q] != none) t.set(X[p], X[q], chars[p][q]);

  for (TnxFieldType self : {nxtBoolean, nxtDate, nxtTime, nxtDateTime, nxtGuid, nxtByteArray}) t.set(self, self, self);
  t.set(nxtInterval, nxtDateTime, nxtInterval);
  t.set(nxtInterval, nxtInterval, nxtInterval);
  t.set(nxtBlob, nxtBlob, nxtBlob);
  t.set(nxtBlob, nxtBlobGraphic, nxtBlobGraphic);
  t.set(nxtBlobGraphic, nxtBlob, nxtBlobGraphic);
  t.set(nxtBlobGraphic, nxtBlobGraphic, nxtBlobGraphic);
  t.set(nxtRefNr, nxtInt64, nxtInt64);
  t.set(nxtRefNr, nxtRefNr, nxtRefNr);
  return t;
}

constexpr PairTables kPairTables = buildPairTables();

}  // namespace

const std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> nxSqlCompatibleTypes = kPairTables.compatible;
const std::array<std::array<TnxFieldType, nxFieldTypeCount>, nxFieldTypeCount> nxSqlCombinedTypes =
    kPairTables.combined;

// ------------------------------------------------------------ definitions

namespace {

TnxOwned<TnxLocaleDescriptor> copyOf(const TnxLocaleDescriptor* aLocale) {
  if (!aLocale) return nullptr;
  TnxOwned<TnxLocaleDescriptor> copy(TnxLocaleDescriptor::CreateOfClass(aLocale->classInfo(), nullptr));
  copy->Assign(const_cast<TnxLocaleDescriptor*>(aLocale));
  return copy;
}

bool isCharacterType(TnxFieldType t) {
  switch (t) {
    case nxtChar:
    case nxtWideChar:
    case nxtBlobMemo:
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
    case nxtBlobWideMemo:
      return true;
    default:
      return false;
  }
}

nxString sqlTypeName(TnxFieldType t) { return nxString(nxFieldTypeSqlNames[t][1]); }

}  // namespace

TnxSqlFieldDefList::~TnxSqlFieldDefList() = default;

std::size_t TnxSqlFieldDefList::NamePosition(const nxString& aName) const {
  return std::size_t(std::lower_bound(FieldNames.begin(), FieldNames.end(), aName,
                                      [](const TnxSqlFieldDefProxyRec* r, const nxString& n) {
                                        return platform::compareFoldCase(r->fdName, n) < 0;
                                      }) -
                     FieldNames.begin());
}

void TnxSqlFieldDefList::Insert(std::int32_t aIndex, std::unique_ptr<TnxSqlFieldDefProxyRec> aRec) {
  nxAssert(aIndex >= 0 && aIndex <= Count(), "field definition index out of range");
  const std::size_t at = NamePosition(aRec->fdName);
  if (at < FieldNames.size() && platform::compareFoldCase(FieldNames[at]->fdName, aRec->fdName) == 0)
    throw EnxInternalSQLException(u"Duplicate column name: %s", {aRec->fdName});
  FieldNames.insert(FieldNames.begin() + std::ptrdiff_t(at), aRec.get());
  FieldList.insert(FieldList.begin() + aIndex, std::move(aRec));
}

void TnxSqlFieldDefList::InsertField(std::int32_t aIndex, const nxString& aName, const nxString& aDescription,
                                     TnxFieldType aType, std::int32_t aUnit, std::int32_t aDec,
                                     std::int32_t aIncStart, std::int32_t aIncStep, bool aRequired,
                                     TnxSqlDefaultType aDefaultType, const platform::Variant& aDefaultValue,
                                     bool aHidden, const TnxLocaleDescriptor* aLocaleDesc, bool aAggregate,
                                     platform::TObject* Expression) {
  if (aType == nxtAutoInc && !(aIncStart == 1 && aIncStep == 1)) {
    if (aIncStart == 0) throw EnxBaseException(u"AutoInc start needs to be larger than 0");
    if (aIncStep == 0) throw EnxBaseException(u"AutoInc step needs to be larger than 0");
  }
  auto rec = std::make_unique<TnxSqlFieldDefProxyRec>();
  rec->fdName = aName;
  rec->fdDescription = aDescription;
  rec->fdType = aType;
  rec->fdUnits = (aUnit == 0 && (aType == nxtShortString || aType == nxtNullString || aType == nxtWideString))
                     ? 255
                     : aUnit;
  rec->fdDecimals = aDec;
  rec->fdIncStart = aIncStart;
  rec->fdIncStep = aIncStep;
  rec->fdRequired = aRequired;
  rec->fdDefaultType = aDefaultType;
  // Stored values are UTF-16 text, never 8-bit.
  rec->fdDefaultValue = aDefaultValue.type() == platform::varString ? platform::Variant(aDefaultValue.toString())
                                                                    : aDefaultValue;
  rec->fdInternalField = aHidden;
  rec->fdLocaleDesc = copyOf(aLocaleDesc);
  rec->fdAggregate = aAggregate;
  rec->fdExpression = Expression;
  Insert(aIndex, std::move(rec));
}

void TnxSqlFieldDefList::AddField(const nxString& aName, const nxString& aDescription, TnxFieldType aType,
                                  std::int32_t aUnit, std::int32_t aDec, std::int32_t aIncStart,
                                  std::int32_t aIncStep, bool aRequired, TnxSqlDefaultType aDefaultType,
                                  const platform::Variant& aDefaultValue, bool aHidden,
                                  const TnxLocaleDescriptor* aLocaleDesc, bool aAggregate,
                                  platform::TObject* Expression) {
  InsertField(Count(), aName, aDescription, aType, aUnit, aDec, aIncStart, aIncStep, aRequired, aDefaultType,
              aDefaultValue, aHidden, aLocaleDesc, aAggregate, Expression);
}

void TnxSqlFieldDefList::AddField(const TnxSqlFieldDefProxyRec& FieldDef) {
  auto rec = std::make_unique<TnxSqlFieldDefProxyRec>();
  rec->fdName = FieldDef.fdName;
  rec->fdDescription = FieldDef.fdDescription;
  rec->fdType = FieldDef.fdType;
  rec->fdUnits = FieldDef.fdUnits;
  rec->fdDecimals = FieldDef.fdDecimals;
  rec->fdIncStart = FieldDef.fdIncStart;
  rec->fdIncStep = FieldDef.fdIncStep;
  rec->fdRequired = FieldDef.fdRequired;
  rec->fdDefaultType = FieldDef.fdDefaultType;
  rec->fdDefaultValue = FieldDef.fdDefaultValue;
  rec->fdInternalField = FieldDef.fdInternalField;
  rec->fdLocaleDesc = copyOf(FieldDef.fdLocaleDesc.get());
  rec->fdAggregate = FieldDef.fdAggregate;
  rec->fdExpression = FieldDef.fdExpression;
  Insert(Count(), std::move(rec));
}

void TnxSqlFieldDefList::CoerceTypes(const TnxSqlFieldDefList& Other) {
  nxAssert(Other.Count() >= Count(), "set operation with fewer columns");
  for (std::int32_t i = 0; i < Count(); ++i) {
    TnxSqlFieldDefProxyRec& p = *FieldList[std::size_t(i)];
    const TnxSqlFieldDefProxyRec& q = *Other.FieldList[std::size_t(i)];
    if (!nxSqlCompatibleTypes[p.fdType][q.fdType])
      throw EnxInternalSQLException(u"Union/except/intersect error: Types %s and %s are not compatible. Fields %s / %s",
                                    {sqlTypeName(p.fdType), sqlTypeName(q.fdType), p.fdName, q.fdName});
    const TnxFieldType result = nxSqlCombinedTypes[p.fdType][q.fdType];
    p.fdType = result;
    switch (result) {
      case nxtByteArray:
      case nxtShortString:
      case nxtNullString:
      case nxtWideString:
      case nxtBCD:
      case nxtFmtBCD:
        p.fdUnits = std::max(p.fdUnits, q.fdUnits);
        break;
      default:
        break;
    }
    if (isCharacterType(result))
      p.fdDecimals = p.fdDecimals != 0 && q.fdDecimals != 0 ? std::max(p.fdDecimals, q.fdDecimals) : 0;
    else
      p.fdDecimals = std::max(p.fdDecimals, q.fdDecimals);
  }
}

void TnxSqlFieldDefList::SetRequired(const nxString& aFieldName) {
  const std::size_t at = NamePosition(aFieldName);
  if (at >= FieldNames.size() || platform::compareFoldCase(FieldNames[at]->fdName, aFieldName) != 0)
    throw EnxInternalSQLException(u"Column not found:\"%s\"", {aFieldName});
  FieldNames[at]->fdRequired = true;
}

bool TnxSqlFieldDefList::FieldExists(const nxString& FieldName) const {
  const std::size_t at = NamePosition(FieldName);
  return at < FieldNames.size() && platform::compareFoldCase(FieldNames[at]->fdName, FieldName) == 0;
}

PnxSqlFieldDefProxyRec TnxSqlFieldDefList::GetField(std::int32_t Index) const {
  nxAssert(Index >= 0 && Index < Count(), "field definition index out of range");
  return FieldList[std::size_t(Index)].get();
}

// ------------------------------------------------------------ index segments

TnxIndexFieldDef::TnxIndexFieldDef(std::int32_t AFieldIndex, bool ADescending, bool AIgnoreCase,
                                   bool AIgnoreKanaType, bool AIgnoreNonSpace, bool AIgnoreSymbols,
                                   bool AIgnoreWidth, std::uint32_t ALocale, bool AUseStringSort,
                                   TnxNullBehaviour aNullBehaviour)
    : ifdFieldIndex(AFieldIndex),
      ifdDescending(ADescending),
      ifdIgnoreCase(AIgnoreCase),
      ifdIgnoreKanaType(AIgnoreKanaType),
      ifdIgnoreNonSpace(AIgnoreNonSpace),
      ifdIgnoreSymbols(AIgnoreSymbols),
      ifdIgnoreWidth(AIgnoreWidth),
      ifdLocale(ALocale),
      ifdUseStringSort(AUseStringSort),
      ifdNullBehaviour(aNullBehaviour) {}

TnxIndexFieldDef::TnxIndexFieldDef(std::int32_t AFieldIndex, bool ADescending, bool AIgnoreCase,
                                   std::uint32_t AFlags, std::uint32_t ALocale, TnxNullBehaviour aNullBehaviour)
    : TnxIndexFieldDef(AFieldIndex, ADescending, AIgnoreCase, (AFlags & nxNORM_IGNOREKANATYPE) != 0,
                       (AFlags & nxNORM_IGNORENONSPACE) != 0, (AFlags & nxNORM_IGNORESYMBOLS) != 0,
                       (AFlags & nxNORM_IGNOREWIDTH) != 0, ALocale, (AFlags & nxSORT_STRINGSORT) != 0,
                       aNullBehaviour) {}

TnxSqlKeyFieldDescriptorType TnxIndexFieldDef::DescriptorTypeNeeded() const {
  if ((ifdLocale != 0 && ifdLocale != 2048) || ifdIgnoreKanaType || ifdIgnoreNonSpace || ifdIgnoreSymbols ||
      ifdIgnoreWidth || ifdUseStringSort)
    return kfdtExtendedText;
  return ifdIgnoreCase ? kfdtSimpleText : kfdtPlain;
}
