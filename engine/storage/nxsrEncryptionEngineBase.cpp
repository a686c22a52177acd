#include "nxsrEncryptionEngineBase.h"

#include <exception>
#include <memory>

#include "nxllConvertException.h"
#include "plFormat.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseEncryptionEngineException, EnxBaseException)
PL_CLASS_INFO_IMPL(TnxBaseEncryptionEngine, TnxObject, "TnxBaseEncryptionEngine", nullptr)

namespace {

// Name -> (priority text -> class); the sorted string lists give the
// ordering and the duplicate error, the parallel vectors hold the entries.
struct NameEntry {
  platform::TStringList priorities{platform::Duplicates::error, false};
  std::vector<const platform::ClassInfo*> classes;
};
struct ModeRegistry {
  platform::TStringList names{platform::Duplicates::error, false};
  std::vector<std::unique_ptr<NameEntry>> entries;
};
std::unique_ptr<ModeRegistry> gRegistry[2];

const TnxEncryptionEngineClassFuncs& encryptionFuncsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxEncryptionEngineClassFuncs>();
  nxAssert(funcs != nullptr, "Encryption engine class without its class functions");
  return *funcs;
}

const platform::ClassInfo* find(const nxString& aName, bool aForServer) {
  const ModeRegistry* reg = gRegistry[aForServer ? 1 : 0].get();
  if (!reg) return nullptr;
  int index;
  if (!reg->names.find(aName, index)) return nullptr;
  return reg->entries[static_cast<std::size_t>(index)]->classes.back();
}

[[noreturn]] void raiseUnknown(const nxString& aName) {
  throw EnxBaseEncryptionEngineException(nxErrUnsupportedSubEngine, u"Unknown encryption engine: \"%s\"", {aName});
}

}  // namespace

TnxBaseEncryptionEngine::TnxBaseEncryptionEngine(const nxString&, const TnxUnicodeStrings&, bool, bool, void*) {}

std::int32_t TnxBaseEncryptionEngine::beeReservedSpacePerBlock(TnxBlockSize) { return 0; }

void TnxBaseEncryptionEngine::beeAddChecksumForBlock(const std::uint8_t*, std::uint32_t, std::uint64_t,
                                                     std::vector<std::uint8_t>&) {
  nxAssert(false, "beeAddChecksumForBlock must be overridden by an engine with a checksum");
}

void TnxBaseEncryptionEngine::beeAddChecksumForCookie(const std::vector<std::uint8_t>&, std::uint64_t,
                                                      std::vector<std::uint8_t>&) {
  nxAssert(false, "beeAddChecksumForCookie must be overridden by an engine with a checksum");
}

void TnxBaseEncryptionEngine::CodeBlockEx(const std::uint8_t* aBlockIn, std::uint8_t* aBlockOut,
                                          std::uint32_t aBlockLen, std::uint64_t aRandomizer,
                                          std::vector<std::uint8_t>&, std::vector<std::uint8_t>&) {
  CodeBlock(aBlockIn, aBlockOut, static_cast<std::uint32_t>(aRandomizer * aBlockLen), aBlockLen);
}

void TnxBaseEncryptionEngine::DecodeBlockEx(std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint64_t aRandomizer,
                                            std::vector<std::uint8_t>& aCookie) {
  aCookie.clear();
  DecodeBlock(aBlock, aBlockLen, static_cast<std::uint32_t>(aRandomizer * aBlockLen));
}

void TnxBaseEncryptionEngine::UpdateHeaderChecksum(std::uint8_t*, std::uint32_t) {}
void TnxBaseEncryptionEngine::VerifyHeaderChecksum(std::uint8_t*, std::uint32_t) {}
TnxResult TnxBaseEncryptionEngine::AuthenticatePassword(const TnxUnicodeStrings&) { return 0; }
nxString TnxBaseEncryptionEngine::ExtractPassword() { return {}; }

void TnxBaseEncryptionEngine::ChangePassword(void*, const nxString&) {
  throw EnxBaseEncryptionEngineException(
      nxErrNotSupported, u"%s not supported by %s",
      {nxString(u"ChangePassword"), platform::fromUtf8(className())});
}

void TnxBaseEncryptionEngine::Register(const platform::ClassInfo& aClass, const nxString& aName, bool aForServer,
                                       std::int32_t aPriority) {
  (void)encryptionFuncsOf(aClass);
  auto& reg = gRegistry[aForServer ? 1 : 0];
  if (!reg) reg = std::make_unique<ModeRegistry>();
  int index;
  if (!reg->names.find(aName, index)) {
    index = reg->names.add(aName);
    reg->entries.insert(reg->entries.begin() + index, std::make_unique<NameEntry>());
  }
  NameEntry& entry = *reg->entries[static_cast<std::size_t>(index)];
  const int at = entry.priorities.add(platform::format(u"%.8x", {static_cast<std::uint32_t>(aPriority)}));
  entry.classes.insert(entry.classes.begin() + at, &aClass);
}

void TnxBaseEncryptionEngine::Unregister(const platform::ClassInfo& aClass) {
  for (auto& reg : gRegistry) {
    if (!reg) continue;
    for (int n = reg->names.count() - 1; n >= 0; --n) {
      NameEntry& entry = *reg->entries[static_cast<std::size_t>(n)];
      for (int i = entry.priorities.count() - 1; i >= 0; --i)
        if (entry.classes[static_cast<std::size_t>(i)] == &aClass) {
          entry.priorities.deleteAt(i);
          entry.classes.erase(entry.classes.begin() + i);
        }
      if (entry.classes.empty()) {
        reg->names.deleteAt(n);
        reg->entries.erase(reg->entries.begin() + n);
      }
    }
    if (reg->names.empty()) reg.reset();
  }
}

void TnxBaseEncryptionEngine::GetRegisteredEngines(platform::TStringList& aList, bool aForServer) {
  aList.clear();
  aList.add(nxString());
  if (const ModeRegistry* reg = gRegistry[aForServer ? 1 : 0].get())
    for (int i = 0; i < reg->names.count(); ++i) aList.add(reg->names.strings(i));
}

bool TnxBaseEncryptionEngine::HasEngine(const nxString& aName, bool aForServer) {
  return find(aName, aForServer) != nullptr;
}

const platform::ClassInfo* TnxBaseEncryptionEngine::EngineClass(const nxString& aName, bool aForServer) {
  return find(aName, aForServer);
}

TnxResult TnxBaseEncryptionEngine::CreateEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords,
                                                void* aHeader, bool aCreating, bool aForServer,
                                                TnxBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  const platform::ClassInfo* cls = find(aName, aForServer);
  if (!cls) return EnxBaseException::nxSetMessage(15503, u"Unknown encryption engine: \"%s\"", {aName});
  try {
    aEngine = encryptionFuncsOf(*cls).create(aName, aPasswords, aForServer, aCreating, aHeader);
    return 0;
  } catch (...) {
    return nxConvertException(std::current_exception(), nullptr, nullptr, 0);
  }
}

std::int32_t TnxBaseEncryptionEngine::ReservedHeaderSpace(const nxString& aEngine, bool aForServer) {
  if (aEngine.empty()) return 0;
  const platform::ClassInfo* cls = find(aEngine, aForServer);
  if (!cls) raiseUnknown(aEngine);
  return encryptionFuncsOf(*cls).reservedHeaderSpace() + encryptionFuncsOf(*cls).checksumSize();
}

std::int32_t TnxBaseEncryptionEngine::ReservedSpacePerBlock(const nxString& aEngine, bool aForServer,
                                                            TnxBlockSize aBlockSize) {
  const platform::ClassInfo* cls = find(aEngine, aForServer);
  if (!cls) raiseUnknown(aEngine);
  return encryptionFuncsOf(*cls).reservedSpacePerBlock(aBlockSize);
}

void nxsrEncryptionEngineBaseFinalize() {
  gRegistry[0].reset();
  gRegistry[1].reset();
}
