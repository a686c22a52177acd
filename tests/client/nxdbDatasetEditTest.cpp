// Editing, posting, field writes and bookmarks of the client dataset over the
// real server cursors. Two sessions stand for two users; the second one runs
// its calls on a thread of its own, with short time-outs so that refused
// locks come back quickly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nxClientTestKit.h"
#include "nxTestDataset.h"
#include "nxTestWatchdog.h"
#include "nxllBde.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdValidationEngine.h"
#include "plDataLink.h"

namespace {

using namespace platform;

constexpr std::int32_t kShortTimeout = 100;

// A link that records the data events it hears (scrolls with their distance,
// field changes with the field's name).
class EventLink : public TDataLink {
 public:
  std::vector<std::string> events;
  void DataEvent(TDataEvent aEvent, std::intptr_t aInfo) override {
    static const char* const names[] = {"FieldChange", "RecordChange", "DataSetChange", "DataSetScroll",
                                        "LayoutChange", "UpdateRecord", "UpdateState", "CheckBrowseMode",
                                        "PropertyChange", "FieldListChange", "FocusControl", "ParentScroll",
                                        "ConnectChange", "ReconcileError", "DisabledStateChange"};
    std::string e = names[aEvent];
    if (aEvent == deFieldChange && aInfo) {
      const nxString name = reinterpret_cast<TField*>(aInfo)->FieldName();
      e += "(" + std::string(name.begin(), name.end()) + ")";
    }
    events.push_back(e);
    TDataLink::DataEvent(aEvent, aInfo);
  }
};

// A framework event handler from a lambda (events take object methods).
template <class... Args>
struct Handler {
  std::function<void(Args...)> fn;
  void Call(Args... aArgs) { fn(aArgs...); }
  TnxMethod<Args...> Event() { return TnxMethod<Args...>::template Of<&Handler::Call>(this); }
};

struct TableShape {
  bool revision = false;       // a RecRev field "Rev"
  bool counterDefault = false;  // "Counter" defaults to 5
  bool counterRange = false;    // "Counter" must stay within 0..10 (checked on the client too)
};

class DatasetEdit : public ::testing::Test {
 protected:
  DatasetEdit() { nxdbConversionInitialize(); }
  ~DatasetEdit() override {
    for (auto it = datasets_.rbegin(); it != datasets_.rend(); ++it) TObject::free(*it);
    TObject::free(link_.release());
    TObject::free(source_);
    TObject::free(peerDb_);
    TObject::free(peerSession_);
    nxdbConversionFinalize();
  }

  // Table aName: "ID" 1..aCount (unique index "ByID"), "Name" "N<ID>",
  // "Counter" 0, and what aShape adds.
  void Build(const nxString& aName, int aCount, TableShape aShape = {}) {
    TnxOwned<TnxServerDataDict> dict(create<TnxServerDataDict>());
    TnxFieldsDescriptor* f = dict->FieldsDescriptor();
    f->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    f->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    TnxFieldDescriptor* counter = f->AddField(u"Counter", u"", nxtInt32, 0, 0, false);
    if (aShape.revision) f->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
    if (aShape.counterDefault)
      static_cast<TnxConstDefaultValueDescriptor*>(
          counter->AddDefaultValue(&TnxConstDefaultValueDescriptor::staticClassInfo()))
          ->SetAsVariant(Variant(std::int32_t(5)));
    if (aShape.counterRange) {
      auto* range = static_cast<TnxMinMaxValidationDescriptor*>(
          counter->EnsureValidations()->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo()));
      range->SetApplyAt(nxApplyAtBoth);
      range->SetMinAsVariant(Variant(std::int32_t(0)));
      range->SetMaxAsVariant(Variant(std::int32_t(10)));
    }
    TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"");
    objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
    ASSERT_EQ(kit.BuildTable(aName, dict.get()), 0u);
    db = db ? db : kit.Database();
    db->Open();
    TnxAbstractCursor* c = nullptr;
    ASSERT_EQ(db->AbstractDatabase()->CursorOpen(c, aName, u"", omReadWrite, smShared, 0, u"", 0, false, {}, 500,
                                                 nullptr),
              0u);
    TnxFieldsDescriptor* fields = c->FieldsDescriptor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(fields->RecordLength()));
    for (std::int32_t id = 1; id <= aCount; ++id) {
      fields->InitRecord(rec.data());
      fields->SetRecordField(0, rec.data(), &id);
      fields->fsdSetFieldByIndexAsVariant(rec.data(), 1, Variant(u"N" + u16(std::to_string(id))));
      const std::int32_t zero = 0;
      fields->SetRecordField(2, rec.data(), &zero);
      ASSERT_EQ(c->RecordInsert(nxltNoLock, rec.data(), nullptr), 0u);
    }
    TObject::free(c);
  }

  static nxString u16(const std::string& a) { return nxString(a.begin(), a.end()); }

  // The second user's database: its own session on the same engine.
  TnxDatabase* PeerDatabase() {
    if (!peerDb_) {
      peerSession_ = create<TnxSession>(nullptr);
      peerSession_->SetName(u"nxSession2");
      peerSession_->SetServerEngine(kit.engine);
      peerDb_ = create<TnxDatabase>(nullptr);
      peerDb_->SetName(u"nxDatabase2");
      peerDb_->SetSession(peerSession_);
      peerDb_->SetAliasPath(u"/data");
    }
    return peerDb_;
  }

  // A recording dataset on aTable by "ByID" (aDatabase nil: the kit's).
  TnxTestDataset* Dataset(const nxString& aTable = u"t", TnxDatabase* aDatabase = nullptr) {
    auto* ds = create<TnxTestDataset>(nullptr);
    datasets_.push_back(ds);
    ds->SetDatabase(aDatabase ? aDatabase : db);
    ds->SetTableName(aTable);
    ds->SetIndexName(u"ByID");
    ds->SetRecordCalls(true);
    ds->SetTimeout(kShortTimeout);
    return ds;
  }
  // The second user's dataset on aTable.
  TnxTestDataset* PeerDataset(const nxString& aTable = u"t") { return Dataset(aTable, PeerDatabase()); }

  // Runs aCall on a thread of its own (the second user's), rethrowing its
  // failure here.
  static void OnPeerThread(const std::function<void()>& aCall) {
    nxtest::runThreads(1, [&](int) { aCall(); });
  }

  // Opens aDs on the record with aID.
  static void OpenAt(TnxTestDataset* aDs, std::int32_t aID) {
    if (!aDs->Active()) aDs->Open();
    for (aDs->First(); !aDs->Eof() && ID(aDs) != aID;) aDs->Next();
    ASSERT_EQ(ID(aDs), aID);
  }

  static std::int32_t ID(TnxTestDataset* aDs) { return aDs->FieldByName(u"ID")->AsInteger(); }
  static nxString Name(TnxTestDataset* aDs) { return aDs->FieldByName(u"Name")->AsString(); }

  // The engine record of the active buffer.
  static std::vector<std::uint8_t> ActiveRecord(TnxTestDataset* aDs) {
    return {aDs->ActiveBuffer(), aDs->ActiveBuffer() + aDs->RecordLength()};
  }

  // Persistent "ID" and "Name" fields on aDs and a calculated integer
  // "Twice", which it returns.
  static TField* AddCalculatedTwice(TnxTestDataset* aDs) {
    for (const char16_t* name : {u"ID", u"Name"}) {
      TField* f = createField(nxString(name) == u"ID" ? TIntegerField::staticClassInfo() : TStringField::staticClassInfo(),
                              nullptr);
      f->SetFieldName(name);
      if (nxString(name) == u"Name") f->SetSize(20);
      f->SetDataSet(aDs);
    }
    TField* twice = createField(TIntegerField::staticClassInfo(), nullptr);
    twice->SetFieldName(u"Twice");
    twice->SetFieldKind(fkCalculated);
    twice->SetDataSet(aDs);
    return twice;
  }

  EventLink* Link(TnxTestDataset* aDs) {
    if (!source_) source_ = create<TDataSource>(nullptr);
    source_->SetDataSet(aDs);
    link_ = std::make_unique<EventLink>();
    link_->SetDataSource(source_);
    return link_.get();
  }

  nxtest::ClientTestKit kit;
  TnxDatabase* db = nullptr;
  TnxSession* peerSession_ = nullptr;
  TnxDatabase* peerDb_ = nullptr;
  TDataSource* source_ = nullptr;
  std::unique_ptr<EventLink> link_;
  std::vector<TnxTestDataset*> datasets_;
};

// ---------------------------------------------------------------------------
// Editing

TEST_F(DatasetEdit, PessimisticEditLocksTheRecordUntilPostOrCancel) {
  Build(u"t", 3);
  TnxTestDataset* mine = Dataset();
  TnxTestDataset* peer = PeerDataset();
  OnPeerThread([&] { OpenAt(peer, 2); });
  for (const bool post : {false, true}) {
    SCOPED_TRACE(post ? "post" : "cancel");
    OpenAt(mine, 2);
    mine->Edit();
    mine->FieldByName(u"Name")->SetAsString(post ? u"posted" : u"dropped");
    // The other user's locked read is refused while the edit runs.
    OnPeerThread([&] {
      EXPECT_EQ(nxtest::clientErrorCode([&] { peer->Edit(); }), nxErrRecordLockedByOther);
      EXPECT_EQ(peer->State(), dsBrowse);
    });
    if (post)
      mine->Post();
    else
      mine->Cancel();
    EXPECT_EQ(mine->State(), dsBrowse);
    OnPeerThread([&] {
      peer->Edit();
      EXPECT_EQ(Name(peer), post ? u"posted" : u"N2");
      peer->Cancel();
    });
  }
}

TEST_F(DatasetEdit, OptimisticEditWithoutRevisionFieldFailsAtEdit) {
  Build(u"t", 2);
  TnxTestDataset* ds = Dataset();
  ds->AddDataSetOption(dsoOptimisticLocks);
  OpenAt(ds, 1);
  ds->Recorder()->ClearLog();
  const nxString message = nxtest::clientErrorMessage([&] { ds->Edit(); });
  EXPECT_NE(message.find(u"A RecRev or LSN field is required for optimistic locking"), nxString::npos) << toUtf8(message);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->Edit(); }), nxErrNotSupported);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(ds->Recorder()->CountOf("RecordGet"), 0);
}

TEST_F(DatasetEdit, OptimisticPostOfRecordDeletedByPeerGives10260AndCancelIsSilent) {
  Build(u"t", 3, {.revision = true});
  TnxTestDataset* mine = Dataset();
  mine->AddDataSetOption(dsoOptimisticLocks);
  OpenAt(mine, 2);
  mine->Edit();
  mine->FieldByName(u"Name")->SetAsString(u"mine");
  // No lock is held: the other user deletes the record meanwhile.
  TnxTestDataset* peer = PeerDataset();
  OnPeerThread([&] {
    OpenAt(peer, 2);
    peer->Delete();
  });
  const nxString message = nxtest::clientErrorMessage([&] { mine->Post(); });
  EXPECT_NE(message.find(u"[$2814/10260]"), nxString::npos) << toUtf8(message);
  EXPECT_EQ(mine->State(), dsEdit);
  EXPECT_EQ(Name(mine), u"mine");
  mine->Cancel();
  EXPECT_EQ(mine->State(), dsBrowse);
}

// The code of a refused modify as the user sees it, by locking mode.
TEST_F(DatasetEdit, RefusedModifyCodesByLockingMode) {
  Build(u"t", 2, {.revision = true});
  struct Case {
    bool optimistic;
    TnxResult engine;
    TnxResult seen;
  };
  const Case cases[] = {
      {true, nxErrKeyOrRecDeleted, nxErrRecordDeletedByOther},
      {true, nxErrNoCurrentRecord, nxErrRecordDeletedByOther},
      {true, nxErrRecordLockFailed, nxErrRecordLockFailed},
      {false, nxErrKeyOrRecDeleted, nxErrKeyOrRecDeleted},
      {false, nxErrNoCurrentRecord, nxErrNoCurrentRecord},
  };
  TnxTestDataset* ds = Dataset();
  ds->Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.engine) + (c.optimistic ? " optimistic" : " pessimistic"));
    if (c.optimistic)
      ds->AddDataSetOption(dsoOptimisticLocks);
    else
      ds->RemoveDataSetOption(dsoOptimisticLocks);
    ds->Edit();
    ds->FieldByName(u"Counter")->SetAsInteger(7);
    ds->Recorder()->Inject("RecordModify", c.engine);
    EXPECT_EQ(nxtest::clientErrorCode([&] { ds->Post(); }), c.seen);
    EXPECT_EQ(ds->State(), dsEdit);
    ds->Cancel();
  }
}

TEST_F(DatasetEdit, DeletingARecordThatIsAlreadyGoneIsSilent) {
  Build(u"t", 3);
  TnxTestDataset* mine = Dataset();
  OpenAt(mine, 2);
  TnxTestDataset* peer = PeerDataset();
  OnPeerThread([&] {
    OpenAt(peer, 2);
    peer->Delete();
  });
  mine->Delete();
  EXPECT_EQ(mine->GetRecordCount(), 2);
  // Position codes mean "nothing to delete"; other codes still raise.
  struct Case {
    TnxResult engine;
    TnxResult raised;  // -1: none
  };
  for (const Case c : {Case{nxErrNoCurrentRecord, static_cast<TnxResult>(-1)}, Case{nxErrEOF, static_cast<TnxResult>(-1)},
                       Case{nxErrRecordLockedByOther, nxErrRecordLockedByOther}}) {
    SCOPED_TRACE(c.engine);
    mine->First();
    mine->Recorder()->Inject("RecordDelete", c.engine);
    EXPECT_EQ(nxtest::clientErrorCode([&] { mine->Delete(); }), c.raised);
  }
}

// Opening ends as every other operation does: no operation in progress and
// no positioning hint left on the new cursor.
TEST_F(DatasetEdit, OpenEndsWithNoOperationAndNoPositioningHint) {
  Build(u"t", 3);
  for (const bool reduction : {true, false}) {
    SCOPED_TRACE(reduction ? "reduction" : "no reduction");
    TnxTestDataset* ds = Dataset();
    if (!reduction) ds->AddDataSetOption(dsoDisableClientMessageReduction);
    ds->Open();
    EXPECT_EQ(ds->InOperation(), dioNone);
    EXPECT_FALSE(ds->InternalState().contains(dsiInsertSuccessful));
    EXPECT_FALSE(ds->AbstractCursor()->HasAnyCursorOptions(
        {acoSetToBookmarkFollowedByNothing, acoSetToBookmarkFollowedByRecordGet, acoSetToBookmarkFollowedByRecordGetNext,
         acoSetToBookmarkFollowedByRecordGetPrior, acoSetToBookmarkFollowedBySync, acoChainedRecordGetUsesWriteLock}));
    EXPECT_EQ(ID(ds), 1);
  }
}

// A refused Edit or Delete, failed, aborted by its error event or retried,
// ends its operation: nothing stays marked as in progress.
TEST_F(DatasetEdit, RefusedEditOrDeleteEndsItsOperation) {
  Build(u"t", 3);
  TnxTestDataset* ds = Dataset();
  TDataAction answer = daFail;
  Handler<TDataSet*, EDatabaseError&, TDataAction&> onError{
      [&](TDataSet*, EDatabaseError&, TDataAction& aAction) { aAction = answer; }};
  ds->OnEditError = onError.Event();
  ds->OnDeleteError = onError.Event();
  struct Case {
    const char* what;
    const char* call;
    TDataAction answer;
    const char* outcome;
    TDataSetState state;
    std::int32_t records;
  };
  const Case cases[] = {
      {"edit failing", "RecordGet", daFail, "10241", dsBrowse, 3},
      {"edit aborted", "RecordGet", daAbort, "abort", dsBrowse, 3},
      {"edit retried", "RecordGet", daRetry, "done", dsEdit, 3},
      {"delete failing", "RecordDelete", daFail, "10241", dsBrowse, 3},
      {"delete aborted", "RecordDelete", daAbort, "abort", dsBrowse, 3},
      {"delete retried", "RecordDelete", daRetry, "done", dsBrowse, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenAt(ds, 2);
    answer = c.answer;
    ds->Recorder()->Inject(c.call, nxErrRecordLockedByOther);
    const bool edit = std::string(c.call) == "RecordGet";
    std::string outcome = "done";
    try {
      edit ? ds->Edit() : ds->Delete();
    } catch (const EAbort&) {
      outcome = "abort";
    } catch (const EnxDatabaseError& e) {
      outcome = std::to_string(e.ErrorCode());
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(ds->InOperation(), dioNone);
    EXPECT_EQ(ds->State(), c.state);
    EXPECT_EQ(ds->GetRecordCount(), c.records);
    if (ds->State() == dsEdit) ds->Cancel();
  }
}

// Posting an inserted or edited record with PostAndEdit leaves the dataset
// editing that record, locked against the other user, with the posted
// values as its old values.
TEST_F(DatasetEdit, PostAndEditKeepsTheRecordLockedInEditState) {
  Build(u"t", 3);
  TnxTestDataset* mine = Dataset();
  TnxTestDataset* peer = PeerDataset();
  mine->Open();
  for (const bool inserting : {true, false}) {
    SCOPED_TRACE(inserting ? "inserted" : "edited");
    const std::int32_t id = inserting ? 10 : 2;
    if (inserting) {
      mine->Insert();
      mine->FieldByName(u"ID")->SetAsInteger(id);
    } else {
      OpenAt(mine, id);
      mine->Edit();
    }
    mine->FieldByName(u"Name")->SetAsString(u"posted");
    mine->PostAndEdit();
    EXPECT_EQ(mine->State(), dsEdit);
    EXPECT_EQ(mine->InOperation(), dioNone);
    EXPECT_FALSE(mine->Modified());
    EXPECT_EQ(ID(mine), id);
    ASSERT_NE(mine->OldValuesBuffer(), nullptr);
    EXPECT_EQ(0, std::memcmp(mine->OldValuesBuffer(), mine->ActiveBuffer(),
                             static_cast<std::size_t>(mine->RecordLength())));
    OnPeerThread([&] {
      OpenAt(peer, id);
      EXPECT_EQ(Name(peer), u"posted");
      EXPECT_EQ(nxtest::clientErrorCode([&] { peer->Edit(); }), nxErrRecordLockedByOther);
    });
    // Still the same record: a second post changes it, and the lock goes.
    mine->FieldByName(u"Name")->SetAsString(u"changed");
    mine->Post();
    OnPeerThread([&] {
      peer->Edit();
      EXPECT_EQ(Name(peer), u"changed");
      peer->Cancel();
    });
  }
  EXPECT_EQ(mine->GetRecordCount(), 4);
}

TEST_F(DatasetEdit, OptimisticOptionCannotChangeWhileEditing) {
  Build(u"t", 1, {.revision = true});
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->Edit();
  EXPECT_NE(nxtest::clientErrorMessage([&] { ds->AddDataSetOption(dsoOptimisticLocks); }).find(u"DataSet in editing mode"),
            nxString::npos);
  EXPECT_FALSE(ds->Options().contains(dsoOptimisticLocks));
  ds->Cancel();
  EXPECT_TRUE(ds->AddDataSetOption(dsoOptimisticLocks));
}

TEST_F(DatasetEdit, FailedPostKeepsStateAndBuffer) {
  Build(u"t", 3);
  TnxTestDataset* ds = Dataset();
  OpenAt(ds, 1);
  struct Case {
    const char* what;
    std::function<void()> prepare;
    TnxResult code;
    TDataSetState state;
  };
  const Case cases[] = {
      {"insert with a duplicate key",
       [&] {
         ds->Insert();
         ds->FieldByName(u"ID")->SetAsInteger(2);
         ds->FieldByName(u"Name")->SetAsString(u"dup");
       },
       nxErrKeyViolation, dsInsert},
      {"edit refused by the engine",
       [&] {
         ds->Edit();
         ds->FieldByName(u"Name")->SetAsString(u"refused");
         ds->Recorder()->Inject("RecordModify", nxErrLockTimeout);
       },
       nxErrLockTimeout, dsEdit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    const std::vector<std::uint8_t> before = ActiveRecord(ds);
    EXPECT_EQ(nxtest::clientErrorCode([&] { ds->Post(); }), c.code);
    EXPECT_EQ(ds->State(), c.state);
    EXPECT_EQ(ActiveRecord(ds), before);
    EXPECT_EQ(ds->InOperation(), dioNone);
    ds->Cancel();
  }
  // Corrected, the same insert posts.
  ds->Insert();
  ds->FieldByName(u"ID")->SetAsInteger(2);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->Post(); }), nxErrKeyViolation);
  ds->FieldByName(u"ID")->SetAsInteger(4);
  ds->Post();
  EXPECT_EQ(ds->GetRecordCount(), 4);
}

TEST_F(DatasetEdit, NewRecordCarriesTheEngineDefaults) {
  Build(u"t", 1, {.counterDefault = true});
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->Append();
  EXPECT_EQ(ds->FieldByName(u"Counter")->AsInteger(), 5);
  EXPECT_TRUE(ds->FieldByName(u"Name")->IsNull());
  ds->FieldByName(u"ID")->SetAsInteger(2);
  ds->Post();
  ds->Last();
  EXPECT_EQ(ID(ds), 2);
  EXPECT_EQ(ds->FieldByName(u"Counter")->AsInteger(), 5);
}

TEST_F(DatasetEdit, ClientValidationRefusesThePost) {
  Build(u"t", 1, {.counterRange = true});
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->Recorder()->ClearLog();
  for (const bool inserting : {true, false}) {
    SCOPED_TRACE(inserting ? "insert" : "edit");
    if (inserting) {
      ds->Insert();
      ds->FieldByName(u"ID")->SetAsInteger(2);
    } else {
      ds->Edit();
    }
    ds->FieldByName(u"Counter")->SetAsInteger(11);
    TnxResult code = 0;
    try {
      ds->Post();
    } catch (const EnxBaseException& e) {
      code = e.ErrorCode();
    }
    EXPECT_EQ(code, nxErrMaxValidity);
    EXPECT_EQ(ds->State(), inserting ? dsInsert : dsEdit);
    ds->Cancel();
  }
  // Refused before reaching the engine.
  EXPECT_EQ(ds->Recorder()->CountOf("RecordInsert"), 0);
  EXPECT_EQ(ds->Recorder()->CountOf("RecordModify"), 0);
}

// Both users add 1 to the counters of the same records under pessimistic
// locks: every post succeeds or fails with a lock code, and no increment is
// lost or doubled.
TEST_F(DatasetEdit, ConcurrentPessimisticIncrementsLoseNothing) {
  constexpr int kTargets = 3;
  constexpr int kRounds = 400;
  Build(u"t", kTargets);
  TnxTestDataset* users[2] = {Dataset(), PeerDataset()};
  for (TnxTestDataset* ds : users) {
    ds->SetRecordCalls(false);
    // Too short to wait for the other user's lock: conflicts are refused.
    ds->SetTimeout(5);
  }
  std::vector<int> posted[2] = {std::vector<int>(kTargets + 1), std::vector<int>(kTargets + 1)};
  int refusals = 0;
  std::mutex refusalsMutex;
  nxtest::runThreads(2, [&](int aUser) {
    TnxTestDataset* ds = users[aUser];
    ds->Open();
    for (int round = 0; round < kRounds; ++round) {
      const std::int32_t target = 1 + round % kTargets;
      ds->First();
      ds->MoveBy(target - 1);
      try {
        ds->Edit();
        ds->FieldByName(u"Counter")->SetAsInteger(ds->FieldByName(u"Counter")->AsInteger() + 1);
        ds->Post();
        ++posted[aUser][static_cast<std::size_t>(target)];
      } catch (const EnxDatabaseError& e) {
        const TnxResult code = e.ErrorCode();
        ASSERT_EQ((code >> 8) & 0xFF, 0x28u) << toUtf8(e.Message());
        if (ds->State() != dsBrowse) ds->Cancel();
        std::lock_guard<std::mutex> lock(refusalsMutex);
        ++refusals;
      }
    }
    ds->Close();
  });
  TnxTestDataset* check = Dataset();
  check->Open();
  for (std::int32_t id = 1; id <= kTargets; ++id) {
    OpenAt(check, id);
    EXPECT_EQ(check->FieldByName(u"Counter")->AsInteger(),
              posted[0][static_cast<std::size_t>(id)] + posted[1][static_cast<std::size_t>(id)])
        << "record " << id;
  }
  EXPECT_GT(posted[0][1] + posted[1][1], 0);
  RecordProperty("refused_edits", refusals);
}

// Client message reduction announces the follow-up of each change in a hint
// on the call; without it only the insert hint stays. No hint outlives its call.
TEST_F(DatasetEdit, ChangeCallsCarryTheirHintsUnderMessageReductionOnly) {
  Build(u"t", 6);
  struct Case {
    const char* what;
    std::function<void(TnxTestDataset*, TnxTestDataset*)> run;  // dataset, a second one
    const char* call;
    TnxAbstractCursorOption hint;
    bool withoutReduction;
  };
  std::int32_t nextID = 100;
  TBookmark fifth;
  const Case cases[] = {
      {"post of an edit", [](TnxTestDataset* aDs, TnxTestDataset*) { aDs->Edit(); aDs->FieldByName(u"Counter")->SetAsInteger(3); aDs->Post(); },
       "RecordModify", acoRecordModifyFollowedBySync, false},
      {"post of an insert", [&](TnxTestDataset* aDs, TnxTestDataset*) { aDs->Insert(); aDs->FieldByName(u"ID")->SetAsInteger(nextID++); aDs->Post(); },
       "RecordInsert", acoRecordInsertFollowedByRecordGet, true},
      {"cancel of an edit", [](TnxTestDataset* aDs, TnxTestDataset*) { aDs->Edit(); aDs->Cancel(); },
       "RecordLockRelease", acoLockReleaseFollowedByRecordGet, false},
      {"goto bookmark", [&](TnxTestDataset* aDs, TnxTestDataset*) { aDs->GotoBookmark(fifth); }, "SetToBookmark",
       acoSetToBookmarkFollowedByRecordGet, false},
      {"goto current", [](TnxTestDataset* aDs, TnxTestDataset* aOther) { aDs->GotoCurrent(aOther); }, "SetToCursor",
       acoSetToCursorFollowedBySyncExact, false},
      {"delete", [](TnxTestDataset* aDs, TnxTestDataset*) { aDs->Delete(); }, "RecordDelete",
       acoRecordDeleteFollowedBySync, false},
  };
  for (const bool reduction : {true, false}) {
    TnxTestDataset* ds = Dataset();
    TnxTestDataset* other = Dataset();
    if (!reduction) ds->AddDataSetOption(dsoDisableClientMessageReduction);
    OpenAt(other, 4);
    OpenAt(ds, 5);
    fifth = ds->GetBookmark();
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (reduction ? " with reduction" : " without reduction"));
      // Each round deletes its own record last.
      OpenAt(ds, reduction ? 2 : 3);
      ds->Recorder()->ClearLog();
      c.run(ds, other);
      const auto& calls = ds->Recorder()->Calls();
      const auto it = std::find_if(calls.begin(), calls.end(), [&](const TnxRecordedCall& r) { return r.name == c.call; });
      ASSERT_NE(it, calls.end());
      EXPECT_EQ(it->options.contains(c.hint), reduction || c.withoutReduction);
      EXPECT_FALSE(ds->AbstractCursor()->CursorOptions().contains(c.hint));
    }
    ds->Close();
    other->Close();
  }
}

// ---------------------------------------------------------------------------
// Fields

TEST_F(DatasetEdit, ReadOnlyFieldsAreWrittenOnlyWhileIgnoreReadOnlyIsPositive) {
  Build(u"t", 1, {.revision = true});
  TnxTestDataset* ds = Dataset();
  ds->Open();
  TField* name = ds->FieldByName(u"Name");
  name->SetReadOnly(true);
  ds->Edit();
  EXPECT_EQ(nxtest::clientErrorCode([&] { name->SetAsString(u"x"); }), nxErrReadOnlyField);
  EXPECT_EQ(name->AsString(), u"N1");
  ds->IgnoreReadOnly() = 1;
  name->SetAsString(u"x");
  EXPECT_EQ(name->AsString(), u"x");
  // The engine's RecRev is an internal calculated field: never written.
  TField* rev = ds->FieldByName(u"Rev");
  EXPECT_EQ(rev->FieldKind(), fkInternalCalc);
  EXPECT_EQ(nxtest::clientErrorCode([&] { rev->SetAsInteger(3); }), nxErrReadOnlyField);
  ds->IgnoreReadOnly() = 0;
  ds->Post();
  EXPECT_EQ(name->AsString(), u"x");
}

TEST_F(DatasetEdit, FieldWritesOutsideEditingAreRefused) {
  Build(u"t", 1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  const nxString message = nxtest::clientErrorMessage([&] { ds->FieldByName(u"Name")->SetAsString(u"x"); });
  EXPECT_NE(message.find(u"DataSet not in editing mode"), nxString::npos) << toUtf8(message);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->FieldByName(u"Name")->SetAsString(u"x"); }), 0u);
  EXPECT_EQ(ds->FieldByName(u"Name")->AsString(), u"N1");
}

TEST_F(DatasetEdit, NullWritesSetTheEngineNullFlagAndValuesClearIt) {
  Build(u"t", 1);
  TnxTestDataset* ds = Dataset();
  ds->Open();
  ds->Edit();
  TField* name = ds->FieldByName(u"Name");
  name->Clear();
  EXPECT_TRUE(ds->FieldsDescriptor()->IsRecordFieldNullFast(1, ds->ActiveBuffer()));
  name->SetAsString(u"back");
  EXPECT_FALSE(ds->FieldsDescriptor()->IsRecordFieldNullFast(1, ds->ActiveBuffer()));
  ds->Post();
  EXPECT_EQ(name->AsString(), u"back");
}

TEST_F(DatasetEdit, CalculatedValuesLiveInTheCalculatedPart) {
  Build(u"t", 3);
  TnxTestDataset* ds = Dataset();
  TField* twice = AddCalculatedTwice(ds);
  Handler<TDataSet*> onCalc{[](TDataSet* aDs) {
    const std::int32_t id = aDs->FieldByName(u"ID")->AsInteger();
    if (id != 2) aDs->FieldByName(u"Twice")->SetAsInteger(id * 2);
  }};
  ds->OnCalcFields = onCalc.Event();
  ds->Open();
  for (std::int32_t id : {1, 2, 3}) {
    OpenAt(ds, id);
    const std::uint8_t* calc = ds->ActiveBuffer() + ds->OffsetCalcFlds() + twice->Offset();
    SCOPED_TRACE(id);
    if (id == 2) {
      EXPECT_EQ(calc[0] & 1, 0);
      EXPECT_TRUE(twice->IsNull());
      continue;
    }
    EXPECT_EQ(calc[0] & 1, 1);
    std::int32_t stored = 0;
    std::memcpy(&stored, calc + 1, sizeof stored);
    EXPECT_EQ(stored, id * 2);
    EXPECT_EQ(twice->AsInteger(), id * 2);
  }
}

// OnCalcFields values follow their records through a ring of buffers that
// scrolling reuses, and writing them leaves the engine record untouched.
TEST_F(DatasetEdit, CalculatedValuesFollowTheirRecordsWhileScrolling) {
  Build(u"t", 7);
  TnxTestDataset* ds = Dataset();
  TnxTestDataset* plain = Dataset();
  TField* twice = AddCalculatedTwice(ds);
  TField* label = createField(TStringField::staticClassInfo(), nullptr);
  label->SetFieldName(u"Label");
  label->SetSize(24);
  label->SetFieldKind(fkCalculated);
  label->SetDataSet(ds);
  int calls = 0;
  Handler<TDataSet*> onCalc{[&](TDataSet* aDs) {
    ++calls;
    const std::int32_t id = aDs->FieldByName(u"ID")->AsInteger();
    aDs->FieldByName(u"Twice")->SetAsInteger(id * 2);
    aDs->FieldByName(u"Label")->SetAsString(aDs->FieldByName(u"Name")->AsString() + u"!");
  }};
  ds->OnCalcFields = onCalc.Event();
  Link(ds)->SetBufferCount(3);
  ds->Open();
  plain->Open();
  std::vector<nxString> names(8);
  for (std::int32_t i = 1; i < 8; ++i) names[i] = u"N" + u16(std::to_string(i));
  const auto check = [&](std::int32_t aID) {
    SCOPED_TRACE(aID);
    ASSERT_EQ(ID(ds), aID);
    EXPECT_EQ(twice->AsInteger(), aID * 2);
    EXPECT_EQ(label->AsString(), names[aID] + u"!");
    while (ID(plain) != aID) aID > ID(plain) ? plain->Next() : plain->Prior();
    EXPECT_EQ(ActiveRecord(ds), ActiveRecord(plain));
  };
  std::int32_t id = 1;
  for (ds->First(); !ds->Eof(); ds->Next()) check(id++);
  EXPECT_EQ(id, 8);
  for (ds->Last(); !ds->Bof(); ds->Prior()) check(--id);
  EXPECT_EQ(id, 1);
  EXPECT_GT(calls, 0);
  // A posted change recalculates from the new values; the record keeps them.
  OpenAt(ds, 4);
  ds->Edit();
  ds->FieldByName(u"Name")->SetAsString(u"four");
  ds->Post();
  names[4] = u"four";
  plain->Refresh();
  check(4);
}

// ---------------------------------------------------------------------------
// Bookmarks

TEST_F(DatasetEdit, CompareBookmarksOrdersByTheCursorAndFlipsWithFlipOrder) {
  Build(u"t", 5);
  TnxTestDataset* ds = Dataset();
  OpenAt(ds, 2);
  const TBookmark second = ds->GetBookmark();
  ds->MoveBy(2);
  const TBookmark fourth = ds->GetBookmark();
  const TBookmark none;
  struct Case {
    const TBookmark& a;
    const TBookmark& b;
    int expected;
  };
  const Case cases[] = {{second, second, 0}, {second, fourth, -1}, {fourth, second, 1},
                        {none, none, 0},     {none, second, 1},    {second, none, -1}};
  for (const bool flip : {false, true}) {
    ds->SetFlipOrder(flip);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(&c - cases) + (flip ? " flipped" : ""));
      const int got = ds->CompareBookmarks(c.a, c.b);
      EXPECT_EQ(got, flip ? -c.expected : c.expected);
    }
  }
}

// A bookmark the cursor refuses has no place in any order: the comparison
// raises the cursor's code instead of answering with it.
TEST_F(DatasetEdit, CompareBookmarksRaisesWhenTheCursorRefusesABookmark) {
  Build(u"t", 3);
  TnxTestDataset* ds = Dataset();
  OpenAt(ds, 1);
  const TBookmark good = ds->GetBookmark();
  TBookmark corrupt = good;
  corrupt[0] ^= 0x5A;  // the checksum no longer matches
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->CompareBookmarks(corrupt, good); }), nxErrBookmarkMismatch);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->CompareBookmarks(good, corrupt); }), nxErrBookmarkMismatch);
  TBookmark shorter(good.begin(), good.end() - 1);
  EXPECT_EQ(nxtest::clientErrorCode([&] { ds->CompareBookmarks(shorter, good); }), nxErrBookmarkMismatch);
}

TEST_F(DatasetEdit, GotoBookmarkReturnsToTheRecordAndRefusesAWrongLength) {
  Build(u"t", 30);
  TnxTestDataset* ds = Dataset();
  OpenAt(ds, 7);
  const TBookmark seventh = ds->GetBookmark();
  ds->MoveBy(15);
  ds->GotoBookmark(seventh);
  EXPECT_EQ(ID(ds), 7);
  ds->Next();
  EXPECT_EQ(ID(ds), 8);
  EXPECT_TRUE(ds->BookmarkValid(seventh));
  for (const std::size_t size : {seventh.size() - 1, seventh.size() + 1}) {
    TBookmark wrong(size, 0);
    std::memcpy(wrong.data(), seventh.data(), std::min(size, seventh.size()));
    SCOPED_TRACE(size);
    EXPECT_EQ(nxtest::clientErrorCode([&] { ds->GotoBookmark(wrong); }), nxErrBookmarkMismatch);
    EXPECT_FALSE(ds->BookmarkValid(wrong));
  }
  EXPECT_EQ(ID(ds), 8);
}

TEST_F(DatasetEdit, SetBookmarkDataOfAnotherSizeFlagsTheBufferEof) {
  Build(u"t", 2);
  TnxTestDataset* ds = Dataset();
  OpenAt(ds, 1);
  const TBookmark good = ds->GetBookmark();
  TRecordBuffer buffer = ds->ActiveBuffer();
  ds->SetBookmarkData(buffer, TBookmark(good.size() + 3, 0xEE));
  EXPECT_EQ(ds->dsRecInfoFlag(buffer), bfEOF);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer + ds->OffsetBookmark(), buffer + ds->OffsetBookmark() + good.size()),
            std::vector<std::uint8_t>(good.size(), 0));
  ds->SetBookmarkData(buffer, good);
  TBookmark read;
  ds->GetBookmarkData(buffer, read);
  EXPECT_EQ(read, good);
}

TEST_F(DatasetEdit, GotoCurrentFollowsADatasetOfTheSameSessionOnly) {
  Build(u"t", 6);
  TnxTestDataset* mine = Dataset();
  TnxTestDataset* same = Dataset();
  OpenAt(mine, 1);
  OpenAt(same, 5);
  mine->GotoCurrent(same);
  EXPECT_EQ(ID(mine), 5);
  TnxTestDataset* peer = PeerDataset();
  OnPeerThread([&] { OpenAt(peer, 3); });
  EXPECT_EQ(nxtest::clientErrorCode([&] { mine->GotoCurrent(peer); }), nxErrCursorOfOtherTable);
  EXPECT_EQ(ID(mine), 5);
  // The other dataset must stand on a record.
  same->Insert();
  EXPECT_EQ(nxtest::clientErrorCode([&] { mine->GotoCurrent(same); }), nxErrNoCurrentRecord);
  same->Cancel();
}

TEST_F(DatasetEdit, RecIDOfAFetchedRecordIsItsRefNr) {
  Build(u"t", 4);
  TnxTestDataset* byKey = Dataset();
  // Without an index the cursor's key is the record's RefNr.
  TnxTestDataset* sequential = Dataset();
  sequential->SetIndexName(u"");
  OpenAt(byKey, 3);
  sequential->Open();
  for (std::int32_t id = 1; id <= 4; ++id, sequential->Next()) {
    SCOPED_TRACE(id);
    const TnxRecID recID = sequential->RecID();
    EXPECT_EQ(recID.ridRefNr, static_cast<TnxRefNr>(sequential->KeyAsVariant().toInt64()));
    EXPECT_NE(recID.ridRefNr, 0u);
    if (ID(sequential) == 3) {
      EXPECT_EQ(byKey->RecID().ridRefNr, recID.ridRefNr);
    }
  }
  // A record not stored yet has no identity.
  byKey->Insert();
  EXPECT_EQ(byKey->RecID().ridRefNr, ~TnxRefNr{0});
  byKey->Cancel();
}

TEST_F(DatasetEdit, CacheInfoIsEmptyWhereTheCursorGivesNone) {
  Build(u"t", 2);
  TnxTestDataset* ds = Dataset();
  TnxRecordCacheInfo info{7, 9};
  EXPECT_FALSE(ds->GetCacheInfo(info));  // closed
  EXPECT_EQ(info.rciRefNr, 0u);
  EXPECT_EQ(info.rciModifyLSN, 0u);
  ds->Open();
  info = {7, 9};
  // A table that is no cache source has no cache information to give.
  EXPECT_FALSE(ds->GetCacheInfo(info));
  EXPECT_EQ(info.rciRefNr, 0u);
  EXPECT_EQ(info.rciModifyLSN, 0u);
  EXPECT_EQ(ds->GetCacheInfo().rciRefNr, 0u);
}

// ---------------------------------------------------------------------------
// Events

TEST_F(DatasetEdit, DataLinkHearsOpenScrollEditFieldChangePostAndClose) {
  Build(u"t", 3);
  TnxTestDataset* ds = Dataset();
  EventLink* link = Link(ds);
  ds->Open();
  ds->Next();
  ds->Edit();
  ds->FieldByName(u"Name")->SetAsString(u"x");
  ds->Post();
  ds->Close();
  const std::vector<std::string> expected = {
      "UpdateState", "UpdateState",                                // open: opening, browse
      "CheckBrowseMode", "DataSetScroll",                          // Next
      "CheckBrowseMode", "UpdateState", "RecordChange",            // Edit
      "FieldChange(Name)",                                         // the write
      "UpdateRecord", "CheckBrowseMode", "UpdateState", "DataSetChange",  // Post
      "UpdateState",                                               // Close
  };
  EXPECT_EQ(link->events, expected);
}

// The other user holds the record lock; an optimistic post is refused until
// the error handler has the lock released and asks for a retry.
TEST_F(DatasetEdit, PostErrorHandlerRetriesAfterTheLockIsReleased) {
  Build(u"t", 2, {.revision = true});
  TnxTestDataset* mine = Dataset();
  mine->AddDataSetOption(dsoOptimisticLocks);
  TnxTestDataset* peer = PeerDataset();
  OpenAt(mine, 1);
  mine->Edit();
  mine->FieldByName(u"Name")->SetAsString(u"mine");
  OnPeerThread([&] {
    OpenAt(peer, 1);
    peer->Edit();
  });
  std::vector<TnxResult> seen;
  Handler<TDataSet*, EDatabaseError&, TDataAction&> retry{[&](TDataSet*, EDatabaseError& aError, TDataAction& aAction) {
    auto* error = dynamic_cast<EnxDatabaseError*>(&aError);
    seen.push_back(error ? error->ErrorCode() : 0);
    OnPeerThread([&] { peer->Cancel(); });
    aAction = daRetry;
  }};
  mine->OnPostError = retry.Event();
  mine->Post();
  EXPECT_EQ(seen, std::vector<TnxResult>{nxErrRecordLockFailed});
  EXPECT_EQ(mine->State(), dsBrowse);
  OnPeerThread([&] {
    peer->Refresh();
    EXPECT_EQ(Name(peer), u"mine");
  });
}

}  // namespace
