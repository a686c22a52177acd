// The audit descriptor: the audit table a build makes, renames and widens,
// the events, and the stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionaryAudit.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"

namespace {

using namespace nxsdtest;

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    Prepare();
  }
  void Prepare() {
    events.clear();
    d = questionBank({.ownLocale = true, .refNr = false, .nested = false});
    d->FieldsDescriptor()->Fields(1)->AddLocaleDescriptor()->SetLocale(1033);
    audit = static_cast<TnxAuditDescriptor*>(
        d->CustomDescsDescriptor()->AddCustom(u"Audit", &TnxAuditDescriptor::staticClassInfo()));
    audit->SetUseAudit(true);
    audit->OnChildtableCreated = [this](const nxString& aName) { events.push_back(u"created " + aName); };
    audit->OnChildtableRenamed = [this](const nxString& aOld, const nxString& aNew) {
      events.push_back(u"renamed " + aOld + u" " + aNew);
    };
  }
  void TearDown() override {
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  TnxNestedTableDescriptor* table(const nxString& aName) {
    const std::int32_t inx = d->TablesDescriptor()->GetTableIndexFromName(aName);
    return inx < 0 ? nullptr : d->TablesDescriptor()->Tables(inx);
  }
  std::vector<nxString> tableNames() {
    std::vector<nxString> names;
    for (std::int32_t i = 0; i < d->TablesDescriptor()->TableCount(); ++i)
      names.push_back(d->TablesDescriptor()->Tables(i)->Name());
    return names;
  }

  DictPtr d;
  TnxAuditDescriptor* audit = nullptr;
  std::vector<nxString> events;
};

TEST_F(AuditTest, BuildCreatesTheAuditTable) {
  d->CheckValid(true);
  TnxNestedTableDescriptor* log = table(u"Audit Log");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(events, std::vector<nxString>{u"created Audit Log"});
  TnxFieldsDescriptor* own = d->FieldsDescriptor();
  TnxFieldsDescriptor* f = log->FieldsDescriptor();
  ASSERT_EQ(f->FieldCount(), own->FieldCount() + 4);
  for (std::int32_t i = 0; i < own->FieldCount(); ++i) {
    EXPECT_EQ(f->Fields(i)->fdName, own->Fields(i)->fdName);
    EXPECT_EQ(f->Fields(i)->fdType, own->Fields(i)->fdType);
    EXPECT_EQ(f->Fields(i)->fdUnits, own->Fields(i)->fdUnits);
    EXPECT_FALSE(f->Fields(i)->fdRequired);
  }
  ASSERT_NE(f->Fields(1)->LocaleDescriptor(), nullptr);
  EXPECT_NE(f->Fields(1)->LocaleDescriptor(), own->Fields(1)->LocaleDescriptor());
  EXPECT_EQ(f->Fields(1)->LocaleDescriptor()->Locale(), 1033u);
  const struct {
    const char16_t* name;
    const char16_t* desc;
    TnxFieldType type;
    std::int32_t units;
  } added[] = {{u"Audit Changed At", u"Audit Timestamp", nxtDateTime, 0},
               {u"Audit User ID", u"Audit User Identification", nxtWideString, 100},
               {u"Audit Custom Data", u"Audit Custom Data", nxtWideString, 100},
               {u"Audit Update Type", u"Audit Update Type", nxtWideChar, 0}};
  for (std::int32_t i = 0; i < 4; ++i) {
    TnxFieldDescriptor* field = f->Fields(own->FieldCount() + i);
    EXPECT_EQ(field->fdName, added[i].name);
    EXPECT_EQ(field->fdDesc, added[i].desc);
    EXPECT_EQ(field->fdType, added[i].type);
    if (added[i].units) {
      EXPECT_EQ(field->fdUnits, added[i].units);
    }
  }
  ASSERT_NE(f->Fields(own->FieldCount())->DefaultValue(), nullptr);
  EXPECT_EQ(&f->Fields(own->FieldCount())->DefaultValue()->classInfo(),
            &TnxCurrentDateTimeDefaultValueDescriptor::staticClassInfo());
  const std::int32_t byChanged = log->GetIndexFromName(u"By Changed At and User ID");
  const std::int32_t byUser = log->GetIndexFromName(u"By User ID and Changed At");
  ASSERT_GE(byChanged, 0);
  ASSERT_GE(byUser, 0);
  auto* key = static_cast<TnxCompKeyDescriptor*>(log->IndicesDescriptor()->Indices(byUser)->KeyDescriptor());
  ASSERT_EQ(key->KeyFieldCount(), 2);
  EXPECT_EQ(key->KeyFields(0)->Field()->fdName, u"Audit User ID");
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(log->RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordEngine(), u"Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor()->RecordCompressionEngine(), u"Smart");

  // A second build leaves a matching table alone.
  d->CheckValid(true);
  EXPECT_EQ(tableNames(), std::vector<nxString>{u"Audit Log"});
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(AuditTest, ChangedFieldsRenameTheOldTable) {
  d->CheckValid(true);
  TnxNestedTableDescriptor* first = table(u"Audit Log");
  first->FieldsDescriptor()->Fields(0)->AddDefaultValue();
  first->FieldsDescriptor()->Fields(0)->EnsureValidations();
  first->FieldsDescriptor()->EnsureValidations();
  d->FieldsDescriptor()->AddField(u"extra", u"", nxtInt32, 0, 0, false);
  d->CheckValid(true);
  EXPECT_EQ(tableNames(), (std::vector<nxString>{u"Audit Log Old_1", u"Audit Log"}));
  EXPECT_EQ(table(u"Audit Log Old_1"), first);
  EXPECT_EQ(first->FieldsDescriptor()->Fields(0)->DefaultValue(), nullptr);
  EXPECT_EQ(first->FieldsDescriptor()->Fields(0)->Validations(), nullptr);
  EXPECT_EQ(first->FieldsDescriptor()->Validations(), nullptr);
  EXPECT_EQ(table(u"Audit Log")->FieldsDescriptor()->FieldCount(), d->FieldsDescriptor()->FieldCount() + 4);

  // Fields added behind the audited ones keep the table; a changed one does not.
  d->FieldsDescriptor()->RemoveField(d->FieldsDescriptor()->FieldCount() - 1);
  d->CheckValid(true);
  EXPECT_EQ(tableNames(), (std::vector<nxString>{u"Audit Log Old_1", u"Audit Log"}));
  d->FieldsDescriptor()->Fields(2)->ChangeName(u"NUMBER2");
  d->CheckValid(true);
  EXPECT_EQ(tableNames(), (std::vector<nxString>{u"Audit Log Old_1", u"Audit Log Old_2", u"Audit Log"}));
  EXPECT_EQ(events, (std::vector<nxString>{u"created Audit Log", u"renamed Audit Log Audit Log Old_1",
                                           u"created Audit Log", u"renamed Audit Log Audit Log Old_2",
                                           u"created Audit Log"}));
}

TEST_F(AuditTest, OldTableNumbers) {
  const struct {
    std::vector<const char16_t*> present;
    const char16_t* next;
  } cases[] = {
      {{}, u"Audit Log Old_1"},
      {{u"Audit Log Old_x"}, u"Audit Log Old_0"},
      {{u"Audit Log Old_7", u"audit log old_3"}, u"Audit Log Old_8"},
      {{u"Audit Log Old_2147483647"}, u"Audit Log Old_2147483648"},
  };
  for (const auto& c : cases) {
    Prepare();
    audit->CheckValid(true);
    for (const char16_t* name : c.present) d->TablesDescriptor()->AddTable(name);
    d->FieldsDescriptor()->AddField(u"extra", u"", nxtInt32, 0, 0, false);
    audit->CheckValid(true);
    EXPECT_NE(table(c.next), nullptr) << platform::toUtf8(c.next);
  }
}

TEST_F(AuditTest, NarrowTextFieldsAreWidened) {
  d->CheckValid(true);
  TnxFieldsDescriptor* f = table(u"Audit Log")->FieldsDescriptor();
  TnxFieldDescriptor* user = f->Fields(f->GetFieldFromName(u"Audit User ID"));
  TnxFieldDescriptor* custom = f->Fields(f->GetFieldFromName(u"Audit Custom Data"));
  user->fdUnits = 50;
  user->fdLength = 102;
  f->UpdateSetupAndOffsets();
  const std::int32_t customOffset = custom->fdOffset;
  d->CheckValid(true);
  EXPECT_EQ(tableNames(), std::vector<nxString>{u"Audit Log"});
  EXPECT_EQ(user->fdUnits, 100);
  EXPECT_EQ(user->fdLength, 202);
  EXPECT_EQ(custom->fdOffset, customOffset + 100);
}

TEST_F(AuditTest, NothingWithoutUseAuditOrOutsideABuild) {
  bool asked = false;
  audit->OnCanDiscardAuditTable = [&](bool& aCanDiscard) {
    asked = true;
    aCanDiscard = true;
  };
  d->CheckValid(false);
  EXPECT_TRUE(tableNames().empty());
  audit->SetUseAudit(false);
  d->CheckValid(true);
  EXPECT_TRUE(tableNames().empty());
  EXPECT_FALSE(asked);

  // With UseAudit a discarded table is made anew, not renamed.
  audit->SetUseAudit(true);
  d->CheckValid(true);
  TnxNestedTableDescriptor* first = table(u"Audit Log");
  d->FieldsDescriptor()->AddField(u"extra", u"", nxtInt32, 0, 0, false);
  d->CheckValid(true);
  EXPECT_TRUE(asked);
  EXPECT_EQ(tableNames(), std::vector<nxString>{u"Audit Log"});
  EXPECT_NE(table(u"Audit Log"), nullptr);
  (void)first;
  EXPECT_EQ(table(u"Audit Log")->FieldsDescriptor()->FieldCount(), d->FieldsDescriptor()->FieldCount() + 4);
}

TEST_F(AuditTest, Stream) {
  audit->SetIncludeBlobFields(true);
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    audit->SaveToWriter(w, 19999);
    w.FlushBuffer();
  }
  const Bytes written = bytesOf(s);
  EXPECT_EQ(written, B().Item(0, true).Int(2).ListBegin().Bool(true).Bool(true).ListEnd().b);
  const auto load = [&](const Bytes& b) {
    TnxMemoryStream in;
    in.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
    in.SetPosition(0);
    TnxReader r(in);
    audit->LoadFromReader(r);
  };
  const std::int32_t id = audit->ID();
  load(B().Item(id).Int(1).ListBegin().Bool(false).ListEnd().b);
  EXPECT_FALSE(audit->UseAudit());
  EXPECT_TRUE(audit->IncludeBlobFields());  // version 1 leaves it as it was
  expectCode<EnxAuditDescriptorException>(
      [&] { load(B().Item(id).Int(3).ListBegin().Bool(true).Bool(true).ListEnd().b); }, nxErrIncompatibleStream);

  audit->SetUseAudit(true);
  DictPtr back = newDictionary();
  readDict(*back, writeDict(*d, 47501));
  auto* backAudit = back->CustomDescsDescriptor()->Customs(0);
  EXPECT_TRUE(backAudit->IsEqual(audit));
  EXPECT_TRUE(static_cast<TnxAuditDescriptor*>(backAudit)->IncludeBlobFields());
  EXPECT_TRUE(back->CustomDescsDescriptor()->IsEqual(d->CustomDescsDescriptor()));
  audit->SetIncludeBlobFields(false);
  EXPECT_FALSE(back->CustomDescsDescriptor()->IsEqual(d->CustomDescsDescriptor()));
}

}  // namespace
