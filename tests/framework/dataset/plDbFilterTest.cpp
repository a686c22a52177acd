// Filter texts and Locate requests compiled into expression blobs, checked
// byte by byte against blobs written out by hand from the layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "plDbFilter.h"
#include "plVectorDataSet.h"

using namespace platform;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Golden blobs, value by value.
struct G {
  Bytes b;
  G& u16(std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  G& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16)); }
  G& raw(std::initializer_list<std::uint8_t> v) {
    b.insert(b.end(), v);
    return *this;
  }
  G& header(std::uint16_t total, std::uint16_t nodes, std::uint16_t literalStart) {
    return u16(2).u16(total).u16(nodes).u16(10).u16(literalStart);
  }
  G& binary(std::uint32_t op, std::uint16_t l, std::uint16_t r) { return u32(2).u32(op).u16(l).u16(r); }
  G& compare(std::uint32_t op, std::uint16_t ci, std::uint16_t partial, std::uint16_t l, std::uint16_t r) {
    return u32(3).u32(op).u16(ci).u16(partial).u16(l).u16(r);
  }
  G& unary(std::uint32_t op, std::uint16_t operand) { return u32(1).u32(op).u16(operand); }
  G& field(std::uint16_t no, std::uint16_t lit) { return u32(4).u32(13).u16(no).u16(lit); }
  G& constant(std::uint16_t type, std::uint16_t size, std::uint16_t lit) { return u32(5).u32(14).u16(type).u16(size).u16(lit); }
};

// ID 1 (integer), NAME 2 (string), A 3 (integer), B 4 (string), D 5 (date).
bool resolve(UnicodeStringView aName, TFilterField& aField) {
  static const std::pair<const char16_t*, TFieldType> fields[] = {
      {u"ID", ftInteger}, {u"NAME", ftString}, {u"A", ftInteger}, {u"B", ftString}, {u"D", ftDate}};
  for (int i = 0; i < 5; ++i)
    if (sameTextAscii(aName, fields[i].first)) {
      aField = TFilterField{i + 1, fields[i].second};
      return true;
    }
  return false;
}

struct GoldenCase {
  const char16_t* text;
  TFilterOptions options;
  Bytes expected;
};

TEST(FilterCompiler, GoldenBlobs) {
  const GoldenCase cases[] = {
      {u"ID = 5", {},
       G().header(55, 3, 48).binary(3, 12, 24).field(1, 0).constant(6, 4, 3).raw({'I', 'D', 0}).u32(5).b},
      // 'ア' is 83 41 in code page 932; the trailing * makes a partial compare of one character.
      {u"NAME = 'ア*'", {},
       G().header(60, 3, 52).compare(3, 0, 1, 16, 28).field(2, 0).constant(1, 3, 5)
           .raw({'N', 'A', 'M', 'E', 0, 0x83, 0x41, 0}).b},
      {u"A > 1 AND NOT B IS NULL", {},
       G().header(100, 7, 92).binary(10, 12, 50).binary(5, 24, 36).field(3, 0).constant(6, 4, 2)
           .unary(9, 60).unary(1, 70).field(4, 6).raw({'A', 0}).u32(1).raw({'B', 0}).b},
      // 2025-04-20 is day 739361 counted from 0001-01-01.
      {u"D >= '2025/04/20'", {},
       G().header(54, 3, 48).binary(7, 12, 24).field(5, 0).constant(2, 4, 2).raw({'D', 0}).u32(739361).b},
      {u"name <> 'ab'", {foCaseInsensitive},
       G().header(60, 3, 52).compare(4, 1, 0, 16, 28).field(2, 0).constant(1, 3, 5)
           .raw({'n', 'a', 'm', 'e', 0, 'a', 'b', 0}).b},
      // With foNoPartialCompare the star is text.
      {u"NAME='a*'", {foNoPartialCompare},
       G().header(56, 3, 48).binary(3, 12, 24).field(2, 0).constant(1, 3, 5)
           .raw({'N', 'A', 'M', 'E', 0, 'a', '*', 0}).b},
  };
  for (const GoldenCase& c : cases) {
    EXPECT_EQ(compileFilter(c.text, c.options, 932, resolve), c.expected) << toUtf8(c.text);
  }
}

TEST(FilterCompiler, PrecedenceAndForms) {
  auto nodeClassAndOp = [](const Bytes& b, std::size_t nodeOffset) {
    const std::size_t at = 10 + nodeOffset;
    return std::pair<std::uint32_t, std::uint32_t>(b[at], b[at + 4]);
  };
  // OR binds weaker than AND: the root is the OR.
  Bytes b = compileFilter(u"ID = 1 OR ID = 2 AND A = 3", {}, 932, resolve);
  EXPECT_EQ(nodeClassAndOp(b, 0), (std::pair<std::uint32_t, std::uint32_t>(2, coOR)));
  b = compileFilter(u"(ID = 1 OR ID = 2) AND A = 3", {}, 932, resolve);
  EXPECT_EQ(nodeClassAndOp(b, 0), (std::pair<std::uint32_t, std::uint32_t>(2, coAND)));
  // "= NULL" is IS NULL, "IS NOT NULL" is NOT BLANK.
  EXPECT_EQ(nodeClassAndOp(compileFilter(u"B = NULL", {}, 932, resolve), 0),
            (std::pair<std::uint32_t, std::uint32_t>(1, coISBLANK)));
  EXPECT_EQ(nodeClassAndOp(compileFilter(u"B IS NOT NULL", {}, 932, resolve), 0),
            (std::pair<std::uint32_t, std::uint32_t>(1, coNOTBLANK)));
  // LIKE drops the % around the pattern: the engine matches anywhere.
  b = compileFilter(u"NAME LIKE '%bc%'", {}, 932, resolve);
  EXPECT_EQ(nodeClassAndOp(b, 0), (std::pair<std::uint32_t, std::uint32_t>(3, coLIKE)));
  EXPECT_EQ(Bytes(b.end() - 3, b.end()), (Bytes{'b', 'c', 0}));
  // A large number becomes a 64-bit constant, unless an integer field
  // cannot hold it.
  b = compileFilter(u"5000000000 > 1", {}, 932, resolve);
  EXPECT_EQ(b[10 + 12 + 8], 18);
  EXPECT_THROW(compileFilter(u"ID = 5000000000", {}, 932, resolve), EDatabaseError);
  b = compileFilter(u"ID = 2.5", {}, 932, resolve);
  EXPECT_EQ(b[10 + 24 + 8], 6);  // typed for the integer field
  // Text that code page 932 cannot hold travels as UTF-16.
  b = compileFilter(u"NAME = '\u00e9\u0101'", {}, 1252, resolve);
  EXPECT_EQ(b[10 + 12 + 12 + 8], 0x07);
  EXPECT_EQ(b[10 + 12 + 12 + 9], 0x10);
}

TEST(FilterCompiler, ErrorsAreDatabaseErrors) {
  const char16_t* bad[] = {u"", u"ID =", u"ID = 'x", u"NOPE = 1", u"ID = 1 ID", u"(ID = 1", u"D = 'not a date'",
                           u"ID > NULL", u"ID = 1 AND", u"[NAME"};
  for (const char16_t* text : bad) EXPECT_THROW(compileFilter(text, {}, 932, resolve), EDatabaseError) << toUtf8(text);
}

TEST(FilterCompiler, LocateBuilderJoinsCompareNodesWithAnd) {
  std::unique_ptr<pltest::TVectorDataSet, void (*)(TObject*)> ds(platform::create<pltest::TVectorDataSet>(),
                                                                 &TObject::free);
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->FieldDefs().Add(u"NAME", ftString, 10);
  ds->Open();
  Variant values = Variant::createArray(0, 1, varVariant);
  values.arrayPut(0, Variant(3));
  values.arrayPut(1, Variant(u"ab"));
  // Case-insensitive and partial only where the field holds text, and the
  // partial length only on the last comparison.
  EXPECT_EQ(buildLocateFilter(ds->GetFieldList(u"ID;NAME"), values, {loCaseInsensitive, loPartialKey}, 932),
            G().header(121, 7, 106).binary(10, 12, 54).compare(3, 0, 0, 28, 40).field(1, 0).constant(6, 4, 3)
                .compare(3, 1, 2, 70, 82).field(2, 7).constant(1, 3, 12)
                .raw({'I', 'D', 0}).u32(3).raw({'N', 'A', 'M', 'E', 0, 'a', 'b', 0}).b);
  EXPECT_EQ(buildLocateFilter(ds->GetFieldList(u"NAME"), Variant::null(), {}, 932),
            G().header(37, 2, 32).unary(1, 10).field(2, 0).raw({'N', 'A', 'M', 'E', 0}).b);
  // The filter text compiler resolves the dataset's fields by number.
  EXPECT_EQ(compileFilter(u"NAME = 'x'", {}, 932, ds->Fields())[10 + 12 + 8], 2);
}

}  // namespace
