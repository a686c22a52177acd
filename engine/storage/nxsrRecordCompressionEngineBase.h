// The "RecordCompression" family: engines that turn a record buffer into a
// shorter byte string for a variable record engine, and back. Each is named
// by the table's record compression descriptor ("Null", "Smart",
// "Compressor"); a table without one gets the null engine, whose records
// are stored raw.
//
// CompressRecord writes at most RecordLength + 4 bytes and answers their
// count, or 0 when the record is to be stored as it is. DecompressRecord
// rebuilds the whole record buffer from exactly the bytes CompressRecord
// wrote. Engines hold no per-record state; one record engine uses one
// engine from its own thread. The registry is filled by module start-up.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxBaseRecordCompressionEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxNullRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

class TnxBaseRecordCompressionEngine;

// Class-level functions of a compression engine class.
struct TnxRecordCompressionEngineClassFuncs {
  void (*checkEngineDescriptor)(TnxBaseRecordCompressionDescriptor* aDescriptor);
  // Nil for abstract classes.
  TnxBaseRecordCompressionEngine* (*create)(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                            std::int32_t aTableVersion);
};

template <class T>
constexpr auto nxRecordCompressionCreateOf() {
  if constexpr (std::is_abstract_v<T>)
    return static_cast<TnxBaseRecordCompressionEngine* (*)(TnxBaseRecordCompressionDescriptor*, std::int32_t)>(
        nullptr);
  else
    return +[](TnxBaseRecordCompressionDescriptor* aDescriptor,
               std::int32_t aTableVersion) -> TnxBaseRecordCompressionEngine* {
      return platform::create<T>(aDescriptor, aTableVersion);
    };
}

template <class T>
inline constexpr TnxRecordCompressionEngineClassFuncs nxRecordCompressionEngineFuncs{
    &T::CheckEngineDescriptor, nxRecordCompressionCreateOf<T>()};

class TnxBaseRecordCompressionEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor may be nil (the null engine of a table without one).
  TnxBaseRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, std::int32_t aTableVersion);

  static TnxClassList& GetList();
  static void CheckEngineDescriptor(TnxBaseRecordCompressionDescriptor*) {}
  // The null engine for a nil descriptor; else the class registered under
  // the descriptor's engine name (15503 'Unknown RecordCompression engine').
  static TnxBaseRecordCompressionEngine* CreateEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                      std::int32_t aTableVersion);
  // Nothing for nil; else the named class's descriptor check (15503 above).
  static void CheckValidBaseFromDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor);
  static void RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName);
  static void UnregisterEngine(const platform::ClassInfo& aClass);

  // REQUIRES: aTarget has room for RecordLength + 4 bytes.
  virtual std::uint16_t CompressRecord(const std::uint8_t* aSource, std::uint8_t* aTarget) = 0;
  // REQUIRES: aTarget has room for RecordLength bytes.
  virtual void DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize, std::uint8_t* aTarget) = 0;

  TnxBaseRecordCompressionDescriptor* brceDescriptor;  // not owned; may be nil
};

class TnxNullRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseRecordCompressionEngine::TnxBaseRecordCompressionEngine;
  // Always 0: the record is stored raw.
  std::uint16_t CompressRecord(const std::uint8_t*, std::uint8_t*) override { return 0; }
  // 12289: nothing is ever stored compressed by this engine.
  void DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize, std::uint8_t* aTarget) override;
};

// The fields descriptor of the table that owns aDescriptor (nil when none).
TnxFieldsDescriptor* nxFieldsOfCompressionDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor);

// Registers the null engine under "Null" (module start-up) and removes it.
void nxsrRecordCompressionEngineBaseInitialize();
void nxsrRecordCompressionEngineBaseFinalize();
