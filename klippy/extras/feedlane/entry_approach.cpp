// The push from the box outlet to the extruder-entry sensor. The sensor shows filament up to
// a report period and a half after it arrives, and its endstop a minimum schedule time
// later still: a push at full speed runs tens of mm past it before the motor stops, so the
// push slows down where the entry is expected.
#include "klippy/extras/feedhub/entry_sensor.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

// The tuned push through the tube is the tube and some margin; its last stretch, where the
// entry is expected, is pushed at the final approach's speed.
constexpr double kSlowStretchMm = 100.;
// From the filament reaching the entry sensor to its endstop's level: the sensor's report,
// the mirror timer's next look and the output's schedule.
constexpr double kEntryEndstopDelayS = feedhub::kEntryReadingDelayS +
                                       feedhub::FeedHub::kMirrorPeriodS +
                                       feedhub::BoxOutput::kMinScheduleS;

}  // namespace

void BoxExtruderStepper::wait_for_entry_report() {
  const double now = reactor_.monotonic();
  const double left = next_cmd_time_ + kEntryEndstopDelayS -
                      e_endstop_.endstop().get_mcu().estimated_print_time(now);
  if (left > 0.) reactor_.pause(now + left);
}

bool BoxExtruderStepper::reach_extruder_entry(const FeedMove& through_tube,
                                              const FeedMove& final_approach) {
  // Already there (a load that got there and failed after): nothing to push.
  if (filament_at_extruder_entry()) return true;
  // The endstop still shows what the mirror last left on it, filament as often as not: the
  // push starts once the mirror's first level, scheduled ahead, is on the pin.
  reactor_.pause(reactor_.monotonic() + feedhub::FeedHub::kMirrorPeriodS);
  sync_print_time();
  dwell(sensors_.e_output().last_time() - next_cmd_time_);
  const double fast_mm = through_tube.length_mm - kSlowStretchMm;
  double slow_mm = through_tube.length_mm;
  if (fast_mm > 0.) {
    slow_mm = kSlowStretchMm;
    const bool seen = do_home_repeatedly(e_endstop_, fast_mm, through_tube.speed_mm_s,
                                         through_tube.accel_mm_s2, false);
    if (e_endstop_.scram()) {
      // The motion monitor stopped the push: the filament is not where it seems.
      e_endstop_.set_scram(false);
      return false;
    }
    if (seen) {
      // A tube shorter than the push expects: the filament ran past the sensor at speed.
      // Back behind it, and come again slowly once the sensor no longer sees it.
      const double back_mm = through_tube.speed_mm_s * kEntryEndstopDelayS;
      do_move(-back_mm, through_tube.speed_mm_s, through_tube.accel_mm_s2);
      wait_for_entry_report();
      if (filament_at_extruder_entry()) return false;
      slow_mm = back_mm + kSlowStretchMm;
    }
  }
  const bool seen = do_home_repeatedly(e_endstop_, slow_mm, final_approach.speed_mm_s,
                                       final_approach.accel_mm_s2, false);
  if (e_endstop_.scram()) {
    e_endstop_.set_scram(false);
    return false;
  }
  return seen;
}

}  // namespace feedlane
