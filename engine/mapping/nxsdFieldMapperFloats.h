// Floating-point and currency mappers. Instances (for text, character and
// BCD targets) keep the target's format settings (its locale, 2048 without
// one), storage length, units and decimals; the rest is bound to the class.
#pragma once

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

class TnxFloatMapperBase : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  platform::FormatSettings FormatSettings;
  std::int32_t TargetLength = 0;
  std::int32_t TargetUnits = 0;
  std::int32_t TargetDecPl = 0;
  bool BestFit = false;
};

#define NX_FLOAT_MAPPER(Cls)                                                                                   \
  class Cls : public TnxFloatMapperBase {                                                                      \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
  };

NX_FLOAT_MAPPER(TnxSingleMapper)
NX_FLOAT_MAPPER(TnxDoubleMapper)
NX_FLOAT_MAPPER(TnxExtendedMapper)
NX_FLOAT_MAPPER(TnxCurrencyMapper)
#undef NX_FLOAT_MAPPER
