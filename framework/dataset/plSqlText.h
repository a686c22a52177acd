// What data providers read from a dataset's SQL text: the one table it
// works on and the index definition of its ORDER BY.
//
// The scan is lexical: words, quoted names ("..." and [...]), string
// literals ('...', skipped), comments (-- and /* */, skipped) and single
// punctuation characters; parentheses nest, and only words at nesting
// depth 0 count, so a sub-select's FROM or ORDER BY is not taken.
// Thread safety: pure functions.
#pragma once

#include <memory>

#include "plDbFields.h"
#include "plString.h"

namespace platform {

class TDataSet;

// The table of "SELECT ... FROM t", "UPDATE t", "DELETE FROM t" or
// "INSERT INTO t" (quotes removed, an owner prefix kept); empty when the
// text names no table or more than one (a comma or a join after it).
UnicodeString GetTableNameFromSQL(UnicodeStringView aSql);

// An unnamed index definition over the ORDER BY items of aSql, in order
// (";"-joined; DESC items also in DescFields; a column number n names
// aDataSet's field n). Null without ORDER BY or when an item cannot be
// named (a number without a field, an expression).
std::unique_ptr<TIndexDef> GetIndexForOrderBy(UnicodeStringView aSql, const TDataSet* aDataSet);

}  // namespace platform
