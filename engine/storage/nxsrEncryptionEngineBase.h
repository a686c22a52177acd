// The encryption engine interface and its registry.
//
// A table file may be encrypted block by block by an engine chosen by the
// name stored in block 0 and by the mode (user tables or server-owned
// tables). The file layer encrypts every block but block 0 on write
// (CodeBlockEx) and decrypts on read (DecodeBlockEx); block 0 carries a
// header checksum (UpdateHeaderChecksum / VerifyHeaderChecksum).
// Registry: per mode, engine names (case-insensitive, duplicates refused),
// each with its classes by priority; the highest priority is used.
// Thread safety: registration happens at start-up and shutdown only;
// lookups afterwards only read. An engine instance belongs to one file and
// is used under the buffer manager's padlock or by the flushing thread.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsrTypes.h"

NX_DECLARE_EXCEPTION(EnxBaseEncryptionEngineException, EnxBaseException)

class TnxBaseEncryptionEngine;

// Class-level functions of an engine class (the virtual constructor and
// the class functions).
struct TnxEncryptionEngineClassFuncs {
  TnxBaseEncryptionEngine* (*create)(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer,
                                     bool aCreating, void* aHeader);
  std::int32_t (*reservedSpacePerBlock)(TnxBlockSize aBlockSize);
  std::int32_t (*reservedHeaderSpace)();
  std::int32_t (*checksumSize)();
};
template <class T>
inline constexpr TnxEncryptionEngineClassFuncs nxEncryptionEngineFuncs{
    [](const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer, bool aCreating,
       void* aHeader) -> TnxBaseEncryptionEngine* {
      return platform::create<T>(aName, aPasswords, aForServer, aCreating, aHeader);
    },
    &T::beeReservedSpacePerBlock, &T::beeReservedHeaderSpace, &T::beeChecksumSize};

class TnxBaseEncryptionEngine : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseEncryptionEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer,
                          bool aCreating, void* aHeader);

  virtual void CodeBlock(const std::uint8_t* aBlockIn, std::uint8_t* aBlockOut, std::uint32_t aRandomizer,
                         std::uint32_t aBlockLen) = 0;
  virtual void DecodeBlock(std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint32_t aRandomizer) = 0;
  static std::int32_t beeReservedSpacePerBlock(TnxBlockSize aBlockSize);
  static std::int32_t beeReservedHeaderSpace() { return 0; }
  static std::int32_t beeChecksumSize() { return 0; }
  // An engine with a checksum overrides both.
  virtual void beeAddChecksumForBlock(const std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint64_t aRandomizer,
                                      std::vector<std::uint8_t>& aChecksum);
  virtual void beeAddChecksumForCookie(const std::vector<std::uint8_t>& aCookie, std::uint64_t aRandomizer,
                                       std::vector<std::uint8_t>& aChecksum);
  // aRandomizer is the block number; the base passes the block's byte
  // offset (its low 32 bits) to CodeBlock / DecodeBlock.
  virtual void CodeBlockEx(const std::uint8_t* aBlockIn, std::uint8_t* aBlockOut, std::uint32_t aBlockLen,
                           std::uint64_t aRandomizer, std::vector<std::uint8_t>& aCookie,
                           std::vector<std::uint8_t>& aChecksum);
  virtual void DecodeBlockEx(std::uint8_t* aBlock, std::uint32_t aBlockLen, std::uint64_t aRandomizer,
                             std::vector<std::uint8_t>& aCookie);
  virtual void UpdateHeaderChecksum(std::uint8_t* aBlock, std::uint32_t aBlockLen);
  virtual void VerifyHeaderChecksum(std::uint8_t* aBlock, std::uint32_t aBlockLen);
  // 0, or 10763 when the passwords only allow reading.
  virtual TnxResult AuthenticatePassword(const TnxUnicodeStrings& aPasswords);
  virtual nxString ExtractPassword();
  virtual void ChangePassword(void* aHeader, const nxString& aNewPassword);

  // ---- registry (class methods); aClass must carry nxEncryptionEngineFuncs
  static void Register(const platform::ClassInfo& aClass, const nxString& aName, bool aForServer,
                       std::int32_t aPriority);
  static void Unregister(const platform::ClassInfo& aClass);
  // One empty entry (no encryption), then every name of the mode.
  static void GetRegisteredEngines(platform::TStringList& aList, bool aForServer);
  static bool HasEngine(const nxString& aName, bool aForServer);
  // 15503 (with the pending message) for an unknown name, else the factory
  // step's result; aEngine is nil unless the result is 0.
  static TnxResult CreateEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, void* aHeader,
                                bool aCreating, bool aForServer, TnxBaseEncryptionEngine*& aEngine);
  static std::int32_t ReservedHeaderSpace(const nxString& aEngine, bool aForServer);
  static std::int32_t ReservedSpacePerBlock(const nxString& aEngine, bool aForServer, TnxBlockSize aBlockSize);
  // The class used for a name now (highest priority), nil when none.
  static const platform::ClassInfo* EngineClass(const nxString& aName, bool aForServer);
};

// Frees what is left of both registries (module finalisation).
void nxsrEncryptionEngineBaseFinalize();
