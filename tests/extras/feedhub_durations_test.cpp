// Durations in the success lines: the unit follows the length, and rounding never shows a
// unit's upper end ("60.0 s", "60 min").
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "klippy/extras/feedhub/durations.h"

namespace {

using feedhub::readable_duration;

TEST(ReadableDuration, TenthsOfASecondBelowAMinute) {
  EXPECT_EQ(readable_duration(0.0), "0.0 s");
  EXPECT_EQ(readable_duration(0.8), "0.8 s");
  EXPECT_EQ(readable_duration(0.04), "0.0 s");
  EXPECT_EQ(readable_duration(14.24), "14.2 s");
  EXPECT_EQ(readable_duration(14.25), "14.3 s");
  EXPECT_EQ(readable_duration(59.94), "59.9 s");
}

TEST(ReadableDuration, MinutesAndTwoDigitSecondsBelowAnHour) {
  EXPECT_EQ(readable_duration(59.96), "1 min 00 s") << "not 60.0 s";
  EXPECT_EQ(readable_duration(60.0), "1 min 00 s");
  EXPECT_EQ(readable_duration(125.0), "2 min 05 s");
  EXPECT_EQ(readable_duration(125.4), "2 min 05 s");
  EXPECT_EQ(readable_duration(125.6), "2 min 06 s");
  EXPECT_EQ(readable_duration(3599.4), "59 min 59 s");
}

TEST(ReadableDuration, HoursAndTwoDigitMinutesFromAnHour) {
  EXPECT_EQ(readable_duration(3599.6), "1 h 00 min") << "not 60 min 00 s";
  EXPECT_EQ(readable_duration(3600.0), "1 h 00 min");
  EXPECT_EQ(readable_duration(4 * 3600.0), "4 h 00 min");
  EXPECT_EQ(readable_duration(4 * 3600.0 + 29.0), "4 h 00 min");
  EXPECT_EQ(readable_duration(4 * 3600.0 + 31.0), "4 h 01 min");
  EXPECT_EQ(readable_duration(8 * 3600.0 - 20.0), "8 h 00 min");
  EXPECT_EQ(readable_duration(100 * 3600.0 + 59 * 60.0), "100 h 59 min");
}

TEST(ReadableDuration, ClocksThatDisagreeOrBreakReadAsNothingOrTheLongestShown) {
  EXPECT_EQ(readable_duration(-0.3), "0.0 s");
  EXPECT_EQ(readable_duration(std::nan("")), "0.0 s");
  EXPECT_EQ(readable_duration(-std::numeric_limits<double>::infinity()), "0.0 s");
  // Huge lengths must not overflow the conversions to whole units.
  const std::string longest = readable_duration(std::numeric_limits<double>::infinity());
  EXPECT_EQ(longest, readable_duration(1e300));
  EXPECT_NE(longest.find(" h "), std::string::npos) << longest;
}

}  // namespace
