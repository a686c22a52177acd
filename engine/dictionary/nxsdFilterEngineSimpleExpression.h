// Simple-expression filters: a compiled condition tree (CANExpr, the binary
// form client datasets produce from a filter text) evaluated directly over a
// record or key buffer through InxFieldsSource.
//
// Expression layout (little-endian, offsets in bytes):
//   header (10 bytes): iVer u16, iTotalSize u16, iNodes u16, iNodeStart u16,
//                      iLiteralStart u16
//   node at iNodeStart + N: class u32, operator u32, then u16 operands
//     1 unary (operand) 2 binary (left, right) 3 compare (ignore-case flag,
//     partial length, left, right) 4 field (1-based number, name literal)
//     5 constant (type, size, literal) 7 continue (flag)
//   literal at iLiteralStart + L
// The root is node 0. Expressions come from clients and from stored
// dictionaries, so every descriptor validates its expression once when it is
// made (header, every node reachable from the root, operands, literals with
// their sizes and terminators inside iTotalSize, no cycle, bounded depth and
// size): anything else is refused with 10051 "Invalid Filter". Evaluation
// then reads in place without further checks.
//
// Descriptor body in a stream (after the class-name header): u8 version v
// (1: no text, 3: UTF-16 text, 4: text and code page; 2, read only: 8-bit
// text), u16 byte count + expression, [v >= 2: u16 count + text],
// [v = 4: i32 code page].
//
// Ownership: the expression bytes are shared, never changed after
// construction, by the descriptor, its engines and the descriptors they make.
// Thread safety: none beyond that; one owner uses an engine at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nxllBde.h"
#include "nxsdFilterEngineBase.h"

NX_DECLARE_EXCEPTION(EnxSimpleExpressionFilterDescriptorException, EnxBaseFilterDescriptorException)
NX_DECLARE_EXCEPTION(EnxSimpleExpressionFilterEngineException, EnxBaseFilterEngineException)

// The bytes of one expression; nil or empty: no expression.
using TnxCANExpr = std::shared_ptr<const std::vector<std::uint8_t>>;

// The header is read in place as CANExpr (nxllBde.h).
static_assert(sizeof(CANExpr) == 10);

// Operators of the dataset framework's enumeration that the evaluator knows.
enum TCANOperator : std::uint32_t {
  coISBLANK = 1,
  coNOTBLANK = 2,
  coEQ = 3,
  coNE = 4,
  coGT = 5,
  coLT = 6,
  coGE = 7,
  coLE = 8,
  coNOT = 9,
  coAND = 10,
  coOR = 11,
  coLIKE = 30,
};

// Node classes.
enum TnxCANNodeClass : std::uint32_t {
  nxCANUnary = 1,
  nxCANBinary = 2,
  nxCANCompare = 3,
  nxCANField = 4,
  nxCANConst = 5,
  nxCANContinue = 7,
};

// Constant types.
enum TnxCANConstType : std::uint16_t {
  nxCANText = 1,
  nxCANDate = 2,
  nxCANBoolean = 4,
  nxCANInt16 = 5,
  nxCANInt32 = 6,
  nxCANFloat = 7,
  nxCANBcd = 8,
  nxCANTime = 10,
  nxCANTimeStamp = 11,
  nxCANWord16 = 12,
  nxCANWord32 = 13,
  nxCANExtended = 14,
  nxCANInt64 = 18,
  nxCANSingle = 27,
  nxCANWideText = 4103,
};

// Raises 10051 unless aExpression (empty allowed) is a well-formed expression.
void nxCheckCANExpr(const std::vector<std::uint8_t>& aExpression);

class TnxBaseSimpleExpressionFilterDescriptor : public TnxBaseFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // The pointer forms copy iTotalSize bytes (nothing for nil or 0). All
  // forms validate the expression (10051). aCodePage -1: not given.
  TnxBaseSimpleExpressionFilterDescriptor(const void* aExpression, std::int32_t aCodePage);
  TnxBaseSimpleExpressionFilterDescriptor(const void* aExpression, const nxString& aFilterText,
                                          std::int32_t aCodePage);
  TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression, std::int32_t aCodePage);
  TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression, const nxString& aFilterText,
                                          std::int32_t aCodePage);

  const TnxCANExpr& Expression() const { return bsfdExpression; }
  std::int32_t CodePage() const { return bsfdCodePage; }
  const nxString& FilterText() const { return bsfdFilterText; }

 protected:
  TnxBaseSimpleExpressionFilterDescriptor() = default;
  void Setup(TnxCANExpr aExpression, const nxString& aFilterText, std::int32_t aCodePage);

  TnxCANExpr bsfdExpression;
  std::int32_t bsfdCodePage = -1;
  nxString bsfdFilterText;
};

class TnxSimpleExpressionFilterDescriptor : public TnxBaseSimpleExpressionFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor;
  // The body after the class name: 15498 for a bad version or a cut text.
  explicit TnxSimpleExpressionFilterDescriptor(TStream& aStream);
  TnxResult WriteToStream(TStream& aStream, std::int32_t aVersion) override;
};

class TnxBaseSimpleExpressionFilterEngine : public TnxBaseFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFilterEngine::TnxBaseFilterEngine;
};

class TnxSimpleExpressionFilterEngine : public TnxBaseSimpleExpressionFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxSimpleExpressionFilterDescriptor.
  TnxSimpleExpressionFilterEngine(TnxBaseFilterDescriptor* aDescriptor,
                                  const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  TnxBaseFilterDescriptor* CreateDescriptor() override;
  bool MatchesBuffer(const void* aBuffer) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  TnxCANExpr sfeExpression;
  nxString sfeFilterText;
  bool sfeHasCodePage = false;
  std::uint16_t sfeCodePage = 3;  // the thread's ANSI code page
};

// Module start-up and finalisation (registration of descriptor and engine).
void nxsdFilterEngineSimpleExpressionInitialize();
void nxsdFilterEngineSimpleExpressionFinalize();
