// RC4 and the Blowfish/RC4 combination that encrypts table blocks and wraps
// table keys.
//
// TnxBlowfishCore is the Blowfish block cipher with two switches: how words
// are read from bytes (little-endian for our tables, big-endian textbook)
// and which byte of a word indexes the first S-box (the lowest for our
// tables, the highest textbook). Initial tables are the hex digits of pi.
// TnxBlowFishRC4 chains 8-byte units (two little-endian words) through
// Blowfish and XORs each with RC4 keystream; the RC4 state is reset from the
// IV, so every IV gives a fresh keystream; Final yields an 8-byte check
// value over the plain data, after which a new IV is required.
// Thread safety: one object per thread at a time; the process-wide generator
// (alternative mode) is made once under a lock.
#pragma once

#include <cstdint>

#include "nxllBaseCipher.h"

class TnxRC4 : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxRC4() = default;
  void SetKeys(const void* aKey, std::size_t aKeyLen);
  void SetKeys(const TnxByteString& aKey) { SetKeys(aKey.data(), aKey.size()); }
  // From the saved permutation, one key-scheduling pass with 256 bytes.
  void Reset(const std::uint8_t* aInitCode);
  // Key-scheduling pass over the current permutation with a 128-byte key
  // (each byte used twice).
  void Mix128(const std::uint8_t* aKey);
  std::uint8_t NextByte();
  // Four output bytes, the first lowest.
  std::uint32_t KeyStream();

  std::uint8_t rcK[256];
  std::uint8_t rcOrgK[256];
  std::uint8_t rcI = 0, rcJ = 0;
};

struct TnxBlowfishCore {
  std::uint32_t P[18];
  std::uint32_t S[4][256];
  bool LittleEndianWords = true;
  bool LowByteFirstSBox = true;

  // The digits of pi, before any key.
  void LoadInitialTables();
  void Init(const std::uint8_t* aKey, std::size_t aKeyLen);
  std::uint32_t F(std::uint32_t x) const;
  void Encrypt(std::uint32_t& L, std::uint32_t& R) const;
  void Decrypt(std::uint32_t& L, std::uint32_t& R) const;
  // One 8-byte unit in place, words read as configured.
  void EncryptBytes(std::uint8_t* aUnit) const;
  void DecryptBytes(std::uint8_t* aUnit) const;
};

class TnxBlowFishRC4 : public TnxBaseCipher {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBlowFishRC4(const TnxByteString& aKey);
  ~TnxBlowFishRC4() override;

  static std::int32_t AltPriority() { return 0; }
  static nxString KeyWrapName() { return u"BlowfishRC4"; }
  static std::int32_t KeyWrapPriority() { return 1; }
  // REQUIRES: aLen a multiple of 256 (assertion).
  static void EncodeAltPrim(void* aData, std::size_t aLen);
  static void DecodeAltPrim(void* aData, std::size_t aLen);

  std::uint32_t BlockLength() override { return 8; }
  void SetKeys(const TnxByteString& aKey) override;
  void ResetIV(std::uint32_t aIVl, std::uint32_t aIVr);
  void RandomIV(std::uint32_t& aIVl, std::uint32_t& aIVr);
  void RandomIVBlock(std::uint8_t* aIV) override;
  void ResetIVBlock(const std::uint8_t* aIV) override;
  // REQUIRES: aLen a multiple of 8 and a fresh IV after Final (assertions).
  void Encode(void* aData, std::size_t aLen) override;
  void Decode(void* aData, std::size_t aLen) override;
  void Final(std::uint8_t* aMac) override;
  void GetRandomBlock(std::uint8_t* aData) override { GetRandom64(aData); }
  static void GetRandom64(std::uint8_t* aData);
  TnxBaseCipher* DeriveKey(const void* aPwd, std::size_t aPwdLen, const void* aSalt, std::size_t aSaltLen,
                           const TnxByteString& aLabel) override;

  // The 16-byte digest DeriveKey builds its key from.
  static void Digest(const void* aData, std::size_t aLen, std::uint8_t* aDigest);
  bool MustReset() const { return bfMustReset; }

  TnxByteString bfKey;
  TnxBlowfishCore bfCore;
  TnxRC4* bfRC4 = nullptr;
  std::uint32_t bfChk[2] = {0, 0};
  std::uint32_t bfKSF[2] = {0, 0};
  bool bfMustReset = false;
  std::uint32_t bfIVl = 0, bfIVr = 0;
};

// Start-up registers TnxBlowFishRC4 in both cipher registries; finalisation
// removes it and frees the generator.
void nxllBlowfishRC4Initialize();
void nxllBlowfishRC4Finalize();
