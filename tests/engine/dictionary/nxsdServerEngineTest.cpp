#include "nxsdServerEngine.h"

#include <gtest/gtest.h>

#include <string>

#include "nxllBde.h"
#include "nxllException.h"
#include "plString.h"

namespace {

std::string u8(const nxString& s) { return platform::toUtf8(s); }

struct Pending {
  TnxResult code = 0;
  nxString message;
};

Pending pending() {
  Pending p;
  EnxBaseException::GetLastConvertedException(p.code, p.message);
  return p;
}

void clearPending() { EnxBaseException::nxSetMessage(0, u""); }

// ---- Kind tests ---------------------------------------------------------------

struct KindRow {
  nxString name;
  bool inMemory, globalTemp, localTemp;
};

TEST(nxsdServerEngine, TableNameKinds) {
  const KindRow rows[] = {
      {u"<temp>", true, false, false},
      {u"<x>", true, false, false},
      {u"<>", false, false, false},  // too short for the bracket form
      {u"<abc", false, false, false},
      {u"abc>", false, false, false},
      {u"###a", true, false, false},
      {u"###", false, false, false},  // nothing after the marker
      {u"####a", false, false, false},
      {u"##a", false, true, false},
      {u"##", false, false, false},
      {u"#a", false, false, true},
      {u"#", false, false, false},
      {u"a#b", false, false, false},
      {u"qbnk:qzrecord", false, false, false},
      {u"", false, false, false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(nxIsInMemoryTableName(r.name), r.inMemory) << u8(r.name);
    EXPECT_EQ(nxIsGlobalTempTableName(r.name), r.globalTemp) << u8(r.name);
    EXPECT_EQ(nxIsLocalTempTableName(r.name), r.localTemp) << u8(r.name);
  }
}

// ---- Name checks --------------------------------------------------------------

enum class Check { Table, TableWithChild, Children, Alias, Object };

struct CheckRow {
  Check check;
  nxString name;
  bool emptyIsNotFound, allowSystem;
  TnxResult result;
  TnxResult pendingCode;  // 0: none left
  nxString reason;        // after the standard-text placeholder
};

TnxResult run(const CheckRow& c) {
  switch (c.check) {
    case Check::Table: return nxCheckTableName(c.name, c.emptyIsNotFound, c.allowSystem);
    case Check::TableWithChild: return nxCheckTableNameWithChild(c.name, c.emptyIsNotFound, c.allowSystem);
    case Check::Children: return nxCheckChildTableNames(c.name);
    case Check::Alias: return nxCheckAliasName(c.name, c.emptyIsNotFound);
    case Check::Object: return nxCheckObjectName(c.name, c.emptyIsNotFound);
  }
  return -1;
}

const nxString kChildSeparators = u" Child name separators \":\" are not allowed.";
const nxString kEmpty = u" Empty string is not allowed.";
const nxString kReserved = u" Reserved Identifier not allowed.";
// User characters in messages are escaped so they cannot form markers.
const nxString kLessThan = u" \"" + nxEscapeMarkers(u"<") + u"\" is not a valid character.";
const nxString kColon = u" \":\" is not a valid character.";

TEST(nxsdServerEngine, NameChecks) {
  using enum Check;
  const CheckRow rows[] = {
      // table names with children
      {TableWithChild, u"qbnk:qzrecord", false, false, 0, 0, u""},
      {Table, u"qbnk:qzrecord", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kChildSeparators},
      {TableWithChild, u"a:.:..", false, false, 0, 0, u""},
      {TableWithChild, u"a::b", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kEmpty},
      {TableWithChild, u"a:", false, false, 0, 0, u""},
      {TableWithChild, u"a:b:c*d:..", false, false, nxErrInvalidTableName, nxErrInvalidTableName,
       u" \"*\" is not a valid character."},
      {TableWithChild, u"a:b:", false, false, 0, 0, u""},
      {TableWithChild, u"<mem>:child", false, false, 0, 0, u""},
      {TableWithChild, u"a b:$c", false, false, 0, 0, u""},
      {TableWithChild, u"a:$SQL$PROCEDURES", false, false, 0, 0, u""},
      {TableWithChild, u"$SQL$PROCEDURES:a", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kReserved},
      {TableWithChild, u"$SQL$PROCEDURES:a", false, true, 0, 0, u""},
      {TableWithChild, u"", true, false, nxErrNoSuchTable, nxErrInvalidTableName, kEmpty},
      {TableWithChild, u"", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kEmpty},
      {TableWithChild, u":a", true, false, nxErrInvalidTableName, nxErrInvalidTableName, kEmpty},
      // a trailing separator is not a child part, but the colon stays in the name
      {Table, u"a:", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kColon},
      // single table names
      {Table, u"Customers", false, false, 0, 0, u""},
      {Table, u"<temp>", false, false, 0, 0, u""},
      {Table, u"<>", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kLessThan},
      {Table, u"< a>", false, false, nxErrInvalidTableName, nxErrInvalidTableName,
       u" Leading/trailing spaces are not allowed."},
      {Table, u"<$sys>", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kReserved},
      {Table, u"<$sys>", false, true, 0, 0, u""},
      {Table, u"##temp", false, false, 0, 0, u""},
      {Table, u"#", false, false, 0, 0, u""},
      {Table, u"$SQL$PROCEDURES", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kReserved},
      {Table, u"$SQL$PROCEDURES", true, true, 0, 0, u""},
      {Table, u"", true, false, nxErrNoSuchTable, nxErrInvalidTableName, kEmpty},
      {Table, u"", false, true, nxErrInvalidTableName, nxErrInvalidTableName, kEmpty},
      {Table, nxString(129, u'a'), true, false, nxErrInvalidTableName, nxErrInvalidTableName,
       u" Maximum length of 128 characters has been exceeded."},
      // child paths alone
      {Children, u".", false, false, 0, 0, u""},
      {Children, u"..:x:.", false, false, 0, 0, u""},
      {Children, u"...", false, false, 0, 0, u""},  // dots are identifier characters
      {Children, u"x:", false, false, 0, 0, u""},
      {Children, u"", false, false, nxErrInvalidTableName, nxErrInvalidTableName, kEmpty},
      {Children, u"x:<y>", false, false, nxErrInvalidTableName, nxErrInvalidTableName,
       kLessThan},
      // aliases
      {Alias, u"DrillData", true, false, 0, 0, u""},
      {Alias, u"$sys", false, false, 0, 0, u""},
      {Alias, u"", true, false, nxErrUnknownDatabase, nxErrInvalidAliasName, kEmpty},
      {Alias, u"", false, false, nxErrInvalidAliasName, nxErrInvalidAliasName, kEmpty},
      {Alias, u"a:b", true, false, nxErrInvalidAliasName, nxErrInvalidAliasName, kColon},
      // stored procedures and functions
      {Object, u"GetNext", true, false, 0, 0, u""},
      {Object, u"$proc", false, false, 0, 0, u""},
      {Object, u"", true, false, nxErrObjectNotFound, nxErrInvalidName, kEmpty},
      {Object, u"", false, false, nxErrInvalidName, nxErrInvalidName, kEmpty},
      {Object, u"x ", true, false, nxErrInvalidName, nxErrInvalidName, u" Leading/trailing spaces are not allowed."},
  };
  for (const auto& c : rows) {
    clearPending();
    const TnxResult r = run(c);
    const Pending p = pending();
    EXPECT_EQ(r, c.result) << static_cast<int>(c.check) << " " << u8(c.name);
    EXPECT_EQ(p.code, c.pendingCode) << u8(c.name);
    if (c.pendingCode != 0) {
      EXPECT_EQ(u8(p.message), u8(nxGetOrgPlaceholder() + c.reason)) << u8(c.name);
    }
  }
}

TEST(nxsdServerEngine, ChildSeparatorMessageReachesTheException) {
  clearPending();
  const TnxResult r = nxCheckTableName(u"qbnk:qzrecord", false, false);
  const EnxBaseException e(r);
  EXPECT_EQ(u8(e.Message()), "DazavAV: Invalid table name. Child name separators \":\" are not allowed. [$2737/10039]");
}

TEST(nxsdServerEngine, NotFoundSubstitutionKeepsTheIdentifierMessage) {
  // The pending text belongs to 10039, so an exception for 10024 shows the
  // standard text of 10024, and the pending 10039 text is still there.
  clearPending();
  EXPECT_EQ(nxCheckTableName(u"", true, false), nxErrNoSuchTable);
  EXPECT_EQ(pending().code, nxErrInvalidTableName);
  const EnxBaseException e(nxErrNoSuchTable);
  EXPECT_EQ(u8(e.Message()), "DazavAV: Table does not exist. [$2728/10024]");
}

// ---- Shared definitions -------------------------------------------------------

TEST(nxsdServerEngine, EnumerationValuesAndSetWidths) {
  EXPECT_EQ(acoFlipOrder, 4);
  EXPECT_EQ(acoSetToKeyFollowedBySync, 24);
  EXPECT_EQ(acoSkipReadingBlobDataForBatch, 25);
  EXPECT_EQ(eaTableBuild, 16);
  EXPECT_EQ(eaTableExists, 29);
  EXPECT_EQ(eaStatementGetParams, 43);
  EXPECT_EQ(sscBlocksRead, 4);
  EXPECT_EQ(sscTransCorrupted, 11);
  EXPECT_EQ(sedFree, 5);
  EXPECT_EQ(tsTempUnnamed, 3);
  EXPECT_EQ(porTry, 2);
  EXPECT_EQ(cooFlipOrder, 2);
  EXPECT_EQ(acsIsCache, 3);
  EXPECT_EQ(sizeof(TnxSessionStatsCounters), 12 * sizeof(std::int64_t));
}

TEST(nxsdServerEngine, SetsHoldOneBitPerValue) {
  TnxEngineActions actions{eaCreate, eaRecordGet, eaStatementGetParams};
  EXPECT_EQ(sizeof(actions), 6u);
  // bit 35 = byte 4 bit 3, bit 43 = byte 5 bit 3
  EXPECT_EQ(actions.Bytes, (std::array<std::uint8_t, 6>{0x01, 0, 0, 0, 0x08, 0x08}));
  EXPECT_TRUE(actions.contains(eaRecordGet));
  EXPECT_FALSE(actions.contains(eaRecordInsert));
  actions.exclude(eaRecordGet);
  EXPECT_FALSE(actions.contains(eaRecordGet));
  EXPECT_TRUE(actions.contains(eaStatementGetParams));
  // A number beyond the 48 bits neither writes past the set nor is a member.
  const TnxEngineActions before = actions;
  actions.include(static_cast<TnxEngineAction>(48));
  EXPECT_EQ(actions, before);
  EXPECT_FALSE(actions.contains(static_cast<TnxEngineAction>(48)));

  TnxAbstractCursorOptions options{acoSkipReadingBlobDataForBatch, acoChainedRecordGetUsesWriteLock};
  EXPECT_EQ(options.Bytes, (std::array<std::uint8_t, 4>{0x01, 0, 0, 0x02}));
  EXPECT_FALSE(options.empty());
  EXPECT_TRUE(TnxAbstractCursorOptions{}.empty());

  const TnxCursorOpenOptions open{cooFlipOrder};
  EXPECT_EQ(open.Bits, 0x04);
}

TEST(nxsdServerEngine, AliasDescriptorCarriesNameAndPath) {
  auto* d = platform::create<TnxAliasDescriptor>(u"Drill", u"/data/drill");
  EXPECT_EQ(u8(d->adAlias), "Drill");
  EXPECT_EQ(u8(d->adPath), "/data/drill");
  EXPECT_EQ(d->className(), "TnxAliasDescriptor");
  platform::TObject::free(d);
}

}  // namespace
