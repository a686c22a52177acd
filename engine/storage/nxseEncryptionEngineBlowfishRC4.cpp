#include "nxseEncryptionEngineBlowfishRC4.h"

#include <cstring>

#include "nxllByteOrder.h"
#include "nxllOwners.h"
#include "plCodePage.h"

NX_IMPLEMENT_EXCEPTION(EnxBlowfishRC4EncryptionEngineException, EnxBaseEncryptionEngineException)
PL_CLASS_INFO_IMPL(TnxOwnedBlowFishRC4, TnxBlowFishRC4, "TnxOwnedBlowFishRC4", nullptr)
PL_CLASS_INFO_IMPL(TnxBlowfishRC4EncryptionEngine, TnxBaseEncryptionEngine, "TnxBlowfishRC4EncryptionEngine",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxUserBlowfishRC4EncryptionEngine, TnxBlowfishRC4EncryptionEngine,
                         "TnxUserBlowfishRC4EncryptionEngine", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<TnxUserBlowfishRC4EncryptionEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxServerBlowfishRC4EncryptionEngine, TnxBlowfishRC4EncryptionEngine,
                         "TnxServerBlowfishRC4EncryptionEngine", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<TnxServerBlowfishRC4EncryptionEngine>))

namespace {

// Key block layout.
constexpr std::size_t kSalt = 0, kIVl = 16, kIVr = 20, kKey = 24, kCheck = 40;

using nxbyteorder::loadLE;
using nxbyteorder::storeLE;

TnxByteString singleByte(const nxString& aPassword) { return platform::unicodeToAnsi(aPassword).bytes; }

// The built-in passphrases: a table made without a password is readable
// only by an engine with the same constant.
constexpr char kUserPassphrase[] = "Ku7#vQ2m!Xz9pL4wR8tY1nB6cD3fG5hJ0kM2sA9eW7uI4oP1lZ8xC6vN3bT5rE0q";
constexpr char kServerPassphrase[] = "sR4!pD9qW2eT7yU1iO6pA3sD8fG0hJ5kL2zX9cV4bN7mQ1wE6rT3yU8iO0pA5sDx";
static_assert(sizeof kUserPassphrase == 65 && sizeof kServerPassphrase == 65);

}  // namespace

void TnxOwnedBlowFishRC4::Recycle() { obfOwner->beeBlowfishCache->Push(this); }

TnxBlowfishRC4EncryptionEngine::TnxBlowfishRC4EncryptionEngine(const nxString& aName,
                                                               const TnxUnicodeStrings& aPasswords, bool aForServer,
                                                               bool aCreating, void* aHeader)
    : TnxBaseEncryptionEngine(aName, aPasswords, aForServer, aCreating, aHeader),
      beeBlowfishCache(platform::create<TnxThreadSafeStack>()),
      beePasswords(aPasswords),
      beeCreating(aCreating),
      beeHeader(static_cast<std::uint8_t*>(aHeader)) {}

TnxBlowfishRC4EncryptionEngine::~TnxBlowfishRC4EncryptionEngine() {
  if (beeBlowfishCache) {
    while (void* p = beeBlowfishCache->Pop()) platform::TObject::free(static_cast<TnxOwnedBlowFishRC4*>(p));
    platform::TObject::free(beeBlowfishCache);
  }
}

void TnxBlowfishRC4EncryptionEngine::afterConstruction() {
  TnxBaseEncryptionEngine::afterConstruction();
  TnxUnicodeStrings passwords = std::move(beePasswords);
  if (beeHeader) {
    if (beeCreating) {
      if (passwords.size() > 1)
        throw EnxBlowfishRC4EncryptionEngineException(nxErrInvalidParam, u"More than one key specified when creating new table");
      beeUsedKey = passwords.empty() ? TnxByteString() : singleByte(passwords[0]);
      WrapKey(beeHeader, beeUsedKey.empty() ? DefaultPassphrase() : beeUsedKey, true);
    } else {
      bool found = false;
      for (const nxString& p : passwords) {
        const TnxByteString candidate = singleByte(p);
        if (!candidate.empty() && UnwrapKey(beeHeader, candidate)) {
          beeUsedKey = candidate;
          found = true;
          break;
        }
      }
      if (!found) {
        if (!UnwrapKey(beeHeader, DefaultPassphrase())) throw EnxBlowfishRC4EncryptionEngineException(nxErrInvalidPassword);
        beeUsedKey.clear();
      }
    }
    beeBlowfishKey = beeDerivedKey;
  } else {
    beeBlowfishKey = DefaultPassphrase();
  }
  beeHeader = nullptr;
}

void TnxBlowfishRC4EncryptionEngine::WrapKey(std::uint8_t* aKeyBlock, const TnxByteString& aPassphrase,
                                             bool aNewKey) {
  std::uint8_t salt[16];
  TnxBlowFishRC4::GetRandom64(salt);
  TnxBlowFishRC4::GetRandom64(salt + 8);
  if (aNewKey) {
    std::uint8_t key[16];
    TnxBlowFishRC4::GetRandom64(key);
    TnxBlowFishRC4::GetRandom64(key + 8);
    beeDerivedKey.assign(reinterpret_cast<const char*>(key), 16);
  }
  TnxByteString wrapKey(reinterpret_cast<const char*>(salt), 16);
  wrapKey += aPassphrase;
  TnxOwned<TnxBlowFishRC4> cipher(platform::create<TnxBlowFishRC4>(wrapKey));
  std::uint32_t l, r;
  cipher->RandomIV(l, r);
  std::memcpy(aKeyBlock + kSalt, salt, 16);
  storeLE(aKeyBlock + kIVl, l);
  storeLE(aKeyBlock + kIVr, r);
  std::memcpy(aKeyBlock + kKey, beeDerivedKey.data(), 16);
  cipher->Encode(aKeyBlock + kKey, 16);
  cipher->Final(aKeyBlock + kCheck);
}

bool TnxBlowfishRC4EncryptionEngine::UnwrapKey(const std::uint8_t* aKeyBlock, const TnxByteString& aPassphrase) {
  TnxByteString wrapKey(reinterpret_cast<const char*>(aKeyBlock + kSalt), 16);
  wrapKey += aPassphrase;
  TnxOwned<TnxBlowFishRC4> cipher(platform::create<TnxBlowFishRC4>(wrapKey));
  cipher->ResetIV(loadLE(aKeyBlock + kIVl), loadLE(aKeyBlock + kIVr));
  std::uint8_t key[16], check[8];
  std::memcpy(key, aKeyBlock + kKey, 16);
  cipher->Decode(key, 16);
  cipher->Final(check);
  if (std::memcmp(check, aKeyBlock + kCheck, 8) != 0) return false;
  beeDerivedKey.assign(reinterpret_cast<const char*>(key), 16);
  return true;
}

TnxOwnedBlowFishRC4* TnxBlowfishRC4EncryptionEngine::TakeCipher() {
  if (void* p = beeBlowfishCache->Pop()) return static_cast<TnxOwnedBlowFishRC4*>(p);
  return platform::create<TnxOwnedBlowFishRC4>(this, beeBlowfishKey);
}

void TnxBlowfishRC4EncryptionEngine::CodeBlock(const std::uint8_t* aBlockIn, std::uint8_t* aBlockOut,
                                               std::uint32_t, std::uint32_t aBlockLen) {
  nxAssert(aBlockLen > ReservedPerBlock && (aBlockLen - ReservedPerBlock) % 8 == 0, "Block length not codable");
  const std::uint32_t n = aBlockLen - ReservedPerBlock;
  std::memmove(aBlockOut, aBlockIn, n);
  TnxOwnedBlowFishRC4* cipher = TakeCipher();
  std::uint32_t l, r;
  cipher->RandomIV(l, r);
  storeLE(aBlockOut + n, l);
  storeLE(aBlockOut + n + 4, r);
  cipher->Encode(aBlockOut, n);
  cipher->Final(aBlockOut + n + 8);
  cipher->Recycle();
}

void TnxBlowfishRC4EncryptionEngine::DecodeBlock(std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint32_t) {
  nxAssert(aBlockLen > ReservedPerBlock && (aBlockLen - ReservedPerBlock) % 8 == 0, "Block length not codable");
  const std::uint32_t n = aBlockLen - ReservedPerBlock;
  TnxOwnedBlowFishRC4* cipher = TakeCipher();
  cipher->ResetIV(loadLE(aBlock + n), loadLE(aBlock + n + 4));
  cipher->Decode(aBlock, n);
  std::uint8_t check[8];
  cipher->Final(check);
  cipher->Recycle();
  if (std::memcmp(check, aBlock + n + 8, 8) != 0)
    throw EnxBlowfishRC4EncryptionEngineException(nxErrCorruptFile, u"Corrupt file - other than header.");
}

TnxResult TnxBlowfishRC4EncryptionEngine::AuthenticatePassword(const TnxUnicodeStrings& aPasswords) {
  if (beeUsedKey.empty()) return 0;
  for (const nxString& p : aPasswords)
    if (singleByte(p) == beeUsedKey) return 0;
  return EnxBaseException::nxSetMessage(10015, u"Invalid password given.");
}

nxString TnxBlowfishRC4EncryptionEngine::ExtractPassword() {
  return platform::ansiToUnicode(platform::AnsiString{beeUsedKey, 0});
}

void TnxBlowfishRC4EncryptionEngine::ChangePassword(void* aHeader, const nxString& aNewPassword) {
  nxAssert(aHeader != nullptr, "ChangePassword without a key block");
  const TnxByteString passphrase = singleByte(aNewPassword);
  WrapKey(static_cast<std::uint8_t*>(aHeader), passphrase.empty() ? DefaultPassphrase() : passphrase, false);
  beeUsedKey = passphrase;
}

TnxByteString TnxUserBlowfishRC4EncryptionEngine::DefaultPassphrase() { return {kUserPassphrase, 64}; }
TnxByteString TnxServerBlowfishRC4EncryptionEngine::DefaultPassphrase() { return {kServerPassphrase, 64}; }

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gEncryptionEngineBlowfishRC4ModuleStarts{0};
}  // namespace

void nxseEncryptionEngineBlowfishRC4Initialize() {
  TnxCountedStart started(gEncryptionEngineBlowfishRC4ModuleStarts);
  if (!started) return;
  nxllBlowfishRC4Initialize();
  TnxBaseEncryptionEngine::Register(TnxUserBlowfishRC4EncryptionEngine::staticClassInfo(), u"nx1xDefault", false, 0);
  TnxBaseEncryptionEngine::Register(TnxServerBlowfishRC4EncryptionEngine::staticClassInfo(), u"nx1xDefault", true, 0);
}

void nxseEncryptionEngineBlowfishRC4Finalize() {
  if (!nxUseCountLeave(gEncryptionEngineBlowfishRC4ModuleStarts)) return;
  TnxBaseEncryptionEngine::Unregister(TnxServerBlowfishRC4EncryptionEngine::staticClassInfo());
  TnxBaseEncryptionEngine::Unregister(TnxUserBlowfishRC4EncryptionEngine::staticClassInfo());
  nxllBlowfishRC4Finalize();
}
