#include "nxsdFilterDescriptorBase.h"

#include <exception>
#include <string>

#include "nxllBde.h"
#include "nxllConvertException.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFilterDescriptorException, EnxBaseException)

// ---------------------------------------------------------------------------
// TnxBaseFilterDescriptor

namespace {
TnxClassList gFilterDescriptors = nullptr;

// Class names from a stream are 8-bit bytes, not necessarily UTF-8.
nxString widenBytes(const std::string& aBytes) {
  nxString result;
  for (char c : aBytes) result.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return result;
}
}  // namespace

PL_CLASS_INFO_IMPL_TABLE(TnxBaseFilterDescriptor, TnxBaseRegisterableDescriptor, "TnxBaseFilterDescriptor", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxBaseFilterDescriptor>))

TnxClassList& TnxBaseFilterDescriptor::GetList() { return gFilterDescriptors; }

void nxFilterDescriptorNotStreamable(const platform::ClassInfo& aClass) {
  throw EnxBaseFilterDescriptorException(nxErrNotSupported, u"%s can not be created from a stream",
                                         {platform::fromUtf8(aClass.name)});
}

TnxResult TnxBaseFilterDescriptor::CreateFromStream(TStream& aStream, TnxBaseFilterDescriptor*& aFilter) {
  aFilter = nullptr;
  std::uint8_t length = 0;
  if (aStream.Read(&length, 1) != 1) return nxErrInvalidParam;
  std::string name(length, '\0');
  if (length && aStream.Read(name.data(), length) != length) return nxErrInvalidParam;

  const platform::ClassInfo* cls = nxFindClassIn(GetList(), name);
  if (!cls) cls = nxFindClassIn(GetList(), name + "Descriptor");
  // Only classes of this family carry a stream constructor.
  const TnxFilterDescriptorClassFuncs* funcs =
      cls && cls->inheritsFrom(staticClassInfo()) ? cls->table<TnxFilterDescriptorClassFuncs>() : nullptr;
  if (!funcs) {
    // The name comes from the stream: it is user text.
    return EnxBaseException::nxSetMessage(nxErrNotSupported, u"Filter descriptor not supported: %s",
                                          {widenBytes(name)});
  }
  try {
    aFilter = funcs->createFromStream(aStream);
    return 0;
  } catch (...) {
    aFilter = nullptr;
    return nxConvertException(std::current_exception(), nullptr, nullptr, 47501);
  }
}

TnxResult TnxBaseFilterDescriptor::WriteToStream(TStream& /*aStream*/, std::int32_t /*aVersion*/) {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"WriteToStream is not supported by %s",
                                        {platform::fromUtf8(className())});
}

void TnxBaseFilterDescriptor::WriteClassName(TStream& aStream) const {
  const std::string_view name = className();
  const auto length = static_cast<std::uint8_t>(name.size());
  aStream.WriteBuffer(&length, 1);
  aStream.WriteBuffer(name.data(), length);
}
