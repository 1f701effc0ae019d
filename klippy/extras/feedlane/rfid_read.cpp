// RFID_READ: reads the filament tag of a slot. The box's card reader polls while the strand
// is pushed to the outlet, pulled back past the reader and pushed to the outlet again; the
// strand then parks behind the outlet.
#include "klippy/extras/feedhub/at_exit.h"
#include "klippy/extras/feedhub/box_busy.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/tag_reader.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

namespace reports = feedhub::reports;

constexpr double kToOutletMm = 2000;
constexpr double kToOutletSpeedMmS = 80;
constexpr double kToOutletAccelMmS2 = 50;
// Far enough back for the tag on the strand's first centimetres to pass the reader.
constexpr double kPastReaderMm = -700;
constexpr double kPastReaderSpeedMmS = 90;
constexpr double kPastReaderAccelMmS2 = 50;
constexpr double kSettleS = 0.5;

}  // namespace

void BoxExtruderStepper::cmd_SLOT_RFID_READ(klippy::GCodeCommand& /*gcmd*/) {
  read_slot_tag();
}

bool BoxExtruderStepper::read_slot_tag() {
  if (rfid_state_ != 0) return true;
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::TagRead, stepper_num_);
  if (!sensors_.b_endstop_state()) {
    // Another strand holds the outlet path; pushing this one would jam the two.
    errors_.report_error(reports::kOutletOccupied);
    rfid_state_ = 0;
    return true;
  }
  // Checked before anything moves, so that a bad value changes nothing.
  const FeedMove park = checked_tuning(kSlotLoad3);
  const std::string reader_name = feedhub::tag_reader_name(stepper_num_);
  auto* reader = printer_.lookup_object_or_null<feedhub::TagReader>(reader_name);
  if (!reader)
    throw klippy::CommandError("No card reader '" + reader_name + "' for " + stepper_name_ +
                               ": add a [" + reader_name +
                               "] section to the printer configuration.");

  rfid_state_ = 1;
  const feedhub::BoxBusy busy(feedhub_.sensors());
  // The read carries the strand back past its own sensor: neither a spool removed nor one
  // inserted, and no reload of other slots may start meanwhile.
  own_moves_at_sensor_ = true;
  const bool could_load = sensors_.can_load_slot();
  sensors_.set_can_load_slot(false);
  const feedhub::AtExit sensor_followed_again([this, could_load] {
    sensors_.set_can_load_slot(could_load);
    own_moves_at_sensor_ = false;
    follow_sensor_again();
  });
  const klippy::TimerHandle& outlet_watch = sensors_.b_endstop_timer();
  bool reader_started = false;
  bool home_success = false;
  try {
    reader->start_rfid_read({reactor_, feedhub_, stepper_label_, stepper_name_, true});
    reader_started = true;
    reactor_.update_timer(outlet_watch, klippy::Reactor::NOW);
    const feedhub::EndstopList& outlet = b_endstop_.get_endstops();
    progress_.step("pushing the filament past the card reader to the box outlet");
    home_success = do_home(outlet, kToOutletMm, kToOutletSpeedMmS, kToOutletAccelMmS2, false);
    if (home_success) {
      dwell(kSettleS);
      do_move(kPastReaderMm, kPastReaderSpeedMmS, kPastReaderAccelMmS2);
      // Named with the push that follows it: the pull-back is queued, not waited for.
      progress_.step("pulling the filament back past the card reader, then to the box outlet again",
                     queued_moves_end());
      dwell(kSettleS);
    }
    // Back at the outlet in any case, so that the park below starts from a known place.
    home_success = do_home(outlet, kToOutletMm, kToOutletSpeedMmS, kToOutletAccelMmS2, false);
  } catch (...) {
    // The box stays usable: no running reader, no motor left on.
    stop_after_error(outlet_watch);
    rfid_state_ = 0;
    if (reader_started) reader->stop_read();
    throw;
  }
  reactor_.update_timer(outlet_watch, klippy::Reactor::NEVER);
  if (home_success) {
    do_move(park.length_mm, park.speed_mm_s, park.accel_mm_s2);
    progress_.step("parking behind the box outlet", queued_moves_end());
    dwell(kSettleS);
    save_state(SlotState::ParkedInBox);
  } else {
    const feedhub::ErrorReport& report =
        r_endstop_state_ ? reports::kFilamentGone : reports::kTubeBent;
    errors_.report_error(report);
    // Both cases resume at the same step.
    box_state_.set_recorded_step(feedhub::retry_step_for(reports::kTubeBent.code, std::nullopt));
  }
  disable_stepper();
  rfid_state_ = 0;
  reader->stop_read();
  // Said once the strand is parked again, not when the reader caught the tag on the way.
  if (home_success && !reader->read_words().empty())
    activity.succeeded(reader->read_words(), queued_moves_end());
  return home_success;
}

}  // namespace feedlane
