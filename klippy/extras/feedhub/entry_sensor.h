// The extruder-entry sensor as the box reads it: the host's hall filament width sensor.
// The host learns of it only from the sensor's reports, every half second, each the mean of
// samples over most of that half second; the diameter the host shows is smoothed over
// several reports on top. The box reads each report as it is, which shows the filament
// one report after it arrives instead of two or three.
#pragma once

#include "klippy/host/devices.h"

namespace feedhub {

// Above this diameter (mm) filament counts as present at the extruder entry.
inline constexpr double kFilamentPresentDiameterMm = 0.5;
inline constexpr const char* kHallSensorName = "hall_filament_width_sensor";

// The host's report period and the span of the samples averaged into a report; a report
// reaches the host a little after its last sample.
inline constexpr double kEntryReportPeriodS = 0.5;
inline constexpr double kEntrySampleSpanS = 0.42;
inline constexpr double kEntryReportTransitS = 0.03;
// The longest time from a change at the sensor to a report that shows it: a change just
// after the last sample of one report is seen by the whole next one.
inline constexpr double kEntryReadingDelayS =
    kEntryReportPeriodS + kEntrySampleSpanS + kEntryReportTransitS;

// The host starts the sensor's reports up to 1.5 s after it has configured the MCU, before
// it is ready; until the first report the sensor shows nothing, filament or not.
inline constexpr double kEntryFirstReportS = 1.5 + kEntrySampleSpanS + kEntryReportTransitS;

// False until the sensor's first report has reached the host: its readings start at 0, which
// the calibration maps far below any diameter a sensor reads, with or without filament.
inline bool entry_sensor_reported(const klippy::HallFilamentWidthSensor& hall) {
  constexpr double kNoReportBelowMm = -1.0;
  return hall.latest_reading_mm() > kNoReportBelowMm;
}

inline bool filament_seen(const klippy::HallFilamentWidthSensor& hall) {
  return hall.latest_reading_mm() > kFilamentPresentDiameterMm;
}

}  // namespace feedhub
