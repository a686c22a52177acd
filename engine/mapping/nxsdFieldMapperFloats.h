// Floating-point and currency mappers. Instances (for text, character and
// BCD targets) keep the target's format settings (its locale, 2048 without
// one), storage length, units and decimals; the rest is bound to the class.
#pragma once

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

// Each class keeps the target's format settings, storage length, units and
// decimals under its own prefix (sm, dm, em, cm).
#define NX_FLOAT_MAPPER(Cls, P)                                                                                \
  class Cls : public TnxBaseFieldMapper {                                                                      \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
    const platform::FormatSettings& FormatSettings() const { return P##FormatSettings; }                       \
    std::int32_t TargetLength() const { return P##TargetLength; }                                              \
    std::int32_t TargetUnits() const { return P##TargetUnits; }                                                \
    std::int32_t TargetDecPl() const { return P##TargetDecPl; }                                                \
    void SetTarget(const platform::FormatSettings& aSettings, const TnxFieldDescriptor& aField) {              \
      P##FormatSettings = aSettings;                                                                           \
      P##TargetLength = aField.fdLength;                                                                       \
      P##TargetUnits = aField.fdUnits;                                                                         \
      P##TargetDecPl = aField.fdDecPl;                                                                         \
    }                                                                                                          \
    platform::FormatSettings P##FormatSettings;                                                                \
    std::int32_t P##TargetLength = 0;                                                                          \
    std::int32_t P##TargetUnits = 0;                                                                           \
    std::int32_t P##TargetDecPl = 0;                                                                           \
  };

NX_FLOAT_MAPPER(TnxSingleMapper, sm)
NX_FLOAT_MAPPER(TnxDoubleMapper, dm)
NX_FLOAT_MAPPER(TnxExtendedMapper, em)
NX_FLOAT_MAPPER(TnxCurrencyMapper, cm)
#undef NX_FLOAT_MAPPER
