// Text parsing mappers: the text of a ShortString, NullString or WideString
// field parsed into a Boolean, number, currency, BCD, date, time, GUID,
// character or byte-array target. Texts are read with the source field's
// format settings (its locale, 2048 without one); numbers take "." as the
// decimal point whatever the locale. Checking routines refuse invalid text
// and values outside the target's range with 10002; best fit stores the
// nearest value (integers clamped to the target's range).
#pragma once

#include <string>

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

class TnxTextMapperBase : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  platform::FormatSettings FormatSettings;
  std::int32_t SourceLength = 0;
  std::int32_t TargetLength = 0;
  std::uint16_t SourceCodepage = 0;
  std::uint16_t TargetCodepage = 0;
  std::int32_t TargetUnits = 0;
  std::int32_t TargetDecPl = 0;
  // The code page the text is decoded with (0: the ANSI code page).
  std::uint16_t TextCodepage = 0;
  // Action text of the OS error: "<class>.<routine>".
  std::string Action;
};

#define NX_TEXT_MAPPER(Cls)                                                                                    \
  class Cls : public TnxTextMapperBase {                                                                       \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
  };

NX_TEXT_MAPPER(TnxShortStringMapper)
NX_TEXT_MAPPER(TnxNullStringMapper)
NX_TEXT_MAPPER(TnxWideStringMapper)
#undef NX_TEXT_MAPPER
