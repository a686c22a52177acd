// Byte-array and formatted-decimal mappers.
//
// TnxByteArrayMapper: a ByteArray into ByteArray or GUID (raw bytes; the
// target bytes after the copied ones keep their values) or into a string
// (the bytes read as 8-bit text in the source field's code page; a first
// byte of zero is the empty string). Checking cells that could lose bytes
// get no routine at all.
//
// TnxFmtBCDMapper: FmtBCD from and to the numeric types and FmtBCD. Decimal
// values cross as decimal text, so no binary rounding enters a FmtBCD
// value. Best fit into a FmtBCD too narrow for the integer digits stores the
// largest magnitude its precision and scale hold, with the value's sign
// (dropping high-order digits would store an unrelated number).
#pragma once

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

class TnxByteArrayMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  platform::FormatSettings bamFormatSettings;  // kept for the descriptor's locale; no routine uses it
  std::int32_t bamSourceLength = 0;
  std::int32_t bamTargetLength = 0;
  std::uint16_t bamSourceCodepage = 0;
  std::uint16_t bamTargetCodepage = 0;
  const char* bamLabel = "";
};

class TnxFmtBCDMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  TnxFieldType fbmSourceType = nxtBoolean;
  std::int32_t fbmSourceLength = 0;
  std::int32_t fbmSourceUnits = 0;
  std::int32_t fbmSourceDecPl = 0;
  platform::FormatSettings fbmSourceFormatSettings;
  TnxFieldType fbmTargetType = nxtBoolean;
  std::int32_t fbmTargetLength = 0;
  std::int32_t fbmTargetUnits = 0;
  std::int32_t fbmTargetDecPl = 0;
  platform::FormatSettings fbmTargetFormatSettings;
  std::int64_t fbmTargetMaxInt = 0;
  std::int64_t fbmTargetMinInt = 0;
};
