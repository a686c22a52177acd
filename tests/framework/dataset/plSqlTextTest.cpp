// The table name and the ORDER BY index definition of an SQL text.
#include <gtest/gtest.h>

#include "plSqlText.h"

using namespace platform;

namespace {

struct TableNameCase {
  const char16_t* sql;
  const char16_t* table;
};

TEST(SqlText, TableNameOfOneTableStatements) {
  const TableNameCase cases[] = {
      {u"SELECT * FROM qbnk", u"qbnk"},
      {u"select a, b from QBNK where id = 1", u"QBNK"},
      {u"SELECT * FROM qbnk q WHERE q.id = 1", u"qbnk"},
      {u"SELECT * FROM qbnk AS q ORDER BY id", u"qbnk"},
      {u"SELECT * FROM \"my table\"", u"my table"},
      {u"SELECT * FROM [my table]", u"my table"},
      {u"SELECT * FROM owner.qbnk", u"owner.qbnk"},
      {u"update QBNK set hantei=:nowhantei where id=:nowid", u"QBNK"},
      {u"DELETE FROM qbnk WHERE id = 3", u"qbnk"},
      {u"INSERT INTO qbnk (id) VALUES (1)", u"qbnk"},
      // a FROM inside parentheses or quotes is not the statement's
      {u"SELECT (SELECT max(x) FROM other) AS m FROM qbnk", u"qbnk"},
      {u"SELECT 'x FROM y' AS s FROM qbnk", u"qbnk"},
      {u"SELECT /* FROM c */ * -- FROM d\r\nFROM qbnk", u"qbnk"},
      // two tables or none: no name
      {u"SELECT * FROM a, b", u""},
      {u"SELECT * FROM a JOIN b ON a.id = b.id", u""},
      {u"SELECT * FROM a x LEFT OUTER JOIN b y ON x.id = y.id", u""},
      {u"SELECT 1", u""},
      {u"", u""},
      {u"CREATE TABLE t (a INT)", u""},
  };
  for (const TableNameCase& c : cases) EXPECT_EQ(GetTableNameFromSQL(c.sql), UnicodeString(c.table)) << toUtf8(c.sql);
}

struct OrderByCase {
  const char16_t* sql;
  bool found;
  const char16_t* fields;
  const char16_t* descFields;
};

TEST(SqlText, IndexDefinitionFromOrderBy) {
  const OrderByCase cases[] = {
      {u"SELECT * FROM qbnk ORDER BY id", true, u"id", u""},
      {u"SELECT * FROM qbnk order by category_number, KEYWORD desc, id ASC", true,
       u"category_number;KEYWORD;id", u"KEYWORD"},
      {u"SELECT * FROM qbnk q ORDER BY q.id DESC", true, u"id", u"id"},
      {u"SELECT * FROM qbnk ORDER BY \"study date\";", true, u"study date", u""},
      // the order of a sub-select is not the statement's
      {u"SELECT * FROM (SELECT * FROM t ORDER BY a) x", false, u"", u""},
      {u"SELECT * FROM qbnk", false, u"", u""},
      // an expression cannot be named
      {u"SELECT * FROM qbnk ORDER BY id + 1", false, u"", u""},
      // a column number needs the dataset's fields
      {u"SELECT * FROM qbnk ORDER BY 2", false, u"", u""},
  };
  for (const OrderByCase& c : cases) {
    const std::unique_ptr<TIndexDef> index = GetIndexForOrderBy(c.sql, nullptr);
    ASSERT_EQ(index != nullptr, c.found) << toUtf8(c.sql);
    if (!index) continue;
    EXPECT_EQ(index->Name(), u"") << toUtf8(c.sql);
    EXPECT_EQ(index->Fields(), UnicodeString(c.fields)) << toUtf8(c.sql);
    EXPECT_EQ(index->DescFields(), UnicodeString(c.descFields)) << toUtf8(c.sql);
  }
}

}  // namespace
