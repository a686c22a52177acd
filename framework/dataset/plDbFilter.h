// The filter-expression compiler: filter text (or a Locate request) into the
// compiled expression blob (CANExpr) that the engine's simple-expression
// filter evaluates.
//
// Blob layout (all integers little-endian):
//   header, 10 bytes: u16 iVer (2), u16 iTotalSize, u16 iNodes,
//                     u16 iNodeStart (10), u16 iLiteralStart
//   nodes, in pre-order (the root at node offset 0): u32 node class,
//     u32 operator (TCANOperator), then u16 operands:
//       unary (1):   operand node
//       binary (2):  left node, right node
//       compare (3): case-insensitive flag, partial length, left, right
//       field (4):   field number (1-based), literal offset of the name
//       const (5):   constant type, size, literal offset of the value
//   literal pool: field names as 8-bit zero-terminated text; constant values
//     (8-bit text with its terminator in the given code page (type 1), or,
//     when the text has no representation there, a u16 byte count and
//     UTF-16 (type 4103); i32 (6), i64 (18), u32 (13), double (7), u16
//     Boolean (4), i32 day number from 0001-01-01 = 1 (2), i32 milliseconds
//     of the day (10), double milliseconds day * 86400000 + time (11)).
//
// Filter text grammar (keywords ignore case):
//   expr      := term { OR term }
//   term      := factor { AND factor }
//   factor    := NOT factor | '(' expr ')' | operand [ op operand |
//                IS [NOT] NULL | LIKE operand ]
//   op        := = | <> | < | > | <= | >=
//   operand   := field name | [field name] | "field name" | 'text' |
//                number | TRUE | FALSE | NULL
// A quoted constant compared with a date, time, date-time, Boolean or
// numeric field takes that field's type (dates in the default format
// settings). A text constant ending in "*" compares only its leading
// characters (a partial compare) unless foNoPartialCompare is set; "%" at
// either end of a LIKE pattern is dropped, since the engine matches LIKE
// patterns anywhere in the value. "= NULL" and "<> NULL" mean IS [NOT] NULL.
// Comparisons of text get a compare node carrying the case-insensitive flag
// (foCaseInsensitive) and the partial length; others are binary nodes.
//
// Failures: EDatabaseError with the framework's expression messages.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "plDbConsts.h"
#include "plDbFields.h"
#include "plVariant.h"

namespace platform {

enum TCANOperator : std::uint32_t {
  coNOTDEFINED, coISBLANK, coNOTBLANK, coEQ, coNE, coGT, coLT, coGE, coLE, coNOT, coAND, coOR, coTUPLE2,
  coFIELD2, coCONST2, coMINUS, coADD, coSUB, coMUL, coDIV, coMOD, coREM, coSUM, coCOUNT, coMIN, coMAX, coAVG,
  coCONT, coUDF2, coCONTINUE2, coLIKE, coIN, coLIST2, coUPPER, coLOWER, coFUNC2, coLISTELEM2, coASSIGN
};

enum TNodeClass : std::uint32_t {
  nodeNULL, nodeUNARY, nodeBINARY, nodeCOMPARE, nodeFIELD, nodeCONST, nodeTUPLE, nodeCONTINUE
};

using TCANExprBytes = std::vector<std::uint8_t>;

struct TFilterField {
  int fieldNo = 0;  // 1-based
  TFieldType dataType = ftUnknown;
};
// Answers false for an unknown name.
using TFilterFieldResolver = std::function<bool(UnicodeStringView aName, TFilterField& aField)>;

// Compiles aText; 8-bit constants and names in aCodePage (0: the system
// ANSI code page). Empty text: SExprEmpty.
TCANExprBytes compileFilter(UnicodeStringView aText, TFilterOptions aOptions, std::uint16_t aCodePage,
                            const TFilterFieldResolver& aResolver);
// Resolves names among aFields (data fields, by FieldNo).
TCANExprBytes compileFilter(UnicodeStringView aText, TFilterOptions aOptions, std::uint16_t aCodePage,
                            const TFields& aFields);

// The expression Locate uses: aFields[i] = value i, joined by AND (left
// deep), each a compare node with the case-insensitive flag of
// loCaseInsensitive; with loPartialKey the last text comparison matches its
// leading characters. aValues: one value, or an array with one element per
// field. A null value compares with IS NULL.
TCANExprBytes buildLocateFilter(const std::vector<TField*>& aFields, const Variant& aValues,
                                TLocateOptions aOptions, std::uint16_t aCodePage);

}  // namespace platform
