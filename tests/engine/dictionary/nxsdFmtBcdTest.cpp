#include "nxsdFmtBcd.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "plFormatSettings.h"

namespace {

using i128 = __int128;

// Packs a digit string (its length is the precision) with the given scale.
TnxFmtBcd bcd(const std::string& aDigits, int aScale, bool aNegative = false) {
  TnxFmtBcd b{};
  b.Precision = static_cast<std::uint8_t>(aDigits.size());
  b.SignSpecialPlaces = static_cast<std::uint8_t>(aScale | (aNegative ? 0x80 : 0));
  for (std::size_t i = 0; i < aDigits.size(); ++i) {
    const int d = aDigits[i] - '0';
    b.Fraction[i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : d);
  }
  return b;
}

// The digit string of a packed decimal, for comparisons.
std::string digitsOf(const TnxFmtBcd& b) {
  std::string s;
  for (int i = 0; i < b.Precision; ++i) {
    const std::uint8_t byte = b.Fraction[i / 2];
    s.push_back(static_cast<char>('0' + (i % 2 == 0 ? byte >> 4 : byte & 0x0F)));
  }
  return s;
}

int scaleOf(const TnxFmtBcd& b) { return b.SignSpecialPlaces & 0x3F; }
bool negativeOf(const TnxFmtBcd& b) { return (b.SignSpecialPlaces & 0x80) != 0; }

std::string str(const TnxFmtBcd& b, char16_t sep = u'.') { return platform::toUtf8(nxBcdToStr(b, sep)); }

i128 pow10(int n) {
  i128 r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

std::string digitsOfMagnitude(i128 v, int aWidth) {
  std::string s(static_cast<std::size_t>(aWidth), '0');
  for (int i = aWidth - 1; i >= 0 && v > 0; --i, v /= 10) s[static_cast<std::size_t>(i)] = static_cast<char>('0' + static_cast<int>(v % 10));
  return s;
}

TEST(nxsdFmtBcd, NormaliseExamples) {
  struct Case {
    std::string digits;
    int scale, toPrecision, toScale;
    std::string wantDigits;
    TnxBcdLoss wantLoss;
  };
  const Case cases[] = {
      {"12345", 2, 4, 1, "1234", nxBcdLossLow},      // 123.45 -> 123.4
      {"12345", 2, 3, 2, "345", nxBcdLossHigh},      // 123.45 -> 3.45
      {"12345", 2, 7, 4, "1234500", 0},              // 123.45 -> 123.4500
      {"12345", 2, 2, 0, "23", nxBcdLossHigh | nxBcdLossLow},
      {"00100", 2, 1, 0, "1", 0},                    // 001.00 -> 1: only zeros dropped
      {"12345", 2, 64, 63, "345" + std::string(61, '0'), nxBcdLossHigh},  // one integer position left
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits + " -> " + std::to_string(c.toPrecision) + "," + std::to_string(c.toScale));
    TnxFmtBcd out{};
    EXPECT_EQ(nxNormalizeBcd(bcd(c.digits, c.scale, true), out, c.toPrecision, c.toScale), c.wantLoss);
    EXPECT_EQ(out.Precision, c.toPrecision);
    EXPECT_EQ(scaleOf(out), c.toScale);
    EXPECT_TRUE(negativeOf(out));
    EXPECT_EQ(digitsOf(out), c.wantDigits);
  }
  // The special flag travels along; unused nibbles stay zero.
  TnxFmtBcd src = bcd("7", 0);
  src.SignSpecialPlaces |= 0x40;
  TnxFmtBcd out;
  nxNormalizeBcd(src, out, 3, 1);
  EXPECT_EQ(out.SignSpecialPlaces, 0x41);
  EXPECT_EQ(out.Fraction[0], 0x07);
  EXPECT_EQ(out.Fraction[1], 0x00);
  for (int i = 2; i < 32; ++i) EXPECT_EQ(out.Fraction[i], 0) << i;
}

// Random values against scaled long-integer arithmetic.
TEST(nxsdFmtBcd, NormaliseMatchesScaledIntegerArithmetic) {
  std::mt19937_64 rng(12345);
  for (int n = 0; n < 3000; ++n) {
    const int ps = 1 + static_cast<int>(rng() % 18);
    const int ss = static_cast<int>(rng() % (ps + 1));
    const int pt = 1 + static_cast<int>(rng() % 20);
    const int st = static_cast<int>(rng() % (pt + 1));
    const i128 v = static_cast<i128>(rng() % static_cast<std::uint64_t>(pow10(ps)));
    const TnxFmtBcd src = bcd(digitsOfMagnitude(v, ps), ss);
    // Scale to st decimals, truncating toward zero.
    i128 scaled = st >= ss ? v * pow10(st - ss) : v / pow10(ss - st);
    const bool lowLost = st < ss && v % pow10(ss - st) != 0;
    const bool highLost = scaled >= pow10(pt);
    TnxFmtBcd out;
    const TnxBcdLoss loss = nxNormalizeBcd(src, out, pt, st);
    ASSERT_EQ(loss, (highLost ? nxBcdLossHigh : 0) | (lowLost ? nxBcdLossLow : 0))
        << digitsOf(src) << " s" << ss << " -> " << pt << "," << st;
    ASSERT_EQ(digitsOf(out), digitsOfMagnitude(scaled % pow10(pt), pt));
  }
}

TEST(nxsdFmtBcd, NormaliseCheckedAndInvalidShapes) {
  TnxFmtBcd out;
  EXPECT_NO_THROW(nxNormalizeBcdChecked(bcd("12345", 2), 4, 1, out, nxBcdLossLow));
  EXPECT_THROW(nxNormalizeBcdChecked(bcd("12345", 2), 4, 1, out, 0), EnxBcdOverflow);
  EXPECT_THROW(nxNormalizeBcdChecked(bcd("12345", 2), 3, 2, out, nxBcdLossLow), EnxBcdOverflow);
  for (auto [p, s] : {std::pair{0, 0}, {65, 2}, {3, 4}, {5, -1}})
    EXPECT_THROW(nxNormalizeBcd(bcd("1", 0), out, p, s), EnxBcdOverflow) << p << "," << s;
  TnxFmtBcd wild{};
  wild.Precision = 200;  // would read past the 32 digit bytes
  EXPECT_THROW(nxNormalizeBcd(wild, out, 10, 2), EnxBcdOverflow);
}

TEST(nxsdFmtBcd, OverflowIsTheEngineException) {
  TnxFmtBcd out;
  try {
    nxNormalizeBcdChecked(bcd("12345", 2), 4, 1, out, 0);
    FAIL() << "no exception";
  } catch (const EnxBcdException& e) {
    EXPECT_EQ(e.className(), "EnxBcdOverflow");
    EXPECT_EQ(e.ErrorCode(), 9985u);
    EXPECT_EQ(e.Message(), u"DazavAV: BCD overflow [$2701/9985]");
  }
}

TEST(nxsdFmtBcd, CurrencyToBcd) {
  struct Case {
    std::int64_t value;
    int p, s;
    std::string text;
    TnxBcdLoss loss;
  };
  const Case cases[] = {
      {12345678, 6, 2, "1234.56", nxBcdLossLow},
      {12345678, 5, 4, "4.5678", nxBcdLossHigh},
      {12345678, 8, 4, "1234.5678", 0},
      {-15000, 3, 1, "-1.5", 0},
      {0, 4, 2, "0", 0},
      {std::numeric_limits<std::int64_t>::min(), 32, 4, "-922337203685477.5808", 0},
      {std::numeric_limits<std::int64_t>::max(), 19, 4, "922337203685477.5807", 0},
  };
  for (const Case& c : cases) {
    TnxFmtBcd out;
    EXPECT_EQ(nxCurrToBcd(out, c.p, c.s, c.value), c.loss) << c.text;
    EXPECT_EQ(str(out), c.text);
  }
  TnxFmtBcd out;
  EXPECT_THROW(nxCurrToBcdChecked(5, 4, nxBcdLossLow, out, 12345678), EnxBcdOverflow);
  EXPECT_NO_THROW(nxCurrToBcdChecked(6, 2, nxBcdLossLow, out, 12345678));
}

TEST(nxsdFmtBcd, BcdToText) {
  struct Case {
    TnxFmtBcd value;
    std::string text;
  };
  const Case cases[] = {
      {bcd("00000000", 2), "0"},
      {bcd("750", 2, true), "-7.5"},
      {bcd("50", 2), "0.50"},  // no integer positions: zeros kept
      {bcd("100", 0), "100"},
      {bcd("005", 2), "0.05"},
      {bcd("12340", 3), "12.34"},
      {bcd("1000", 3), "1"},
      {bcd("0010", 0), "10"},
      {bcd("0", 1, true), "0"},
      {bcd("000", 0, true), "0"},
      {bcd("00000", 2, true), "0"},
      {bcd("123456789012345678901234567890", 10), "12345678901234567890.123456789"},
  };
  for (const Case& c : cases) EXPECT_EQ(str(c.value), c.text);
  EXPECT_EQ(str(bcd("750", 2), u','), "7,5");
  TnxFmtBcd bad = bcd("1", 0);
  bad.Precision = 0;
  EXPECT_THROW(nxBcdToStr(bad), EBcdOverflowException);
  bad.Precision = 65;
  EXPECT_THROW(nxBcdToStr(bad), EBcdOverflowException);
  EXPECT_THROW(nxBcdToStr(bcd("12", 5)), EBcdOverflowException);
  try {
    nxBcdToStr(bad);
  } catch (const EBcdOverflowException& e) {
    EXPECT_STREQ(e.what(), "BCD overflow");
  }
}

TEST(nxsdFmtBcd, TextToBcd) {
  struct Case {
    std::u16string text;
    std::string digits;
    int scale;
    bool negative;
  };
  const Case accepted[] = {
      {u"-007.5", "075", 1, true},  // one zero after the minus is skipped
      {u"007.5", "75", 1, false},
      {u"", "00000000", 2, false},
      {u"0", "00000000", 2, false},
      {u"00", "0000000000", 2, false},
      {u"-0", "0000000000", 2, false},
      {u"123", "123", 0, false},
      {u".5", "5", 1, false},
      {u"5.", "5", 0, false},
      {u"0.", "0000000000", 2, false},
      {u"-12.340", "12340", 3, true},
      {std::u16string(64, u'9'), std::string(64, '9'), 0, false},
      // Fraction digits beyond 64 characters are cut.
      {u"1234567890." + std::u16string(60, u'1'), "1234567890" + std::string(53, '1'), 53, false},
  };
  for (const Case& c : accepted) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    TnxFmtBcd v{};
    ASSERT_TRUE(nxTryStrToBcd(c.text, v, u'.'));
    EXPECT_EQ(digitsOf(v), c.digits);
    EXPECT_EQ(scaleOf(v), c.scale);
    EXPECT_EQ(negativeOf(v), c.negative);
  }
  const std::u16string refused[] = {
      u"+1", u"1-2", u"0-5", u"1.2.3", u"-", u".", u"-.", u"1e5", u" 1", u"1 ", u"--1", u"12a",
      std::u16string(65, u'9'),                        // 65 integer digits
      std::u16string(64, u'9') + u".5",                // point beyond 64 characters
      u"1." + std::u16string(70, u'0') + u".1",        // second point past the cut
  };
  for (const auto& t : refused) {
    TnxFmtBcd v = bcd("7", 0);
    EXPECT_FALSE(nxTryStrToBcd(t, v, u'.')) << platform::toUtf8(t);
  }
  TnxFmtBcd v;
  EXPECT_TRUE(nxTryStrToBcd(u"1,5", v, u','));
  EXPECT_EQ(str(v), "1.5");
  EXPECT_FALSE(nxTryStrToBcd(u"1.5", v, u','));
  try {
    nxStrToBcd(u"1-2", v);
    ADD_FAILURE();
  } catch (const EBcdException& e) {
    EXPECT_STREQ(e.what(), "1-2 is not a valid BCD value");
  }
}

TEST(nxsdFmtBcd, TextRoundTrip) {
  std::mt19937_64 rng(777);
  for (int n = 0; n < 2000; ++n) {
    const int p = 1 + static_cast<int>(rng() % 30);
    const int s = static_cast<int>(rng() % (p + 1));
    std::string digits;
    for (int i = 0; i < p; ++i) digits.push_back(static_cast<char>('0' + rng() % 10));
    const TnxFmtBcd src = bcd(digits, s, rng() % 2);
    TnxFmtBcd back;
    ASSERT_TRUE(nxTryStrToBcd(nxBcdToStr(src), back, u'.')) << str(src);
    // Same value: both normalised to the source shape are equal.
    TnxFmtBcd a, b;
    nxNormalizeBcd(src, a, 64, s);
    ASSERT_EQ(nxNormalizeBcd(back, b, 64, s), 0) << str(src);
    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    if (zero) continue;  // the sign of zero is not kept
    ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << str(src);
  }
}

TEST(nxsdFmtBcd, BcdToInt64) {
  EXPECT_EQ(nxBcdToInt64(bcd("12345", 2), true), 123);
  EXPECT_EQ(nxBcdToInt64(bcd("12345", 2, true), true), -123);
  EXPECT_EQ(nxBcdToInt64(bcd("5", 1, true), true), 0);
  EXPECT_EQ(nxBcdToInt64(bcd("700", 2, true), false), -7);
  EXPECT_EQ(nxBcdToInt64(bcd("9223372036854775807", 0), false), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(nxBcdToInt64(bcd("9223372036854775808", 0, true), false), std::numeric_limits<std::int64_t>::min());
  EXPECT_THROW(nxBcdToInt64(bcd("12345", 2), false), platform::ConvertError);
  // Only a non-zero fraction digit is refused: zeros after the point are no fraction.
  EXPECT_EQ(nxBcdToInt64(bcd("00", 2), false), 0);
  EXPECT_EQ(nxBcdToInt64(bcd("00", 2, true), false), 0);
  EXPECT_EQ(nxBcdToInt64(bcd("1200", 2, true), false), -12);
  EXPECT_THROW(nxBcdToInt64(bcd("050", 3), false), platform::ConvertError);
  EXPECT_THROW(nxBcdToInt64(bcd("9223372036854775808", 0), false), platform::ConvertError);
  try {
    nxBcdToInt64(bcd("15", 1), false);
  } catch (const platform::ConvertError& e) {
    EXPECT_STREQ(e.what(), "'1.5' is not a valid integer value");
  }
}

TEST(nxsdFmtBcd, FloatRecToBcd) {
  struct Case {
    int exponent;
    const char* digits;
    bool negative;
    int precision, scale;
    std::string text;
  };
  const Case cases[] = {
      {2, "123", false, 3, 1, "12.3"},
      {-2, "123", false, 5, 5, "0.00123"},
      {5, "123", true, 5, 0, "-12300"},
      {3, "123", false, 3, 0, "123"},
      {0, "123", false, 3, 3, "0.123"},
      {0, "", false, 8, 2, "0"},
      {64, "1", false, 64, 0, "1" + std::string(63, '0')},
  };
  for (const Case& c : cases) {
    TnxFloatRec rec{static_cast<std::int16_t>(c.exponent), c.negative, {}};
    std::strcpy(rec.Digits, c.digits);
    TnxFmtBcd out;
    nxFloatRecToBcd(rec, out);
    EXPECT_EQ(out.Precision, c.precision) << c.text;
    EXPECT_EQ(scaleOf(out), c.scale) << c.text;
    EXPECT_EQ(str(out), c.text);
  }
  TnxFloatRec big{65, false, "1"};
  TnxFmtBcd out;
  EXPECT_THROW(nxFloatRecToBcd(big, out), EnxBcdOverflow);
  TnxFloatRec tiny{-60, false, "12345"};
  EXPECT_THROW(nxFloatRecToBcd(tiny, out), EnxBcdOverflow);
  TnxFloatRec inf{0x7FFF, false, "1"};
  EXPECT_THROW(nxFloatRecToBcd(inf, out), EnxBcdOverflow);
}

TEST(nxsdFmtBcd, DoubleConversions) {
  struct Case {
    double value;
    std::string text;  // empty: the general text is in exponent form and refused with it
    const char* refused = "";
  };
  const Case cases[] = {
      {2.5, "2.5"},
      {0.1, "0.1"},
      {-123.456, "-123.456"},
      {1.0 / 3.0, "0.333333333333333"},  // 15 significant digits
      {0.0, "0"},
      {123456789012345.0, "123456789012345"},
      {1e20, "", "1E20 is not a valid BCD value"},
      {1.5e-7, "", "1.5E-7 is not a valid BCD value"},
      {123456789012345678.0, "", "1.23456789012346E17 is not a valid BCD value"},
      {1e70, "", "1E70 is not a valid BCD value"},
      {std::nan(""), "", "NAN is not a valid BCD value"},
      {INFINITY, "", "INF is not a valid BCD value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    if (!c.text.empty()) {
      EXPECT_EQ(str(nxDoubleToBcd(c.value)), c.text);
      continue;
    }
    try {
      nxDoubleToBcd(c.value);
      ADD_FAILURE() << "no exception";
    } catch (const EBcdException& e) {
      EXPECT_STREQ(e.what(), c.refused);
    }
  }
  EXPECT_EQ(nxBcdToDouble(bcd("750", 2, true)), -7.5);
  EXPECT_EQ(nxBcdToDouble(bcd("00000000", 2)), 0.0);
  EXPECT_DOUBLE_EQ(nxBcdToDouble(bcd("123456", 3)), 123.456);
}

TEST(nxsdFmtBcd, TextWithoutSeparatorFollowsTheProcessSettings) {
  struct Restore {
    platform::FormatSettings saved = platform::defaultFormatSettings();
    ~Restore() { platform::setDefaultFormatSettings(saved); }
  } restore;
  platform::FormatSettings comma = restore.saved;
  comma.DecimalSeparator = u',';
  platform::setDefaultFormatSettings(comma);
  TnxFmtBcd v{};
  nxStrToBcd(u"-12,50", v);
  EXPECT_EQ(platform::toUtf8(nxBcdToStr(v)), "-12,5");
  EXPECT_THROW(nxStrToBcd(u"12.5", v), EBcdException);
  // The conversions through text do not depend on it.
  EXPECT_EQ(nxBcdToDouble(v), -12.5);
  EXPECT_EQ(str(nxDoubleToBcd(2.25)), "2.25");
  EXPECT_EQ(nxBcdToInt64(bcd("1200", 2), false), 12);
}

// Expected currency by integer arithmetic: round(v x 10^(4 - s)), ties to even.
bool expectedCurr(i128 v, int s, bool negative, std::int64_t& out) {
  i128 r;
  if (s <= 4) {
    r = v * pow10(4 - s);
  } else {
    const i128 div = pow10(s - 4);
    r = v / div;
    const i128 rem = v % div;
    if (2 * rem > div || (2 * rem == div && (r & 1))) ++r;
  }
  if (negative) r = -r;
  if (r > std::numeric_limits<std::int64_t>::max() || r < std::numeric_limits<std::int64_t>::min()) return false;
  out = static_cast<std::int64_t>(r);
  return true;
}

TEST(nxsdFmtBcd, BcdToCurrencyRoundsHalfEven) {
  struct Case {
    TnxFmtBcd value;
    bool ok;
    std::int64_t want;
  };
  const Case cases[] = {
      {bcd("000005", 5), true, 0},   // 0.00005 -> 0 (tie, even)
      {bcd("000015", 5), true, 2},   // 0.00015 -> 0.0002
      {bcd("000025", 5), true, 2},   // 0.00025 -> 0.0002
      {bcd("000015", 5, true), true, -2},
      {bcd("0000150001", 9), true, 2},
      {bcd("12345", 2), true, 1234500},
      {bcd("9223372036854775807", 4), true, std::numeric_limits<std::int64_t>::max()},
      {bcd("9223372036854775808", 4, true), true, std::numeric_limits<std::int64_t>::min()},
      {bcd("9223372036854775808", 4), false, 0},
      {bcd("92233720368547758075", 5), false, 0},  // tie: ...807.5 goes to even ...808, too big
      {bcd("92233720368547758065", 5), true, std::numeric_limits<std::int64_t>::max() - 1},  // ...806.5 -> ...806
      {bcd("92233720368547758075", 5, true), true, std::numeric_limits<std::int64_t>::min()},
      {bcd(std::string(64, '9'), 0), false, 0},
      {bcd(std::string(64, '9'), 63), true, 100000},  // 9.99... rounds to 10
      {bcd("15", 5), true, 2},                         // scale above precision: 0.00015
      {bcd("25", 6, true), true, 0},                   // -0.000025
  };
  for (const Case& c : cases) {
    std::int64_t got = 12345;
    EXPECT_EQ(nxTryBcdToCurr(c.value, got), c.ok) << str(c.value);
    if (c.ok) {
      EXPECT_EQ(got, c.want) << str(c.value);
    }
  }
  TnxFmtBcd none{};
  std::int64_t got;
  EXPECT_FALSE(nxTryBcdToCurr(none, got));
  TnxFmtBcd notADigit = bcd("12", 0);
  notADigit.Fraction[0] = 0x1A;  // a nibble above 9 is no value
  EXPECT_FALSE(nxTryBcdToCurr(notADigit, got));

  std::mt19937_64 rng(99);
  for (int n = 0; n < 3000; ++n) {
    const int p = 1 + static_cast<int>(rng() % 24);
    const int s = static_cast<int>(rng() % (p + 1));
    std::string digits;
    i128 v = 0;
    for (int i = 0; i < p; ++i) {
      const int d = static_cast<int>(rng() % 10);
      digits.push_back(static_cast<char>('0' + d));
      v = v * 10 + d;
    }
    const bool neg = rng() % 2;
    std::int64_t want = 0, have = 0;
    const bool ok = expectedCurr(v, s, neg, want);
    ASSERT_EQ(nxTryBcdToCurr(bcd(digits, s, neg), have), ok) << digits << " s" << s;
    if (ok) {
      ASSERT_EQ(have, want) << digits << " s" << s;
    }
  }
}

TEST(nxsdFmtBcd, BcdIntoFieldBuffer) {
  std::uint8_t buf[40];
  std::memset(buf, 0xAA, sizeof buf);
  nxBcdToBcdBuffer(bcd("12345", 2), 5, 1, buf, 5);  // 123.45 -> 0123.4, fraction cut allowed
  EXPECT_EQ(buf[0], 5);
  EXPECT_EQ(buf[1], 1);
  EXPECT_EQ(buf[2], 0x01);
  EXPECT_EQ(buf[3], 0x23);
  EXPECT_EQ(buf[4], 0x40);
  EXPECT_EQ(buf[5], 0xAA);  // nothing beyond the field
  EXPECT_THROW(nxBcdToBcdBuffer(bcd("12345", 2), 5, 1, buf, 4), EnxBcdOverflow);
  EXPECT_THROW(nxBcdToBcdBuffer(bcd("12345", 2), 3, 1, buf, 40), EnxBcdOverflow);
  std::memset(buf, 0xAA, sizeof buf);
  nxBcdToBcdBuffer(bcd("1", 0), 64, 0, buf, sizeof buf);  // never more than the record
  EXPECT_EQ(buf[33], 0x01);
  EXPECT_EQ(buf[34], 0xAA);
}

TEST(nxsdFmtBcd, ScaledCurrency) {
  struct Case {
    std::int64_t value;
    int p, s;
    bool ok;
    std::int64_t want;
  };
  const Case cases[] = {
      {1234567, 5, 2, true, 1234500},    // 123.4567 -> 123.45
      {1234567, 4, 2, false, 0},         // 3 integer digits do not fit 2
      {-1234567, 5, 2, true, -1234500},  // truncation toward zero
      {1234567, 3, 0, true, 1230000},
      {1234567, 7, 4, true, 1234567},
      {1234567, 10, 6, true, 1234567},   // scales above 4 keep the value
      {1234567, 2, 2, false, 0},         // no integer digit at all
      {99999990000, 7, 0, true, 99999990000},  // 9999999: 7 digits fit
      {100000000000, 7, 0, false, 0},          // 10000000 needs 8
      {99990000, 4, 0, true, 99990000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " " << c.p << "," << c.s);
    if (c.ok) {
      EXPECT_EQ(nxCurrToScaledCurr(c.value, c.value / 10000.0, c.p, c.s), c.want);
    } else {
      EXPECT_THROW(nxCurrToScaledCurr(c.value, c.value / 10000.0, c.p, c.s), EnxBcdOverflow);
    }
  }
  // Wide precisions are checked on the float value.
  EXPECT_EQ(nxCurrToScaledCurr(50000, 5.0, 20, 4), 50000);
  EXPECT_THROW(nxCurrToScaledCurr(0, 1e16, 20, 4), EnxBcdOverflow);
}

TEST(nxsdFmtBcd, VariantRoundTrip) {
  const TnxFmtBcd v = bcd("012345", 3, true);  // -12.345
  const platform::Variant var = nxBcdToVariant(v);
  EXPECT_EQ(var.type(), platform::varFmtBcd);
  EXPECT_EQ(platform::toUtf8(var.toString()), "-12.345");
  EXPECT_EQ(std::memcmp(&v, &var.fmtBcd(), sizeof v), 0);
  const TnxFmtBcd back = nxVarToBcd(var);
  EXPECT_EQ(std::memcmp(&v, &back, sizeof v), 0);  // unchanged, leading zero kept
}

TEST(nxsdFmtBcd, OtherVariantsConvertToBcd) {
  const struct {
    platform::Variant value;
    std::string text;
  } cases[] = {
      {platform::Variant(42), "42"},
      {platform::Variant(-2.5), "-2.5"},
      {platform::Variant(platform::Currency::fromRaw(12345)), "1.2345"},
      {platform::Variant(u"123.450"), "123.45"},
      {platform::Variant(static_cast<long long>(-9007199254740993LL)), "-9007199254740993"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(str(nxVarToBcd(c.value)), c.text);
  }
  EXPECT_THROW(nxVarToBcd(platform::Variant::null()), platform::VariantTypeError);
  EXPECT_THROW(nxVarToBcd(platform::Variant(u"12a")), platform::ConvertError);
}

TEST(nxsdFmtBcd, VariantIntoFieldBuffer) {
  std::uint8_t buf[8];
  std::memset(buf, 0xAA, sizeof buf);
  nxVariantToBcdBuffer(platform::Variant(u"-123.456"), 5, 2, buf, 5);  // fraction cut to -123.45
  const std::uint8_t want[] = {5, 0x82, 0x12, 0x34, 0x50, 0xAA};
  EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
  EXPECT_THROW(nxVariantToBcdBuffer(platform::Variant(1234), 5, 2, buf, 5), EnxBcdOverflow);
  // Too small a buffer is refused before the value is looked at.
  EXPECT_THROW(nxVariantToBcdBuffer(platform::Variant::null(), 5, 2, buf, 4), EnxBcdOverflow);
}

TEST(nxsdFmtBcd, VariantToScaledCurrency) {
  EXPECT_EQ(nxVarToScaledCurr(platform::Variant(123.4567), 5, 2), 1234500);
  EXPECT_THROW(nxVarToScaledCurr(platform::Variant(123.4567), 4, 2), EnxBcdOverflow);
  EXPECT_EQ(nxVarToScaledCurr(nxBcdToVariant(bcd("1234567", 4)), 7, 4), 1234567);
  EXPECT_EQ(nxVarToScaledCurr(platform::Variant(u"-7.25"), 3, 1), -72000);
  // The variant's own currency conversion overflows before the digit check.
  EXPECT_THROW(nxVarToScaledCurr(platform::Variant(1e16), 20, 4), platform::RangeError);
}

TEST(nxsdFmtBcd, NegationOfBcdVariants) {
  platform::Variant v = nxBcdToVariant(bcd("25", 1));
  nxFmtBcdUnaryOp(v, nxVarOpNegate);
  EXPECT_EQ(v.type(), platform::varFmtBcd);
  EXPECT_EQ(platform::toUtf8(v.toString()), "-2.5");
  nxFmtBcdUnaryOp(v, nxVarOpNegate);
  EXPECT_EQ(platform::toUtf8(v.toString()), "2.5");
  EXPECT_THROW(nxFmtBcdUnaryOp(v, nxVarOpNot), platform::VariantTypeError);
  EXPECT_EQ(platform::toUtf8(v.toString()), "2.5");  // untouched by the refused operation
}

}  // namespace
