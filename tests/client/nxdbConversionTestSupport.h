// Shared by the conversion tests: the module started around every test with
// the client code page restored, fields made to measure, and one field's
// conversion in either direction through the methods handed out for it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "nxdbConversion.h"
#include "nxllOwners.h"
#include "nxsdFmtBcd.h"
#include "plString.h"

namespace convtest {

using Bytes = std::vector<std::uint8_t>;
using FieldPtr = TnxOwned<TnxFieldDescriptor>;
using MapperPtr = TnxOwned<TnxBaseVclFieldMapper>;

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedCodePage = platform::ansiCodePage();
    nxdbConversionInitialize();
  }
  void TearDown() override {
    nxdbConversionFinalize();
    platform::setAnsiCodePage(savedCodePage);
  }
  std::uint16_t savedCodePage = 0;
};

// A standalone field; a storage code page gives it a locale descriptor.
inline FieldPtr makeField(TnxFieldType aType, std::int32_t aUnits = 0, std::int32_t aDecPl = 0,
                          std::uint16_t aStorageCodePage = 0) {
  FieldPtr field(platform::create<TnxFieldDescriptor>(nullptr, nxString(u"F"), nxString(), aType, aUnits, aDecPl,
                                                      false));
  if (aStorageCodePage != 0) field->AddLocaleDescriptor()->SetOverrideStorageCodepage(aStorageCodePage);
  return field;
}

// The pair of one field and the mapper object behind it (if any).
struct Mapper {
  MapperPtr object;
  TnxVclMapperMethod toVcl;
  TnxVclMapperMethod toVadur;
};
inline Mapper mapperFor(TnxFieldDescriptor& aField) {
  Mapper m;
  m.object.reset(TnxBaseVclFieldMapper::GetMapperForDescriptor(aField, m.toVcl, m.toVadur));
  return m;
}

constexpr std::uint8_t kFill = 0xCC;

// Runs aMethod from aFrom into a buffer of aSize bytes filled with kFill.
// Both sit one byte into their buffers, as packed record fields do.
inline Bytes run(const TnxVclMapperMethod& aMethod, const Bytes& aFrom, std::size_t aSize) {
  Bytes from(aFrom.size() + 1, 0);
  std::memcpy(from.data() + 1, aFrom.data(), aFrom.size());
  Bytes to(aSize + 1, kFill);
  aMethod(from.data() + 1, to.data() + 1);
  return Bytes(to.begin() + 1, to.end());
}

template <class T>
Bytes bytesOf(const T& v, std::size_t n = sizeof(T)) {
  Bytes b(n);
  std::memcpy(b.data(), &v, n);
  return b;
}
// 8-bit text with its terminator; UTF-16 text with its terminator.
inline Bytes text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}
inline Bytes wtext(const std::u16string& s) {
  Bytes b(2 * s.size() + 2, 0);
  std::memcpy(b.data(), s.data(), 2 * s.size());
  return b;
}
// A short string's stored form: length byte, then the bytes.
inline Bytes shortText(const std::string& s) {
  Bytes b{static_cast<std::uint8_t>(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}
// The framework's packed decimal of aText (precision and scale of the text).
inline Bytes bcd(const char16_t* aText) {
  TnxFmtBcd v;
  nxStrToBcd(aText, v, u'.');
  return bytesOf(v);
}
inline nxString bcdText(const Bytes& aBytes) {
  TnxFmtBcd v;
  std::memcpy(&v, aBytes.data(), sizeof v);
  return nxBcdToStr(v, u'.');
}
inline Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

}  // namespace convtest
