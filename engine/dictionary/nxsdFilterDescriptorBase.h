// Filter descriptors: the passive, streamable form of a record filter, and
// InxFieldsSource, through which filter engines read the fields of the
// buffers they judge. This module sits below the data dictionary (key
// descriptors hold filter descriptors), so it must not include it.
//
// Stream layout of a filter descriptor (little-endian): one byte n, n bytes
// of 8-bit class name (no terminator), then the class's body.
//
// Registration: filter descriptor classes live in their own family
// (TnxBaseFilterDescriptor::GetList), each with a TnxFilterDescriptorClassFuncs
// table (nxFilterDescriptorFuncs<T>) holding its stream constructor. Classes
// without a constructor from TStream& are registrable but not streamable.
//
// Ownership: descriptors are plain owned objects (platform::TObject::free).
// Thread safety: none; a descriptor belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "nxllBase.h"
#include "nxllException.h"
#include "nxllRegisterableEngine.h"
#include "nxllStreams.h"
#include "nxsdTypes.h"
#include "plVariant.h"

class InxFieldDescriptor;  // nxsdDataDictionary.h

// What a filter knows about the buffers it is given. Implemented by the
// fields descriptor, the abstract cursor and the key engines; none of them
// keeps a reference count, so the owner of the source keeps it alive.
class InxFieldsSource : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x0DFE58F9, 0xF822, 0x4AD6, {0x9D, 0x2D, 0x59, 0x96, 0x15, 0xD8, 0xA8, 0x6C}};
  // False when aField is outside 0..count-1. aValue is nil and aIsNull True
  // without aData; a short string answers its length byte in aSize and
  // points after it.
  virtual bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                                 std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                 std::uint16_t& aCodePage) = 0;
  virtual platform::Variant GetFieldAsVariant(const void* aRecordBuffer, std::int32_t aIndex) = 0;
  virtual bool BlobsSupported() = 0;
  // Case-insensitive; -1 when unknown.
  virtual std::int32_t GetFieldFromName(const nxString& aFieldName) = 0;
  virtual std::int32_t GetFieldCount() = 0;
  // Lives as long as the source; nil for an index outside the fields.
  virtual InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) = 0;
  // The abstract cursor behind the source, or nil.
  virtual platform::TObject* GetCursor() = 0;
  virtual std::int32_t GetFieldsOffset() = 0;

 protected:
  ~InxFieldsSource() = default;
};

NX_DECLARE_EXCEPTION(EnxBaseFilterDescriptorException, EnxBaseException)

class TnxBaseFilterDescriptor;

struct TnxFilterDescriptorClassFuncs {
  // The stream constructor: reads the body after the class-name header.
  TnxBaseFilterDescriptor* (*createFromStream)(TStream& aStream);
};

// Raises 12289 "%s can not be created from a stream".
[[noreturn]] void nxFilterDescriptorNotStreamable(const platform::ClassInfo& aClass);

template <class T>
inline constexpr TnxFilterDescriptorClassFuncs nxFilterDescriptorFuncs{
    [](TStream& aStream) -> TnxBaseFilterDescriptor* {
      if constexpr (std::is_constructible_v<T, TStream&>)
        return platform::create<T>(aStream);
      else
        nxFilterDescriptorNotStreamable(T::staticClassInfo());
    }};

class TnxBaseFilterDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFilterDescriptor() = default;
  static TnxClassList& GetList();

  // Reads the class-name header and builds that descriptor from the rest.
  // 0 and the descriptor; 9986 for a short header; 12289 (pending
  // "Filter descriptor not supported: %s") for an unknown name, also with
  // "Descriptor" appended; a failing stream constructor's converted code.
  // aFilter is nil unless 0 is answered.
  static TnxResult CreateFromStream(TStream& aStream, TnxBaseFilterDescriptor*& aFilter);

  // aVersion: client version of the dictionary being written. The base
  // answers 12289 (pending "WriteToStream is not supported by %s").
  virtual TnxResult WriteToStream(TStream& aStream, std::int32_t aVersion);

 protected:
  // The class-name header of this descriptor.
  void WriteClassName(TStream& aStream) const;
};

