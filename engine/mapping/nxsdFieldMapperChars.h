// Character mappers: one Char (8-bit, in the source field's code page) or
// WideChar (one UTF-16 unit) read as a one-character text. Numeric targets
// take its digit value (best fit: 0 for a non-digit); character and string
// targets convert between the code pages when both fields name different
// ones.
#pragma once

#include "nxsdFieldMapper.h"

class TnxCharMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  std::int32_t ccTargetLength = 0;
  std::uint16_t ccSourceCodepage = 0;
  std::uint16_t ccTargetCodepage = 0;
};

class TnxWideCharMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  std::int32_t wccTargetLength = 0;
  std::uint16_t wccSourceCodepage = 0;
  std::uint16_t wccTargetCodepage = 0;
};
