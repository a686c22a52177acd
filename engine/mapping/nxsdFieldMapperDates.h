// Date, time, date-time and GUID mappers. Texts use the target's format
// settings (its locale, 2048 without one): dates in the short date format,
// times in the long time format, date-times as both joined by a blank. The
// sample text that decides between truncating and testing text routines is
// the current date or time, so the choice can depend on the moment of set-up.
#pragma once

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

class TnxTimeMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  std::int32_t tmTargetLength = 0;
  TnxFieldDescriptor* tmTargetField = nullptr;
  platform::FormatSettings tmFormatSettings;
};

class TnxDateMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  std::int32_t dmTargetLength = 0;
  TnxFieldDescriptor* dmTargetField = nullptr;
  platform::FormatSettings dmFormatSettings;
};

class TnxDateTimeMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  TnxFieldType dtmSourceType = nxtDateTime;
  std::int32_t dtmTargetLength = 0;
  platform::FormatSettings dtmFormatSettings;
};

class TnxGuidMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
};
