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

// What the 8-bit and mixed classes keep of their two fields.
class TnxStringMapperBase : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  std::int32_t SourceLength = 0;
  std::int32_t TargetLength = 0;
  std::int32_t TargetUnits = 0;
  std::uint16_t SourceCodepage = 0;
  std::uint16_t TargetCodepage = 0;
  // For the OS error's action text.
  const char* Label = "";
};

#define NX_STRING_MAPPER(Cls)                                                                                  \
  class Cls : public TnxStringMapperBase {                                                                     \
    PL_CLASS_INFO_DECL()                                                                                       \
   public:                                                                                                     \
    static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField,                          \
                                                    TnxAbstractCursor* aSourceCursor,                          \
                                                    TnxFieldDescriptor& aTargetField,                          \
                                                    TnxAbstractCursor* aTargetCursor,                          \
                                                    const TnxFieldMapperDescriptor* aMapperDesc,               \
                                                    TnxMappingMethod& aMapper);                                \
  };

NX_STRING_MAPPER(TnxShortStringToShortStringMapper)
NX_STRING_MAPPER(TnxShortStringToNullStringMapper)
NX_STRING_MAPPER(TnxNullStringToNullStringMapper)
NX_STRING_MAPPER(TnxNullStringToShortStringMapper)
NX_STRING_MAPPER(TnxWideStringToAnsiStringMapper)
NX_STRING_MAPPER(TnxAnsiStringToWideStringMapper)
NX_STRING_MAPPER(TnxWideStringToWideStringMapper)
#undef NX_STRING_MAPPER

// The 8-bit to UTF-16 mapper for a source of a BLOB type read as NullString
// text (the BLOB mappers build it directly); nil when the pair is refused.
TnxBaseFieldMapper* nxCreateAnsiStringToWideStringMapper(TnxFieldDescriptor& aSourceField,
                                                         TnxFieldDescriptor& aTargetField,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper);
