// Boolean and integer mappers. The integer classes keep the target's
// storage length, units and decimals for the targets that need them (text,
// characters, BCD); every other routine is bound to the class.
#pragma once

#include "nxsdFieldMapper.h"

class TnxBooleanMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
};

// What every integer class keeps of its target.
class TnxIntegerMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  std::int32_t TargetLength = 0;
  std::int32_t TargetUnits = 0;
  std::int32_t TargetDecPl = 0;
  bool BestFit = false;
};

#define NX_INTEGER_MAPPER(Cls)                                                                                 \
  class Cls : public TnxIntegerMapper {                                                                        \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
  };

NX_INTEGER_MAPPER(TnxByte8Mapper)
NX_INTEGER_MAPPER(TnxWord16Mapper)
NX_INTEGER_MAPPER(TnxWord32Mapper)
NX_INTEGER_MAPPER(TnxInt8Mapper)
NX_INTEGER_MAPPER(TnxInt16Mapper)
NX_INTEGER_MAPPER(TnxInt32Mapper)
NX_INTEGER_MAPPER(TnxInt64Mapper)
#undef NX_INTEGER_MAPPER
