#include "nxsdRecordMapperDescriptorBase.h"

#include "nxllBde.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseRegisterableDescriptorException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordMapperDescriptorException, EnxBaseRegisterableDescriptorException)

PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordMapperDescriptor, TnxBaseRegisterableDescriptor,
                         "TnxBaseRecordMapperDescriptor", nullptr,
                         platform::bindClassTable(nxRecordMapperDescriptorFuncs<TnxBaseRecordMapperDescriptor>))

namespace {
TnxClassList gRecordMapperDescriptorClasses;

[[noreturn]] void raiseUnsupportedRecordMapper(const nxString& aName) {
  throw EnxBaseRecordMapperDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                               {nxString(u"RecordMapperDescriptor"), aName});
}
}  // namespace

TnxClassList& TnxBaseRecordMapperDescriptor::GetList() { return gRecordMapperDescriptorClasses; }

TnxBaseRecordMapperDescriptor* TnxBaseRecordMapperDescriptor::CreateOfClass(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxRecordMapperDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo())) raiseUnsupportedRecordMapper(platform::fromUtf8(aClass.name));
  return funcs->create();
}

TnxBaseRecordMapperDescriptor* TnxBaseRecordMapperDescriptor::CreateFromReader(TnxReader& aReader) {
  const nxString name = aReader.ReadIdent();
  const platform::ClassInfo* cls = nxFindClassIn(gRecordMapperDescriptorClasses, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(staticClassInfo())) raiseUnsupportedRecordMapper(name);
  TnxBaseRecordMapperDescriptor* result = CreateOfClass(*cls);
  try {
    result->InternalLoadFromReader(aReader);
  } catch (...) {
    platform::TObject::free(result);
    throw;
  }
  return result;
}

void TnxBaseRecordMapperDescriptor::WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteIdent(platform::fromUtf8(classInfo().name));
  InternalWriteToWriter(aWriter, aClientVersion);
}

TnxBaseRecordMapperDescriptor* TnxBaseRecordMapperDescriptor::Duplicate() {
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    InternalWriteToWriter(writer, nxInProcessCopyClientVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TnxBaseRecordMapperDescriptor* result = CreateOfClass(classInfo());
  try {
    TnxReader reader(stream);
    result->InternalLoadFromReader(reader);
  } catch (...) {
    platform::TObject::free(result);
    throw;
  }
  return result;
}

void TnxBaseRecordMapperDescriptor::InternalWriteToWriter(TnxWriter& aWriter, std::int32_t /*aClientVersion*/) {
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxBaseRecordMapperDescriptor::InternalLoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxBaseRecordMapperDescriptorException(nxErrIncompatibleStream);
}

void nxsdRecordMapperDescriptorBaseRegister() {}

void nxsdRecordMapperDescriptorBaseUnregister() { nxFreeClassList(gRecordMapperDescriptorClasses); }
