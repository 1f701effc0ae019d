#include "klippy/extras/feedhub/durations.h"

#include <cmath>
#include <cstdio>

namespace feedhub {
namespace {

constexpr double kSecondsPerMinute = 60.0;
constexpr long long kSecondsPerHour = 3600;
// Longer than any box operation; keeps the conversions below in range.
constexpr double kLongestShownS = 1e9;

std::string two_digits(long long value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02lld", value);
  return text;
}

}  // namespace

std::string readable_duration(double seconds) {
  if (!(seconds > 0.0)) seconds = 0.0;  // also NaN
  if (seconds > kLongestShownS) seconds = kLongestShownS;
  // Rounded before the unit is chosen, so that 59.97 s reads "1 min 00 s", not "60.0 s".
  const double tenths = std::round(seconds * 10.0) / 10.0;
  if (tenths < kSecondsPerMinute) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f s", tenths);
    return text;
  }
  const auto whole_seconds = static_cast<long long>(std::llround(seconds));
  if (whole_seconds < kSecondsPerHour)
    return std::to_string(whole_seconds / 60) + " min " + two_digits(whole_seconds % 60) + " s";
  const auto whole_minutes = static_cast<long long>(std::llround(seconds / kSecondsPerMinute));
  return std::to_string(whole_minutes / 60) + " h " + two_digits(whole_minutes % 60) + " min";
}

}  // namespace feedhub
