// The temporary storage interface: where the block cache may push images
// out of memory, and the storage with no space that stands in when no real
// one exists.
// Thread safety: a storage is used only under the buffer manager's padlock.
// Registration: one class variable holds the registered storage class (nil
// when none); it is set and cleared at start-up and shutdown only.
#pragma once

#include <cstdint>

#include "nxsrTypes.h"

NX_DECLARE_EXCEPTION(EnxBaseTempStorageException, EnxServerException)

using TnxBlockTmpNum = std::int32_t;

class TnxBaseTempStorage;

struct TnxTempStorageClassFuncs {
  TnxBaseTempStorage* (*create)(const nxString& aDir);
  void (*getStatsValuesStatic)(platform::TStringList& aList);
};
template <class T>
inline constexpr TnxTempStorageClassFuncs nxTempStorageFuncs{
    [](const nxString& aDir) -> TnxBaseTempStorage* { return platform::create<T>(aDir); },
    &T::GetStatsValuesStatic};

class TnxBaseTempStorage : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTempStorage(const nxString& aDir);

  virtual std::int64_t Size() = 0;   // bytes
  virtual std::int64_t InUse() = 0;  // bytes
  virtual bool HasSpaceFor(TnxBlockSizeAll aBlockSize) = 0;
  // Copies the stored block into aBlock and frees it in the storage.
  virtual void ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) = 0;
  virtual void PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) = 0;
  virtual void ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) = 0;
  virtual TnxBlockTmpNum WriteBlock(const void* aBlock, TnxBlockSizeAll aBlockSize) = 0;

  // "Temporary Storage Total Size", "Temporary Storage Used Size".
  virtual void GetStatsCaptions(platform::TStringList& aList);
  // Size and InUse in kbyte with thousands separators.
  virtual void GetStatsValues(platform::TStringList& aList);
  static void GetStatsValuesStatic(platform::TStringList& aList);

  // The registered class, nil when none.
  static const platform::ClassInfo* RegisteredClass();
  // aClass must carry nxTempStorageFuncs; nullptr clears.
  static void RegisterClass(const platform::ClassInfo* aClass);
  // An instance of a class carrying nxTempStorageFuncs.
  static TnxBaseTempStorage* CreateOf(const platform::ClassInfo& aClass, const nxString& aDir);
};

// The storage with no space: every block operation raises 12289.
class TnxNullTempStorage : public TnxBaseTempStorage {
  PL_CLASS_INFO_DECL()
 public:
  TnxNullTempStorage() : TnxBaseTempStorage(nxString()) {}
  explicit TnxNullTempStorage(const nxString& aDir) : TnxBaseTempStorage(aDir) {}

  std::int64_t Size() override { return 0; }
  std::int64_t InUse() override { return 0; }
  bool HasSpaceFor(TnxBlockSizeAll) override { return false; }
  void ReadBlock(TnxBlockTmpNum, TnxBlockSizeAll, void*) override;
  void PeekBlock(TnxBlockTmpNum, TnxBlockSizeAll, void*) override;
  void ReleaseBlock(TnxBlockTmpNum, TnxBlockSizeAll) override;
  TnxBlockTmpNum WriteBlock(const void*, TnxBlockSizeAll) override;

 private:
  [[noreturn]] void NotSupported(const char16_t* aOperation);
};
