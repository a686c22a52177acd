#include "nxllUtils.h"

#include "nxllBde.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plCodePage.h"
#include "plHandle.h"
#include "plLocale.h"
#include "nxTestWatchdog.h"

namespace {

std::string u8(const nxString& s) { return platform::toUtf8(s); }

struct IdentifierCase {
  nxString name;
  bool allowEmpty;
  bool allowReserved;
  nxString reason;  // empty: valid
};

TEST(NxIdentifier, ValidationTable) {
  const nxString l128(128, u'a');
  const nxString l129(129, u'a');
  nxString l129Star = l129;
  l129Star[60] = u'*';
  const IdentifierCase cases[] = {
      {u"", true, false, u""},
      {u"", false, false, u" Empty string is not allowed."},
      {u" name", false, false, u" Leading/trailing spaces are not allowed."},
      {u"name ", false, false, u" Leading/trailing spaces are not allowed."},
      {l128, false, false, u""},
      {l129, false, false, u" Maximum length of 128 characters has been exceeded."},
      {l129Star, false, false, u" Maximum length of 128 characters has been exceeded."},  // length first
      {u"ab*cd", false, false, u" \"*\" is not a valid character."},
      {u"na\u00e9me", false, false, u" \"\u00e9\" is not a valid character."},
      {u"\u540d\u524d", false, false, u" \"\u540d\" is not a valid character."},
      {u"$sys", false, false, u" Reserved Identifier not allowed."},
      {u"$sys", false, true, u""},
      {u"$bad*", false, true, u" \"*\" is not a valid character."},  // characters before reserved
      {u"Order Lines (2024) {old}~", false, false, u""},
      {u"a b", false, false, u""},
  };
  for (const auto& c : cases) {
    EnxBaseException::nxSetMessage(0, u"");
    const TnxResult r = nxValidateIdentifier(c.name, 15001, c.allowEmpty, c.allowReserved);
    TnxResult code;
    nxString message;
    EnxBaseException::GetLastConvertedException(code, message);
    if (c.reason.empty()) {
      EXPECT_EQ(r, 0u) << u8(c.name);
      EXPECT_EQ(code, 0u) << u8(c.name);
    } else {
      EXPECT_EQ(r, 15001u) << u8(c.name);
      EXPECT_EQ(code, 15001u);
      EXPECT_EQ(u8(message), u8(u"<[!Org!]>" + c.reason)) << u8(c.name);
    }
  }
}

// The pending message rebuilds the exception in the same thread; a marker
// character in the name stays text.
TEST(NxIdentifier, PendingMessageRebuildsTheException) {
  ASSERT_EQ(nxValidateIdentifier(u"a<[!Org!]>", nxErrInvalidName), nxErrInvalidName);
  const EnxBaseException e(nxErrInvalidName);
  const nxString standard = EnxBaseException::ErrorCodeString(nxErrInvalidName);
  ASSERT_FALSE(standard.empty());
  EXPECT_EQ(u8(e.Message()), u8(u"DazavAV: " + standard + u" \"<\" is not a valid character. [$2754/10068]"));
}

TEST(NxIdentifier, ValidCharactersAreExactlyTheListedOnes) {
  EXPECT_EQ(nxValidIdentifierChars.size(), 81u);
  for (char16_t c = 0; c < 0x300; ++c)
    EXPECT_EQ(nxIsValidIdentifierChar(c), nxValidIdentifierChars.find(c) != std::u16string_view::npos) << int(c);
}

TEST(NxIdentifier, MakeValidTable) {
  const std::pair<nxString, nxString> cases[] = {
      {u"  a:b ", u"__a_b_"},
      {u"", u""},
      {u"$sys", u"$sys"},
      {u"a b", u"a b"},
      {u"\u00e4\u00f6", u"__"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(u8(nxMakeValidIdentifier(in)), u8(out));
    if (!in.empty()) {
      EXPECT_EQ(nxValidateIdentifier(nxMakeValidIdentifier(in), 1, false, true), 0u) << u8(in);
    }
  }
  EXPECT_EQ(nxMakeValidIdentifier(nxString(200, u'x')).size(), 128u);
}

TEST(NxHash, ElfHashValues) {
  EXPECT_EQ(nxElfHash("abc", 3), 26499u);
  EXPECT_EQ(nxElfHash("", 0), 0u);
  EXPECT_EQ(nxElfHashStr(u""), 0u);
  EXPECT_EQ(nxElfHashStr(u"abc"), 0x6162630u);   // bytes 61 00 62 00 63 00
  EXPECT_EQ(nxElfHashStr(u"abcd"), 0x6263050u);  // the top nibble folds back in
  // The top four bits never survive, however long the input.
  const std::string longText(1000, '\xFF');
  EXPECT_LT(nxElfHash(longText.data(), longText.size()), 0x10000000u);
}

TEST(NxCompare, ScalarTable) {
  EXPECT_EQ(nxCompareByte(200, 100), 1);
  EXPECT_EQ(nxCompareShortInt(-56, 100), -1);  // the same bits as 200, signed
  EXPECT_EQ(nxCompareWord(0xFFFF, 1), 1);
  EXPECT_EQ(nxCompareSmallInt(-1, 1), -1);
  EXPECT_EQ(nxCompareCardinal(0x80000000u, 1), 1);
  EXPECT_EQ(nxCompareInteger(INT32_MIN, 1), -1);
  EXPECT_EQ(nxCompareInt64(5, 5), 0);
  const std::int64_t a = -2, b = 3;
  EXPECT_EQ(nxCompareInt64Ref(a, b), -1);
  EXPECT_EQ(nxComparePointer(reinterpret_cast<void*>(0x80000000ull), reinterpret_cast<void*>(0x10)), 1);
  EXPECT_EQ(nxCompareDouble(1.5, -2.0), 1);
  EXPECT_EQ(nxCompareDouble(NAN, 1.0), 0);
  EXPECT_EQ(nxCompareSingle(1.0f, NAN), 0);
  EXPECT_EQ(nxMinCardinal(0xFFFFFFFFu, 1), 1u);
  EXPECT_EQ(nxMinInteger(-1, 1), -1);
  EXPECT_EQ(nxMaxInt64(INT64_MIN, 0), 0);
}

TEST(NxCompare, BytesArraysAndShortStrings) {
  using B = std::vector<std::uint8_t>;
  EXPECT_EQ(nxCompareByteArrays(B{1, 2}, B{1, 2, 0}), -1);
  EXPECT_EQ(nxCompareByteArrays(B{}, B{}), 0);
  EXPECT_EQ(nxCompareByteArrays(B{2}, B{1, 9}), 1);
  B big(40000, 7);
  EXPECT_EQ(nxCompareByteArrays(big, B{7}), 1);
  EXPECT_EQ(nxCompareBytes("\x80", "\x01", 1), 1);  // unsigned
  EXPECT_EQ(nxCompareBytes("a", "b", 0), 0);
  EXPECT_TRUE(nxSameByteArrays(B{1, 2}, B{1, 2}));
  EXPECT_FALSE(nxSameByteArrays(B{1, 2}, B{1, 2, 3}));

  const std::uint8_t abc[] = {3, 'a', 'b', 'c'}, abd[] = {3, 'a', 'b', 'd'}, ABD[] = {3, 'A', 'B', 'D'},
                     ab[] = {2, 'a', 'b'};
  EXPECT_EQ(nxCompareShortStr(abc, abd, 2), 0);
  EXPECT_EQ(nxCompareShortStr(abc, abd, 255), -1);
  EXPECT_EQ(nxCompareShortStr(ab, abc, 255), -1);
  EXPECT_EQ(nxCompareShortStr(ab, abc, 2), 0);
  EXPECT_EQ(nxCompareShortStr(abd, ABD, 255), 1);
  EXPECT_EQ(nxCompareShortText(abd, ABD, 255), 0);

  EXPECT_EQ(nxStrLCompW(u"abc", u"abd", 2), 0);
  EXPECT_EQ(nxStrLCompW(u"abc", u"abd", 3), u'c' - u'd');
  EXPECT_EQ(nxStrLCompW(u"ab", u"ab", 10), 0);  // stops after the terminator
  EXPECT_EQ(nxStrLCompW(u"ab", u"abc", 10), -int(u'c'));
  EXPECT_EQ(nxStrLICompW(u"Hello", u"hELLO", 5), 0);
  EXPECT_EQ(nxStrLICompW(u"a", u"_", 1), u'A' - u'_');

  EXPECT_EQ(nxLocaleCompareText(u"abc", u"ABC"), 0);
  EXPECT_NE(nxLocaleCompareStr(u"abc", u"ABC"), 0);
  EXPECT_EQ(nxLocaleCompareStr(u"a", u"b"), -1);
  EXPECT_TRUE(nxStartsWith(u"Table1", u"Tab"));
  EXPECT_FALSE(nxStartsWith(u"Table1", u"tab"));
}

TEST(NxText, RoutinesTable) {
  const char16_t* text = u"hello world";
  EXPECT_EQ(nxStrPosW(text, u"world"), text + 6);
  EXPECT_EQ(nxStrPosW(text, u""), nullptr);
  EXPECT_EQ(nxStrPosW(u"ab", u"abc"), nullptr);
  EXPECT_EQ(nxStrPosW(nullptr, u"a"), nullptr);
  EXPECT_EQ(nxCompareSubStrW(text, u"lo w"), 0);
  EXPECT_EQ(nxCompareSubStrW(text, u"low"), -1);

  char16_t buffer[4] = {9, 9, 9, 9};
  nxStrPLCopy(u"abcdef", buffer, 3);
  EXPECT_EQ(nxString(buffer), u"abc");
  nxStrPLCopy(u"x", nullptr, 3);  // nothing happens

  nxString left, right;
  TnxAnsiCharSet set;
  set.set('=');
  set.set(':');
  nxSplitAtCharSet(u"name:value=x", set, left, right);
  EXPECT_EQ(left, u"name");
  EXPECT_EQ(right, u"value=x");
  nxSplitAtCharSet(u"\u013d=", set, left, right);  // U+013D has the low byte of '='
  EXPECT_EQ(left, u"\u013d");
  EXPECT_EQ(right, u"");
  nxSplitAtCharSet(u"plain", set, left, right);
  EXPECT_EQ(left, u"plain");
  EXPECT_EQ(right, u"");

  char16_t wide[3];
  nxAnsiToWideChars("a\xE9z", wide, 3);
  EXPECT_EQ(nxString(wide, 3), u"a\u00e9z");
  nxSwapByteOrder(wide, 2);
  EXPECT_EQ(wide[0], 0x6100);
  EXPECT_EQ(wide[1], 0xE900);

  nxString lower = u"ABC\u00c4\u0391";
  nxCharLower(lower);
  EXPECT_EQ(lower, u"abc\u00e4\u03b1");
}

TEST(NxText, TrimTrailingLines) {
  const std::pair<nxString, nxString> cases[] = {
      {u"x\r\n  \r\n", u"x"},
      {u"a\r\nb", u"a\r\nb\r\n\r\n"},
      {u"a\rb\n\n \n", u"a\r\nb\r\n\r\n"},
      {u"only   ", u"only"},
      {u"\r\n \r\n", u""},
      {u"", u""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(u8(nxTrimTrailingLines(in)), u8(out)) << u8(in);
}

TEST(NxNames, FileNamesAndSwitches) {
  EXPECT_FALSE(nxIsValidFileName(u""));
  EXPECT_FALSE(nxIsValidFileName(u"a.b"));
  for (char16_t c : nxString(u"\"*/:<>?\\|")) EXPECT_FALSE(nxIsValidFileName(nxString(u"a") + c)) << char(c);
  EXPECT_TRUE(nxIsValidFileName(u"Customers"));
  EXPECT_TRUE(nxIsValidTableName(u"\u9867\u5ba2"));

  const std::vector<nxString> args = {u"/disable30900localefixes", u"-x"};
  EXPECT_TRUE(nxFindCmdLineSwitch(u"Disable30900LocaleFixes", args));
  EXPECT_TRUE(nxFindCmdLineSwitch(u"X", args));
  const std::vector<nxString> other = {u"Disable30900LocaleFixes", u"--Disable30900LocaleFixes", u"/Disable"};
  EXPECT_FALSE(nxFindCmdLineSwitch(u"Disable30900LocaleFixes", other));
  EXPECT_FALSE(nxFindCmdLineSwitch(u"NoSuchSwitchGiven"));  // reads the real command line
}

TEST(NxConvert, IntegersAndTexts) {
  EXPECT_EQ(nxIntToStr(-42), u"-42");
  EXPECT_EQ(nxInt64ToAnsiStr(INT64_MIN).bytes, "-9223372036854775808");
  struct Case {
    const char* text;
    std::int32_t expected;
  };
  for (const Case& c : {Case{"123", 123}, Case{"  -7", -7}, Case{"$1F", 31}, Case{"0x10", 16}, Case{"$FFFFFFFF", -1},
                        Case{"2147483647", INT32_MAX}, Case{"-2147483648", INT32_MIN}, Case{"2147483648", 99},
                        Case{"12a", 99}, Case{"", 99}, Case{"-", 99}, Case{"$", 99}})
    EXPECT_EQ(nxAnsiStrToIntDef(platform::AnsiString{c.text, 0}, 99), c.expected) << c.text;
  platform::Guid g{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 0xAB}};
  EXPECT_EQ(nxGUIDToStr(g), u"{12345678-9ABC-DEF0-0102-0304050607AB}");
  EXPECT_EQ(nxFloatToStr(1.5L, nxInvariantFormatSettings()), u"1.5");
  EXPECT_EQ(nxMakeTimeStamp(5, 7).date, 5);
  EXPECT_EQ(nxMakeTimeStamp(5, 7).time, 7);
}

TEST(NxBits, SetClearFindAndOrStayInsideTheArray) {
  constexpr std::int32_t kBits = 40;  // 5 bytes: the last word is short
  auto bits = std::make_unique<std::uint8_t[]>(5);
  nxSetAllBits(bits.get(), kBits);
  EXPECT_EQ(nxFindFirstClearBit(bits.get(), kBits), -1);
  nxClearBit(bits.get(), 37);
  EXPECT_FALSE(nxIsBitSet(bits.get(), 37));
  EXPECT_EQ(nxFindFirstClearBit(bits.get(), kBits), 37);
  EXPECT_EQ(nxFindFirstClearBit(bits.get(), 37), -1);  // only bits below the count
  nxClearBit(bits.get(), 3);
  EXPECT_EQ(nxFindFirstClearBit(bits.get(), kBits), 3);
  nxClearAllBits(bits.get(), kBits);
  nxSetBit(bits.get(), 0);
  nxSetBit(bits.get(), 33);
  EXPECT_TRUE(nxIsBitSet(bits.get(), 33));
  EXPECT_EQ(nxFindFirstClearBit(bits.get(), kBits), 1);
  // Bit 33 is bit 1 of word 1.
  std::uint32_t words[2] = {0, 0};
  nxOrBits(words, bits.get(), kBits);
  EXPECT_EQ(words[0], 1u);
  EXPECT_EQ(words[1], 2u);
}

TEST(NxOSError, LastErrorBecomesAnExceptionWithItsText) {
  errno = 0;
  const bool opened = open("/nonexistent-dir/x", O_RDONLY) >= 0;
  try {
    nxOSCheck(opened, u"Open table");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.OSError(), TnxWord32(ENOENT));
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.CustomInfos().values(u"Action"), u"Open table");
    EXPECT_STREQ(e.what(), "DazavAV: Operating system error in Open table: No such file or directory ($2/2) "
                           "[$2B27/11047]");
  }
  errno = EACCES;
  try {
    nxRaiseLastOSError(u"Lock", 10241);
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.OSError(), TnxWord32(EACCES));
    EXPECT_EQ(e.ErrorCode(), 10241u);
    EXPECT_STREQ(e.what(), "DazavAV: Operating system error in Lock: Permission denied ($D/13) [$2801/10241]");
  }
  errno = 0;
  EXPECT_EQ(nxRaiseLastOSErrorEx(true, u"x", 0), 0u);
  try {
    nxRaiseLastOSErrorEx(false, u"Flush", 0);
  } catch (const EnxBaseException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: A call to an OS function failed in Flush [$2B27/11047]");
  }
  errno = EIO;
  EXPECT_THROW(nxRaiseLastOSErrorEx(true, u"x", 0), EnxSilentAbort);
  EXPECT_EQ(u8(nxOSErrorText(0, {}, u"")), "A call to an OS function failed.");
  EXPECT_TRUE(nxOSCheck(true, u"x"));
}

TEST(NxHandles, CloseAndNilClosesOnceAndSignalsEvents) {
  for (int none : {0, -1}) {
    int h = none;
    nxCloseHandleAndNil(h);
    EXPECT_EQ(h, 0);
  }
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GT(fd, 0);
  int copy = fd;
  nxCloseHandleAndNil(fd);
  EXPECT_EQ(fd, 0);
  EXPECT_EQ(fcntl(copy, F_GETFD), -1);  // closed
  nxCloseHandleAndNil(fd);              // the cleared variable closes nothing again

  int event = platform::createEventHandle();
  int watcher = platform::duplicateHandle(event);
  nxSignalCloseHandleAndNil(event);
  EXPECT_EQ(event, 0);
  EXPECT_EQ(platform::takeEventSignals(watcher), 1u);
  platform::closeHandle(watcher);

  int stale = 1000000;  // not an open descriptor: the failure is reported
  EXPECT_THROW(nxCloseHandleAndNil(stale), platform::OsError);
  EXPECT_EQ(nxCallDestroyHook(nullptr), nxE_NOTIMPL);
}

TEST(NxFiles, IdentityEqualForHardLinksAndDifferentForOtherFiles) {
  char dir[] = "/tmp/nxUtilsTestXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string a = std::string(dir) + "/a", b = std::string(dir) + "/b", l = std::string(dir) + "/l";
  const int fa = open(a.c_str(), O_CREAT | O_RDWR, 0600);
  const int fb = open(b.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_EQ(link(a.c_str(), l.c_str()), 0);
  const int fl = open(l.c_str(), O_RDONLY);
  TnxFileIdentity ia, ib, il;
  EXPECT_TRUE(nxGetFileIdentity(fa, ia));
  EXPECT_TRUE(nxGetFileIdentity(fb, ib));
  EXPECT_TRUE(nxGetFileIdentity(fl, il));
  EXPECT_EQ(ia, il);
  EXPECT_NE(ia, ib);
  EXPECT_FALSE(nxGetFileIdentity(-1, ia));
  std::uint8_t objectId[64];
  objectId[5] = 7;
  EXPECT_FALSE(nxGetFileObjectID(fa, objectId));
  EXPECT_EQ(objectId[5], 0);
  for (int fd : {fa, fb, fl}) close(fd);
  for (const auto& p : {a, b, l}) unlink(p.c_str());
  rmdir(dir);
}

TEST(NxCatalogues, LocalesAndCodePagesByNameAndId) {
  const auto& locales = nxGetLocaleList();
  ASSERT_GT(locales.Count(), 0);
  // Every entry is found again by its name and by its id (names are unique).
  for (std::int32_t i = 0; i < locales.Count(); ++i) {
    EXPECT_EQ(nxLocaleFromName(locales.Names(i)), locales.Ids(i)) << u8(locales.Names(i));
    EXPECT_FALSE(locales.Names(i).empty());
  }
  if (platform::isValidLocale(1041)) {
    EXPECT_EQ(nxLocaleToName(1041), u"Japanese XJIS");
    EXPECT_EQ(nxLocaleFromName(u"japanese xjis"), 1041);
    EXPECT_TRUE(nxIsValidLocale(1041));
  }
  EXPECT_EQ(nxLocaleToName(0x7FFF0), u"<Unknown>");
  EXPECT_EQ(nxLocaleFromName(u"No Such Locale"), -1);
  EXPECT_FALSE(nxIsValidLocale(0x7FFF0));

  EXPECT_EQ(nxCodePageNameFromInfo(u"932   (ANSI/OEM - Japanese Shift-JIS)"), u"ANSI/OEM - Japanese Shift-JIS");
  EXPECT_EQ(nxCodePageNameFromInfo(u"1200  (Unicode"), u"Unicode");
  EXPECT_EQ(nxCodePageNameFromInfo(u"20127"), u"20127");
  if (platform::isValidCodePage(932)) {
    const nxString name = nxCodePageToName(932);
    EXPECT_NE(name, u"<Unknown>");
    EXPECT_EQ(nxCodePageFromName(name), 932);
    EXPECT_TRUE(nxIsValidCodePage(932));
  }
  EXPECT_EQ(nxCodePageToName(4), u"<Unknown>");
  EXPECT_EQ(nxCodePageFromName(u"no such code page"), -1);

  TNLSVersionInfoEx info;
  nxGetNLSVersionInfo(1041, info);
  EXPECT_EQ(info.dwEffectiveId, 1041u);
  EXPECT_EQ(info.dwNLSVersionInfoSize, 32u);
  EXPECT_NE(info.dwNLSVersion, 0u);
  nxGetNLSVersionInfo(0x7FFF0, info);
  EXPECT_EQ(info.dwEffectiveId, 0u);
  EXPECT_EQ(nxGetThreadAnsiCodePage(), 932);
}

// Every client reader of the code page (field mappers, filter descriptors)
// follows a change of the process code page at once, on any thread.
TEST(NxCatalogues, ThreadAnsiCodePageFollowsTheProcessCodePage) {
  nxtest::Watchdog watchdog;
  const std::uint16_t saved = platform::ansiCodePage();
  platform::setAnsiCodePage(1252);
  const std::int32_t here = nxGetThreadAnsiCodePage();
  std::int32_t there = 0;
  std::thread([&there] { there = nxGetThreadAnsiCodePage(); }).join();
  platform::setAnsiCodePage(saved);
  EXPECT_EQ(here, 1252);
  EXPECT_EQ(there, 1252);
  EXPECT_EQ(nxGetThreadAnsiCodePage(), saved);
}

TEST(NxCatalogues, NameListKeepsTheFirstOfEqualNames) {
  TnxNameIdList list;
  list.Add(u"beta", 2);
  list.Add(u"Alpha", 1);
  list.Add(u"ALPHA", 3);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Names(0), u"Alpha");
  EXPECT_EQ(list.Ids(list.IndexOfName(u"alpha")), 1);
  EXPECT_EQ(list.IndexOfId(2), 1);
  EXPECT_EQ(list.IndexOfName(u"gamma"), -1);
}

TEST(NxMisc, MemoryStatusAndStringArrays) {
  TnxMemoryStatusEx status{};
  EXPECT_TRUE(nxGlobalMemoryStatusEx(status));
  EXPECT_EQ(status.dwLength, 64u);
  EXPECT_GT(status.ullTotalPhys, 0u);
  EXPECT_LE(status.ullAvailPhys, status.ullTotalPhys);
  EXPECT_LE(status.dwMemoryLoad, 100u);

  TnxUnicodeStrings a;
  nxUnicodeStringsAssign(u"", a);
  EXPECT_TRUE(a.empty());
  nxUnicodeStringsAssign(u"x", a);
  nxUnicodeStringsAppend(u"y", a);
  nxUnicodeStringsAppend(u"z", a);
  EXPECT_EQ(nxUnicodeStringsExtract(a, 1), u"y");
  EXPECT_EQ(a, (TnxUnicodeStrings{u"x", u"z"}));
  EXPECT_THROW(nxUnicodeStringsExtract(a, 2), platform::RangeError);
  platform::TStringList strings;
  strings.add(u"old");
  int changes = 0;
  strings.onChange = [&](platform::TStringList&) { ++changes; };
  nxUnicodeStringsToStrings(a, strings);
  EXPECT_EQ(changes, 1);
  TnxUnicodeStrings back;
  nxStringsToArray(strings, back);
  EXPECT_EQ(back, a);

  auto v = platform::Variant::createArray(2, 6, platform::varVariant);
  EXPECT_EQ(nxVarArrayLength(v), 5);
}

}  // namespace
