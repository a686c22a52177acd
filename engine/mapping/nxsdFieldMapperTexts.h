// Text parsing mappers: the text of a ShortString, NullString or WideString
// field parsed into a Boolean, number, currency, BCD, date, time, GUID,
// character or byte-array target. Texts are read with the source field's
// format settings (its locale, 2048 without one); numbers take "." as the
// decimal point whatever the locale. Checking routines refuse invalid text
// and values outside the target's range with 10002; best fit stores the
// nearest value (integers clamped to the target's range).
#pragma once

#include <string>
#include <utility>

#include "nxsdFieldMapper.h"
#include "plFormatSettings.h"

// Each class keeps under its own prefix (ssm, nsm, wsm) the source's format
// settings, both storage lengths and code pages, the target's units and
// decimals, the code page its text is decoded with (0: the ANSI code page)
// and the routine's name for the OS error's action text.
#define NX_TEXT_MAPPER(Cls, P)                                                                                 \
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
    std::int32_t SourceLength() const { return P##SourceLength; }                                              \
    std::int32_t TargetLength() const { return P##TargetLength; }                                              \
    std::uint16_t SourceCodepage() const { return P##SourceCodepage; }                                         \
    std::uint16_t TargetCodepage() const { return P##TargetCodepage; }                                         \
    std::int32_t TargetUnits() const { return P##TargetUnits; }                                                \
    std::int32_t TargetDecPl() const { return P##TargetDecPl; }                                                \
    std::uint16_t TextCodepage() const { return P##TextCodepage; }                                             \
    const char* Action() const { return P##Action.c_str(); }                                                   \
    void SetFields(const platform::FormatSettings& aSettings, const TnxFieldDescriptor& aSource,               \
                   const TnxFieldDescriptor& aTarget, std::uint16_t aSourceCodepage,                           \
                   std::uint16_t aTargetCodepage) {                                                            \
      P##FormatSettings = aSettings;                                                                           \
      P##SourceLength = aSource.fdLength;                                                                      \
      P##TargetLength = aTarget.fdLength;                                                                      \
      P##SourceCodepage = aSourceCodepage;                                                                     \
      P##TargetCodepage = aTargetCodepage;                                                                     \
      P##TargetUnits = aTarget.fdUnits;                                                                        \
      P##TargetDecPl = aTarget.fdDecPl;                                                                        \
    }                                                                                                          \
    void SetText(std::uint16_t aTextCodepage, std::string aAction) {                                           \
      P##TextCodepage = aTextCodepage;                                                                         \
      P##Action = std::move(aAction);                                                                          \
    }                                                                                                          \
    platform::FormatSettings P##FormatSettings;                                                                \
    std::int32_t P##SourceLength = 0;                                                                          \
    std::int32_t P##TargetLength = 0;                                                                          \
    std::uint16_t P##SourceCodepage = 0;                                                                       \
    std::uint16_t P##TargetCodepage = 0;                                                                       \
    std::int32_t P##TargetUnits = 0;                                                                           \
    std::int32_t P##TargetDecPl = 0;                                                                           \
    std::uint16_t P##TextCodepage = 0;                                                                         \
    std::string P##Action;                                                                                     \
  };

NX_TEXT_MAPPER(TnxShortStringMapper, ssm)
NX_TEXT_MAPPER(TnxNullStringMapper, nsm)
NX_TEXT_MAPPER(TnxWideStringMapper, wsm)
#undef NX_TEXT_MAPPER
