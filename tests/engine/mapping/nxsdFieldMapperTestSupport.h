// Shared by the field mapper tests: fields made to measure, stored forms as
// bytes, and one call that sets up a mapping and maps one value.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxllOwners.h"
#include "nxllUtils.h"
#include "nxsdFieldMapper.h"
#include "plCodePage.h"

namespace fmtest {

using Bytes = std::vector<std::uint8_t>;
using FieldPtr = TnxOwned<TnxFieldDescriptor>;

// The module started around every test.
class MapperTest : public ::testing::Test {
 protected:
  void SetUp() override { nxsdFieldMapperInitialize(); }
  void TearDown() override { nxsdFieldMapperFinalize(); }
};

// A field of a type; a code page or locale gives it a locale descriptor
// (fixed marks a fixed string field).
struct F {
  TnxFieldType type;
  std::int32_t units = 0;
  std::int32_t decPl = 0;
  std::uint16_t codePage = 0;
  std::uint32_t locale = 0;
};

inline FieldPtr makeField(const F& f, const char16_t* aName = u"F") {
  FieldPtr field(platform::create<TnxFieldDescriptor>(nullptr, nxString(aName), nxString(), f.type, f.units,
                                                      f.decPl, false));
  if (f.codePage != 0 || f.locale != 0) {
    TnxLocaleDescriptor* loc = field->AddLocaleDescriptor();
    if (f.locale != 0) loc->SetLocale(f.locale);
    if (f.codePage != 0) loc->SetOverrideStorageCodepage(f.codePage);
  }
  return field;
}

template <class T>
Bytes bytesOf(T v, std::size_t n = sizeof(T)) {
  Bytes b(n);
  std::memcpy(b.data(), &v, n);
  return b;
}
inline Bytes i8(std::int8_t v) { return bytesOf(v); }
inline Bytes u8(std::uint8_t v) { return bytesOf(v); }
inline Bytes i16(std::int16_t v) { return bytesOf(v); }
inline Bytes u16(std::uint16_t v) { return bytesOf(v); }
inline Bytes i32(std::int32_t v) { return bytesOf(v); }
inline Bytes u32(std::uint32_t v) { return bytesOf(v); }
inline Bytes i64(std::int64_t v) { return bytesOf(v); }
inline Bytes f32(float v) { return bytesOf(v); }
inline Bytes f64(double v) { return bytesOf(v); }
inline Bytes ext(long double v) { return bytesOf(v, 10); }
inline Bytes chr(char c) { return Bytes{static_cast<std::uint8_t>(c)}; }
inline Bytes wch(char16_t c) { return bytesOf(c); }
// ShortString: length byte and characters; NullString: characters and 0.
// Defined out of line: g++ 12 sees false bounds faults in them when inlined.
Bytes sstr(const std::string& s);
Bytes nstr(const std::string& s);
Bytes wstr(const std::u16string& s);
// Nothing written: the target keeps its fill.
inline Bytes none() { return {}; }

enum Mode { Fail, Best, NoDesc };

// One mapped value: the result and the target field's bytes after it.
struct Mapped {
  bool found = false;
  TnxResult result = -1;
  Bytes target;
  bool hasInstance = false;
};

constexpr std::uint8_t kFill = 0xCC;

// Sets up the mapping (through the matrix) and maps aSource once; the
// target starts filled with kFill (or aInitial).
inline Mapped mapOnce(TnxFieldDescriptor& aSource, const Bytes& aValue, TnxFieldDescriptor& aTarget, Mode aMode,
                      const Bytes& aInitial = {}) {
  TnxOwned<TnxFieldMapperDescriptor> desc;
  if (aMode != NoDesc)
    desc.reset(platform::create<TnxFieldMapperDescriptor>(u"S", u"T", aMode == Best ? dlaBestFit : dlaFail));
  TnxMappingMethod method;
  Mapped out;
  TnxOwned<TnxBaseFieldMapper> mapper(
      TnxBaseFieldMapper::CreateMapper(aSource, nullptr, aTarget, nullptr, desc.get(), method));
  out.found = method.Assigned();
  out.hasInstance = mapper.get() != nullptr;
  if (!out.found) return out;
  Bytes src(static_cast<std::size_t>(std::max(aSource.fdLength, 1)) + 16, 0);
  std::memcpy(src.data(), aValue.data(), std::min(aValue.size(), src.size()));
  // One byte in front so that values sit at odd offsets as in packed records.
  Bytes tgt(static_cast<std::size_t>(aTarget.fdLength) + 1, kFill);
  if (!aInitial.empty()) std::memcpy(tgt.data() + 1, aInitial.data(), aInitial.size());
  Bytes srcOdd(src.size() + 1, 0);
  std::memcpy(srcOdd.data() + 1, src.data(), src.size());
  out.result = method(srcOdd.data() + 1, tgt.data() + 1);
  out.target.assign(tgt.begin() + 1, tgt.end());
  return out;
}

inline Mapped mapOnce(const F& aSource, const Bytes& aValue, const F& aTarget, Mode aMode, const Bytes& aInitial = {}) {
  FieldPtr s = makeField(aSource, u"S");
  FieldPtr t = makeField(aTarget, u"T");
  return mapOnce(*s, aValue, *t, aMode, aInitial);
}

// A table row: source value, target, mode, then the result and the target
// bytes expected (their prefix of the target field; none() = all kFill).
struct Row {
  const char* name;
  F source;
  Bytes value;
  F target;
  Mode mode;
  TnxResult result;
  Bytes expected;
};

inline void checkRows(const std::vector<Row>& aRows) {
  for (const Row& r : aRows) {
    SCOPED_TRACE(r.name);
    const Mapped m = mapOnce(r.source, r.value, r.target, r.mode);
    ASSERT_TRUE(m.found) << "no mapper";
    EXPECT_EQ(m.result, r.result);
    if (r.expected.empty()) {
      EXPECT_EQ(m.target, Bytes(m.target.size(), kFill)) << "the target was written";
    } else {
      ASSERT_LE(r.expected.size(), m.target.size());
      EXPECT_EQ(Bytes(m.target.begin(), m.target.begin() + static_cast<std::ptrdiff_t>(r.expected.size())),
                r.expected);
    }
  }
}

}  // namespace fmtest
