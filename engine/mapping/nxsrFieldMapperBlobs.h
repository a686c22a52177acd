// BLOB field mappers: between the BLOB types, and between them and the
// string types. A BLOB field holds only the BLOB's number, so these mappers
// work through the two server cursors of the copy run: the source BLOB is
// read through the source cursor; the target always gets a new BLOB of its
// own, created and written through the target cursor (no BLOB is ever
// shared between tables). A failed write deletes the new BLOB and leaves
// number 0 in the target.
//
// A source without value (BLOB number 0, an empty BLOB, an empty string)
// answers bmNullError: 10002, or 1 under best fit (the engine then stores
// the default or NULL); number 0 touches no cursor. Cursor errors come back
// unchanged as results. BLOB to string mappings hand the text to an inner
// string mapper, which applies the target's capacity: truncation under best
// fit, 10002 under checking; a ShortString target under checking reads one
// byte more than it holds, so a longer text is never cut silently.
//
// The mappers need both cursors: without them no routine is handed out.
// An instance belongs to one mapping engine and its thread.
#pragma once

#include "nxllOwners.h"
#include "nxsdFieldMapper.h"
#include "nxsdServerBaseCursor.h"

class TnxBlobMapper : public TnxBaseFieldMapper {
  PL_CLASS_INFO_DECL()
 public:
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);
  // Keeps cursors and fields, sets bmNullError and hands out the plain
  // copy; subclasses call it first and may replace the routine.
  virtual void Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,
                      TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,
                      const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper);

  // Reads the whole source BLOB (at most aLimit bytes); 0, bmNullError for
  // an empty BLOB, or the cursor's error.
  TnxResult ReadSource(TnxBlobNr aBlobNr, std::uint32_t aLimit, std::string& aBytes) const;
  // A new target BLOB holding aBytes, its number in aTarget.
  TnxResult WriteTarget(std::string_view aBytes, void* aTarget) const;

  TnxServerBaseCursor* bmSourceCursor = nullptr;  // not owned
  TnxServerBaseCursor* bmTargetCursor = nullptr;  // not owned
  TnxFieldDescriptor* bmSourceField = nullptr;    // not owned
  TnxFieldDescriptor* bmTargetField = nullptr;    // not owned
  TnxResult bmNullError = 0;
};

#define NX_BLOB_MAPPER(Cls, Fields)                                                                       \
  class Cls : public TnxBlobMapper {                                                                      \
    PL_CLASS_INFO_DECL()                                                                                  \
   public:                                                                                                \
    void Create(TnxFieldDescriptor& aSourceField, TnxServerBaseCursor* aSourceCursor,                     \
                TnxFieldDescriptor& aTargetField, TnxServerBaseCursor* aTargetCursor,                     \
                const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) override;         \
    Fields                                                                                                \
  };

NX_BLOB_MAPPER(TnxBlobMemoToBlobMemoMapper, std::uint16_t mtmSourceCodepage = 0; std::uint16_t mtmTargetCodepage = 0;)
NX_BLOB_MAPPER(TnxBlobMemoToBlobWideMemoMapper, std::uint16_t mtwSourceCodepage = 0;)
NX_BLOB_MAPPER(TnxBlobWideMemoToBlobMemoMapper, std::uint16_t wtmTargetCodepage = 0;)
NX_BLOB_MAPPER(TnxNullStringToBlobMapper, std::uint16_t ntbSourceCodepage = 0; std::uint16_t ntbTargetCodepage = 0;)
NX_BLOB_MAPPER(TnxShortStringToBlobMapper, std::uint16_t stbSourceCodepage = 0; std::uint16_t stbTargetCodepage = 0;)
NX_BLOB_MAPPER(TnxWideStringToBlobMapper, std::uint16_t wtbSourceCodepage = 0; std::uint16_t wtbTargetCodepage = 0;)
NX_BLOB_MAPPER(TnxBlobToNullStringMapper, std::uint16_t btnSourceCodepage = 0; std::uint16_t btnTargetCodepage = 0;
               TnxOwned<TnxBaseFieldMapper> btnNullStringToNullStringMapper; TnxMappingMethod btnMappingMethod;)
NX_BLOB_MAPPER(TnxBlobToShortStringMapper, std::uint16_t btsSourceCodepage = 0; std::uint16_t btsTargetCodepage = 0;
               TnxOwned<TnxBaseFieldMapper> btsShortStringToShortStringMapper; TnxMappingMethod btsMappingMethod;
               bool btsCheck = false;)
NX_BLOB_MAPPER(TnxBlobToWideStringMapper, std::uint16_t btwSourceCodepage = 0; std::uint16_t btwTargetCodepage = 0;
               TnxOwned<TnxBaseFieldMapper> btwAnsiStringToWideStringMapper; TnxMappingMethod btwMappingMethod;)
NX_BLOB_MAPPER(TnxBlobWideMemoToAnsiStringMapper, std::uint16_t bwtasSourceCodepage = 0;
               std::uint16_t bwtasTargetCodepage = 0; TnxOwned<TnxBaseFieldMapper> bwtasWideStringToAnsiStringMapper;
               TnxMappingMethod bwtasMappingMethod;)
NX_BLOB_MAPPER(TnxBlobWideMemoToWideStringMapper, std::uint16_t bwtwsSourceCodepage = 0;
               std::uint16_t bwtwsTargetCodepage = 0; TnxOwned<TnxBaseFieldMapper> bwtwsWideStringToWideStringMapper;
               TnxMappingMethod bwtwsMappingMethod;)
#undef NX_BLOB_MAPPER

// The 40 cells of the twelve classes (mapper engine start-up) and their
// removal.
void nxsrFieldMapperRegisterBlobs();
void nxsrFieldMapperUnregisterBlobs();
