#include "nxsqlTestNodes.h"

namespace sqltest {
NX_SQL_NODE_CLASS_IMPL(TTestItem, TnxSqlNode)
NX_SQL_NODE_CLASS_IMPL(TTestTable, TTestItem)
NX_SQL_NODE_CLASS_IMPL(TTestBoundary, TTestItem)
NX_SQL_NODE_CLASS_IMPL(TnxSqlSELECT, TTestItem)
NX_SQL_NODE_CLASS_IMPL(TTestRoot, TnxSqlRootNode)
}  // namespace sqltest
