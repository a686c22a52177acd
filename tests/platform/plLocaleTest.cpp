#include "plErrors.h"
#include "plLocale.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace platform;

namespace {

TEST(PlatformLocale, ConvertDefaultLocale) {
  const std::pair<Lcid, Lcid> cases[] = {
      {LOCALE_NEUTRAL, 1041}, {LOCALE_USER_DEFAULT, 1041}, {LOCALE_SYSTEM_DEFAULT, 1041},
      {0x11, 1041},           {0x09, 1033},               {0x07, 1031},
      {0x04, 2052},           {LOCALE_INVARIANT, 127},    {2057, 2057},
      {0x10407, 0x10407},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(convertDefaultLocale(in), out) << in;
}

TEST(PlatformLocale, IcuNames) {
  const std::pair<Lcid, const char*> cases[] = {
      {1041, "ja_JP"}, {1033, "en_US"}, {2057, "en_GB"}, {1031, "de_DE"}, {1036, "fr_FR"},
      {1042, "ko_KR"}, {2052, "zh_CN"}, {0x10407, "de_DE@collation=phonebook"},
      {0x30404, "zh_TW@collation=zhuyin"}, {LOCALE_INVARIANT, ""}, {LOCALE_SYSTEM_DEFAULT, "ja_JP"},
  };
  for (const auto& [lcid, name] : cases) {
    EXPECT_EQ(localeToIcu(lcid), name) << lcid;
    EXPECT_EQ(localeFromIcu(name), convertDefaultLocale(lcid)) << name;
  }
  EXPECT_EQ(localeFromIcu("xx_YY"), 0u);
  EXPECT_THROW(localeToIcu(0x12345), OsError);
}

TEST(PlatformLocale, EverySystemLocaleMapsBackToItself) {
  const auto all = systemLocales();
  EXPECT_EQ(all.size(), 142u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  for (Lcid id : all) {
    EXPECT_TRUE(isValidLocale(id));
    EXPECT_EQ(localeFromIcu(localeToIcu(id)), id) << id << " " << localeToIcu(id);
  }
  EXPECT_FALSE(isValidLocale(0));
  EXPECT_FALSE(isValidLocale(LOCALE_SYSTEM_DEFAULT));
  EXPECT_FALSE(isValidLocale(0x12345));
}

TEST(PlatformLocale, AnsiCodePageOfLocale) {
  const std::pair<Lcid, std::uint16_t> cases[] = {
      {1041, 932},  {0, 932},     {2052, 936},  {1028, 950},  {3076, 950}, {1042, 949},
      {1033, 1252}, {1031, 1252}, {1029, 1250}, {1049, 1251}, {1032, 1253}, {1055, 1254},
      {1037, 1255}, {1025, 1256}, {1061, 1257}, {1066, 1258}, {1054, 874}, {2074, 1250},
      {3098, 1251}, {1081, 0},    {1079, 0},    {127, 1252},
  };
  for (const auto& [lcid, cp] : cases) EXPECT_EQ(localeAnsiCodePage(lcid), cp) << lcid;
  EXPECT_THROW(localeAnsiCodePage(0x12345), OsError);
}

TEST(PlatformLocale, DisplayNames) {
  EXPECT_EQ(localeLanguageName(1041), u"Japanese (Japan)");
  EXPECT_EQ(localeLanguageName(0x10407), u"German (Germany)");
  EXPECT_EQ(localeSortName(1031), u"Default");
  EXPECT_NE(localeSortName(0x10407), u"Default");
  EXPECT_FALSE(localeSortName(0x10407).empty());
}

}  // namespace
