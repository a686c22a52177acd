#include "nxllStreams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>

#include "nxllBde.h"
#include "nxllException.h"
#include "plCodePage.h"

namespace {

using platform::Variant;

std::string hexOf(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
    out += b;
  }
  return out;
}

std::string bytesOf(TnxMemoryStream& s) {
  return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

std::string written(const std::function<void(TnxWriter&)>& aWrite) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aWrite(w);
  }
  return bytesOf(s);
}

std::string hexWritten(const std::function<void(TnxWriter&)>& aWrite) { return hexOf(written(aWrite)); }

std::string unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size() + 1; i += 3) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TnxResult engineCodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// ------------------------------------------------------------ golden bytes

struct Golden {
  const char* name;
  std::function<void(TnxWriter&)> write;
  const char* hex;
};

TEST(nxllStreamsEncoding, EveryValueKindByteForByte) {
  platform::Guid guid{0x04030201, 0x0605, 0x0807, {9, 10, 11, 12, 13, 14, 15, 16}};
  const Golden cases[] = {
      {"int 127", [](TnxWriter& w) { w.WriteInteger(127); }, "02 7F"},
      {"int 128", [](TnxWriter& w) { w.WriteInteger(128); }, "03 80 00"},
      {"int -128", [](TnxWriter& w) { w.WriteInteger(-128); }, "02 80"},
      {"int -129", [](TnxWriter& w) { w.WriteInteger(-129); }, "03 7F FF"},
      {"int 32767", [](TnxWriter& w) { w.WriteInteger(32767); }, "03 FF 7F"},
      {"int 32768", [](TnxWriter& w) { w.WriteInteger(32768); }, "04 00 80 00 00"},
      {"int -32769", [](TnxWriter& w) { w.WriteInteger(-32769); }, "04 FF 7F FF FF"},
      {"int64 2^31", [](TnxWriter& w) { w.WriteInteger(std::int64_t{2147483648}); }, "13 00 00 00 80 00 00 00 00"},
      {"int64 -1", [](TnxWriter& w) { w.WriteInteger(std::int64_t{-1}); }, "02 FF"},
      {"true", [](TnxWriter& w) { w.WriteBoolean(true); }, "09"},
      {"false", [](TnxWriter& w) { w.WriteBoolean(false); }, "08"},
      {"extended 1", [](TnxWriter& w) { w.WriteFloat(platform::Extended::fromDouble(1.0)); },
       "05 00 00 00 00 00 00 00 80 FF 3F"},
      {"extended -2", [](TnxWriter& w) { w.WriteFloat(platform::Extended::fromDouble(-2.0)); },
       "05 00 00 00 00 00 00 00 80 00 C0"},
      {"single 1", [](TnxWriter& w) { w.WriteSingle(1.0f); }, "0F 00 00 80 3F"},
      {"double 1", [](TnxWriter& w) { w.WriteDouble(1.0); }, "15 00 00 00 00 00 00 F0 3F"},
      {"currency 1.5", [](TnxWriter& w) { w.WriteCurrency(platform::Currency::fromRaw(15000)); },
       "10 98 3A 00 00 00 00 00 00"},
      {"date 2.5", [](TnxWriter& w) { w.WriteDate(2.5); }, "11 00 00 00 00 00 00 04 40"},
      {"string abc", [](TnxWriter& w) { w.WriteString(u"abc"); }, "06 03 61 62 63"},
      {"string empty", [](TnxWriter& w) { w.WriteString(u""); }, "12 00 00 00 00"},
      {"string a-acute", [](TnxWriter& w) { w.WriteString(u"a\u00E9"); }, "14 03 00 00 00 61 C3 A9"},
      {"string two CJK", [](TnxWriter& w) { w.WriteString(u"\u65E5\u672C"); }, "12 02 00 00 00 E5 65 2C 67"},
      {"string unpaired surrogate", [](TnxWriter& w) { w.WriteString(u"abcd\xD800"); },
       "12 05 00 00 00 61 00 62 00 63 00 64 00 00 D8"},
      {"string lone e-acute", [](TnxWriter& w) { w.WriteString(u"\u00E9"); }, "12 01 00 00 00 E9 00"},
      {"wide string", [](TnxWriter& w) { w.WriteWideString(u"ab"); }, "06 02 61 62"},
      {"char", [](TnxWriter& w) { w.WriteChar(u'Z'); }, "06 01 5A"},
      {"forced UTF-16", [](TnxWriter& w) { w.WriteWideString_(u"a"); }, "12 01 00 00 00 61 00"},
      {"ident true", [](TnxWriter& w) { w.WriteIdent(u"true"); }, "09"},
      {"ident FALSE", [](TnxWriter& w) { w.WriteIdent(u"FALSE"); }, "08"},
      {"ident null", [](TnxWriter& w) { w.WriteIdent(u"null"); }, "00"},
      {"ident NIL", [](TnxWriter& w) { w.WriteIdent(u"NIL"); }, "0D"},
      {"ident Name", [](TnxWriter& w) { w.WriteIdent(u"Name"); }, "07 04 4E 61 6D 65"},
      {"ident UTF-8", [](TnxWriter& w) { w.WriteIdent(u"\u00C4"); }, "07 02 C3 84"},
      {"list", [](TnxWriter& w) { w.WriteListBegin(); w.WriteListEnd(); }, "01 00"},
      {"ansi string", [](TnxWriter& w) { w.WriteAnsiString("x\x82"); }, "06 02 78 82"},
      {"ansi char", [](TnxWriter& w) { w.WriteAnsiChar('z'); }, "06 01 7A"},
      {"binary", [](TnxWriter& w) { w.WriteBinary("\x01\x02\x03", 3); }, "0A 03 00 00 00 01 02 03"},
      {"bytes empty", [](TnxWriter& w) { w.WriteBytes({}); }, "0A 00 00 00 00"},
      {"guid", [&](TnxWriter& w) { w.WriteGuid(guid); },
       "0A 10 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"},
      {"variant empty", [](TnxWriter& w) { w.WriteVariant(Variant()); }, "0D"},
      {"variant null", [](TnxWriter& w) { w.WriteVariant(Variant::null()); }, "00"},
      {"variant int", [](TnxWriter& w) { w.WriteVariant(Variant(5)); }, "02 05"},
      {"variant byte", [](TnxWriter& w) { w.WriteVariant(Variant::fromByte(200)); }, "03 C8 00"},
      {"variant longword", [](TnxWriter& w) { w.WriteVariant(Variant::fromLongWord(4000000000u)); },
       "13 00 28 6B EE 00 00 00 00"},
      {"variant int64", [](TnxWriter& w) { w.WriteVariant(Variant(-70000LL)); }, "04 90 EE FE FF"},
      {"variant double", [](TnxWriter& w) { w.WriteVariant(Variant(1.0)); }, "05 00 00 00 00 00 00 00 80 FF 3F"},
      {"variant single", [](TnxWriter& w) { w.WriteVariant(Variant(1.0f)); }, "0F 00 00 80 3F"},
      {"variant currency", [](TnxWriter& w) { w.WriteVariant(Variant(platform::Currency::fromRaw(15000))); },
       "10 98 3A 00 00 00 00 00 00"},
      {"variant date", [](TnxWriter& w) { w.WriteVariant(Variant::fromDate(2.5)); }, "11 00 00 00 00 00 00 04 40"},
      {"variant boolean", [](TnxWriter& w) { w.WriteVariant(Variant(true)); }, "09"},
      {"variant unicode string", [](TnxWriter& w) { w.WriteVariant(Variant(nxString(u"ab"))); }, "06 02 61 62"},
      {"variant ole string", [](TnxWriter& w) { w.WriteVariant(Variant::fromOleStr(u"\u00E9x")); },
       "14 03 00 00 00 C3 A9 78"},
      {"variant 8-bit string", [](TnxWriter& w) { w.WriteVariant(Variant(platform::AnsiString{"hi", 0})); },
       "06 02 68 69"},
      {"variant uint64 as text", [](TnxWriter& w) { w.WriteVariant(Variant(18446744073709551615ULL)); },
       "06 14 31 38 34 34 36 37 34 34 30 37 33 37 30 39 35 35 31 36 31 35"},
  };
  for (const Golden& c : cases) EXPECT_EQ(hexWritten(c.write), c.hex) << c.name;
}

TEST(nxllStreamsEncoding, LongTextsUseFourByteLengths) {
  const std::string ascii = written([](TnxWriter& w) { w.WriteString(nxString(300, u'a')); });
  EXPECT_EQ(hexOf(ascii.substr(0, 5)), "0C 2C 01 00 00");
  EXPECT_EQ(ascii.size(), 305u);
  const std::string ansi = written([](TnxWriter& w) { w.WriteAnsiString(std::string(256, 'b')); });
  EXPECT_EQ(hexOf(ansi.substr(0, 5)), "0C 00 01 00 00");
}

TEST(nxllStreamsEncoding, StringListsAsLists) {
  platform::TStringList l;
  l.add(u"a");
  l.add(u"\u00E9");
  EXPECT_EQ(hexWritten([&](TnxWriter& w) { w.WriteStrings(l); }), "01 06 01 61 12 01 00 00 00 E9 00 00");
  EXPECT_EQ(hexWritten([&](TnxWriter& w) { w.WriteWideStrings(l); }),
            "01 12 01 00 00 00 61 00 12 01 00 00 00 E9 00 00");
  platform::TStringList j;
  j.add(u"\u3042");  // HIRAGANA A, 82 A0 in the system code page 932
  EXPECT_EQ(hexWritten([&](TnxWriter& w) { w.WriteAnsiStrings(j); }), "01 06 02 82 A0 00");
}

TEST(nxllStreamsEncoding, UnwritableValuesFailInsteadOfCorrupting) {
  TnxMemoryStream s;
  TnxWriter w(s);
  EXPECT_THROW(w.WriteVariant(Variant::byteArray(std::vector<std::uint8_t>{1, 2})), EWriteError);
  // A one-byte length cannot hold 256: refusing keeps the stream readable.
  EXPECT_THROW(w.WriteIdent(nxString(256, u'n')), EWriteError);
  EXPECT_THROW(w.WriteBinary("", -1), EWriteError);
  w.WriteIdent(nxString(255, u'n'));
  w.FlushBuffer();
  EXPECT_EQ(s.Size(), 257);
}

// ------------------------------------------------------------ round trips

TEST(nxllStreamsReader, RoundTripsEveryKind) {
  platform::Guid guid{0xDEADBEEF, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  platform::TStringList lines;
  lines.add(u"one");
  lines.add(u"\u65E5\u672C");
  const nxString big(5000, u'\u00E9');  // crosses the 4 096-byte buffers
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    for (std::int64_t v : {0LL, 127LL, -128LL, 32767LL, -32769LL, 2147483647LL, -2147483648LL, 1LL << 40})
      w.WriteInteger(v);
    w.WriteBoolean(true);
    w.WriteFloat(platform::Extended::fromDouble(-3.25));
    w.WriteSingle(0.5f);
    w.WriteDouble(1e300);
    w.WriteCurrency(platform::Currency::fromRaw(-123456789));
    w.WriteDate(45000.75);
    for (const char16_t* t : {u"", u"plain", u"a\u00E9", u"\u65E5\u672C", u"\U0001F600x", u"abc\xDC00"})
      w.WriteString(t);
    w.WriteString(big);
    w.WriteIdent(u"SomeName");
    w.WriteIdent(u"nil");
    w.WriteStrings(lines);
    w.WriteBytes(std::vector<std::uint8_t>{0, 255, 7});
    w.WriteGuid(guid);
    w.WriteAnsiChar('\x82');
    w.WriteChar(u'\u00E9');
  }
  s.SetPosition(0);
  TnxReader r(s);
  for (std::int64_t v : {0LL, 127LL, -128LL, 32767LL, -32769LL, 2147483647LL, -2147483648LL, 1LL << 40})
    EXPECT_EQ(r.ReadInt64(), v);
  EXPECT_TRUE(r.ReadBoolean());
  EXPECT_EQ(r.ReadFloat().toDouble(), -3.25);
  EXPECT_EQ(r.ReadSingle(), 0.5f);
  EXPECT_EQ(r.ReadDouble(), 1e300);
  EXPECT_EQ(r.ReadCurrency().value, -123456789);
  EXPECT_EQ(r.ReadDate(), 45000.75);
  for (const char16_t* t : {u"", u"plain", u"a\u00E9", u"\u65E5\u672C", u"\U0001F600x", u"abc\xDC00"})
    EXPECT_EQ(r.ReadString(), t);
  EXPECT_EQ(r.ReadString(), big);
  EXPECT_EQ(r.ReadIdent(), u"SomeName");
  EXPECT_EQ(r.ReadIdent(), u"nil");
  platform::TStringList back;
  back.add(u"stale");
  r.ReadStrings(back);
  EXPECT_TRUE(back.equals(lines));
  EXPECT_EQ(r.ReadBytes(), (std::vector<std::uint8_t>{0, 255, 7}));
  EXPECT_EQ(r.ReadGuid(), guid);
  EXPECT_EQ(r.ReadAnsiChar(), '\x82');
  EXPECT_EQ(r.ReadChar(), u'\u00E9');
  EXPECT_EQ(r.Position(), s.Size());
}

TEST(nxllStreamsReader, AsciiTextComesBackUnchangedUnderTheAnsiCodePage) {
  // ASCII is written as it is and read through the ANSI code page (932), so
  // every one of the 128 values must map to itself there.
  ASSERT_EQ(platform::ansiCodePage(), 932);
  nxString all;
  std::string allBytes;
  for (int c = 0; c < 128; ++c) {
    all += static_cast<char16_t>(c);
    allBytes += static_cast<char>(c);
  }
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteString(u"a\x7F" "b");
    w.WriteString(all);
    for (char16_t c : all) w.WriteChar(c);
    w.WriteAnsiString(allBytes);
  }
  s.SetPosition(0);
  TnxReader r(s);
  EXPECT_EQ(r.ReadString(), u"a\x7F" "b");
  EXPECT_EQ(r.ReadString(), all);
  for (char16_t c : all) EXPECT_EQ(r.ReadChar(), c) << static_cast<int>(c);
  EXPECT_EQ(r.ReadString(), all);
  EXPECT_EQ(r.Position(), s.Size());
}

TEST(nxllStreamsReader, VariantsComeBackWithTheirKinds) {
  const struct {
    Variant in;
    platform::VarType type;
  } cases[] = {
      {Variant(), platform::varEmpty},
      {Variant::null(), platform::varNull},
      {Variant(5), platform::varShortInt},
      {Variant(300), platform::varSmallint},
      {Variant(70000), platform::varInteger},
      {Variant(1LL << 40), platform::varInt64},
      {Variant(2.5), platform::varDouble},
      {Variant(2.5f), platform::varDouble},
      {Variant(platform::Currency::fromRaw(25000)), platform::varCurrency},
      {Variant::fromDate(40000.5), platform::varDate},
      {Variant(true), platform::varBoolean},
      {Variant(nxString(u"\u65E5x")), platform::varUString},
  };
  for (const auto& c : cases) {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      w.WriteVariant(c.in);
    }
    s.SetPosition(0);
    TnxReader r(s);
    const Variant out = r.ReadVariant();
    EXPECT_EQ(out.type(), c.type) << platform::varTypeAsText(c.in.type());
    if (!c.in.isNullOrEmpty()) {
      EXPECT_TRUE(out == c.in) << platform::varTypeAsText(c.in.type());
    }
  }
}

Variant readVariantFrom(const std::string& hex) {
  TnxAnsiStringStream s(unhex(hex));
  TnxReader r(s);
  return r.ReadVariant();
}

TEST(nxllStreamsReader, VariantTagsUseTheirLowSevenBitsAndRefuseOthers) {
  EXPECT_EQ(readVariantFrom("82 05").toInt32(), 5);
  EXPECT_TRUE(readVariantFrom("80").isNull());
  EXPECT_THROW(readVariantFrom("0B 00"), EReadError);  // a set is no variant
  EXPECT_THROW(readVariantFrom("16"), EReadError);     // 22: no such tag
  // A custom variant type that nothing in this system can stream.
  EXPECT_THROW(readVariantFrom("0A 04 00 00 00 06 02 54 58"), EReadError);
}

struct Acceptance {
  const char* hex;
  const char* reader;
  bool ok;
};

bool readsWith(const Acceptance& a) {
  TnxAnsiStringStream s(unhex(a.hex));
  TnxReader r(s);
  const std::string name = a.reader;
  try {
    if (name == "Integer") r.ReadInteger();
    else if (name == "Int64") r.ReadInt64();
    else if (name == "Float") r.ReadFloat();
    else if (name == "Double") r.ReadDouble();
    else if (name == "Single") r.ReadSingle();
    else if (name == "Currency") r.ReadCurrency();
    else if (name == "Date") r.ReadDate();
    else if (name == "Boolean") r.ReadBoolean();
    else if (name == "String") r.ReadString();
    else if (name == "Ident") r.ReadIdent();
    else ADD_FAILURE() << name;
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Invalid property value") << a.hex << " " << name;
    return false;
  }
  return true;
}

TEST(nxllStreamsReader, EachReaderAcceptsItsTags) {
  const Acceptance cases[] = {
      {"13 00 00 00 00 01 00 00 00", "Integer", false},
      {"02 05", "Int64", true},
      {"13 00 00 00 00 01 00 00 00", "Int64", true},
      {"05 00 00 00 00 00 00 00 80 FF 3F", "Float", true},
      {"15 00 00 00 00 00 00 F0 3F", "Float", true},
      {"02 05", "Float", true},
      {"03 05 00", "Float", true},
      {"04 05 00 00 00", "Float", true},
      {"13 00 00 00 00 01 00 00 00", "Float", true},
      {"0F 00 00 80 3F", "Float", false},
      {"05 00 00 00 00 00 00 00 80 FF 3F", "Double", false},
      {"13 00 00 00 00 01 00 00 00", "Double", true},
      {"02 05", "Single", true},
      {"15 00 00 00 00 00 00 F0 3F", "Single", false},
      {"02 05", "Currency", true},
      {"02 05", "Date", true},
      {"02 01", "Boolean", false},
      {"06 01 61", "String", true},
      {"0C 01 00 00 00 61", "String", true},
      {"14 01 00 00 00 61", "String", true},
      {"07 01 61", "String", false},
      {"07 01 61", "Ident", true},
      {"89", "Ident", true},
      {"06 01 61", "Ident", false},
  };
  for (const Acceptance& a : cases) EXPECT_EQ(readsWith(a), a.ok) << a.hex << " " << a.reader;
}

TEST(nxllStreamsReader, ConversionsOfAcceptedTags) {
  TnxAnsiStringStream s(unhex("02 05 02 05 06 00 89 80 8D"));
  TnxReader r(s);
  EXPECT_EQ(r.ReadCurrency().value, 50000);  // whole units
  EXPECT_EQ(r.ReadFloat().toDouble(), 5.0);
  EXPECT_EQ(r.ReadChar(), u'\0');
  EXPECT_EQ(r.ReadIdent(), u"True");
  EXPECT_EQ(r.ReadIdent(), u"Null");
  EXPECT_EQ(r.ReadIdent(), u"nil");
}

TEST(nxllStreamsReader, CheckValueSkipsTheWholeMismatchingValue) {
  // A list holding every skippable kind, a set and a collection, then 7.
  const std::string hex =
      "01 "
      "02 01 03 01 00 04 01 00 00 00 05 00 00 00 00 00 00 00 80 FF 3F "
      "06 02 61 62 07 01 41 08 09 0A 02 00 00 00 01 02 "
      "0B 01 61 02 62 63 00 "
      "0C 01 00 00 00 7A 0D "
      "0E 02 03 01 01 50 02 05 00 01 00 00 "
      "0F 00 00 80 3F 10 00 00 00 00 00 00 00 00 11 00 00 00 00 00 00 00 00 "
      "12 01 00 00 00 61 00 13 00 00 00 00 00 00 00 00 14 01 00 00 00 61 "
      "15 00 00 00 00 00 00 00 00 01 01 00 00 "
      "00 "
      "02 07";
  TnxAnsiStringStream s(unhex(hex));
  TnxReader r(s);
  EXPECT_THROW(r.ReadInteger(), EReadError);  // the list tag is not an integer
  r.SetPosition(0);
  try {
    r.CheckValue(vaInt8);
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Invalid property value");
  }
  EXPECT_EQ(r.ReadInteger(), 7);
}

TEST(nxllStreamsReader, ReadListBeginOnAnotherValueSkipsItAndFails) {
  TnxAnsiStringStream s(unhex("06 02 61 62 01 02 09 00"));
  TnxReader r(s);
  EXPECT_THROW(r.ReadListBegin(), EReadError);
  r.ReadListBegin();
  EXPECT_FALSE(r.EndOfList());
  EXPECT_EQ(r.ReadInteger(), 9);
  EXPECT_TRUE(r.EndOfList());
  r.ReadListEnd();
}

TEST(nxllStreamsReader, BinaryLengthMustMatch) {
  TnxAnsiStringStream s(unhex("0A 02 00 00 00 01 02 0A 10 00 00 00"));
  TnxReader r(s);
  char buffer[3];
  EXPECT_THROW(r.ReadBinary(buffer, 3), EReadError);
  r.SetPosition(7);
  EXPECT_THROW(r.ReadGuid(), EnxBaseException);  // claims 16 bytes, has none
}

TEST(nxllStreamsReader, ReaderLeavesTheStreamAfterTheLastValueRead) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteInteger(1);
    w.WriteInteger(1000);
    w.WriteString(u"rest");
  }
  s.SetPosition(0);
  {
    TnxReader r(s);
    EXPECT_EQ(r.Remaining(), 11);  // the whole stream is buffered by now
    EXPECT_EQ(r.ReadInteger(), 1);
    EXPECT_EQ(r.Position(), 2);
    EXPECT_EQ(r.Remaining(), 9);
  }
  EXPECT_EQ(s.Position(), 2);
}

TEST(nxllStreamsWriter, PositionCountsBufferedBytesAndRewritesInsideTheBuffer) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteInteger(std::int64_t{1} << 40);
    EXPECT_EQ(w.Position(), 9);
    EXPECT_EQ(s.Size(), 0);  // still buffered
    w.SetPosition(1);
    w.Write("\x05\x00\x00\x00\x00\x00\x00\x00", 8);
    w.SetPosition(100);  // outside: flushes first
    EXPECT_EQ(s.Size(), 9);
    w.WriteBoolean(true);
  }
  EXPECT_EQ(s.Size(), 101);
  s.SetPosition(0);
  TnxReader r(s);
  EXPECT_EQ(r.ReadInt64(), 5);
}

TEST(nxllStreamsWriter, RewritingInsideTheBufferKeepsTheBytesAfterIt) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    w.WriteString(u"abcdef");  // 8 bytes, all still buffered
    w.SetPosition(2);
    w.Write("X", 1);
    EXPECT_EQ(w.Position(), 3);
    w.FlushBuffer();
    EXPECT_EQ(s.Size(), 8);
    EXPECT_EQ(w.Position(), 3);
    w.Write("Y", 1);  // goes on where the rewrite stopped
    w.SetPosition(8);
    w.WriteBoolean(true);
  }
  EXPECT_EQ(hexOf(bytesOf(s)), "06 06 58 59 63 64 65 66 09");
}

// ------------------------------------------------- corrupt and truncated

TEST(nxllStreamsReader, LengthsBeyondWhatRemainsFailWithTheStreamCode) {
  const struct {
    const char* hex;
    std::function<void(TnxReader&)> read;
  } cases[] = {
      {"0C FF FF FF FF", [](TnxReader& r) { r.ReadString(); }},
      {"0C 00 00 00 40 61", [](TnxReader& r) { r.ReadString(); }},
      {"14 FF FF FF 7F 61", [](TnxReader& r) { r.ReadString(); }},
      {"12 00 00 00 40 61 00", [](TnxReader& r) { r.ReadString(); }},
      {"12 00 00 00 80", [](TnxReader& r) { r.ReadString(); }},
      {"06 05 61", [](TnxReader& r) { r.ReadString(); }},
      {"07 05 61", [](TnxReader& r) { r.ReadIdent(); }},
      {"0A F6 FF FF FF", [](TnxReader& r) { r.ReadBytes(); }},
      {"0A 00 00 00 7F", [](TnxReader& r) { r.ReadBytes(); }},
      {"0A F6 FF FF FF", [](TnxReader& r) { r.SkipValue(); }},
      {"01 0A F6 FF FF FF 00", [](TnxReader& r) { r.SkipValue(); }},
      {"01 12 FF FF FF 7F 00", [](TnxReader& r) { r.SkipValue(); }},
      {"01 0B 03 61 00", [](TnxReader& r) { r.SkipValue(); }},
      {"0A 10 00 00 80 01", [](TnxReader& r) { r.ReadVariant(); }},
      {"02 01 0A FF FF FF FF", [](TnxReader& r) { r.ReadInt64(); r.ReadListBegin(); }},
      {"17", [](TnxReader& r) { r.SkipValue(); }},
  };
  for (const auto& c : cases) {
    TnxAnsiStringStream s(unhex(c.hex));
    TnxReader r(s);
    EXPECT_EQ(engineCodeOf([&] { c.read(r); }), nxErrIncompatibleStream) << c.hex;
  }
}

TEST(nxllStreamsReader, TruncatedFixedValuesRaiseTheStreamReadError) {
  for (const char* hex : {"04 01 02", "13 00", "05 00 00", "", "01 02 01"}) {
    TnxAnsiStringStream s(unhex(hex));
    TnxReader r(s);
    try {
      r.SkipValue();
      FAIL() << hex;
    } catch (const EReadError& e) {
      EXPECT_STREQ(e.what(), "Stream read error") << hex;
    }
  }
}

TEST(nxllStreamsReader, DeeplyNestedListsNeitherOverflowNorHang) {
  std::string open(200000, '\x01');
  {
    TnxAnsiStringStream s(open);
    TnxReader r(s);
    EXPECT_THROW(r.SkipValue(), EReadError);
  }
  TnxAnsiStringStream s(open + std::string(200000, '\0') + "\x02\x2a");
  TnxReader r(s);
  r.SkipValue();
  EXPECT_EQ(r.ReadInteger(), 42);
}

// Reads everything a stream holds the way descriptor readers do.
void consumeAll(TnxReader& r, TStream& s) {
  while (r.Position() < s.Size()) {
    switch (r.NextValue()) {
      case vaList: {
        platform::TStringList l;
        r.ReadStrings(l);
        break;
      }
      case vaIdent: r.ReadIdent(); break;
      case vaBinary: r.ReadBytes(); break;
      case vaSet:
      case vaCollection: r.SkipValue(); break;
      default: r.ReadVariant();
    }
  }
}

// Random mutations of a valid stream: every outcome is a value or one of the
// documented errors; the sanitizer build checks the memory accesses.
TEST(nxllStreamsReader, MutatedStreamsFailCleanly) {
  platform::TStringList lines;
  lines.add(u"alpha");
  lines.add(u"\u00E9t\u00E9");
  TnxMemoryStream valid;
  {
    TnxWriter w(valid);
    w.WriteInteger(std::int64_t{1} << 33);
    w.WriteInteger(-5);
    w.WriteString(u"plain text");
    w.WriteString(u"\u65E5\u672C\u8A9E");
    w.WriteString(u"caf\u00E9 au lait");
    w.WriteStrings(lines);
    w.WriteIdent(u"Ident");
    w.WriteBytes(std::vector<std::uint8_t>(40, 0xAB));
    w.WriteFloat(platform::Extended::fromDouble(3.5));
    w.WriteCurrency(platform::Currency::fromRaw(77));
    w.WriteDate(123.5);
    w.WriteDouble(-0.25);
    w.WriteSingle(8.0f);
    w.WriteBoolean(false);
    w.WriteVariant(Variant::null());
  }
  const std::string base = bytesOf(valid);
  std::mt19937 rng(20261210);
  int failures = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string m = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < edits; ++k) {
      const std::size_t at = rng() % m.size();
      switch (rng() % 4) {
        case 0: m[at] = static_cast<char>(rng()); break;
        case 1: m[at] ^= static_cast<char>(1u << (rng() % 8)); break;
        case 2: m.insert(at, 1, static_cast<char>(rng() % 24)); break;
        case 3: m.resize(std::max<std::size_t>(1, at)); break;
      }
    }
    TnxAnsiStringStream s(m);
    TnxReader r(s);
    try {
      consumeAll(r, s);
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), nxErrIncompatibleStream);
      ++failures;
    } catch (const EReadError&) {
      ++failures;
    } catch (const platform::RuntimeError&) {  // e.g. an 80-bit value beyond double, a bad currency
      ++failures;
    }
  }
  EXPECT_GT(failures, 100);
}

// ---------------------------------------------------------- memory streams

TEST(nxllMemoryStream, ReservesAndCommitsAsSpecified) {
  TnxMemoryStream s(-1);
  EXPECT_EQ(s.ReserveInitial(), 65536);
  EXPECT_EQ(s.Reserved(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
  s.WriteBuffer("x", 1);
  EXPECT_EQ(s.Reserved(), 65536);
  EXPECT_EQ(s.Capacity(), 4096);

  std::string data(70000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  s.WriteBuffer(data.data(), 70000);
  EXPECT_EQ(s.Reserved(), 131072);
  EXPECT_EQ(s.Capacity(), 73728);
  EXPECT_EQ(bytesOf(s), "x" + data);

  EXPECT_EQ(TnxMemoryStream(0).ReserveInitial(), 524288);
  EXPECT_EQ(TnxMemoryStream(65537).ReserveInitial(), 131072);
}

TEST(nxllMemoryStream, GrowsWithoutLosingDataAndGivesMemoryBackOnlyOnClear) {
  TnxMemoryStream s;
  std::string expected;
  for (int i = 0; i < 800; ++i) {
    std::string chunk(4001, static_cast<char>(i));
    s.WriteBuffer(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    expected += chunk;
  }
  EXPECT_EQ(bytesOf(s), expected);
  EXPECT_GE(s.ReservedRangeCount(), 1u);
  const std::int32_t cap = s.Capacity();
  s.SetCapacity(4096);
  EXPECT_EQ(s.Capacity(), cap);
  s.SetSize(10);
  EXPECT_EQ(s.Capacity(), cap);
  EXPECT_EQ(s.Position(), 10);
  s.SetCapacity(0);
  EXPECT_EQ(s.Size(), 0);
  char b;
  EXPECT_EQ(s.Read(&b, 1), 0);
  s.WriteBuffer(expected.data(), 5000);
  s.Clear();
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.Reserved(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
  EXPECT_EQ(s.Size(), 0);
}

TEST(nxllMemoryStream, ReservationsOfAGigabyteAreRefused) {
  TnxMemoryStream s;
  EXPECT_THROW(s.SetCapacity(0x3FFFFFFF), platform::OutOfMemory);
  EXPECT_THROW(s.SetSize(600 * 1024 * 1024), platform::OutOfMemory);
  EXPECT_EQ(s.Size(), 0);
}

TEST(nxllMemoryStream, ReadsAndWritesAroundTheEdges) {
  TnxMemoryStream s;
  char b[8] = {};
  EXPECT_EQ(s.Read(b, 4), 0);
  EXPECT_EQ(s.Seek(-3, soCurrent), -3);
  EXPECT_EQ(s.Write("ab", 2), 0);  // negative position
  EXPECT_EQ(s.Seek(5, soBeginning), 5);
  EXPECT_EQ(s.Write("ab", 2), 2);  // the gap stays as fresh memory: zero
  EXPECT_EQ(bytesOf(s), std::string("\0\0\0\0\0ab", 7));
  EXPECT_EQ(s.Seek(-2, soEnd), 5);
  EXPECT_EQ(s.Read(b, 8), 2);
  EXPECT_EQ(s.Read(b, 8), 0);
  EXPECT_EQ(s.Write(b, -1), 0);
  EXPECT_THROW(s.ReadBuffer(b, 1), EReadError);
}

TEST(nxllMemoryStream, LoadsAndSavesStreamsAndFiles) {
  TnxAnsiStringStream source("hello world");
  source.SetPosition(4);
  TnxMemoryStream s;
  s.LoadFromStream(source);
  EXPECT_EQ(bytesOf(s), "hello world");

  char name[] = "/tmp/nxllStreamsTestXXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  s.SaveToFile(name);
  TnxMemoryStream back;
  back.LoadFromFile(name);
  std::remove(name);
  EXPECT_EQ(bytesOf(back), "hello world");
  EXPECT_THROW(back.LoadFromFile("/nonexistent/dir/file"), platform::OsError);

  TnxAnsiStringStream target;
  s.SaveToStream(target);
  EXPECT_EQ(target.DataString(), "hello world");
}

TEST(nxllStaticMemoryStream, WritesAreCutToItsFixedSize) {
  char memory[10] = {};
  TnxStaticMemoryStream s(memory, 10);
  s.SetPosition(8);
  EXPECT_EQ(s.Write("12345", 5), 2);
  EXPECT_EQ(s.Position(), 10);
  EXPECT_EQ(std::string(memory + 8, 2), "12");
  s.SetPosition(9);
  EXPECT_THROW(s.WriteBuffer("ab", 2), EWriteError);
  EXPECT_EQ(s.Size(), 10);
}

TEST(nxllAnsiStringStream, SeeksReadsWritesAndResizes) {
  TnxAnsiStringStream s("0123456789");
  EXPECT_EQ(s.Seek(2, soEnd), 8);
  EXPECT_EQ(s.Seek(-5, soBeginning), 0);
  EXPECT_EQ(s.Seek(50, soCurrent), 10);
  s.SetPosition(3);
  EXPECT_EQ(s.ReadString(4), "3456");
  EXPECT_EQ(s.ReadString(100), "789");
  EXPECT_EQ(s.ReadString(-1), "");
  s.WriteString("ab");
  EXPECT_EQ(s.DataString(), "0123456789ab");
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
  EXPECT_EQ(s.DataString(), "0123");
}

}  // namespace
