// SQL filters: a condition in SQL (without "WHERE") evaluated per record by a
// statement class that the SQL engine supplies through
// SqlFilterStatementClass. While that is nil, a SQL filter engine cannot be
// built (12289).
//
// Body of TnxSqlFilterDescriptor's stream after the class-name header:
// format byte (1 = 8-bit text in the system ANSI code page, 2 = UTF-16; the
// writer writes 2), signed 32-bit character count, the characters.
//
// Ownership: the engine owns its statement; the statement holds the fields
// source by counted reference. A statement is matched by one thread at a
// time (bsfsBuffer is set only during one match).
#pragma once

#include <cstdint>

#include "nxsdFilterEngineBase.h"

class TnxLocaleDescriptor;  // nxsdDataDictionary.h

NX_DECLARE_EXCEPTION(EnxSqlFilterDescriptorException, EnxBaseFilterDescriptorException)
NX_DECLARE_EXCEPTION(EnxSqlFilterEngineException, EnxBaseFilterEngineException)

class TnxBaseSqlFilterDescriptor : public TnxBaseFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseSqlFilterDescriptor(const nxString& aExpression) : bsfdExpression(aExpression) {}
  const nxString& Expression() const { return bsfdExpression; }

 protected:
  TnxBaseSqlFilterDescriptor() = default;
  nxString bsfdExpression;
};

class TnxSqlFilterDescriptor : public TnxBaseSqlFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxSqlFilterDescriptor(const nxString& aExpression) : TnxBaseSqlFilterDescriptor(aExpression) {}
  // Reads the body; a bad format byte, a bad count or a short text raise
  // 15498; a missing format byte raises the stream's read error.
  explicit TnxSqlFilterDescriptor(TStream& aStream);
  TnxResult WriteToStream(TStream& aStream, std::int32_t aVersion) override;
};

class TnxBaseSqlFilterStatement;

struct TnxSqlFilterStatementClassFuncs {
  TnxBaseSqlFilterStatement* (*create)(const TnxIntfPtr<InxFieldsSource>& aFieldsSource, const nxString& aSqlText);
};
template <class T>
inline constexpr TnxSqlFilterStatementClassFuncs nxSqlFilterStatementFuncs{
    [](const TnxIntfPtr<InxFieldsSource>& aFieldsSource, const nxString& aSqlText) -> TnxBaseSqlFilterStatement* {
      return platform::create<T>(aFieldsSource, aSqlText);
    }};

// The SQL engine's compiled condition over one fields source.
class TnxBaseSqlFilterStatement : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseSqlFilterStatement(const TnxIntfPtr<InxFieldsSource>& aFieldsSource, const nxString& aSqlText);

  // Evaluates with bsfsBuffer = aBuffer; any exception rejects the record.
  bool MatchesBuffer(const void* aBuffer);

  // External column hooks of the SQL execution context. A BLOB column
  // resolves to -1 unless the source supports BLOBs; an unknown name answers
  // the source's negative index.
  std::int32_t ResolveFilterColumn(const nxString& aColumnName, TnxFieldType& aColType, std::int32_t& aColSize,
                                   std::int32_t& aColDec, TnxLocaleDescriptor*& aColLocaleDesc);
  // Unassigned outside a match.
  platform::Variant GetFilterColumnValue(std::int32_t aIndex);

 protected:
  virtual bool EvaluateFilter() = 0;

  TnxIntfPtr<InxFieldsSource> bsfsFieldsSource;
  const void* bsfsBuffer = nullptr;
};

// Class of the SQL engine's statement (a TnxBaseSqlFilterStatement class with
// a TnxSqlFilterStatementClassFuncs table); nil until the SQL engine's module
// sets it. Set and reset only at start-up and finalisation.
extern const platform::ClassInfo* SqlFilterStatementClass;

class TnxBaseSqlFilterEngine : public TnxBaseFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFilterEngine::TnxBaseFilterEngine;
};

class TnxSqlFilterEngine : public TnxBaseSqlFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxSqlFilterDescriptor. 12289 while
  // SqlFilterStatementClass is nil; the statement's own failures pass through.
  TnxSqlFilterEngine(TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  ~TnxSqlFilterEngine() override;
  TnxBaseFilterDescriptor* CreateDescriptor() override;
  // True when inactive or aBuffer is nil; else the statement's answer.
  bool MatchesBuffer(const void* aBuffer) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  const nxString& Expression() const { return sfeExpression; }

 protected:
  nxString sfeExpression;
  TnxBaseSqlFilterStatement* sfeStatement = nullptr;  // owned
};

// Module start-up and finalisation, counted; listed in the dictionary's
// start-up table (registration of the descriptor and engine).
void nxsdFilterEngineSQLInitialize();
void nxsdFilterEngineSQLFinalize();
