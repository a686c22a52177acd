#include "nxsdTableMapperDescriptorBase.h"

#include <utility>

#include "nxllBde.h"
#include "plString.h"

using platform::sameTextAscii;

NX_IMPLEMENT_EXCEPTION(EnxBaseTableMapperDescriptorException, EnxBaseRegisterableDescriptorException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseTableMapperDescriptor, TnxBaseRegisterableDescriptor, "TnxBaseTableMapperDescriptor",
                         nullptr,
                         platform::bindClassTable(nxTableMapperDescriptorFuncs<TnxBaseTableMapperDescriptor>))

namespace {
TnxClassList gTableMapperDescriptorClasses;

[[noreturn]] void raiseUnsupportedTableMapper(const nxString& aName) {
  throw EnxBaseTableMapperDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                              {nxString(u"TableMapperDescriptor"), aName});
}

// Frees a new mapping when its load fails.
template <class T, class F>
T* loaded(T* aNew, F&& aLoad) {
  try {
    aLoad(*aNew);
  } catch (...) {
    platform::TObject::free(aNew);
    throw;
  }
  return aNew;
}
}  // namespace

TnxClassList& TnxBaseTableMapperDescriptor::GetList() { return gTableMapperDescriptorClasses; }

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::CreateOfClass(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxTableMapperDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo())) raiseUnsupportedTableMapper(platform::fromUtf8(aClass.name));
  return funcs->create();
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::CreateFromReader(TnxReader& aReader) {
  const nxString name = aReader.ReadIdent();
  const platform::ClassInfo* cls = nxFindClassIn(gTableMapperDescriptorClasses, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(staticClassInfo())) raiseUnsupportedTableMapper(name);
  return loaded(CreateOfClass(*cls), [&](TnxBaseTableMapperDescriptor& m) { m.InternalLoadFromReader(aReader); });
}

TnxBaseTableMapperDescriptor::~TnxBaseTableMapperDescriptor() { Clear(); }

void TnxBaseTableMapperDescriptor::beforeDestruction() {
  Clear();
  TnxBaseRegisterableDescriptor::beforeDestruction();
}

void TnxBaseTableMapperDescriptor::Clear() {
  RemoveRecordMapper();
  while (!TableDescriptor.empty()) {
    TnxBaseTableMapperDescriptor* table = TableDescriptor.back();
    TableDescriptor.pop_back();
    platform::TObject::free(table);
  }
}

std::int32_t TnxBaseTableMapperDescriptor::GetTableIndexFromName(const nxString& aName) const {
  for (std::size_t i = 0; i < TableDescriptor.size(); ++i)
    if (sameTextAscii(TableDescriptor[i]->btmdName, aName)) return static_cast<std::int32_t>(i);
  return -1;
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::GetTableDescriptorFromName(const nxString& aName) const {
  const std::int32_t inx = GetTableIndexFromName(aName);
  if (inx < 0) throw EnxBaseTableMapperDescriptorException(nxErrNoSuchTable);
  return Tables(inx);
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::AddTable(const nxString& aName,
                                                                     const platform::ClassInfo* aClass) {
  if (GetTableIndexFromName(aName) >= 0)
    throw EnxBaseTableMapperDescriptorException(nxErrNameNotUnique, u"Duplicated table name: %s", {aName});
  TableDescriptor.reserve(TableDescriptor.size() + 1);
  TnxBaseTableMapperDescriptor* table = CreateOfClass(aClass ? *aClass : staticClassInfo());
  table->btmdParent = this;
  table->btmdName = aName;
  TableDescriptor.push_back(table);
  return table;
}

void TnxBaseTableMapperDescriptor::RemoveTable(std::int32_t aInx) {
  if (aInx < 0 || aInx >= TableCount()) return;
  TnxBaseTableMapperDescriptor* table = Tables(aInx);
  TableDescriptor.erase(TableDescriptor.begin() + aInx);
  platform::TObject::free(table);
}

void TnxBaseTableMapperDescriptor::RemoveTable(const nxString& aName) { RemoveTable(GetTableIndexFromName(aName)); }

TnxBaseRecordMapperDescriptor* TnxBaseTableMapperDescriptor::AddRecordMapper(const platform::ClassInfo& aClass) {
  RemoveRecordMapper();
  RecordMapper_ = TnxBaseRecordMapperDescriptor::CreateOfClass(aClass);
  return RecordMapper_;
}

void TnxBaseTableMapperDescriptor::RemoveRecordMapper() {
  if (RecordMapper_) platform::TObject::free(std::exchange(RecordMapper_, nullptr));
}

void TnxBaseTableMapperDescriptor::WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteIdent(platform::fromUtf8(classInfo().name));
  InternalWriteToWriter(aWriter, aClientVersion);
}

TnxBaseTableMapperDescriptor* TnxBaseTableMapperDescriptor::Duplicate() {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    InternalWriteToWriter(writer, nxInProcessCopyClientVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  return loaded(CreateOfClass(classInfo()), [&](TnxBaseTableMapperDescriptor& m) {
    TnxReader reader(stream);
    m.InternalLoadFromReader(reader);
  });
}

void TnxBaseTableMapperDescriptor::InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(btmdName);
  aWriter.WriteString(btmdMapTo);
  aWriter.WriteBoolean(RecordMapper_ != nullptr);
  if (RecordMapper_) RecordMapper_->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(TableCount());
  for (TnxBaseTableMapperDescriptor* table : TableDescriptor) table->WriteToWriter(aWriter, aClientVersion);
}

void TnxBaseTableMapperDescriptor::InternalLoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxBaseTableMapperDescriptorException(nxErrIncompatibleStream);
  Clear();  // a load replaces the whole tree
  btmdName = aReader.ReadString();
  btmdMapTo = aReader.ReadString();
  if (aReader.ReadBoolean()) RecordMapper_ = TnxBaseRecordMapperDescriptor::CreateFromReader(aReader);
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxBaseTableMapperDescriptorException(nxErrIncompatibleStream);
  // A large count ends with the stream: each entry reads its own bytes.
  for (std::int32_t i = 0; i < count; ++i) {
    TableDescriptor.reserve(TableDescriptor.size() + 1);
    TnxBaseTableMapperDescriptor* table = CreateFromReader(aReader);
    table->btmdParent = this;
    TableDescriptor.push_back(table);
  }
}

// The base class itself is registered: a table added without a class of its
// own is written naming it, and must read back.
void nxsdTableMapperDescriptorBaseRegister() {
  nxRegisterClassIn(TnxBaseTableMapperDescriptor::GetList(), TnxBaseTableMapperDescriptor::staticClassInfo());
}

void nxsdTableMapperDescriptorBaseUnregister() {
  nxUnregisterClassIn(TnxBaseTableMapperDescriptor::GetList(), TnxBaseTableMapperDescriptor::staticClassInfo());
  nxFreeClassList(gTableMapperDescriptorClasses);
}
