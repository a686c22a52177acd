// Column definitions as SQL builds them (CREATE TABLE, ALTER TABLE, result
// tables, copies), the widening of set-operation columns, index segments and
// foreign keys.
//
// Set operations (UNION, EXCEPT, INTERSECT) widen the first operand's column
// definitions against each further operand so that every operand's rows
// fit. The pair tables are directional (row: the list being widened, column:
// the other operand); CASE types its branches with the same tables.
//
// Ownership: a list owns its definition records and each record owns its
// private copy of a locale descriptor; the expression node is not owned.
// Thread safety: used by the thread executing its statement.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "nxsdDataDictionaryItems.h"
#include "nxsdDataDictionaryKeys.h"
#include "nxsqlBase.h"
#include "nxsqlBaseContext.h"

// Whether a pair of column types can be combined, and the combined type.
extern const std::array<std::array<bool, nxFieldTypeCount>, nxFieldTypeCount> nxSqlCompatibleTypes;
extern const std::array<std::array<TnxFieldType, nxFieldTypeCount>, nxFieldTypeCount> nxSqlCombinedTypes;

struct TnxSqlFieldDefProxyRec {
  nxString fdName;
  nxString fdDescription;
  TnxFieldType fdType = nxtBoolean;
  std::int32_t fdUnits = 0;
  std::int32_t fdDecimals = 0;  // string types: non-zero marks a fixed-length column
  std::int32_t fdIncStart = 0;
  std::int32_t fdIncStep = 0;
  bool fdRequired = false;
  TnxSqlDefaultType fdDefaultType = dtNull;
  platform::Variant fdDefaultValue;
  bool fdInternalField = false;
  TnxOwned<TnxLocaleDescriptor> fdLocaleDesc;  // a private copy, or nil
  bool fdAggregate = false;
  platform::TObject* fdExpression = nullptr;  // not owned
};
using PnxSqlFieldDefProxyRec = TnxSqlFieldDefProxyRec*;

class TnxSqlFieldDefList : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxSqlFieldDefList() = default;
  ~TnxSqlFieldDefList() override;

  void AddField(const nxString& aName, const nxString& aDescription, TnxFieldType aType, std::int32_t aUnit,
                std::int32_t aDec, std::int32_t aIncStart, std::int32_t aIncStep, bool aRequired,
                TnxSqlDefaultType aDefaultType, const platform::Variant& aDefaultValue, bool aHidden,
                const TnxLocaleDescriptor* aLocaleDesc, bool aAggregate, platform::TObject* Expression);
  // Appends a copy of the whole record (its locale copied too).
  void AddField(const TnxSqlFieldDefProxyRec& FieldDef);
  // AutoInc start 0 or step 0 and duplicate names (any letter case) raise;
  // nothing is added then.
  void InsertField(std::int32_t aIndex, const nxString& aName, const nxString& aDescription, TnxFieldType aType,
                   std::int32_t aUnit, std::int32_t aDec, std::int32_t aIncStart, std::int32_t aIncStep,
                   bool aRequired, TnxSqlDefaultType aDefaultType, const platform::Variant& aDefaultValue,
                   bool aHidden, const TnxLocaleDescriptor* aLocaleDesc, bool aAggregate,
                   platform::TObject* Expression);
  // Widens this list against Other, column by column; an incompatible pair
  // raises, leaving the columns before it widened.
  void CoerceTypes(const TnxSqlFieldDefList& Other);
  void SetRequired(const nxString& aFieldName);
  bool FieldExists(const nxString& FieldName) const;
  PnxSqlFieldDefProxyRec GetField(std::int32_t Index) const;
  std::int32_t Count() const { return std::int32_t(FieldList.size()); }

 private:
  std::size_t NamePosition(const nxString& aName) const;  // lower bound in FieldNames
  void Insert(std::int32_t aIndex, std::unique_ptr<TnxSqlFieldDefProxyRec> aRec);

  std::vector<std::unique_ptr<TnxSqlFieldDefProxyRec>> FieldList;  // column order
  std::vector<TnxSqlFieldDefProxyRec*> FieldNames;                 // sorted by name, no case
};

enum TnxSqlKeyFieldDescriptorType : std::uint8_t { kfdtPlain, kfdtSimpleText, kfdtExtendedText };

struct TnxIndexFieldDef {
  std::int32_t ifdFieldIndex = 0;
  bool ifdDescending = false;
  bool ifdIgnoreCase = false;
  bool ifdIgnoreKanaType = false;
  bool ifdIgnoreNonSpace = false;
  bool ifdIgnoreSymbols = false;
  bool ifdIgnoreWidth = false;
  std::uint32_t ifdLocale = 0;
  bool ifdUseStringSort = false;
  TnxNullBehaviour ifdNullBehaviour = nbTop;

  TnxIndexFieldDef(std::int32_t AFieldIndex, bool ADescending, bool AIgnoreCase, bool AIgnoreKanaType,
                   bool AIgnoreNonSpace, bool AIgnoreSymbols, bool AIgnoreWidth, std::uint32_t ALocale,
                   bool AUseStringSort, TnxNullBehaviour aNullBehaviour);
  // The options from the compare flags: 2 non-space, 4 symbols, $1000 string
  // sort, $10000 kana type, $20000 width.
  TnxIndexFieldDef(std::int32_t AFieldIndex, bool ADescending, bool AIgnoreCase, std::uint32_t AFlags,
                   std::uint32_t ALocale, TnxNullBehaviour aNullBehaviour);
  TnxSqlKeyFieldDescriptorType DescriptorTypeNeeded() const;
};

enum TnxSqlReferenceAction : std::uint8_t { raCascade, raRestrict, raSetNull, raSetDefault };

class TnxSqlForeignKeyConstraint : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  void AddColumn(std::int32_t C, TnxFieldType FieldType) {
    FColumns.push_back(C);
    FColumnTypes.push_back(FieldType);
  }
  void AddForeignColumnName(const nxString& S) { FForeignColumns.push_back(S); }
  std::int32_t GetColumn(std::int32_t Index) const { return FColumns.at(std::size_t(Index)); }
  TnxFieldType GetColumnType(std::int32_t Index) const { return FColumnTypes.at(std::size_t(Index)); }
  std::int32_t ColumnCount() const { return std::int32_t(FColumns.size()); }
  const std::vector<nxString>& ForeignColumns() const { return FForeignColumns; }

  nxString Name;
  nxString TableName;
  nxString IndexName;
  TnxSqlReferenceAction UpdateAction = raRestrict;
  TnxSqlReferenceAction DeleteAction = raRestrict;

 private:
  std::vector<std::int32_t> FColumns;
  std::vector<TnxFieldType> FColumnTypes;
  std::vector<nxString> FForeignColumns;  // in the order given
};
