// Build-time generator of the Unicode category table that
// nxllWideStringCategories embeds.
//
// Usage: nxUnicodeCategoriesGen <output.cpp>
//
// The table describes the Unicode 3.0 character repertoire: ICU supplies the
// properties, and only code points assigned by 3.0 (character age <= 3.0,
// noncharacters excluded) are taken, so the table does not drift with the ICU
// version installed. Output format, little-endian, one record per category in
// ascending order, categories without any range left out:
//   byte category; int32 n; n x (int32 start, int32 stop)
// Category numbers are those of TnxCharacterCategory.
#include <unicode/uchar.h>
#include <unicode/uclean.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCategoryCount = 55;
constexpr int kComposed = 47;
constexpr int kAssigned = 54;
constexpr int kParagraphSeparator = 11;

// General categories in TnxCharacterCategory order (values 0..29).
constexpr UCharCategory kGeneral[30] = {
    U_UPPERCASE_LETTER,     U_LOWERCASE_LETTER,     U_TITLECASE_LETTER,   U_NON_SPACING_MARK,
    U_COMBINING_SPACING_MARK, U_ENCLOSING_MARK,     U_DECIMAL_DIGIT_NUMBER, U_LETTER_NUMBER,
    U_OTHER_NUMBER,         U_SPACE_SEPARATOR,      U_LINE_SEPARATOR,     U_PARAGRAPH_SEPARATOR,
    U_CONTROL_CHAR,         U_FORMAT_CHAR,          U_SURROGATE,          U_PRIVATE_USE_CHAR,
    U_UNASSIGNED,           U_MODIFIER_LETTER,      U_OTHER_LETTER,       U_CONNECTOR_PUNCTUATION,
    U_DASH_PUNCTUATION,     U_START_PUNCTUATION,    U_END_PUNCTUATION,    U_INITIAL_PUNCTUATION,
    U_FINAL_PUNCTUATION,    U_OTHER_PUNCTUATION,    U_MATH_SYMBOL,        U_CURRENCY_SYMBOL,
    U_MODIFIER_SYMBOL,      U_OTHER_SYMBOL};

// Bidirectional classes in TnxCharacterCategory order (values 30..46).
constexpr UCharDirection kBidi[17] = {
    U_LEFT_TO_RIGHT,         U_LEFT_TO_RIGHT_EMBEDDING, U_LEFT_TO_RIGHT_OVERRIDE,
    U_RIGHT_TO_LEFT,         U_RIGHT_TO_LEFT_ARABIC,    U_RIGHT_TO_LEFT_EMBEDDING,
    U_RIGHT_TO_LEFT_OVERRIDE, U_POP_DIRECTIONAL_FORMAT, U_EUROPEAN_NUMBER,
    U_EUROPEAN_NUMBER_SEPARATOR, U_EUROPEAN_NUMBER_TERMINATOR, U_ARABIC_NUMBER,
    U_COMMON_NUMBER_SEPARATOR, U_BOUNDARY_NEUTRAL,      U_SEGMENT_SEPARATOR,
    U_WHITE_SPACE_NEUTRAL,   U_OTHER_NEUTRAL};

// Characters of the 3.0 repertoire whose general category or bidirectional
// class was changed by a later Unicode version, with their earlier values
// (as published with Unicode 3.2).
struct Override {
  UChar32 first, last;
  UCharCategory category;
  UCharDirection direction;
};
constexpr Override kOverrides[] = {
    {0x002B, 0x002B, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0x002D, 0x002D, U_DASH_PUNCTUATION, U_EUROPEAN_NUMBER_TERMINATOR},
    {0x002F, 0x002F, U_OTHER_PUNCTUATION, U_EUROPEAN_NUMBER_SEPARATOR},
    {0x00A7, 0x00A7, U_OTHER_SYMBOL, U_OTHER_NEUTRAL},
    {0x00AA, 0x00AA, U_LOWERCASE_LETTER, U_LEFT_TO_RIGHT},
    {0x00AD, 0x00AD, U_DASH_PUNCTUATION, U_OTHER_NEUTRAL},
    {0x00B6, 0x00B6, U_OTHER_SYMBOL, U_OTHER_NEUTRAL},
    {0x00BA, 0x00BA, U_LOWERCASE_LETTER, U_LEFT_TO_RIGHT},
    {0x0294, 0x0294, U_LOWERCASE_LETTER, U_LEFT_TO_RIGHT},
    {0x02B9, 0x02BA, U_MODIFIER_SYMBOL, U_OTHER_NEUTRAL},
    {0x02C6, 0x02CF, U_MODIFIER_SYMBOL, U_OTHER_NEUTRAL},
    {0x02EC, 0x02EC, U_MODIFIER_SYMBOL, U_OTHER_NEUTRAL},
    {0x0374, 0x0374, U_MODIFIER_SYMBOL, U_OTHER_NEUTRAL},
    {0x05BE, 0x05BE, U_OTHER_PUNCTUATION, U_RIGHT_TO_LEFT},
    {0x06DD, 0x06DD, U_FORMAT_CHAR, U_RIGHT_TO_LEFT_ARABIC},
    {0x06DE, 0x06DE, U_ENCLOSING_MARK, U_DIR_NON_SPACING_MARK},
    {0x070F, 0x070F, U_FORMAT_CHAR, U_BOUNDARY_NEUTRAL},
    {0x0CBF, 0x0CBF, U_NON_SPACING_MARK, U_DIR_NON_SPACING_MARK},
    {0x0CC6, 0x0CC6, U_NON_SPACING_MARK, U_DIR_NON_SPACING_MARK},
    {0x0F14, 0x0F14, U_OTHER_SYMBOL, U_LEFT_TO_RIGHT},
    {0x10D0, 0x10F6, U_OTHER_LETTER, U_LEFT_TO_RIGHT},
    {0x1369, 0x1371, U_DECIMAL_DIGIT_NUMBER, U_LEFT_TO_RIGHT},
    {0x13A0, 0x13F4, U_OTHER_LETTER, U_LEFT_TO_RIGHT},
    {0x166D, 0x166D, U_OTHER_PUNCTUATION, U_LEFT_TO_RIGHT},
    {0x17B4, 0x17B5, U_COMBINING_SPACING_MARK, U_LEFT_TO_RIGHT},
    {0x1885, 0x1886, U_OTHER_LETTER, U_LEFT_TO_RIGHT},
    {0x200B, 0x200B, U_SPACE_SEPARATOR, U_BOUNDARY_NEUTRAL},
    {0x202F, 0x202F, U_SPACE_SEPARATOR, U_WHITE_SPACE_NEUTRAL},
    {0x2044, 0x2044, U_MATH_SYMBOL, U_OTHER_NEUTRAL},
    {0x207A, 0x207B, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0x207F, 0x207F, U_LOWERCASE_LETTER, U_LEFT_TO_RIGHT},
    {0x208A, 0x208B, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0x2118, 0x2118, U_OTHER_SYMBOL, U_OTHER_NEUTRAL},
    {0x2132, 0x2132, U_OTHER_SYMBOL, U_OTHER_NEUTRAL},
    {0x2183, 0x2183, U_LETTER_NUMBER, U_LEFT_TO_RIGHT},
    {0x2212, 0x2212, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0x2308, 0x230B, U_MATH_SYMBOL, U_OTHER_NEUTRAL},
    {0x2460, 0x2487, U_OTHER_NUMBER, U_EUROPEAN_NUMBER},
    {0x24EA, 0x24EA, U_OTHER_NUMBER, U_EUROPEAN_NUMBER},
    {0x2800, 0x28FF, U_OTHER_SYMBOL, U_OTHER_NEUTRAL},
    {0x302E, 0x302F, U_NON_SPACING_MARK, U_DIR_NON_SPACING_MARK},
    {0x30FB, 0x30FB, U_CONNECTOR_PUNCTUATION, U_OTHER_NEUTRAL},
    {0xA015, 0xA015, U_OTHER_LETTER, U_LEFT_TO_RIGHT},
    {0xFB29, 0xFB29, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0xFD3E, 0xFD3E, U_START_PUNCTUATION, U_OTHER_NEUTRAL},
    {0xFD3F, 0xFD3F, U_END_PUNCTUATION, U_OTHER_NEUTRAL},
    {0xFE62, 0xFE62, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0xFE63, 0xFE63, U_DASH_PUNCTUATION, U_EUROPEAN_NUMBER_TERMINATOR},
    {0xFF0B, 0xFF0B, U_MATH_SYMBOL, U_EUROPEAN_NUMBER_TERMINATOR},
    {0xFF0D, 0xFF0D, U_DASH_PUNCTUATION, U_EUROPEAN_NUMBER_TERMINATOR},
    {0xFF0F, 0xFF0F, U_OTHER_PUNCTUATION, U_EUROPEAN_NUMBER_SEPARATOR},
    {0xFF65, 0xFF65, U_CONNECTOR_PUNCTUATION, U_OTHER_NEUTRAL},
    {0xFFF9, 0xFFFB, U_FORMAT_CHAR, U_BOUNDARY_NEUTRAL},
};

UCharCategory categoryOf(UChar32 c) {
  for (const Override& o : kOverrides)
    if (c >= o.first && c <= o.last) return o.category;
  return static_cast<UCharCategory>(u_charType(c));
}

UCharDirection directionOf(UChar32 c) {
  for (const Override& o : kOverrides)
    if (c >= o.first && c <= o.last) return o.direction;
  return u_charDirection(c);
}

bool assignedIn30(UChar32 c) {
  if (u_charType(c) == U_UNASSIGNED) return false;  // also drops noncharacters
  UVersionInfo age;
  u_charAge(c, age);
  return age[0] < 3 || (age[0] == 3 && age[1] == 0 && age[2] == 0 && age[3] == 0);
}

bool isHangulSyllable(UChar32 c) { return c >= 0xAC00 && c <= 0xD7A3; }

struct Range {
  std::int32_t start, stop;
};

void put32(std::vector<std::uint8_t>& out, std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.cpp>\n", argv[0]);
    return 2;
  }
  std::vector<Range> ranges[kCategoryCount];
  auto add = [&](int cat, UChar32 c) {
    auto& r = ranges[cat];
    if (!r.empty() && r.back().stop == c - 1)
      r.back().stop = c;
    else
      r.push_back({c, c});
  };

  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (!assignedIn30(c)) continue;
    const UCharCategory gc = categoryOf(c);
    for (int i = 0; i < 30; ++i)
      if (kGeneral[i] == gc) add(i, c);
    const UCharDirection dir = directionOf(c);
    if (dir == U_BLOCK_SEPARATOR) {
      // B has no value of its own; it shares the paragraph separator's.
      if (gc != U_PARAGRAPH_SEPARATOR) add(kParagraphSeparator, c);
    } else {
      for (int i = 0; i < 17; ++i)
        if (kBidi[i] == dir) add(30 + i, c);
    }
    if (!isHangulSyllable(c) && u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_NONE)
      add(kComposed, c);
    add(kAssigned, c);
  }

  // A B character that is not Zp lands in Zp's list out of code-point order.
  auto& zp = ranges[kParagraphSeparator];
  for (std::size_t i = 1; i < zp.size(); ++i)
    for (std::size_t j = i; j > 0 && zp[j].start < zp[j - 1].start; --j) std::swap(zp[j], zp[j - 1]);
  std::vector<Range> merged;
  for (const Range& r : zp) {
    if (!merged.empty() && merged.back().stop + 1 >= r.start)
      merged.back().stop = std::max(merged.back().stop, r.stop);
    else
      merged.push_back(r);
  }
  zp = merged;

  std::vector<std::uint8_t> data;
  for (int cat = 0; cat < kCategoryCount; ++cat) {
    if (ranges[cat].empty()) continue;
    data.push_back(static_cast<std::uint8_t>(cat));
    put32(data, static_cast<std::int32_t>(ranges[cat].size()));
    for (const Range& r : ranges[cat]) {
      put32(data, r.start);
      put32(data, r.stop);
    }
  }
  u_cleanup();

  std::FILE* f = std::fopen(argv[1], "w");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(f,
               "// Generated by nxUnicodeCategoriesGen; do not edit.\n"
               "#include <cstddef>\n#include <cstdint>\n\n"
               "extern const std::uint8_t nxUnicodeCategoriesResourceData[];\n"
               "extern const std::size_t nxUnicodeCategoriesResourceSize;\n\n"
               "const std::uint8_t nxUnicodeCategoriesResourceData[] = {");
  for (std::size_t i = 0; i < data.size(); ++i)
    std::fprintf(f, "%s%u,", i % 20 == 0 ? "\n  " : "", data[i]);
  std::fprintf(f, "\n};\nconst std::size_t nxUnicodeCategoriesResourceSize = %zu;\n", data.size());
  if (std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
