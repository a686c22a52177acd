// The key engines of full-text tokens: the bit-array token key (the B*-trees
// of a bit-array token index) and the main-index token key (a main index
// serving a main-index token index). Keys are made only by the full-text
// engines through InternalBuildKey; BuildKey makes none.
//
// Bit-array token key (16-bit units, little-endian), M = MaxTokenSize:
//   unit 0        segment number (unsigned)
//   unit 1        token length c in units (0 .. M)
//   units 2..2+c-1 the token (reversed for a reverse index, surrogate pairs
//                 kept in their order); the rest of the M units is not written
//   unit 2+M      only per field: the field number (signed)
// Order: segment, then token (empty first; with a locale CompareStringW,
// else the tokens' bytes in memory order, then the shorter first), then the
// field number.
//
// Main-index token key: bytes 0-1 the token length c, from byte 2 the c
// units; with IncludeLocation the location (32-bit) in the last 4 bytes,
// which never takes part in comparisons.
//
// A token is cut to M units, one fewer when the last kept unit is a high
// surrogate, so no pair is split. Lengths read from a key are clamped to M,
// so a damaged key never makes a read leave it. A negative MaxTokenSize, or
// one whose key exceeds 65535 bytes, is refused with 15494.
#pragma once

#include <array>

#include "nxllTypes.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsdKeyEngineBase.h"

// The main-index token engine's descriptor of its location field.
class InxFieldDescriptor2 : public InxFieldDescriptor {
 public:
  static constexpr platform::Guid IID{0xE81DDDC3, 0x2EA7, 0x4F74, {0xB8, 0x9D, 0x7A, 0x81, 0x5D, 0x85, 0xE9, 0x5F}};

 protected:
  ~InxFieldDescriptor2() = default;
};

// The location pseudo field ("Location", nxtAutoInc, 4 units) of a
// main-index token key; kept by its engine, no reference count.
class TnxTokenLocationField final : public InxFieldDescriptor2 {
 public:
  explicit TnxTokenLocationField(TnxLocaleDescriptor* aLocale) : tlfLocale(aLocale) {}
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  nxString GetFieldName() override { return u"Location"; }
  TnxFieldType GetFieldType() override { return nxtAutoInc; }
  std::int32_t GetFieldUnits() override { return 4; }
  std::int32_t GetFieldDecPl() override { return 0; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return tlfLocale; }
  std::uint16_t GetFieldStorageCodePage() override { return 0; }

 private:
  TnxLocaleDescriptor* tlfLocale;
};

class TnxBitArrayTokenKeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBitArrayTokenKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a TnxBitArrayTokenKeyDescriptor.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);

  std::int32_t MaxTokenSize() const { return batkeMaxTokenSize; }
  // Writes segment, length, token and field; the rest of aKey is untouched.
  virtual void InternalBuildKey(std::uint16_t aSegment, const TnxWideString& aToken, std::int16_t aField,
                                void* aKey);

  // No field source over these keys.
  bool GetFieldForFilter(std::int32_t, const char*, const void*, std::uint16_t&, std::uint16_t&, bool&,
                         const void*&, std::uint16_t&) override {
    return false;
  }
  std::int32_t GetFieldFromName(const nxString&) override { return -1; }
  std::int32_t GetFieldCount() override { return 0; }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t) override { return nullptr; }
  std::int32_t GetFieldsOffset() override { return 0; }

  void ClearKey(void* aKey) override;
  // 12289 with the text "BuildKey is not supported by TnxBitArrayTokenKeyEngine" pending.
  TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) override;
  using TnxBaseKeyEngine::CompareKey;
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                std::int32_t aPartialLen) override;
  // Segment, token (Null when empty) and, per field, the field number; -1:
  // all of them as an array; others: 9999.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;

 private:
  std::int32_t TokenLength(const void* aKey) const;

  bool batkePerField;
  std::int32_t batkeMaxTokenSize;
  bool batkeReverse;
  std::uint32_t batkeLocale;
  std::uint32_t batkeFlags;
};

class TnxMainIndexTokenKeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxMainIndexTokenKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  ~TnxMainIndexTokenKeyEngine() override;
  // The descriptor must be a TnxMainIndexTokenKeyDescriptor.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);
  static bool SupportsReindex() { return false; }

  std::int32_t MaxTokenSize() const { return mitkeMaxTokenSize; }
  bool IncludeLocation() const { return mitkeIncludeLocation; }
  virtual void InternalBuildKey(const TnxWideString& aToken, std::uint32_t aLocation, void* aKey);

  // "Token" and, with IncludeLocation, "Location".
  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override { return mitkeIncludeLocation ? 2 : 1; }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  std::int32_t GetFieldsOffset() override { return 0; }

  void ClearKey(void* aKey) override;
  // 1 for every record: such keys come from the full-text engine only.
  TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) override;
  using TnxBaseKeyEngine::CompareKey;
  // aPartialLen > 0 compares the first aPartialLen units of each token.
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                std::int32_t aPartialLen) override;
  // -1 and 0: the token (Null when empty); 1: the location.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;

 private:
  std::int32_t TokenLength(const void* aKey) const;

  std::int32_t mitkeMaxTokenSize;
  bool mitkeIncludeLocation;
  std::uint32_t mitkeLocale;
  std::uint32_t mitkeFlags;
  TnxLocaleDescriptor* mitkeLocaleDescriptor = nullptr;  // owned
  std::array<TnxKeyPseudoField, 1> mitkeTokenField;
  TnxTokenLocationField mitkeLocationField;
};

void nxsdKeyEngineTokenInitialize();
void nxsdKeyEngineTokenFinalize();
