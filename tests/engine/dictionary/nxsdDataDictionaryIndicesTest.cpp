// Indices lists, validations and the custom descriptor container, inside a
// real data dictionary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"
#include "plString.h"

namespace {

using namespace nxsdtest;

class IndicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    d = newDictionary();
    d->FieldsDescriptor()->AddField(u"Qty", u"", nxtInt32, 0, 0, false);
    d->FieldsDescriptor()->AddField(u"Name", u"", nxtWideString, 20, 0, false);
    d->FieldsDescriptor()->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    list = d->AddIndicesDescriptor();
  }
  void TearDown() override {
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
    nxsdSetStrippedInformation(false);
  }
  // Indices on the reference key: valid without fields.
  TnxIndexDescriptor* add(const nxString& aName) {
    return list->AddIndex(aName, 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
  }
  std::vector<nxString> names() const {
    std::vector<nxString> result;
    for (std::int32_t i = 0; i < list->IndexCount(); ++i) {
      EXPECT_EQ(list->Indices(i)->Number(), i);
      result.push_back(list->Indices(i)->Name());
    }
    return result;
  }
  DictPtr d;
  TnxMainIndicesDescriptor* list = nullptr;
};

// Records what an index-change subscriber hears.
class Listener : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  void HandleIndexChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override {
    heard.push_back({aBefore ? 1 : 0, aOld, aNew});
  }
  std::vector<std::array<std::int32_t, 3>> heard;
};
PL_CLASS_INFO_IMPL(Listener, TnxDictionaryItem, "Listener", nullptr)

TEST_F(IndicesTest, DefaultIndexFollowsItsIndex) {
  struct Case {
    const char* what;
    std::function<void(TnxMainIndicesDescriptor&)> change;
    std::int32_t expected;
    const char16_t* expectedName;
  };
  const Case cases[] = {
      {"remove A", [](auto& l) { l.RemoveIndex(0); }, 0, u"B"},
      {"move C to 0", [](auto& l) { l.MoveIndex(2, 0); }, 2, u"B"},
      {"remove B", [](auto& l) { l.RemoveIndex(u"b"); }, 0, u"A"},
      {"insert before B", [](auto& l) {
         l.InsertIndexAt(0, u"Z", 0, false, u"", &TnxRefKeyDescriptor::staticClassInfo());
       }, 2, u"B"},
      {"move B to the end", [](auto& l) { l.MoveIndex(1, 2); }, 2, u"B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    list = d->AddIndicesDescriptor();
    add(u"A");
    add(u"B");
    add(u"C");
    list->SetDefaultIndex(1);
    c.change(*list);
    EXPECT_EQ(list->DefaultIndex(), c.expected);
    EXPECT_EQ(list->Indices(list->DefaultIndex())->Name(), c.expectedName);
    names();
  }
  list = d->AddIndicesDescriptor();
  EXPECT_EQ(list->DefaultIndex(), -1);
  add(u"Only");
  EXPECT_EQ(list->DefaultIndex(), 0);  // the first index becomes the default
  list->RemoveIndex(0);
  EXPECT_EQ(list->DefaultIndex(), -1);
  list->SetDefaultIndex(5);
  EXPECT_EQ(list->DefaultIndex(), -1);  // no indices: -1 whatever is given
}

TEST_F(IndicesTest, DefaultIndexSetter) {
  add(u"A");
  add(u"B");
  list->SetDefaultIndex(-7);
  EXPECT_EQ(list->DefaultIndex(), 0);
  expectCode<EnxMainIndicesDescriptorException>([&] { list->SetDefaultIndex(2); }, nxErrInvalidDescNumber,
                                                u"Invalid default index number: 2");
}

TEST_F(IndicesTest, CountLimitsInCheckValid) {
  expectCode<EnxBaseIndicesDescriptorException>([&] { list->CheckValid(false); }, nxErrInvalidIndexDescArray,
                                                u"IndicesDescriptor requires a minimum of one index");
  for (int i = 0; i < 256; ++i) {
    nxString name(u"I");
    name.append(platform::fromUtf8(std::to_string(i)));
    add(name);
  }
  list->CheckValid(false);
  add(u"Last");
  expectCode<EnxBaseIndicesDescriptorException>([&] { list->CheckValid(false); }, nxErrTooManyIndices);
}

TEST_F(IndicesTest, NamesPositionsAndFiles) {
  add(u"NAME");
  expectCode<EnxBaseIndicesDescriptorException>([&] { add(u"Name"); }, nxErrIndexExists,
                                                u"Duplicated index name: Name");
  EXPECT_EQ(list->GetIndexFromName(u"name"), 0);
  EXPECT_EQ(list->GetDescriptorFromName(u"none"), nullptr);
  expectCode<EnxBaseIndicesDescriptorException>([&] { add(u" bad"); }, nxErrInvalidIndexName);
  expectCode<EnxBaseIndicesDescriptorException>([&] { list->AddIndex(u"F", 1, false, u""); },
                                                nxErrInvalidDescNumber, u"Invalid file number: 1");
  add(u"Second");
  list->InsertIndexAt(0, u"First", 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
  EXPECT_EQ(names(), (std::vector<nxString>{u"First", u"NAME", u"Second"}));
  expectCode<EnxBaseIndicesDescriptorException>(
      [&] { list->InsertIndexAt(4, u"X", 0, false, u""); }, nxErrInvalidDescNumber, u"Index out of bounds: 4");
  expectCode<EnxBaseIndicesDescriptorException>([&] { list->MoveIndex(0, 3); }, nxErrInvalidDescNumber,
                                                u"Index out of bounds: 3");
  list->RemoveIndex(5);
  list->RemoveIndex(-1);
  EXPECT_EQ(list->IndexCount(), 3);
  // A duplicate that slipped in by a stream is found by the check.
  list->Indices(2)->SetNumber(7);
  list->CheckValid(false);
  EXPECT_EQ(list->Indices(2)->Number(), 2);
}

TEST_F(IndicesTest, SubscribersHearBeforeAndAfter) {
  add(u"A");
  add(u"B");
  auto* listener = platform::create<Listener>(d.get());
  nxsdRegisterIndexChanges(listener);
  list->MoveIndex(0, 1);
  list->RemoveIndex(0);
  add(u"C");
  list->InsertIndexAt(0, u"D", 0, false, u"", &TnxRefKeyDescriptor::staticClassInfo());
  using H = std::array<std::int32_t, 3>;
  EXPECT_EQ(listener->heard, (std::vector<H>{{1, 0, 1}, {0, 0, 1}, {1, 0, -1}, {0, 0, -1}, {0, -1, 1},
                                             {1, -1, 0}, {0, -1, 2}, {0, -1, 0}}));
  nxsdUnregisterIndexChanges(listener);
  list->RemoveIndex(0);
  EXPECT_EQ(listener->heard.size(), 8u);
  platform::TObject::free(listener);
}

TEST_F(IndicesTest, HasIndexMatchesExactPlainKeys) {
  auto* byQty = static_cast<TnxCompKeyDescriptor*>(list->AddIndex(u"Qty", 0, idNone, u"")->KeyDescriptor());
  byQty->Add(std::int32_t{0});
  auto* both = static_cast<TnxCompKeyDescriptor*>(list->AddIndex(u"Both", 0, idAll, u"")->KeyDescriptor());
  both->Add(std::int32_t{0});
  both->Add(std::int32_t{1});
  std::int32_t at = 9;
  const std::int32_t qty[] = {0}, qtyName[] = {0, 1}, nameQty[] = {1, 0};
  EXPECT_TRUE(list->HasIndex(qty, at));
  EXPECT_EQ(at, 0);
  EXPECT_TRUE(list->HasIndex(qtyName, at));
  EXPECT_EQ(at, 1);
  EXPECT_FALSE(list->HasIndex(qtyName, at, nxIndexDupsBit(idNone)));
  EXPECT_EQ(at, -1);
  EXPECT_FALSE(list->HasIndex(nameQty, at));
}

TEST_F(IndicesTest, CopyTakesTheSettingsAndLendsItsID) {
  DictPtr second = newDictionary();
  second->FieldsDescriptor()->AddField(u"Qty", u"", nxtInt32, 0, 0, false);
  TnxIndexDescriptor* source = second->IndicesDescriptor()->AddIndex(u"Qty", 0, idNull, u"by quantity");
  static_cast<TnxCompKeyDescriptor*>(source->KeyDescriptor())->Add(std::int32_t{0});
  TnxIndexDescriptor* copy = list->AddIndex(source);
  EXPECT_EQ(copy->ID(), source->ID());
  EXPECT_TRUE(copy->IsEqual(source));
  EXPECT_EQ(copy->Desc(), u"by quantity");
  EXPECT_EQ(copy->Dups(), idNull);
  // A copy that cannot be made leaves nothing behind.
  expectCode<EnxBaseIndicesDescriptorException>([&] { list->AddIndex(source); }, nxErrIndexExists);
  EXPECT_EQ(list->IndexCount(), 1);
}

TEST_F(IndicesTest, ListStreamsAndVersions) {
  add(u"A");
  add(u"B");
  list->SetDefaultIndex(1);
  list->SetIndicesEngine(u"Other");
  TnxMainIndicesDescriptor* copy = d->GetChild(u"")->EnsureIndicesDescriptor();
  ASSERT_EQ(copy, list);
  DictPtr other = newDictionary();
  other->IndicesDescriptor()->Assign(list);
  EXPECT_TRUE(other->IndicesDescriptor()->IsEqual(list));
  EXPECT_EQ(other->IndicesDescriptor()->DefaultIndex(), 1);
  other->IndicesDescriptor()->SetDefaultIndex(0);
  EXPECT_FALSE(other->IndicesDescriptor()->IsEqual(list));

  TnxInternalIndicesDescriptor* internal = d->AddInternalIndicesDescriptor();
  internal->AddIndex(u"Inner", 0, false, u"", &TnxRefKeyDescriptor::staticClassInfo());
  TnxMemoryStream s;
  TnxWriter w(s);
  expectCode<EnxInternalIndicesDescriptorException>([&] { internal->SaveToWriter(w, 47004); },
                                                    nxErrIncompatibleVersion);
  expectCode<EnxMainIndicesDescriptorException>([&] { list->SaveToWriter(w, 19999); }, nxErrIncompatibleVersion);
}

TEST_F(IndicesTest, UnknownClassesInAListStream) {
  add(u"A");
  const Bytes good = [&] {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      list->SaveToWriter(w, 47501);
      w.FlushBuffer();
    }
    return bytesOf(s);
  }();
  const auto loadWith = [&](const std::string& aFrom, const std::string& aTo) {
    Bytes b = good;
    const auto it = std::search(b.begin(), b.end(), aFrom.begin(), aFrom.end());
    ASSERT_NE(it, b.end());
    std::copy(aTo.begin(), aTo.end(), it);
    TnxMemoryStream s;
    s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
    s.SetPosition(0);
    TnxReader r(s);
    list->LoadFromReader(r);
  };
  expectCode<EnxMainIndicesDescriptorException>([&] { loadWith("TnxIndexDescriptor", "TnxIndexDescriptoX"); },
                                                nxErrUnsupportedDescriptor,
                                                u"IndexDescriptor class is not supported: TnxIndexDescriptoX");
  expectCode<EnxMainIndicesDescriptorException>([&] { loadWith("TnxRefKeyDescriptor", "TnxRefKeyDescriptoX"); },
                                                nxErrUnsupportedDescriptor,
                                                u"KeyDescriptor class is not supported: TnxRefKeyDescriptoX");
}

// ---------------------------------------------------------------- validations

TEST_F(IndicesTest, MinMaxChecksTheFieldType) {
  add(u"Seq");
  TnxFieldDescriptor* memo = d->FieldsDescriptor()->Fields(2);
  memo->EnsureValidations()->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo());
  expectCode<EnxMinMaxValidationDescriptorException>(
      [&] { d->CheckValid(false); }, nxErrInvalidFieldDesc,
      u"\"TnxMinMaxValidationDescriptor\" is not supported for field type \"nxtBlobMemo\"");
  memo->RemoveValidations();
  TnxFieldDescriptor* qty = d->FieldsDescriptor()->Fields(0);
  auto* range = static_cast<TnxMinMaxValidationDescriptor*>(
      qty->EnsureValidations()->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo()));
  EXPECT_EQ(range->KeyField(), nullptr);
  d->CheckValid(false);
  ASSERT_NE(range->KeyField(), nullptr);
  EXPECT_EQ(range->KeyField()->FieldNumber(), nxKeyFieldOfOwnerField);
  EXPECT_EQ(range->KeyField()->Field(), qty);
}

TEST_F(IndicesTest, ValidationContainersAdmitTheirClasses) {
  add(u"Seq");
  TnxFieldsValidationsDescriptor* table = d->FieldsDescriptor()->EnsureValidations();
  expectCode<EnxFieldValidationsDescriptorException>(
      [&] { table->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo()); }, nxErrInvalidParam,
      u"TnxFieldsValidationsDescriptor.AddValidation: aClass must be of type TnxBaseFieldsValidationDescriptor but "
      u"is of type TnxMinMaxValidationDescriptor");
  EXPECT_EQ(&table->AddValidation(u"Positive")->classInfo(), &TnxBaseFieldsValidationDescriptor::staticClassInfo());
  table->RemoveValidation(u"positive");
  auto* check = static_cast<TnxSqlCheckValidationDescriptor*>(
      table->AddValidation(u"Positive", &TnxSqlCheckValidationDescriptor::staticClassInfo()));
  check->SetConstraint(u"Qty > 0");
  TnxFieldValidationsDescriptor* field = d->FieldsDescriptor()->Fields(0)->EnsureValidations();
  field->AddValidation(u"Check", &TnxSqlCheckValidationDescriptor::staticClassInfo());
  expectCode<EnxFieldValidationsDescriptorException>([&] { field->AddValidation(u"CHECK"); }, nxErrNameNotUnique,
                                                     u"Duplicated validation descriptor name: CHECK");
  expectCode<EnxBaseFieldValidationDescriptorException>([&] { field->AddValidation(u" bad"); }, nxErrInvalidName);
  EXPECT_EQ(field->GetValidationDescriptorFromClassName(u"tnxsqlcheckvalidationdescriptor"), 0);
  field->RemoveValidation(3);
  EXPECT_EQ(field->ValidationCount(), 1);

  check->SetApplyAt(nxApplyAtBoth);
  EXPECT_EQ(check->ApplyAt(), nxApplyAtBit(aaServer));
  EXPECT_EQ(field->Validations(0)->ApplyAt(), nxApplyAtBit(aaServer));
  d->CheckValid(true);
}

TEST_F(IndicesTest, ValidationsTravelInTheDictionaryStream) {
  add(u"Seq");
  TnxFieldDescriptor* qty = d->FieldsDescriptor()->Fields(0);
  auto* range = static_cast<TnxMinMaxValidationDescriptor*>(
      qty->EnsureValidations()->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo()));
  range->SetMinAsVariant(platform::Variant(std::int32_t{1}));
  range->SetMaxAsVariant(platform::Variant(std::int32_t{99}));
  range->SetApplyAt(nxApplyAtBoth);
  qty->Validations()->AddValidation(u"Fixed", &TnxNoChangeValidationDescriptor::staticClassInfo());
  auto* check = static_cast<TnxSqlCheckValidationDescriptor*>(d->FieldsDescriptor()->EnsureValidations()->AddValidation(
      u"Positive", &TnxSqlCheckValidationDescriptor::staticClassInfo()));
  check->SetConstraint(u"Qty > 0");
  check->SetErrorMessage(u"must be positive");
  d->CheckValid(true);
  const Bytes stream = writeDict(*d, 47501);
  DictPtr copy = newDictionary();
  readDict(*copy, stream);
  EXPECT_TRUE(copy->IsEqual(d.get()));
  auto* readRange = static_cast<TnxMinMaxValidationDescriptor*>(
      copy->FieldsDescriptor()->Fields(0)->Validations()->Validations(0));
  EXPECT_EQ(readRange->MinAsVariant().toInt32(), 1);
  EXPECT_EQ(readRange->MaxAsVariant().toInt32(), 99);
  EXPECT_EQ(readRange->ApplyAt(), nxApplyAtBoth);
  // Only the condition text counts for an SQL check, not its message.
  auto* readCheck = static_cast<TnxSqlCheckValidationDescriptor*>(copy->FieldsDescriptor()->Validations()->Validations(0));
  EXPECT_EQ(readCheck->ErrorMessage(), u"must be positive");
  readCheck->SetErrorMessage(u"other");
  EXPECT_TRUE(copy->IsEqual(d.get()));
  readCheck->SetConstraint(u"qty > 0");
  EXPECT_FALSE(copy->IsEqual(d.get()));
  range->SetMax({});
  EXPECT_TRUE(range->MaxAsVariant().isEmpty());
  EXPECT_FALSE(readRange->IsEqual(range));
  // Old clients have no place for validations.
  expectCode<EnxFieldDescriptorException>([&] { writeDict(*d, 19999); }, nxErrIncompatibleVersion);
}

// Validations added without a class are of their container's base class,
// and a dictionary holding them reads back.
TEST_F(IndicesTest, ValidationsWithoutAClassTravelInTheStream) {
  add(u"Seq");
  d->FieldsDescriptor()->Fields(0)->EnsureValidations()->AddValidation(u"Plain");
  d->FieldsDescriptor()->EnsureValidations()->AddValidation(u"TablePlain");
  d->CheckValid(false);
  DictPtr copy = newDictionary();
  readDict(*copy, writeDict(*d, 47501));
  EXPECT_TRUE(copy->IsEqual(d.get()));
  EXPECT_EQ(&copy->FieldsDescriptor()->Fields(0)->Validations()->Validations(0)->classInfo(),
            &TnxBaseFieldValidationDescriptor::staticClassInfo());
  EXPECT_EQ(&copy->FieldsDescriptor()->Validations()->Validations(0)->classInfo(),
            &TnxBaseFieldsValidationDescriptor::staticClassInfo());
}

// Replaces the first occurrence of a stored string (tag, length, text).
Bytes replaced(Bytes aStream, const std::string& aFrom, const std::string& aTo) {
  const Bytes from = B().Str(aFrom).b, to = B().Str(aTo).b;
  const auto it = std::search(aStream.begin(), aStream.end(), from.begin(), from.end());
  EXPECT_NE(it, aStream.end()) << aFrom;
  if (it == aStream.end()) return aStream;
  const auto at = aStream.erase(it, it + static_cast<std::ptrdiff_t>(from.size()));
  aStream.insert(at, to.begin(), to.end());
  return aStream;
}

TEST_F(IndicesTest, FormerValidationListNameLoads) {
  add(u"Seq");
  d->FieldsDescriptor()->Fields(0)->EnsureValidations()->AddValidation(
      u"Check", &TnxSqlCheckValidationDescriptor::staticClassInfo());
  const Bytes stream = replaced(writeDict(*d, 47501), "TnxFieldValidationsDescriptor", "TnxValidationsDescriptor");
  DictPtr copy = newDictionary();
  readDict(*copy, stream);
  TnxFieldValidationsDescriptor* validations = copy->FieldsDescriptor()->Fields(0)->Validations();
  ASSERT_NE(validations, nullptr);
  EXPECT_EQ(&validations->classInfo(), &TnxFieldValidationsDescriptor::staticClassInfo());
  EXPECT_EQ(validations->ValidationCount(), 1);
  EXPECT_TRUE(copy->IsEqual(d.get()));

  expectCode<EnxFieldValidationsDescriptorException>(
      [&] { readDict(*copy, replaced(stream, "TnxSqlCheckValidationDescriptor", "TnxNoSuchValidation")); },
      nxErrUnsupportedDescriptor, u"ValidationDescriptor class is not supported: TnxNoSuchValidation");
  expectCode<EnxFieldDescriptorException>(
      [&] { readDict(*copy, replaced(stream, "TnxValidationsDescriptor", "TnxNoSuchList")); },
      nxErrUnsupportedDescriptor, u"ValidationsDescriptor class is not supported: TnxNoSuchList");
  EXPECT_EQ(copy->FieldsDescriptor()->FieldCount(), 0);
}

// ---------------------------------------------------------------- custom descriptors

TEST_F(IndicesTest, CustomDescriptorsByName) {
  add(u"Seq");
  TnxCustomDescsDescriptor* customs = d->CustomDescsDescriptor();
  customs->AddCustom(u"Audit");
  customs->AddCustom(u"Refs");
  expectCode<EnxCustomDescsDescriptorException>([&] { customs->AddCustom(u"AUDIT"); }, nxErrNameNotUnique,
                                                u"Duplicated custom descriptor name: AUDIT");
  expectCode<EnxCustomDescsDescriptorException>([&] { customs->AddCustom(u""); }, nxErrInvalidName);
  EXPECT_EQ(customs->GetCustomDescriptorFromName(u"refs"), 1);
  d->CheckValid(false);
  DictPtr copy = newDictionary();
  readDict(*copy, writeDict(*d, 47501));
  ASSERT_EQ(copy->CustomDescsDescriptor()->CustomCount(), 2);
  EXPECT_EQ(copy->CustomDescsDescriptor()->Customs(1)->Name(), u"Refs");
  EXPECT_TRUE(copy->CustomDescsDescriptor()->IsEqual(customs));
  customs->RemoveCustom(u"audit");
  customs->RemoveCustom(7);
  EXPECT_EQ(customs->CustomCount(), 1);
  EXPECT_FALSE(copy->CustomDescsDescriptor()->IsEqual(customs));
}

}  // namespace
