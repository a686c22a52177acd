// Referential integrity between master and detail tables of the fake engine:
// the notifications a server cursor sends around a record change, the nine
// actions, the target index checks, the violation message and the close
// request from another thread. Every test runs twice: over tables in memory
// and over tables kept in real table files (static records, B*-tree
// indices).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nxExpectCode.h"
#include "nxFakeTables.h"
#include "nxTestWatchdog.h"
#include "nxllBde.h"
#include "nxseRefIntEngine.h"
#include "nxseStorageFakeTable.h"
#include "plErrors.h"

using nxfake::Column;
using nxfake::FakeDatabase;
using nxfake::Insert;
using nxfake::Record;
using V = platform::Variant;

namespace {

const platform::Variant kNull = platform::Variant::null();

struct RefSpec {
  const char16_t* target;
  const char16_t* index;
  std::vector<std::int32_t> sourceFields;
  std::vector<const platform::ClassInfo*> actions;
  bool sourceSkipOnNull = false;
  bool actionSkipOnNull = false;
};

void addReference(TnxDataDictionary& aDict, const RefSpec& aSpec) {
  TnxReferenceDescriptor* ref = nxEnsureRefIntegrityDescriptor(&aDict)->AddReference();
  static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(aSpec.target);
  ref->SetTargetIndex(aSpec.index);
  for (std::int32_t field : aSpec.sourceFields) {
    auto* source = static_cast<TnxFieldSourceDescriptor*>(ref->AddSource());
    source->SetFieldNumber(field);
    source->SetSkipOnNull(aSpec.sourceSkipOnNull);
  }
  for (const platform::ClassInfo* action : aSpec.actions) ref->AddAction(action)->SetSkipOnNull(aSpec.actionSkipOnNull);
}

void addIndex(TnxDataDictionary& aDict, const nxString& aName, std::initializer_list<const char16_t*> aFields) {
  TnxIndexDescriptor* index = aDict.EnsureIndicesDescriptor()->AddIndex(aName, 0, idAll, u"");
  for (const char16_t* field : aFields) static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(nxString(field));
}

void addConstDefault(TnxDataDictionary& aDict, const nxString& aField, const platform::Variant& aValue) {
  TnxFieldDescriptor* field = aDict.FieldsDescriptor()->Fields(aDict.FieldsDescriptor()->GetFieldFromName(aField));
  static_cast<TnxConstDefaultValueDescriptor*>(field->AddDefaultValue(&TnxConstDefaultValueDescriptor::staticClassInfo()))
      ->SetAsVariant(aValue);
}

template <class T>
const platform::ClassInfo* cls() {
  return &T::staticClassInfo();
}

nxString pendingMessage(TnxResult aCode) {
  TnxResult code = 0;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, aCode);
  return EnxBaseException(aCode).ProcessedErrorString();
}

// customers (ID, Name) with the references under test; orders (OID, CustID)
// indexed by CustID with a default of 0 for CustID.
enum class Backend { Memory, Storage };

class RefInt : public nxtest::StorageFakeTest, public ::testing::WithParamInterface<Backend> {
 protected:
  ~RefInt() override {
    if (storageUp_) nxtest::StorageFakeTest::TearDown();
  }
  // Tests start over with TearDown and SetUp; the table files stay.
  void SetUp() override {
    if (!storageUp_) {
      nxtest::StorageFakeTest::SetUp();
      storageUp_ = true;
    }
    nxseRefIntEngineInitialize();
    fake = std::make_unique<FakeDatabase>();
    if (GetParam() == Backend::Storage) fake->onTableAdded = [this](TnxFakeTable& aTable) { AttachStorage(aTable); };
    fake->AddTable(u"orders", {{u"OID", nxtInt32, 0}, {u"CustID", nxtInt32, 0}}, [](TnxDataDictionary& d) {
      addIndex(d, u"ByCust", {u"CustID", u"OID"});
      addIndex(d, u"ByOID", {u"OID"});
      addConstDefault(d, u"CustID", V(0));
    });
  }
  void TearDown() override {
    engine.reset();
    fake.reset();
    nxseRefIntEngineFinalize();
  }

  // The master table with its references, opened as the own cursor.
  void Master(std::initializer_list<RefSpec> aRefs) {
    fake->AddTable(u"customers", {{u"ID", nxtInt32, 0}, {u"Name", nxtWideString, 20}}, [&](TnxDataDictionary& d) {
      addIndex(d, u"ByID", {u"ID"});
      for (const RefSpec& r : aRefs) addReference(d, r);
    });
    own = fake->Open(u"customers");
    own->feNestedTransactions = true;
    engine.reset(platform::create<TnxRefIntegrityEngine>(
        nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own));
  }
  void Orders(std::initializer_list<std::pair<int, V>> aRows) {
    TnxFakeCursor* orders = fake->Open(u"orders");
    for (const auto& [oid, cust] : aRows) Insert(orders, {{u"OID", V(oid)}, {u"CustID", cust}});
    TnxAbstractServerObject::Free(orders);
  }
  std::vector<std::string> OrdersColumn(const nxString& aField) {
    TnxFakeCursor* orders = fake->Open(u"orders", u"ByOID");
    auto result = Column(orders, aField);
    TnxAbstractServerObject::Free(orders);
    return result;
  }

  // Over table files: each passes the independent checker.
  void ExpectSoundFiles() {
    if (GetParam() != Backend::Storage) return;
    for (const char16_t* name : {u"orders", u"customers"}) {
      if (TnxFakeTable* table = fake->engine->feStore.FindFolder(FakeDatabase::kPath)->Find(name)) {
        EXPECT_EQ(CheckStorage(*table), "") << platform::toUtf8(name);
      }
    }
  }

  TnxResult Delete(const Record& aRecord, bool aBefore) {
    const std::uint64_t args[] = {nxNotifyArg(aRecord.data()), 1};
    return engine->Notify(eaRecordDelete, aBefore, args);
  }
  TnxResult Modify(const Record& aNew, const Record& aOld, bool aBefore) {
    const std::uint64_t args[] = {nxNotifyArg(aNew.data()), nxNotifyArg(aOld.data()), 0, 1};
    return engine->Notify(eaRecordModify, aBefore, args);
  }
  TnxResult InsertNotify(const Record& aNew) {
    const std::uint64_t args[] = {0, nxNotifyArg(aNew.data()), 1};
    return engine->Notify(eaRecordInsert, false, args);
  }

  std::unique_ptr<FakeDatabase> fake;
  TnxFakeCursor* own = nullptr;
  TnxOwned<TnxRefIntegrityEngine> engine;
  bool storageUp_ = false;
};

TEST_P(RefInt, NoReferenceOrUnwantedActionAnswersAtOnceAndOpensNothing) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxCascadeDeleteActionDescriptor>()}}});
  Record master(own, {{u"ID", V(1)}});
  EXPECT_EQ(Modify(master, master, false), 0);
  EXPECT_EQ(InsertNotify(master), 0);
  EXPECT_EQ(Delete(master, true), 0);
  EXPECT_FALSE(engine->References(0)->TargetCursor()->IsOpen());
  EXPECT_EQ(own->feNestedRequests, 1);
}

TEST_P(RefInt, CascadeDeleteRemovesExactlyTheMatchingDetails) {
  struct Case {
    V masterID;
    bool skipOnNull;
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {V(1), false, {"2", "3", "4", "5"}},
      {V(1), true, {"2", "3", "4", "5"}},
      {kNull, true, {"1", "2", "3", "4", "5"}},
      {kNull, false, {"1", "2", "3", "4"}},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(round);
    TearDown();
    SetUp();
    Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxCascadeDeleteActionDescriptor>()}, c.skipOnNull}});
    Orders({{1, V(1)}, {2, V(2)}, {3, V(12)}, {4, V(2)}, {5, kNull}});
    // OID 1 belongs to customer 1, OID 5 has no customer.
    Record master(own, {{u"ID", c.masterID}});
    EXPECT_EQ(Delete(master, true), 0);
    EXPECT_EQ(Delete(master, false), 0);
    EXPECT_EQ(OrdersColumn(u"OID"), c.left);
    ExpectSoundFiles();
    ++round;
  }
}

TEST_P(RefInt, BlockDeleteRefusesBeforeAnythingIsDeleted) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxBlockDeleteActionDescriptor>()}}});
  Orders({{1, V(1)}, {2, V(2)}});
  Record master(own, {{u"ID", V(1)}});
  EXPECT_EQ(Delete(master, false), 0);  // block delete looks only before
  EXPECT_EQ(Delete(master, true), nxErrMasterHasDetails);
  EXPECT_EQ(pendingMessage(nxErrMasterHasDetails),
            u"Referential Integrity Violation. customers(ID) -> orders(CustID): " +
                EnxBaseException::ErrorCodeString(nxErrMasterHasDetails));
  EXPECT_EQ(OrdersColumn(u"OID"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(own->feNestedRequests, 0);  // block delete needs no nested transaction
  Record other(own, {{u"ID", V(3)}});
  EXPECT_EQ(Delete(other, true), 0);
}

TEST_P(RefInt, ModifyActionsRewriteTheDetailKeys) {
  struct Case {
    const platform::ClassInfo* action;
    bool noDefaultHandler;
    std::vector<std::string> custIDs;  // by OID
  };
  const Case cases[] = {
      {cls<TnxCascadeModifyActionDescriptor>(), false, {"5", "2", "5"}},
      {cls<TnxClearModifyActionDescriptor>(), false, {"NULL", "2", "NULL"}},
      {cls<TnxSetDefaultModifyActionDescriptor>(), false, {"0", "2", "0"}},
      {cls<TnxSetDefaultModifyActionDescriptor>(), true, {"NULL", "2", "NULL"}},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(round++);
    TearDown();
    SetUp();
    Master({RefSpec{u"orders", u"ByCust", {0}, {c.action}}});
    Orders({{1, V(1)}, {2, V(2)}, {3, V(1)}});
    if (c.noDefaultHandler)
      static_cast<TnxFakeCursor*>(engine->References(0)->TargetCursor()->GetCursor())->feNoDefaultHandler = true;
    Record oldRec(own, {{u"ID", V(1)}, {u"Name", V(nxString(u"A"))}});
    Record newRec(own, {{u"ID", V(5)}, {u"Name", V(nxString(u"A"))}});
    EXPECT_EQ(Modify(newRec, oldRec, true), 0);
    EXPECT_EQ(Modify(newRec, oldRec, false), 0);
    EXPECT_EQ(OrdersColumn(u"CustID"), c.custIDs);
    ExpectSoundFiles();
  }
}

TEST_P(RefInt, NonKeyChangeSelectsNothing) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxClearModifyActionDescriptor>(), cls<TnxBlockModifyActionDescriptor>()}}});
  Orders({{1, V(1)}});
  Record oldRec(own, {{u"ID", V(1)}, {u"Name", V(nxString(u"A"))}});
  Record newRec(own, {{u"ID", V(1)}, {u"Name", V(nxString(u"B"))}});
  EXPECT_EQ(Modify(newRec, oldRec, false), 0);
  EXPECT_EQ(OrdersColumn(u"CustID"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(fake->Counters().transactionsCorrupted, 0);
}

TEST_P(RefInt, BlockModifyRefusesAndCorruptsTheTransaction) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxBlockModifyActionDescriptor>()}}});
  Orders({{1, V(1)}});
  Record oldRec(own, {{u"ID", V(1)}});
  Record newRec(own, {{u"ID", V(2)}});
  EXPECT_EQ(Modify(newRec, oldRec, false), nxErrMasterHasDetails);
  EXPECT_EQ(fake->Counters().transactionsCorrupted, 1);
}

// orders as the own table, customers as the target.
class DetailRefInt : public RefInt {
 protected:
  void Detail(bool aActionSkipOnNull) {
    fake->AddTable(u"customers", {{u"ID", nxtInt32, 0}}, [](TnxDataDictionary& d) { addIndex(d, u"ByID", {u"ID"}); });
    TnxFakeCursor* customers = fake->Open(u"customers");
    Insert(customers, {{u"ID", V(1)}});
    TnxAbstractServerObject::Free(customers);
    fake->AddTable(u"details", {{u"OID", nxtInt32, 0}, {u"CustID", nxtInt32, 0}}, [&](TnxDataDictionary& d) {
      RefSpec spec{u"customers", u"ByID", {1}, {cls<TnxTargetRequiredActionDescriptor>()}};
      spec.actionSkipOnNull = aActionSkipOnNull;
      addReference(d, spec);
    });
    own = fake->Open(u"details");
    own->feNestedTransactions = true;
    engine.reset(platform::create<TnxRefIntegrityEngine>(nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own));
  }
};

TEST_P(DetailRefInt, DetailWithoutMasterIsRefused) {
  Detail(true);
  EXPECT_EQ(InsertNotify(Record(own, {{u"OID", V(1)}, {u"CustID", V(1)}})), 0);
  EXPECT_EQ(fake->Counters().transactionsCorrupted, 0);
  EXPECT_EQ(InsertNotify(Record(own, {{u"OID", V(2)}, {u"CustID", V(9)}})), nxErrMasterMissing);
  EXPECT_EQ(fake->Counters().transactionsCorrupted, 1);
  EXPECT_EQ(pendingMessage(nxErrMasterMissing),
            u"Referential Integrity Violation. details(CustID) -> customers(ID): Master record missing.");
  // A NULL foreign key passes when the action skips NULLs.
  EXPECT_EQ(InsertNotify(Record(own, {{u"OID", V(3)}})), 0);
  // A changed key is checked against the new value.
  Record oldRec(own, {{u"OID", V(1)}, {u"CustID", V(1)}});
  Record newRec(own, {{u"OID", V(1)}, {u"CustID", V(7)}});
  EXPECT_EQ(Modify(newRec, oldRec, false), nxErrMasterMissing);
  EXPECT_EQ(Modify(oldRec, newRec, false), 0);
}

TEST_P(DetailRefInt, NullForeignKeyWithoutSkipLooksForANullMaster) {
  Detail(false);
  EXPECT_EQ(InsertNotify(Record(own, {{u"OID", V(3)}})), nxErrMasterMissing);
}

// A table that refers to itself through a clone of the own cursor.
TEST_P(RefInt, CloneTargetIsTheOwnTable) {
  fake->AddTable(u"staff", {{u"ID", nxtInt32, 0}, {u"Boss", nxtInt32, 0}}, [](TnxDataDictionary& d) {
    addIndex(d, u"ByID", {u"ID"});
    TnxReferenceDescriptor* ref =
        nxEnsureRefIntegrityDescriptor(&d)->AddReference(nullptr, &TnxCloneTargetCursorDescriptor::staticClassInfo());
    ref->SetTargetIndex(u"ByID");
    static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(1);
    ref->AddAction(cls<TnxTargetRequiredActionDescriptor>())->SetSkipOnNull(true);
  });
  own = fake->Open(u"staff");
  own->feNestedTransactions = true;
  Insert(own, {{u"ID", V(1)}});
  engine.reset(platform::create<TnxRefIntegrityEngine>(nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own));
  EXPECT_EQ(InsertNotify(Record(own, {{u"ID", V(2)}, {u"Boss", V(1)}})), 0);
  EXPECT_EQ(InsertNotify(Record(own, {{u"ID", V(3)}, {u"Boss", V(7)}})), nxErrMasterMissing);
  // The clone names the own table by its dictionary, which has no base name here.
  EXPECT_EQ(pendingMessage(nxErrMasterMissing),
            u"Referential Integrity Violation. staff(Boss) -> (ID): Master record missing.");
  EXPECT_NE(engine->References(0)->TargetCursor()->GetCursor(), own);
}

TEST_P(RefInt, SetDefaultDeleteWhoseDefaultIsTheMasterKeyFailsTheCheck) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxSetDefaultDeleteActionDescriptor>()}}});
  Orders({{1, V(0)}, {2, V(0)}});
  Record master(own, {{u"ID", V(0)}});
  EXPECT_THROW(Delete(master, false), platform::AssertionFailed);
}

TEST_P(RefInt, SetDefaultDeleteGivesTheDetailKeysTheirDefaults) {
  for (bool noDefaultHandler : {false, true}) {
    SCOPED_TRACE(noDefaultHandler);
    TearDown();
    SetUp();
    Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxSetDefaultDeleteActionDescriptor>()}}});
    Orders({{1, V(1)}, {2, V(2)}, {3, V(1)}});
    if (noDefaultHandler)
      static_cast<TnxFakeCursor*>(engine->References(0)->TargetCursor()->GetCursor())->feNoDefaultHandler = true;
    EXPECT_EQ(Delete(Record(own, {{u"ID", V(1)}}), false), 0);
    EXPECT_EQ(OrdersColumn(u"CustID"), noDefaultHandler ? (std::vector<std::string>{"NULL", "2", "NULL"})
                                                        : (std::vector<std::string>{"0", "2", "0"}));
  }
}

// The relative target names a nested table: from the root of the own table,
// or from the own table itself when it begins with "."; the own cursor's
// password goes along, and system tables open only from a system table.
// The own dictionaries carry a nested "notes" for the names to resolve.
TEST_P(RefInt, RelativeTargetOpensTheNestedTableItNames) {
  struct Case {
    const char16_t* own;
    const char16_t* relative;
    const char16_t* opened;
  };
  const Case cases[] = {
      {u"customers", u"notes", u"customers:notes"},
      {u"customers", u".:notes", u"customers:notes"},
      {u"customers:orders", u"notes", u"customers:notes"},
      {u"customers:orders", u".:notes", u"customers:orders:notes"},
      {u"$meta", u"notes", u"$meta:notes"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(round++);
    TearDown();
    SetUp();
    for (const char16_t* name : {u"customers:notes", u"customers:orders:notes", u"$meta:notes"}) {
      fake->AddTable(name, {{u"CustID", nxtInt32, 0}, {u"Text", nxtInt32, 0}},
                     [](TnxDataDictionary& d) { addIndex(d, u"ByCust", {u"CustID"}); });
      TnxFakeCursor* notes = fake->Open(name, {}, {}, true);
      Insert(notes, {{u"CustID", V(1)}});
      Insert(notes, {{u"CustID", V(2)}});
      TnxAbstractServerObject::Free(notes);
    }
    fake->AddTable(c.own, {{u"ID", nxtInt32, 0}}, [&](TnxDataDictionary& d) {
      TnxNestedTableDescriptor* notes = d.TablesDescriptor()->AddTable(u"notes");
      notes->AddRecordDescriptor();
      notes->FieldsDescriptor()->AddField(u"CustID", u"", nxtInt32, 0, 0, false);
      TnxReferenceDescriptor* ref = nxEnsureRefIntegrityDescriptor(&d)->AddReference(
          nullptr, &TnxRelativeTargetCursorDescriptor::staticClassInfo());
      static_cast<TnxRelativeTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(c.relative);
      ref->SetTargetIndex(u"ByCust");
      static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(0);
      ref->AddAction(cls<TnxCascadeDeleteActionDescriptor>());
    });
    own = fake->Open(c.own, {}, u"secret", true);
    own->feNestedTransactions = true;
    engine.reset(platform::create<TnxRefIntegrityEngine>(nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own));
    EXPECT_EQ(Delete(Record(own, {{u"ID", V(1)}}), false), 0);
    auto* target = static_cast<TnxFakeCursor*>(engine->References(0)->TargetCursor()->GetCursor());
    EXPECT_EQ(platform::toUtf8(target->FullName()), platform::toUtf8(c.opened));
    EXPECT_EQ(target->sbcExtractPassword(), u"secret");
    EXPECT_EQ(Column(target, u"CustID"), std::vector<std::string>{"2"});
  }
}

TEST_P(RefInt, ClearDeleteNullsTheDetailKeys) {
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxClearDeleteActionDescriptor>()}}});
  Orders({{1, V(1)}, {2, V(2)}});
  EXPECT_EQ(Delete(Record(own, {{u"ID", V(1)}}), false), 0);
  EXPECT_EQ(OrdersColumn(u"CustID"), (std::vector<std::string>{"NULL", "2"}));
}

TEST_P(RefInt, ReferencesRunLastFirst) {
  fake->AddTable(u"invoices", {{u"IID", nxtInt32, 0}, {u"CustID", nxtInt32, 0}},
                 [](TnxDataDictionary& d) { addIndex(d, u"ByCust", {u"CustID"}); });
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxBlockDeleteActionDescriptor>()}},
          RefSpec{u"invoices", u"ByCust", {0}, {cls<TnxBlockDeleteActionDescriptor>()}}});
  Orders({{1, V(1)}});
  TnxFakeCursor* invoices = fake->Open(u"invoices");
  Insert(invoices, {{u"IID", V(1)}, {u"CustID", V(1)}});
  TnxAbstractServerObject::Free(invoices);
  EXPECT_EQ(Delete(Record(own, {{u"ID", V(1)}}), true), nxErrMasterHasDetails);
  EXPECT_NE(pendingMessage(nxErrMasterHasDetails).find(u"-> invoices(CustID)"), nxString::npos);
  EXPECT_FALSE(engine->References(0)->TargetCursor()->IsOpen());
}

TEST_P(RefInt, TargetIndexChecks) {
  fake->AddTable(u"refkeyed", {{u"CustID", nxtInt32, 0}}, [](TnxDataDictionary& d) {
    d.EnsureIndicesDescriptor()->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
  });
  struct Case {
    const char16_t* target;
    const char16_t* index;
    std::vector<std::int32_t> sources;
    TnxResult code;
    const char16_t* text;
  };
  const Case cases[] = {
      {u"orders", u"ByCust", {0, 0, 0}, nxErrInvalidDesc, u"The reference descriptor has more fields than the target index."},
      {u"orders", u"Nowhere", {0}, nxErrNoSuchIndex, u"Index does not exist."},
      {u"refkeyed", u"ByRef", {0}, nxErrInvalidIndexDesc, u"A composite index is required"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(round++);
    TearDown();
    SetUp();
    fake->AddTable(u"refkeyed", {{u"CustID", nxtInt32, 0}}, [](TnxDataDictionary& d) {
      d.EnsureIndicesDescriptor()->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
    });
    Master({RefSpec{c.target, c.index, c.sources, {cls<TnxCascadeDeleteActionDescriptor>()}}});
    Record master(own, {{u"ID", V(1)}});
    nxtest::expectCode<EnxBaseException>([&] { Delete(master, false); }, c.code, c.text);
  }
}

TEST_P(RefInt, MissingTargetTableFailsWithTheAnnotatedOpenCode) {
  Master({RefSpec{u"nosuch", u"ByCust", {0}, {cls<TnxCascadeDeleteActionDescriptor>()}}});
  try {
    Delete(Record(own, {{u"ID", V(1)}}), false);
    FAIL() << "no exception";
  } catch (const EnxBaseTargetCursorEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrNoSuchTable);
    EXPECT_EQ(e.ProcessedErrorString().rfind(u"Referential Integrity Violation. customers(ID) -> nosuch(): ", 0), 0u) << platform::toUtf8(e.Message());
  }
}

TEST_P(RefInt, CloseRequestFromAnotherThread) {
  nxtest::Watchdog watchdog;
  Master({RefSpec{u"orders", u"ByCust", {0}, {cls<TnxCascadeDeleteActionDescriptor>()}}});
  Orders({{1, V(1)}, {2, V(2)}});
  EXPECT_EQ(Delete(Record(own, {{u"ID", V(1)}}), false), 0);
  TnxBaseTargetCursorEngine* target = engine->References(0)->TargetCursor();
  ASSERT_TRUE(target->IsOpen());

  // Refused while a notification uses the cursor.
  auto* cursor = static_cast<TnxFakeCursor*>(target->GetCursor());
  target->BeginUse();
  bool closed = true;
  std::thread([&] { closed = cursor->AskToClose(); }).join();
  EXPECT_FALSE(closed);
  EXPECT_TRUE(target->IsOpen());
  target->EndUse();

  // Idle: closed, and the next notification reopens it.
  std::thread([&] { closed = cursor->AskToClose(); }).join();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(target->IsOpen());
  EXPECT_FALSE(engine->References(0)->TargetPrepared());
  EXPECT_EQ(Delete(Record(own, {{u"ID", V(2)}}), false), 0);
  EXPECT_TRUE(target->IsOpen());
  EXPECT_EQ(OrdersColumn(u"OID"), std::vector<std::string>{});
}

TEST_P(RefInt, UnknownEngineClassFailsTheEngineWith15503) {
  nxUnregisterClassIn(TnxBaseSourceEngine::GetList(), TnxFieldSourceEngine::staticClassInfo());
  fake->AddTable(u"customers", {{u"ID", nxtInt32, 0}}, [](TnxDataDictionary& d) {
    addReference(d, RefSpec{u"orders", u"ByCust", {0}, {cls<TnxBlockDeleteActionDescriptor>()}});
  });
  own = fake->Open(u"customers");
  nxtest::expectCode<EnxBaseSourceEngineException>(
      [&] { TnxOwned<TnxRefIntegrityEngine>(platform::create<TnxRefIntegrityEngine>(
                nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own)); },
      nxErrUnsupportedSubEngine, u"Unknown Source engine: \"TnxFieldSourceEngine\"");
  nxRegisterClassIn(TnxBaseSourceEngine::GetList(), TnxFieldSourceEngine::staticClassInfo());
}

TEST_P(RefInt, OwnCursorWithoutNestedTransactionsRefusesChangingActions) {
  fake->AddTable(u"customers", {{u"ID", nxtInt32, 0}}, [](TnxDataDictionary& d) {
    addReference(d, RefSpec{u"orders", u"ByCust", {0}, {cls<TnxCascadeDeleteActionDescriptor>()}});
  });
  own = fake->Open(u"customers");
  nxtest::expectCode<EnxBaseException>(
      [&] { TnxOwned<TnxRefIntegrityEngine>(platform::create<TnxRefIntegrityEngine>(
                nxFindRefIntegrityDescriptor(own->GetTableDescriptor()), own)); },
      nxErrNotSupported);
}

std::string backendName(const ::testing::TestParamInfo<Backend>& aInfo) {
  return aInfo.param == Backend::Memory ? "Memory" : "Storage";
}
INSTANTIATE_TEST_SUITE_P(Tables, RefInt, ::testing::Values(Backend::Memory, Backend::Storage), backendName);
INSTANTIATE_TEST_SUITE_P(Tables, DetailRefInt, ::testing::Values(Backend::Memory, Backend::Storage), backendName);

}  // namespace
