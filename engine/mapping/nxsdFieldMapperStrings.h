// String-to-string mappers between ShortString, NullString and WideString.
// Set-up decides once: code-page conversion (8-bit pairs: both code pages
// set and either different, or the target's multi-byte and shorter than the
// source, so that a double-byte character is never split), trimming of
// trailing spaces (a non-fixed source into a fixed target), and best fit
// (truncate) or checking (10002). Conversions drop a character that does
// not fit whole; characters the target code page lacks become its default
// character.
#pragma once

#include "nxsdFieldMapper.h"

// Each class keeps, under its own prefix, the target's storage length and
// the code pages of the two fields (0 for a field without locale), the
// target's units, the source's storage length (reads stop at the field's
// end) and the routine's label for the OS error's action text.
#define NX_STRING_MAPPER(Cls, P)                                                                               \
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
    std::uint16_t SourceCodepage() const { return P##SourceCodepage; }                                         \
    std::uint16_t TargetCodepage() const { return P##TargetCodepage; }                                         \
    std::int32_t TargetUnits() const { return P##TargetUnits; }                                                \
    std::int32_t SourceLength() const { return P##SourceLength; }                                              \
    const char* Label() const { return P##Label; }                                                             \
    void SetFields(std::int32_t aSourceLength, std::int32_t aTargetLength, std::int32_t aTargetUnits,           \
                   std::uint16_t aSourceCodepage, std::uint16_t aTargetCodepage) {                             \
      P##SourceLength = aSourceLength;                                                                         \
      P##TargetLength = aTargetLength;                                                                         \
      P##TargetUnits = aTargetUnits;                                                                           \
      P##SourceCodepage = aSourceCodepage;                                                                     \
      P##TargetCodepage = aTargetCodepage;                                                                     \
    }                                                                                                          \
    void SetLabel(const char* aLabel) { P##Label = aLabel; }                                                   \
    std::int32_t P##TargetLength = 0;                                                                          \
    std::uint16_t P##SourceCodepage = 0;                                                                       \
    std::uint16_t P##TargetCodepage = 0;                                                                       \
    std::int32_t P##TargetUnits = 0;                                                                           \
    std::int32_t P##SourceLength = 0;                                                                          \
    const char* P##Label = "";                                                                                 \
  };

NX_STRING_MAPPER(TnxShortStringToShortStringMapper, sts)
NX_STRING_MAPPER(TnxShortStringToNullStringMapper, stn)
NX_STRING_MAPPER(TnxNullStringToNullStringMapper, ntn)
NX_STRING_MAPPER(TnxNullStringToShortStringMapper, nts)
NX_STRING_MAPPER(TnxWideStringToAnsiStringMapper, wta)
NX_STRING_MAPPER(TnxAnsiStringToWideStringMapper, atw)
NX_STRING_MAPPER(TnxWideStringToWideStringMapper, wtw)
#undef NX_STRING_MAPPER

// The 8-bit to UTF-16 mapper for a source of a BLOB type read as NullString
// text (the BLOB mappers build it directly); nil when the pair is refused.
TnxBaseFieldMapper* nxCreateAnsiStringToWideStringMapper(TnxFieldDescriptor& aSourceField,
                                                         TnxFieldDescriptor& aTargetField,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper);

// The string mapper of class aClass (ShortString to ShortString, NullString
// to NullString, WideString to 8-bit, 8-bit to WideString or WideString to
// WideString) for a text that lives outside a record field, such as a
// BLOB's: aSourceField gives the code page and trimming, aSourceLength the
// most bytes the text passed to the routine can take (ShortString: with its
// length byte; the others end at their terminator), so that every decision
// that depends on the source's size sees the text's. Nil when refused.
TnxBaseFieldMapper* nxCreateStringMapperForText(const platform::ClassInfo& aClass, TnxFieldDescriptor& aSourceField,
                                                std::int32_t aSourceLength, TnxFieldDescriptor& aTargetField,
                                                const TnxFieldMapperDescriptor* aMapperDesc,
                                                TnxMappingMethod& aMapper);
