// Table encryption with the Blowfish/RC4 cipher.
//
// Every block but block 0 is stored as its first B - 16 bytes encoded under
// a random per-block IV, followed by the IV (two little-endian words) and
// the 8-byte check value; a wrong check value is 8962 on read. The blocks
// are keyed with a random 16-byte data key that block 0 keeps wrapped in a
// 48-byte key block: salt (16), IVl, IVr, the encoded data key (16), check
// value (8). The wrapping cipher is keyed with salt + passphrase; the
// passphrase is the table password in single-byte characters, or the
// built-in passphrase of the mode when no password is given, so a table
// made without a password opens with any password list.
// Thread safety: CodeBlock and DecodeBlock run on any thread, each with a
// cipher from the engine's lock-free pool; ChangePassword runs inside the
// transaction that holds block 0 for change.
#pragma once

#include "nxllBlowfishRC4.h"
#include "nxllSync.h"
#include "nxsrEncryptionEngineBase.h"

NX_DECLARE_EXCEPTION(EnxBlowfishRC4EncryptionEngineException, EnxBaseEncryptionEngineException)

class TnxBlowfishRC4EncryptionEngine;

// A block cipher keyed with its owner's block key.
class TnxOwnedBlowFishRC4 : public TnxBlowFishRC4 {
  PL_CLASS_INFO_DECL()
 public:
  TnxOwnedBlowFishRC4(TnxBlowfishRC4EncryptionEngine* aOwner, const TnxByteString& aKey)
      : TnxBlowFishRC4(aKey), obfOwner(aOwner) {}
  // Back into the owner's pool.
  void Recycle();

  TnxBlowfishRC4EncryptionEngine* obfOwner;
};

class TnxBlowfishRC4EncryptionEngine : public TnxBaseEncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::uint32_t KeyBlockSize = 48;
  static constexpr std::uint32_t ReservedPerBlock = 16;

  TnxBlowfishRC4EncryptionEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer,
                                 bool aCreating, void* aHeader);
  ~TnxBlowfishRC4EncryptionEngine() override;
  // Sets the keys: 9986 for several passwords when creating, 10015 when no
  // password unwraps the key block.
  void afterConstruction() override;

  static std::int32_t beeReservedSpacePerBlock(TnxBlockSize) { return ReservedPerBlock; }
  static std::int32_t beeReservedHeaderSpace() { return KeyBlockSize; }

  void CodeBlock(const std::uint8_t* aBlockIn, std::uint8_t* aBlockOut, std::uint32_t aRandomizer,
                 std::uint32_t aBlockLen) override;
  void DecodeBlock(std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint32_t aRandomizer) override;
  TnxResult AuthenticatePassword(const TnxUnicodeStrings& aPasswords) override;
  nxString ExtractPassword() override;
  void ChangePassword(void* aHeader, const nxString& aNewPassword) override;
  // 64 single-byte characters, one constant per mode.
  virtual TnxByteString DefaultPassphrase() = 0;

  TnxByteString beeDerivedKey;
  TnxByteString beeUsedKey;
  TnxThreadSafeStack* beeBlowfishCache = nullptr;
  TnxByteString beeBlowfishKey;

 private:
  friend class TnxOwnedBlowFishRC4;
  TnxOwnedBlowFishRC4* TakeCipher();
  void WrapKey(std::uint8_t* aKeyBlock, const TnxByteString& aPassphrase, bool aNewKey);
  bool UnwrapKey(const std::uint8_t* aKeyBlock, const TnxByteString& aPassphrase);

  TnxUnicodeStrings beePasswords;
  bool beeCreating;
  std::uint8_t* beeHeader;
};

class TnxUserBlowfishRC4EncryptionEngine : public TnxBlowfishRC4EncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBlowfishRC4EncryptionEngine::TnxBlowfishRC4EncryptionEngine;
  TnxByteString DefaultPassphrase() override;
};

class TnxServerBlowfishRC4EncryptionEngine : public TnxBlowfishRC4EncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBlowfishRC4EncryptionEngine::TnxBlowfishRC4EncryptionEngine;
  TnxByteString DefaultPassphrase() override;
};

// Start-up: the cipher, then both engines under "nx1xDefault" with
// priority 0 (user mode and server mode); finalisation reverses it.
void nxseEncryptionEngineBlowfishRC4Initialize();
void nxseEncryptionEngineBlowfishRC4Finalize();
