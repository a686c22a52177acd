#include "nxllBaseCipher.h"

#include <algorithm>
#include <cstring>

#include "nxllSync.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseCipherException, EnxBaseException)
PL_CLASS_INFO_IMPL(TnxBaseCipher, TnxObject, "TnxBaseCipher", nullptr)

namespace {

const TnxCipherClassFuncs& funcsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<TnxCipherClassFuncs>();
  nxAssert(funcs != nullptr, "Cipher class without its class functions");
  return *funcs;
}

struct AltRegistry {
  TnxLazyPadlock lock;
  std::vector<const platform::ClassInfo*> classes;
  const platform::ClassInfo* current = nullptr;
  std::int32_t lockCount = 0;

  void Repick() {
    if (current) return;
    for (const platform::ClassInfo* c : classes)
      if (!current || funcsOf(*c).altPriority() > funcsOf(*current).altPriority()) current = c;
  }
};

AltRegistry& altRegistry() {
  static AltRegistry registry;
  return registry;
}

struct KeyWrapEntry {
  nxString name;
  std::vector<const platform::ClassInfo*> classes;  // highest priority first
};
struct KeyWrapRegistry {
  TnxLazyPadlock lock;
  std::vector<KeyWrapEntry> entries;
};

KeyWrapRegistry& keyWrapRegistry() {
  static KeyWrapRegistry registry;
  return registry;
}

bool sameName(const nxString& a, const nxString& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

[[noreturn]] void raiseNoAlt() {
  throw EnxBaseCipherException(nxErrNotSupported, u"No alternative mode cipher class registered");
}

}  // namespace

void TnxBaseCipher::afterConstruction() {
  TnxObject::afterConstruction();
  SetKeys(bcInitialKey);
  bcInitialKey.clear();
}

void TnxBaseCipher::EncodeAltPrim(void*, std::size_t) { nxAssert(false, "Alternative mode not supported"); }
void TnxBaseCipher::DecodeAltPrim(void*, std::size_t) { nxAssert(false, "Alternative mode not supported"); }

void TnxBaseCipher::GenerateRandom(void* aData, std::size_t aLength) {
  const std::uint32_t block = BlockLength();
  nxAssert(aLength % block == 0, "Random data length must be a multiple of the block length");
  auto* p = static_cast<std::uint8_t*>(aData);
  for (std::size_t i = 0; i < aLength; i += block) GetRandomBlock(p + i);
}

void TnxBaseCipher::EncodeTransport(std::uint8_t* aIV, void* aData, std::size_t aLen, std::uint8_t* aMac) {
  RandomIVBlock(aIV);
  Encode(aData, aLen);
  Final(aMac);
}

bool TnxBaseCipher::DecodeTransport(const std::uint8_t* aIV, void* aData, std::size_t aLen,
                                    const std::uint8_t* aMac) {
  ResetIVBlock(aIV);
  Decode(aData, aLen);
  std::vector<std::uint8_t> mac(BlockLength());
  Final(mac.data());
  return std::memcmp(mac.data(), aMac, mac.size()) == 0;
}

void TnxBaseCipher::EncodeStorage(std::uint8_t* aIV, std::uint64_t, std::vector<std::uint8_t>&,
                                  const void* aDataIn, void* aDataOut, std::size_t aLen, std::uint8_t* aMac) {
  std::memmove(aDataOut, aDataIn, aLen);
  EncodeTransport(aIV, aDataOut, aLen, aMac);
}

bool TnxBaseCipher::DecodeStorage(const std::uint8_t* aIV, std::uint64_t, std::vector<std::uint8_t>& aCookie,
                                  void* aData, std::size_t aLen, const std::uint8_t* aMac) {
  aCookie.clear();
  return DecodeTransport(aIV, aData, aLen, aMac);
}

TnxBaseCipher* TnxBaseCipher::DeriveKey(const void*, std::size_t, const void*, std::size_t, const TnxByteString&) {
  return nullptr;
}

TnxBaseCipher* TnxBaseCipher::CreateOf(const platform::ClassInfo& aClass, const TnxByteString& aKey) {
  return funcsOf(aClass).create(aKey);
}

// ---- alternative mode ---------------------------------------------------------------

void TnxBaseCipher::AltRegister(const platform::ClassInfo& aClass) {
  AltRegistry& r = altRegistry();
  TnxPadlockGuard guard(r.lock);
  r.classes.push_back(&aClass);
  if (!r.current ||
      (r.lockCount == 0 && funcsOf(aClass).altPriority() > funcsOf(*r.current).altPriority()))
    r.current = &aClass;
}

void TnxBaseCipher::AltUnregister(const platform::ClassInfo& aClass) {
  AltRegistry& r = altRegistry();
  TnxPadlockGuard guard(r.lock);
  if (r.current == &aClass && r.lockCount > 0)
    throw EnxBaseCipherException(
        nxErrRecordLockedByOther, u"The alternative mode cipher about to the unregistered is currently locked as begin in use");
  r.classes.erase(std::remove(r.classes.begin(), r.classes.end(), &aClass), r.classes.end());
  if (r.current == &aClass) r.current = nullptr;
  r.Repick();
}

void TnxBaseCipher::AltLock() {
  AltRegistry& r = altRegistry();
  TnxPadlockGuard guard(r.lock);
  if (!r.current) raiseNoAlt();
  ++r.lockCount;
}

void TnxBaseCipher::AltUnLock() {
  AltRegistry& r = altRegistry();
  TnxPadlockGuard guard(r.lock);
  nxAssert(r.lockCount > 0, "Alternative mode cipher unlocked more often than locked");
  --r.lockCount;
  r.Repick();
}

const platform::ClassInfo* TnxBaseCipher::AltCurrent() {
  AltRegistry& r = altRegistry();
  TnxPadlockGuard guard(r.lock);
  return r.current;
}

void TnxBaseCipher::EncodeAlt(void* aData, std::size_t aLen) {
  const platform::ClassInfo* cls = AltCurrent();
  if (!cls) raiseNoAlt();
  funcsOf(*cls).encodeAlt(aData, aLen);
}

void TnxBaseCipher::DecodeAlt(void* aData, std::size_t aLen) {
  const platform::ClassInfo* cls = AltCurrent();
  if (!cls) raiseNoAlt();
  funcsOf(*cls).decodeAlt(aData, aLen);
}

// ---- key wrap -------------------------------------------------------------------------

void TnxBaseCipher::KeyWrapRegister(const platform::ClassInfo& aClass) {
  const nxString name = funcsOf(aClass).keyWrapName();
  if (name.empty()) return;
  KeyWrapRegistry& r = keyWrapRegistry();
  TnxPadlockGuard guard(r.lock);
  auto it = std::find_if(r.entries.begin(), r.entries.end(), [&](const KeyWrapEntry& e) { return sameName(e.name, name); });
  if (it == r.entries.end()) {
    r.entries.push_back({name, {}});
    it = r.entries.end() - 1;
  }
  const std::int32_t priority = funcsOf(aClass).keyWrapPriority();
  auto at = std::find_if(it->classes.begin(), it->classes.end(), [&](const platform::ClassInfo* c) {
    return static_cast<std::uint32_t>(funcsOf(*c).keyWrapPriority()) < static_cast<std::uint32_t>(priority);
  });
  it->classes.insert(at, &aClass);
}

void TnxBaseCipher::KeyWrapUnregister(const platform::ClassInfo& aClass) {
  KeyWrapRegistry& r = keyWrapRegistry();
  TnxPadlockGuard guard(r.lock);
  for (auto& e : r.entries) e.classes.erase(std::remove(e.classes.begin(), e.classes.end(), &aClass), e.classes.end());
  r.entries.erase(std::remove_if(r.entries.begin(), r.entries.end(), [](const KeyWrapEntry& e) { return e.classes.empty(); }),
                  r.entries.end());
}

const platform::ClassInfo* TnxBaseCipher::FindKeyWrapClass(const nxString& aName) {
  KeyWrapRegistry& r = keyWrapRegistry();
  TnxPadlockGuard guard(r.lock);
  for (const auto& e : r.entries)
    if (sameName(e.name, aName)) return e.classes.front();
  return nullptr;
}

const platform::ClassInfo& TnxBaseCipher::MustFindKeyWrapClass(const nxString& aName) {
  const platform::ClassInfo* cls = FindKeyWrapClass(aName);
  if (!cls) throw EnxBaseCipherException(u"Unable to find key wrap class with algorithm name \"%s\"", {aName});
  return *cls;
}

void TnxBaseCipher::GetRegisteredKeyWrapClasses(platform::TStringList& aList, std::vector<std::int32_t>& aPriorities) {
  KeyWrapRegistry& r = keyWrapRegistry();
  TnxPadlockGuard guard(r.lock);
  aPriorities.clear();
  for (const auto& e : r.entries) {
    aList.add(e.name);
    aPriorities.push_back(funcsOf(*e.classes.front()).keyWrapPriority());
  }
}

const platform::ClassInfo* TnxBaseCipher::PreferredKeyWrapClass() {
  KeyWrapRegistry& r = keyWrapRegistry();
  TnxPadlockGuard guard(r.lock);
  const platform::ClassInfo* best = nullptr;
  for (const auto& e : r.entries) {
    const platform::ClassInfo* c = e.classes.front();
    if (!best || funcsOf(*c).keyWrapPriority() > funcsOf(*best).keyWrapPriority()) best = c;
  }
  return best;
}
