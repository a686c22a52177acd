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

// Each integer class keeps its target's storage length, units and decimals
// under its own prefix (i8m, i16m, i32m, i64m, b8m, w16m, w32m).
#define NX_INTEGER_MAPPER(Cls, P)                                                                              \
  class Cls : public TnxBaseFieldMapper {                                                                      \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
    std::int32_t TargetLength() const { return P##TargetLength; }                                              \
    std::int32_t TargetUnits() const { return P##TargetUnits; }                                                \
    std::int32_t TargetDecPl() const { return P##TargetDecPl; }                                                \
    void SetTarget(const TnxFieldDescriptor& aField) {                                                         \
      P##TargetLength = aField.fdLength;                                                                       \
      P##TargetUnits = aField.fdUnits;                                                                         \
      P##TargetDecPl = aField.fdDecPl;                                                                         \
    }                                                                                                          \
    std::int32_t P##TargetLength = 0;                                                                          \
    std::int32_t P##TargetUnits = 0;                                                                           \
    std::int32_t P##TargetDecPl = 0;                                                                           \
  };

NX_INTEGER_MAPPER(TnxByte8Mapper, b8m)
NX_INTEGER_MAPPER(TnxWord16Mapper, w16m)
NX_INTEGER_MAPPER(TnxWord32Mapper, w32m)
NX_INTEGER_MAPPER(TnxInt8Mapper, i8m)
NX_INTEGER_MAPPER(TnxInt16Mapper, i16m)
NX_INTEGER_MAPPER(TnxInt32Mapper, i32m)
NX_INTEGER_MAPPER(TnxInt64Mapper, i64m)
#undef NX_INTEGER_MAPPER
