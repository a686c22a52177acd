// Referential-integrity descriptors: checks and their texts, field sources
// following field changes, target resolution, streams and equality.
#include <gtest/gtest.h>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdQuestionBank.h"
#include "nxsdDataDictionaryRefInt.h"
#include "nxsdTestSupport.h"

namespace {

using namespace nxsdtest;

class RefIntegrityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    d = questionBank();
    d->_BaseName(u"qbnk");
    rec = d->TablesDescriptor()->GetTableDescriptorFromName(u"qzrecord");
  }
  void TearDown() override {
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  TnxRefIntegrityDescriptor* ri(TnxBaseTableDescriptor& aTable) {
    if (TnxRefIntegrityDescriptor* found = nxFindRefIntegrityDescriptor(&aTable)) return found;
    return static_cast<TnxRefIntegrityDescriptor*>(aTable.CustomDescsDescriptor()->AddCustom(
        nxRefIntegrityDescriptorName, &TnxRefIntegrityDescriptor::staticClassInfo()));
  }

  // qzrecord.id refers to qbnk's index "ID".
  TnxReferenceDescriptor* recordToBank() {
    TnxReferenceDescriptor* ref = ri(*rec)->AddReference();
    static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(u"qbnk");
    ref->SetTargetIndex(u"ID");
    static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(9);
    ref->AddAction(&TnxCascadeDeleteActionDescriptor::staticClassInfo());
    ref->AddAction(&TnxTargetRequiredActionDescriptor::staticClassInfo());
    return ref;
  }

  template <class T>
  static Bytes save(T& aItem, std::int32_t aClient) {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      aItem.SaveToWriter(w, aClient);
      w.FlushBuffer();
    }
    return bytesOf(s);
  }
  template <class T>
  static void load(T& aItem, const Bytes& b) {
    TnxMemoryStream s;
    s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
    s.SetPosition(0);
    TnxReader r(s);
    aItem.LoadFromReader(r);
  }

  DictPtr d;
  TnxNestedTableDescriptor* rec = nullptr;
};

TEST_F(RefIntegrityTest, ChecksOfANewReference) {
  TnxReferenceDescriptor* ref = ri(*rec)->AddReference();
  expectCode<EnxTableTargetCursorDescriptorException>(
      [&] { ref->CheckValid(false); }, nxErrNoSuchTable, u"Referential Integrity Target Table Name must be set");
  expectCode<EnxTableTargetCursorDescriptorException>(
      [&] { static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(u""); },
      nxErrNoSuchTable);

  static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(u"qbnk");
  EXPECT_NO_THROW(ref->CheckValid(false));
  EXPECT_NO_THROW(d->CheckValid(false));
  // The build needs sources, a target index and actions, in that order.
  const struct {
    const char16_t* text;
    std::function<void()> mend;
  } steps[] = {
      {u"TableName: qbnk - Referential Integrity Descriptor - No Referencing Fields",
       [&] { static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(9); }},
      {u"TableName: qbnk - Referential Integrity Descriptor - Target Index Missing",
       [&] { ref->SetTargetIndex(u"ID"); }},
      {u"TableName: qbnk - Referential Integrity Descriptor - No Actions Selected", [&] { ref->AddAction(); }},
  };
  for (const auto& step : steps) {
    try {
      ref->CheckValid(true);
      ADD_FAILURE() << "no failure";
    } catch (const EnxReferenceDescriptorException& e) {
      EXPECT_NE(e.Message().find(step.text), nxString::npos) << platform::toUtf8(e.Message());
      EXPECT_EQ(e.ErrorCode(), 0);
    }
    step.mend();
  }
  EXPECT_NO_THROW(ref->CheckValid(true));

  static_cast<TnxFieldSourceDescriptor*>(ref->Sources(0))->SetFieldNumber(13);
  expectCode<EnxFieldSourceDescriptorException>([&] { ref->CheckValid(false); }, nxErrInvalidDesc,
                                                u"Invalid field number: 13");
}

TEST_F(RefIntegrityTest, FieldSourcesFollowFieldChanges) {
  TnxReferenceDescriptor* ref = ri(*rec)->AddReference();
  auto* source = static_cast<TnxFieldSourceDescriptor*>(ref->AddSource());
  EXPECT_EQ(source->FieldNumber(), -1);
  source->SetFieldNumber(2);
  TnxFieldsDescriptor* fields = rec->FieldsDescriptor();
  const std::int32_t count = fields->FieldCount();
  expectCode<EnxFieldSourceDescriptorException>([&] { fields->RemoveField(2); }, nxErrObjectInUse,
                                                u"Cannot remove field category because");
  EXPECT_EQ(fields->FieldCount(), count);
  EXPECT_EQ(source->FieldNumber(), 2);
  fields->RemoveField(1);
  EXPECT_EQ(source->FieldNumber(), 1);
  auto* unset = static_cast<TnxFieldSourceDescriptor*>(ref->AddSource());
  fields->InsertFieldAt(0, u"first", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(source->FieldNumber(), 2);
  EXPECT_EQ(unset->FieldNumber(), -1);
  ref->RemoveSource(1);
  fields->MoveField(2, 5);
  EXPECT_EQ(source->FieldNumber(), 5);
  EXPECT_EQ(source->Field()->Name(), u"category");
  // A removed source no longer vetoes.
  ref->RemoveSource(source);
  EXPECT_EQ(ref->SourceCount(), 0);
  EXPECT_NO_THROW(fields->RemoveField(5));
}

TEST_F(RefIntegrityTest, TargetsResolve) {
  TnxRefIntegrityDescriptor* own = ri(*rec);
  EXPECT_EQ(own->AddReference(nullptr, &TnxCloneTargetCursorDescriptor::staticClassInfo())
                ->TargetCursor()
                ->ReferencedTableName(),
            u"qbnk:qzrecord");
  const struct {
    const char16_t* path;
    const char16_t* full;
  } cases[] = {{u"..", u"qbnk"}, {u".", u"qbnk:qzrecord"}, {u"..:gcount", u"qbnk:gcount"}, {u"gcount", u"qbnk:gcount"}};
  for (const auto& c : cases) {
    auto* cursor = static_cast<TnxRelativeTargetCursorDescriptor*>(
        own->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::staticClassInfo())->TargetCursor());
    cursor->SetTableName(c.path);
    EXPECT_EQ(cursor->ReferencedTableName(), nxString(c.full)) << platform::toUtf8(c.path);
    EXPECT_NO_THROW(cursor->CheckValid(false));
  }
  auto* bad = static_cast<TnxRelativeTargetCursorDescriptor*>(
      own->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::staticClassInfo())->TargetCursor());
  expectCode<EnxTableTargetCursorDescriptorException>([&] { bad->SetTableName(u"..::x"); }, nxErrInvalidTableName);
  expectCode<EnxTableTargetCursorDescriptorException>([&] { bad->CheckValid(false); }, nxErrInvalidTableName,
                                                      u"Referential Integrity Target Table must be set");
  bad->SetTableName(u"qzrecord");  // from the root: qbnk has it
  EXPECT_EQ(bad->ReferencedTableName(), u"qbnk:qzrecord");
  bad->SetTableName(u"missing");
  expectCode([&] { bad->CheckValid(false); }, nxErrNoSuchTable);

  // References: the target table, and the index looked up in it.
  TnxReferenceDescriptor* ref = recordToBank();
  EXPECT_TRUE(ref->TargetCursor()->References(d.get()));
  EXPECT_FALSE(ref->TargetCursor()->References(rec));
  EXPECT_TRUE(ref->References(d->IndicesDescriptor()->Indices(d->GetIndexFromName(u"ID"))));
  EXPECT_FALSE(ref->References(d->IndicesDescriptor()->Indices(d->GetIndexFromName(u"ByCategory"))));
  EXPECT_FALSE(ref->References(rec->IndicesDescriptor()->Indices(rec->GetIndexFromName(u"id"))));
}

TEST_F(RefIntegrityTest, EnsureAndFind) {
  EXPECT_EQ(nxFindRefIntegrityDescriptor(d.get()), nullptr);
  TnxRefIntegrityDescriptor* made = nxEnsureRefIntegrityDescriptor(d.get());
  EXPECT_EQ(nxEnsureRefIntegrityDescriptor(d.get()), made);
  EXPECT_EQ(nxFindRefIntegrityDescriptor(d.get()), made);
  d->CustomDescsDescriptor()->RemoveCustom(0);
  d->CustomDescsDescriptor()->AddCustom(nxRefIntegrityDescriptorName);
  EXPECT_THROW(nxEnsureRefIntegrityDescriptor(d.get()), EnxRefIntegrityDescriptorException);
}

TEST_F(RefIntegrityTest, OldClientsAndVersions) {
  TnxReferenceDescriptor* ref = recordToBank();
  auto* cursor = static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor());
  // Without a password an old client gets version 1 and no password.
  const Bytes old = save(*cursor, 19999);
  EXPECT_EQ(old, B().Item(0, true).Int(1).Int(1).Str("qbnk").b);
  cursor->SetPassword(u"secret");
  expectCode<EnxTableTargetCursorDescriptorException>([&] { save(*cursor, 19999); }, nxErrIncompatibleVersion);
  ref->Sources(0)->SetSkipOnNull(true);
  expectCode<EnxFieldSourceDescriptorException>([&] { save(*ref->Sources(0), 19999); }, nxErrIncompatibleVersion);
  ref->Actions(1)->SetSkipOnNull(true);
  expectCode<EnxTargetRequiredActionDescriptorException>([&] { save(*ref->Actions(1), 19999); },
                                                         nxErrIncompatibleVersion);

  // Version 1 reads leave SkipOnNull False and no password.
  load(*cursor, old);
  EXPECT_EQ(cursor->Password(), u"");
  load(*ref->Sources(0), B().Item(0, true).Int(1).Int(1).Int(4).b);
  EXPECT_FALSE(ref->Sources(0)->SkipOnNull());
  EXPECT_EQ(static_cast<TnxFieldSourceDescriptor*>(ref->Sources(0))->FieldNumber(), 4);

  const std::int32_t id = ref->Sources(0)->ID();
  for (const Bytes& bad : {B().Item(id).Int(3).b, B().Item(id).Int(2).Bool(false).Int(2).Int(0).b})
    expectCode<EnxFieldSourceDescriptorException>([&] { load(*ref->Sources(0), bad); }, nxErrIncompatibleStream);
  expectCode<EnxTableTargetCursorDescriptorException>(
      [&] { load(*cursor, B().Item(cursor->ID()).Int(1).Int(3).Str("x").b); }, nxErrIncompatibleStream);
}

TEST_F(RefIntegrityTest, UnknownClassNames) {
  recordToBank();
  TnxRefIntegrityDescriptor& own = *nxFindRefIntegrityDescriptor(rec);
  const Bytes good = save(own, 47501);
  const auto loadWith = [&](const std::string& aFrom, const std::string& aTo) {
    Bytes b = good;
    const auto it = std::search(b.begin(), b.end(), aFrom.begin(), aFrom.end());
    ASSERT_NE(it, b.end());
    std::copy(aTo.begin(), aTo.end(), it);
    load(own, b);
  };
  expectCode<EnxRefIntegrityDescriptorException>(
      [&] { loadWith("TnxReferenceDescriptor", "TnxReferenceDescriptoX"); }, nxErrUnsupportedDescriptor,
      u"ReferenceDescriptor class is not supported: TnxReferenceDescriptoX");
  expectCode<EnxRefIntegrityDescriptorException>(
      [&] { loadWith("TnxTableTargetCursor", "TnxTableTargetCursoX"); }, nxErrUnsupportedDescriptor,
      u"TargetCursorDescriptor class is not supported");
  expectCode<EnxReferenceDescriptorException>([&] { loadWith("TnxFieldSource", "TnxFieldSourcX"); },
                                              nxErrUnsupportedDescriptor, u"SourceDescriptor class is not supported");
  expectCode<EnxReferenceDescriptorException>([&] { loadWith("TnxCascadeDelete", "TnxCascadeDeletX"); },
                                              nxErrUnsupportedDescriptor, u"ActionDescriptor class is not supported");
  load(own, good);
  EXPECT_EQ(own.ReferenceCount(), 1);
}

TEST_F(RefIntegrityTest, EqualityIgnoresSkipOnNullAndPassword) {
  TnxReferenceDescriptor* a = recordToBank();
  TnxReferenceDescriptor* b = recordToBank();
  EXPECT_TRUE(a->IsEqual(b));
  b->Sources(0)->SetSkipOnNull(true);
  b->Actions(0)->SetSkipOnNull(true);
  static_cast<TnxTableTargetCursorDescriptor*>(b->TargetCursor())->SetPassword(u"pw");
  b->SetTargetIndex(u"id");
  EXPECT_TRUE(a->IsEqual(b));
  static_cast<TnxFieldSourceDescriptor*>(b->Sources(0))->SetFieldNumber(8);
  EXPECT_FALSE(a->IsEqual(b));
  static_cast<TnxFieldSourceDescriptor*>(b->Sources(0))->SetFieldNumber(9);
  b->RemoveAction(1);
  EXPECT_FALSE(a->IsEqual(b));
  b->AddAction(&TnxBlockModifyActionDescriptor::staticClassInfo());
  EXPECT_FALSE(a->IsEqual(b));
}

TEST_F(RefIntegrityTest, SurvivesTheDictionaryRoundTrip) {
  TnxReferenceDescriptor* ref = recordToBank();
  static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetPassword(u"pw");
  ref->Sources(0)->SetSkipOnNull(true);
  ri(*d)->AddReference(nullptr, &TnxRelativeTargetCursorDescriptor::staticClassInfo());
  static_cast<TnxRelativeTargetCursorDescriptor*>(nxFindRefIntegrityDescriptor(d.get())->References_(0)->TargetCursor())
      ->SetTableName(u".:qzrecord");
  ASSERT_NO_THROW(d->CheckValid(false));

  DictPtr back = newDictionary();
  readDict(*back, writeDict(*d, 47501));
  EXPECT_TRUE(back->IsEqual(d.get()));
  TnxRefIntegrityDescriptor* read =
      nxFindRefIntegrityDescriptor(back->TablesDescriptor()->GetTableDescriptorFromName(u"qzrecord"));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->ReferenceCount(), 1);
  TnxReferenceDescriptor* r = read->References_(0);
  EXPECT_EQ(static_cast<TnxTableTargetCursorDescriptor*>(r->TargetCursor())->Password(), u"pw");
  EXPECT_TRUE(r->Sources(0)->SkipOnNull());
  EXPECT_EQ(static_cast<TnxFieldSourceDescriptor*>(r->Sources(0))->Field()->Name(), u"id");
  EXPECT_EQ(&r->Actions(1)->classInfo(), &TnxTargetRequiredActionDescriptor::staticClassInfo());
  EXPECT_TRUE(r->References(back->IndicesDescriptor()->Indices(back->GetIndexFromName(u"ID"))));
  EXPECT_NO_THROW(back->CheckValid(false));
  // The source read back subscribes to its field: it vetoes the field's removal and follows a move. The ID
  // index vetoes the removal too; subscribers are asked in address order, so either may answer first.
  auto* source = static_cast<TnxFieldSourceDescriptor*>(r->Sources(0));
  TnxFieldsDescriptor* fields = back->TablesDescriptor()->GetTableDescriptorFromName(u"qzrecord")->FieldsDescriptor();
  const std::int32_t count = fields->FieldCount();
  expectCode<EnxBaseException>([&] { fields->RemoveField(9); }, nxErrObjectInUse,
                               u"Cannot remove field id because it is still referenced by an index");
  EXPECT_EQ(fields->FieldCount(), count);
  expectCode<EnxFieldSourceDescriptorException>([&] { source->HandleFieldChange(true, 9, -1); }, nxErrObjectInUse);
  fields->MoveField(9, 0);
  EXPECT_EQ(source->FieldNumber(), 0);
  EXPECT_EQ(source->Field()->Name(), u"id");
}

}  // namespace
