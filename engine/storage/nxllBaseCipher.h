// The abstract cipher and its two class registries.
//
// A cipher object is keyed at creation and used by one thread at a time.
// Registries (process-wide, each behind one lock): the alternative-mode
// registry names one current class (highest AltPriority; a locked current
// class stays current until unlocked), and the key-wrap registry lists
// classes by algorithm name (case-insensitive), highest KeyWrapPriority
// first. Classes carry nxCipherFuncs as their class table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nxllBase.h"
#include "nxllException.h"
#include "plStringList.h"

NX_DECLARE_EXCEPTION(EnxBaseCipherException, EnxBaseException)

class TnxBaseCipher;

// Byte strings (keys, salts) are held in std::string.
using TnxByteString = std::string;

struct TnxCipherClassFuncs {
  TnxBaseCipher* (*create)(const TnxByteString& aKey);
  std::int32_t (*altPriority)();
  nxString (*keyWrapName)();
  std::int32_t (*keyWrapPriority)();
  void (*encodeAlt)(void* aData, std::size_t aLen);
  void (*decodeAlt)(void* aData, std::size_t aLen);
};
template <class T>
inline constexpr TnxCipherClassFuncs nxCipherFuncs{
    [](const TnxByteString& aKey) -> TnxBaseCipher* { return platform::create<T>(aKey); },
    &T::AltPriority, &T::KeyWrapName, &T::KeyWrapPriority, &T::EncodeAltPrim, &T::DecodeAltPrim};

class TnxBaseCipher : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseCipher() = default;
  void afterConstruction() override;

  // Class functions (see nxCipherFuncs); the base's alternative mode is an
  // assertion failure.
  static std::int32_t AltPriority() { return 0; }
  static nxString KeyWrapName() { return {}; }
  static std::int32_t KeyWrapPriority() { return 0; }
  static void EncodeAltPrim(void* aData, std::size_t aLen);
  static void DecodeAltPrim(void* aData, std::size_t aLen);

  virtual std::uint32_t BlockLength() = 0;
  virtual void SetKeys(const TnxByteString& aKey) = 0;
  virtual void RandomIVBlock(std::uint8_t* aIV) = 0;
  virtual void ResetIVBlock(const std::uint8_t* aIV) = 0;
  // REQUIRES: aLength a multiple of BlockLength (assertion).
  virtual void GenerateRandom(void* aData, std::size_t aLength);
  virtual void Encode(void* aData, std::size_t aLen) = 0;
  virtual void Decode(void* aData, std::size_t aLen) = 0;
  virtual void GetRandomBlock(std::uint8_t* aData) = 0;
  virtual void Final(std::uint8_t* aMac) = 0;
  virtual void EncodeStorage(std::uint8_t* aIV, std::uint64_t aRandomizer, std::vector<std::uint8_t>& aCookie,
                             const void* aDataIn, void* aDataOut, std::size_t aLen, std::uint8_t* aMac);
  virtual void EncodeTransport(std::uint8_t* aIV, void* aData, std::size_t aLen, std::uint8_t* aMac);
  virtual bool DecodeStorage(const std::uint8_t* aIV, std::uint64_t aRandomizer, std::vector<std::uint8_t>& aCookie,
                             void* aData, std::size_t aLen, const std::uint8_t* aMac);
  virtual bool DecodeTransport(const std::uint8_t* aIV, void* aData, std::size_t aLen, const std::uint8_t* aMac);
  virtual bool SelfTest() { return true; }
  // A new cipher keyed from the password, salt and label; nil when the class
  // derives no keys. The caller frees it.
  virtual TnxBaseCipher* DeriveKey(const void* aPwd, std::size_t aPwdLen, const void* aSalt, std::size_t aSaltLen,
                                   const TnxByteString& aLabel);
  void EncodeKey(std::uint8_t* aIV, void* aData, std::size_t aLen, std::uint8_t* aMac) {
    EncodeTransport(aIV, aData, aLen, aMac);
  }
  bool DecodeKey(const std::uint8_t* aIV, void* aData, std::size_t aLen, const std::uint8_t* aMac) {
    return DecodeTransport(aIV, aData, aLen, aMac);
  }

  // ---- alternative-mode registry
  static void AltRegister(const platform::ClassInfo& aClass);
  static void AltUnregister(const platform::ClassInfo& aClass);
  // 12289 when no class is registered.
  static void AltLock();
  static void AltUnLock();
  static const platform::ClassInfo* AltCurrent();
  static void EncodeAlt(void* aData, std::size_t aLen);
  static void DecodeAlt(void* aData, std::size_t aLen);

  // ---- key-wrap registry
  static void KeyWrapRegister(const platform::ClassInfo& aClass);
  static void KeyWrapUnregister(const platform::ClassInfo& aClass);
  static const platform::ClassInfo* FindKeyWrapClass(const nxString& aName);
  static const platform::ClassInfo& MustFindKeyWrapClass(const nxString& aName);
  // Each name with the highest priority of its classes (as the item's number).
  static void GetRegisteredKeyWrapClasses(platform::TStringList& aList, std::vector<std::int32_t>& aPriorities);
  static const platform::ClassInfo* PreferredKeyWrapClass();

  // A new instance of a registered cipher class.
  static TnxBaseCipher* CreateOf(const platform::ClassInfo& aClass, const TnxByteString& aKey);

 protected:
  TnxByteString bcInitialKey;
};
