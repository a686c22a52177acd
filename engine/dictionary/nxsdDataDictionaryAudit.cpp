#include "nxsdDataDictionaryAudit.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "nxllBde.h"
#include "plString.h"

using platform::sameTextAscii;

NX_IMPLEMENT_EXCEPTION(EnxAuditDescriptorException, EnxBaseCustomDescriptorException)

PL_CLASS_INFO_IMPL_TABLE(TnxAuditDescriptor, TnxBaseCustomDescriptor, "TnxAuditDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxAuditDescriptor>))

namespace {

constexpr const char16_t* kChangedAt = u"Audit Changed At";
constexpr const char16_t* kUserID = u"Audit User ID";
constexpr const char16_t* kCustomData = u"Audit Custom Data";
constexpr const char16_t* kUpdateType = u"Audit Update Type";
constexpr std::int32_t kTextUnits = 100;
constexpr std::int32_t kTextLength = 202;

// The number after the old-table prefix; -1 when the rest is not a number.
std::int64_t oldTableNumber(const nxString& aRest) {
  const std::string text = platform::toUtf8(aRest);
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return -1;
  return value;
}

nxString nextOldTableName(const TnxTablesDescriptor& aTables) {
  const nxString prefix(nxAuditOldTablePrefix);
  bool any = false;
  std::int64_t best = 0;
  for (std::int32_t i = 0; i < aTables.TableCount(); ++i) {
    const nxString& name = aTables.Tables(i)->Name();
    if (name.size() < prefix.size() || !sameTextAscii(name.substr(0, prefix.size()), prefix)) continue;
    const std::int64_t n = oldTableNumber(name.substr(prefix.size()));
    best = any ? std::max(best, n) : n;
    any = true;
  }
  // 64-bit: a stored Old_2147483647 must not wrap to a taken name.
  return prefix + platform::fromUtf8(std::to_string(any ? best + 1 : 1));
}

bool sameOwnLocale(TnxFieldDescriptor* a, TnxFieldDescriptor* b) {
  TnxLocaleDescriptor* la = a->LocaleDescriptor();
  TnxLocaleDescriptor* lb = b->LocaleDescriptor();
  if (!la || !lb) return !la && !lb;
  return la->IsEqual(lb);
}

TnxBaseTableDescriptor* auditOwningTable(const TnxDictionaryItem* aItem) {
  TnxPersistent* found = nullptr;
  if (!aItem->FindParentOfType(TnxBaseTableDescriptor::staticClassInfo(), found)) return nullptr;
  return static_cast<TnxBaseTableDescriptor*>(found);
}

void addIndex(TnxBaseTableDescriptor& aTable, const char16_t* aName, const char16_t* aFirst, const char16_t* aSecond) {
  TnxIndexDescriptor* index = aTable.EnsureIndicesDescriptor()->AddIndex(
      aName, 0, idAll, u"", &TnxCompKeyDescriptor::staticClassInfo());
  auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
  key->Add(nxString(aFirst));
  key->Add(nxString(aSecond));
}

}  // namespace

bool TnxAuditDescriptor::FieldsDescriptorContainsAllFields(TnxFieldsDescriptor* aAuditFieldsDescriptor,
                                                           TnxFieldsDescriptor* aOriginalFieldsDescriptor) {
  if (aAuditFieldsDescriptor->FieldCount() <= aOriginalFieldsDescriptor->FieldCount()) return false;
  for (std::int32_t i = 0; i < aOriginalFieldsDescriptor->FieldCount(); ++i) {
    TnxFieldDescriptor* original = aOriginalFieldsDescriptor->Fields(i);
    TnxFieldDescriptor* audit = aAuditFieldsDescriptor->Fields(i);
    if (audit->fdName != original->fdName) return false;
    if (original->fdType >= nxFieldTypeCount || audit->fdType >= nxFieldTypeCount ||
        !nxFieldTypeStorageCompatible[original->fdType][audit->fdType])
      return false;
    if (audit->fdUnits != original->fdUnits || audit->fdDecPl != original->fdDecPl ||
        audit->fdOffset != original->fdOffset || audit->fdLength != original->fdLength)
      return false;
    if (!sameOwnLocale(audit, original)) return false;
  }
  for (const char16_t* name : {kChangedAt, kUpdateType, kUserID, kCustomData})
    if (aAuditFieldsDescriptor->GetFieldFromName(name) < 0) return false;
  return true;
}

void TnxAuditDescriptor::CreateAuditTable(TnxTablesDescriptor& aTables, TnxBaseTableDescriptor& aAudited) {
  TnxNestedTableDescriptor* table = aTables.AddTable(nxAuditTableName);
  TnxFieldsDescriptor* fields = table->FieldsDescriptor();
  TnxFieldsDescriptor* source = aAudited.FieldsDescriptor();
  for (std::int32_t i = 0; i < source->FieldCount(); ++i) {
    TnxFieldDescriptor* from = source->Fields(i);
    TnxFieldDescriptor* copy = fields->AddField(from->fdName, from->fdDesc, from->fdType, from->fdUnits,
                                                from->fdDecPl, false);
    if (TnxLocaleDescriptor* locale = from->LocaleDescriptor())
      copy->AddLocaleDescriptor(&locale->classInfo())->Assign(locale);
  }
  fields->AddField(kChangedAt, u"Audit Timestamp", nxtDateTime, 0, 0, false)
      ->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::staticClassInfo());
  fields->AddField(kUserID, u"Audit User Identification", nxtWideString, kTextUnits, 0, false);
  fields->AddField(kCustomData, u"Audit Custom Data", nxtWideString, kTextUnits, 0, false);
  fields->AddField(kUpdateType, u"Audit Update Type", nxtWideChar, 0, 0, false);
  addIndex(*table, u"By Changed At and User ID", kChangedAt, kUserID);
  addIndex(*table, u"By User ID and Changed At", kUserID, kChangedAt);
  auto* record = static_cast<TnxHeapRecordDescriptor*>(
      table->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
  if (OnChildtableCreated) OnChildtableCreated(nxAuditTableName);
}

void TnxAuditDescriptor::CheckValid(bool aForBuild) {
  if (aForBuild && adUseAudit) {
    TnxBaseTableDescriptor* owner = auditOwningTable(this);
    auto* audited = platform::objectAs<TnxBaseTableDescriptor>(FindDataDictionary());
    if (owner && audited && owner->TablesDescriptor()) {
      TnxTablesDescriptor& tables = *owner->TablesDescriptor();
      std::int32_t inx = tables.GetTableIndexFromName(nxAuditTableName);
      bool canDiscard = false;
      if (OnCanDiscardAuditTable) OnCanDiscardAuditTable(canDiscard);
      if (canDiscard && inx >= 0) {
        tables.RemoveTable(inx);
        inx = -1;
      }
      if (inx < 0) {
        CreateAuditTable(tables, *audited);
      } else {
        TnxNestedTableDescriptor* found = tables.Tables(inx);
        TnxFieldsDescriptor* fields = found->FieldsDescriptor();
        if (FieldsDescriptorContainsAllFields(fields, audited->FieldsDescriptor())) {
          for (const char16_t* name : {kUserID, kCustomData}) {
            TnxFieldDescriptor* field = fields->Fields(fields->GetFieldFromName(name));
            if (field->fdUnits >= kTextUnits) continue;
            field->fdUnits = kTextUnits;
            field->fdLength = kTextLength;
            fields->UpdateSetupAndOffsets();
          }
        } else {
          const nxString newName = nextOldTableName(tables);
          tables.RenameTable(nxAuditTableName, newName);
          if (OnChildtableRenamed) OnChildtableRenamed(nxAuditTableName, newName);
          CreateAuditTable(tables, *audited);
        }
        // The kept or renamed table stores what was written; its checks
        // and defaults would refuse or change old rows.
        fields->RemoveValidations();
        const std::int32_t n = std::min(audited->FieldsDescriptor()->FieldCount(), fields->FieldCount());
        for (std::int32_t i = 0; i < n; ++i) {
          fields->Fields(i)->RemoveDefaultValue();
          fields->Fields(i)->RemoveValidations();
        }
      }
    }
  }
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
}

void TnxAuditDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{2});
  aWriter.WriteListBegin();
  aWriter.WriteBoolean(adUseAudit);
  aWriter.WriteBoolean(adIncludeBlobFields);
  aWriter.WriteListEnd();
}

void TnxAuditDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxAuditDescriptorException(nxErrIncompatibleStream);
  aReader.ReadListBegin();
  adUseAudit = aReader.ReadBoolean();
  if (version >= 2) adIncludeBlobFields = aReader.ReadBoolean();
  aReader.ReadListEnd();
}

bool TnxAuditDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseCustomDescriptor::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxAuditDescriptor>(aItem);
  return other && adUseAudit == other->adUseAudit && adIncludeBlobFields == other->adIncludeBlobFields;
}

void nxsdDataDictionaryAuditRegister() { TnxDescriptorClass<TnxAuditDescriptor>::Register(); }

void nxsdDataDictionaryAuditUnregister() { TnxDescriptorClass<TnxAuditDescriptor>::Unregister(); }
