// The audit descriptor: a custom descriptor that marks a table as audited.
// When the table is built (CheckValid(True)) with UseAudit set, it keeps the
// nested table "Audit Log" of the owning table level in shape: a copy of the
// dictionary's fields plus "Audit Changed At", "Audit User ID", "Audit
// Custom Data" and "Audit Update Type", two indices and a variable record
// engine with smart compression. An audit table whose fields no longer
// match is renamed "Audit Log Old_<n>" and a new one is made; a matching one
// only has its two text fields widened to 100 units.
//
// Stream (after the dictionary item part): Integer 2, list begin, Boolean
// UseAudit, Boolean IncludeBlobFields, list end; the same for every client.
// Version 1 carries only UseAudit.
//
// The events are set by the descriptor's user; they are neither streamed
// nor compared. The dictionary must be writable during a build. Not locked.
#pragma once

#include <functional>

#include "nxsdDataDictionary.h"

NX_DECLARE_EXCEPTION(EnxAuditDescriptorException, EnxBaseCustomDescriptorException)

inline constexpr const char16_t* nxAuditTableName = u"Audit Log";
inline constexpr const char16_t* nxAuditOldTablePrefix = u"Audit Log Old_";

class TnxAuditDescriptor : public TnxBaseCustomDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxChildtableCreatedEvent = std::function<void(const nxString& aChildname)>;
  using TnxChildtableRenamedEvent = std::function<void(const nxString& aOldChildname, const nxString& aNewChildname)>;
  using TnxCanDiscardAuditTableEvent = std::function<void(bool& aCanDiscard)>;

  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;

  bool UseAudit() const { return adUseAudit; }
  void SetUseAudit(bool aValue) { adUseAudit = aValue; }
  bool IncludeBlobFields() const { return adIncludeBlobFields; }
  void SetIncludeBlobFields(bool aValue) { adIncludeBlobFields = aValue; }
  TnxChildtableCreatedEvent OnChildtableCreated;
  TnxChildtableRenamedEvent OnChildtableRenamed;
  TnxCanDiscardAuditTableEvent OnCanDiscardAuditTable;

  // Whether an audit table's fields still hold the audited ones in place.
  static bool FieldsDescriptorContainsAllFields(TnxFieldsDescriptor* aAuditFieldsDescriptor,
                                                TnxFieldsDescriptor* aOriginalFieldsDescriptor);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  void CreateAuditTable(TnxTablesDescriptor& aTables, TnxBaseTableDescriptor& aAudited);
  bool adUseAudit = false;
  bool adIncludeBlobFields = false;
};

// Entries of the dictionary's start-up table.
void nxsdDataDictionaryAuditRegister();
void nxsdDataDictionaryAuditUnregister();
