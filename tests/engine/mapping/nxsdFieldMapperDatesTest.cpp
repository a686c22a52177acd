#include "nxllBde.h"
#include "nxsdFieldMapperTestSupport.h"
#include "plDateTime.h"
#include "plGuid.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;
// Swedish: short date yyyy-mm-dd, long time hh:nn:ss.
constexpr std::uint32_t kSwedish = 1053;

class DatesTest : public MapperTest {
 protected:
  void SetUp() override {
    MapperTest::SetUp();
    platform::setNowSource([] { return platform::encodeDateTime(2023, 1, 1, 12, 0, 0, 0); });
  }
  void TearDown() override {
    platform::setNowSource(nullptr);
    MapperTest::TearDown();
  }
};

TEST_F(DatesTest, DayNumbersAndMilliseconds) {
  // 2023-01-01 is day 738521 counted from 0001-01-01 = 1.
  checkRows({
      {"Date to DateTime", {nxtDate}, i32(738521), {nxtDateTime}, Fail, 0, f64(63808214400000.0)},
      {"Date to Date", {nxtDate}, i32(738521), {nxtDate}, Fail, 0, i32(738521)},
      {"noon to Date", {nxtDateTime}, f64(63808257600000.0), {nxtDate}, Fail, X, none()},
      {"noon to Date, best fit", {nxtDateTime}, f64(63808257600000.0), {nxtDate}, Best, 0, i32(738521)},
      {"noon to Time", {nxtDateTime}, f64(63808257600000.0), {nxtTime}, Fail, X, none()},
      {"noon to Time, best fit", {nxtDateTime}, f64(63808257600000.0), {nxtTime}, Best, 0, i32(43200000)},
      {"noon to Double", {nxtDateTime}, f64(63808257600000.0), {nxtDouble}, Fail, 0, f64(44927.5)},
      {"midnight to Date", {nxtDateTime}, f64(63808214400000.0), {nxtDate}, Fail, 0, i32(738521)},
      {"midnight to Date, best fit", {nxtDateTime}, f64(63808214400000.0), {nxtDate}, Best, 0, i32(738521)},
      {"midnight to Time", {nxtDateTime}, f64(63808214400000.0), {nxtTime}, Fail, X, none()},
      {"midnight to Time, best fit", {nxtDateTime}, f64(63808214400000.0), {nxtTime}, Best, 0, i32(0)},
      {"13:45:00.001 to Time, best fit", {nxtDateTime}, f64(63808214400000.0 + 49500001), {nxtTime}, Best, 0,
       i32(49500001)},
      {"a time of day alone to Time", {nxtDateTime}, f64(49500000), {nxtTime}, Fail, 0, i32(49500000)},
      {"DateTime to DateTime", {nxtDateTime}, f64(86400000), {nxtDateTime}, Fail, 0, f64(86400000)},
      {"Time to Time", {nxtTime}, i32(49500000), {nxtTime}, Fail, 0, i32(49500000)},
  });
}

TEST_F(DatesTest, TimeToDateAndDateToTimeHaveNoValueUnderBestFit) {
  // Checking: no mapper. Best fit: result 1, so the engine stores the
  // default or NULL instead of a day 0.
  EXPECT_FALSE(mapOnce({nxtTime}, i32(1000), {nxtDate}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtTime}, i32(1000), {nxtDateTime}, NoDesc).found);
  EXPECT_FALSE(mapOnce({nxtDate}, i32(738521), {nxtTime}, Fail).found);
  checkRows({
      {"Time to Date", {nxtTime}, i32(1000), {nxtDate}, Best, nxMapNoValue, none()},
      {"Time to DateTime", {nxtTime}, i32(1000), {nxtDateTime}, Best, nxMapNoValue, none()},
      {"Date to Time", {nxtDate}, i32(738521), {nxtTime}, Best, nxMapNoValue, none()},
  });
}

TEST_F(DatesTest, TextsUseTheTargetsFormats) {
  const F sv19{nxtNullString, 19, 0, 0, kSwedish};
  const F sv10{nxtNullString, 10, 0, 0, kSwedish};
  checkRows({
      {"DateTime in 19", {nxtDateTime}, f64(63808257600000.0), sv19, Fail, 0, nstr("2023-01-01 12:00:00")},
      {"DateTime in 10", {nxtDateTime}, f64(63808257600000.0), sv10, Fail, X, none()},
      {"DateTime in 10, best fit", {nxtDateTime}, f64(63808257600000.0), sv10, Best, 0, nstr("2023-01-01")},
      {"Time hh:nn:ss", {nxtTime}, i32(49500000), {nxtShortString, 10}, Fail, 0, sstr("13:45:00")},
      {"Date yyyy/mm/dd", {nxtDate}, i32(738521), {nxtWideString, 10}, Fail, 0, wstr(u"2023/01/01")},
      {"Date yyyy-mm-dd", {nxtDate}, i32(738521), {nxtShortString, 10, 0, 0, kSwedish}, Fail, 0,
       sstr("2023-01-01")},
      {"Date in 9", {nxtDate}, i32(738521), {nxtShortString, 9}, Fail, X, none()},
  });
}

TEST_F(DatesTest, ByteArrayTargetsNeedEightUnits) {
  EXPECT_FALSE(mapOnce({nxtDate}, i32(738521), {nxtByteArray, 4}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtDateTime}, f64(1), {nxtByteArray, 7}, Best).found);
  checkRows({
      {"Date", {nxtDate}, i32(738521), {nxtByteArray, 8}, Fail, 0,
       Bytes{0xD9, 0x44, 0x0B, 0x00, kFill, kFill, kFill, kFill}},
      {"DateTime", {nxtDateTime}, f64(1.5), {nxtByteArray, 8}, Fail, 0, f64(1.5)},
  });
}

TEST_F(DatesTest, GuidTargets) {
  const platform::Guid g = platform::stringToGuid(std::string_view("{12345678-9ABC-DEF0-1122-334455667788}"));
  const Bytes raw = bytesOf(g);
  const std::string text = "{12345678-9ABC-DEF0-1122-334455667788}";
  EXPECT_FALSE(mapOnce({nxtGuid}, raw, {nxtNullString, 38}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtGuid}, raw, {nxtByteArray, 15}, Fail).found);
  checkRows({
      {"NullString(39)", {nxtGuid}, raw, {nxtNullString, 39}, Fail, 0, nstr(text)},
      {"ShortString(40)", {nxtGuid}, raw, {nxtShortString, 40}, Fail, 0, sstr(text)},
      {"WideString(39)", {nxtGuid}, raw, {nxtWideString, 39}, Best, 0,
       wstr(std::u16string(text.begin(), text.end()))},
      {"ByteArray(16)", {nxtGuid}, raw, {nxtByteArray, 16}, Fail, 0, raw},
  });
  EXPECT_EQ(raw[0], 0x78);  // Data1 little-endian: stored order is kept
}

}  // namespace
