// Self-inspection: after a start, or on BOX_SELF_INSPECTION, find the slot whose filament is
// still engaged in the extruder path by moving slots a little while the motion monitor
// counts encoder changes, so that last_load_slot tells the truth again.
#include <exception>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/box_busy.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/host/log.h"

namespace feedhub {
namespace {

struct ProbeStep {
  double move_mm;
  double dwell_s;
};

// A probe moves one slot to and fro while the encoder's level changes are counted.
struct Probe {
  double window_s;
  int changes_needed;
  double speed_mm_s;
  double accel_mm_s2;
  std::vector<ProbeStep> steps;
};

// With filament at the extruder the gears hold the strand: small slow strokes, and a single
// change within a long window is enough.
Probe wiggle_probe() {
  return {18, 1, 80, 5, {{-25, 0.5}, {20, 0.5}, {-30, 0.5}, {40, 3}}};
}

// A free strand moves at once; the final dwell is how long the count may still run after
// the moves are queued.
Probe push_pull_probe(double final_dwell_s) {
  return {5, 3, 80, 50, {{50, 0.5}, {-50, final_dwell_s}}};
}

constexpr double kLastSlotFinalDwellS = 3;
constexpr double kSearchFinalDwellS = 5;

// The moves are only queued; switching the motor off waits for the toolhead's timeline,
// which lets the count see them.
bool run_probe(BoxMotion& motion, SlotFeeder& feeder, const Probe& probe) {
  motion.check_motion_state(probe.window_s, probe.changes_needed);
  for (const ProbeStep& step : probe.steps) {
    feeder.do_move(step.move_mm, probe.speed_mm_s, probe.accel_mm_s2);
    feeder.dwell(step.dwell_s);
  }
  feeder.disable_stepper();
  motion.stop_check_motion();
  return motion.has_change();
}

// Holds a flag up for as long as it lives, whichever way the scope is left.
class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = false; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
};

}  // namespace

void FeedHub::register_self_inspection_commands() {
  register_command(
      "BOX_SELF_INSPECTION", [this](klippy::GCodeCommand& gcmd) { cmd_SELF_INSPECTION(gcmd); },
      "Find the slot whose filament is in the extruder path by moving slots a little while "
      "the motion sensor watches, and save it as last_load_slot");
}

void FeedHub::cmd_SELF_INSPECTION(klippy::GCodeCommand& /*gcmd*/) {
  const BoxBusy busy(sensors_);
  ActivityScope activity(*this, Operation::SelfInspection);
  const int slot_count = saved_slot_count(*this, 1);
  auto feeder_of_slot = [&](int slot) -> SlotFeeder& {
    return slot_feeder(printer_, slot, "BOX_SELF_INSPECTION");
  };
  // Only the slot the inspection confirms may push with the extruder afterwards.
  auto desynchronise_all = [&] {
    for (int slot = 0; slot < slot_count; ++slot) feeder_of_slot(slot).slot_sync(false);
  };
  auto confirm = [&](int slot, SlotFeeder* couple) {
    box_state_.set_loaded_slot(slot);
    if (couple) couple->slot_sync(true);
    activity.succeeded("the filament in the extruder path is " + slot_label(slot) + "'s");
  };

  std::optional<int> recouple_slot;
  const std::string last_load_slot = box_state_.loaded_slot_name();
  if (last_load_slot != kNoSlot) {
    SlotFeeder* last = &slot_feeder(printer_, last_load_slot, "BOX_SELF_INSPECTION");
    if (last->stepper_num() < slot_count) {
      if (sensors_.filament_at_extruder_entry()) {
        desynchronise_all();
        const bool moved = run_probe(sensors_.b_motion(), *last, wiggle_probe());
        recouple_slot = last->stepper_num();
        if (moved) return confirm(last->stepper_num(), last);
      } else if (run_probe(sensors_.b_motion(), *last, push_pull_probe(kLastSlotFinalDwellS))) {
        return confirm(last->stepper_num(), nullptr);
      }
    }
  }

  const bool at_extruder = sensors_.filament_at_extruder_entry();
  if (at_extruder) desynchronise_all();
  // The slot probed first is not probed again.
  const std::string probed_already = box_state_.loaded_slot_name();
  for (int slot = 0; slot < slot_count; ++slot) {
    SlotFeeder& feeder = feeder_of_slot(slot);
    if (feeder.r_endstop_state() || feeder.stepper_name() == probed_already) continue;
    const bool moved =
        at_extruder ? run_probe(sensors_.b_motion(), feeder, wiggle_probe())
                    : run_probe(sensors_.b_motion(), feeder, push_pull_probe(kSearchFinalDwellS));
    if (moved) return confirm(slot, at_extruder ? &feeder : nullptr);
  }

  if (recouple_slot) feeder_of_slot(*recouple_slot).slot_sync(true);
  // At start-up, a step still waiting for its retry is worth more than this report's.
  const klippy::Value pending = box_state_.recorded_step();
  if (startup_inspection_running_ && pending.is_string() && !pending.as_string().empty()) {
    black_box_.error_reported(reports::kSelfInspectionFailed, std::nullopt,
                              report_text(reports::kSelfInspectionFailed, std::nullopt));
    send_report(gcode_, reports::kSelfInspectionFailed, std::nullopt);
    black_box_.dump_after_error(reports::kSelfInspectionFailed, std::nullopt);
    errors_.note_error(reports::kSelfInspectionFailed, std::nullopt);
  } else {
    errors_.report_error(reports::kSelfInspectionFailed);
  }
}

double FeedHub::delayed_self_inspection(double eventtime) {
  // Moving slots is only safe while no filament is in the outlet and nothing prints. A print
  // that is still heating leaves the toolhead idle, so its state is asked too.
  if (!sensors_.b_endstop_state()) return klippy::Reactor::NEVER;
  const std::string print_state = print_stats_.state();
  if (print_state == "printing" || print_state == "paused") return klippy::Reactor::NEVER;
  auto* idle_timeout = printer_.lookup_object_or_null<klippy::PrinterObject>("idle_timeout");
  if (idle_timeout) {
    const std::optional<klippy::Value> status = idle_timeout->get_status(eventtime);
    const klippy::Value* printing_time = status ? status->find("printing_time") : nullptr;
    if (printing_time && printing_time->truthy()) return klippy::Reactor::NEVER;
  }
  if (!sensors_.filament_at_extruder_entry()) {
    // With the outlet clear and nothing at the extruder entry no strand can reach into the
    // extruder path: that is the answer, and probing parked strands could not find more.
    if (box_state_.loaded_slot_name() != kNoSlot) box_state_.set_loaded_slot(std::nullopt);
    return klippy::Reactor::NEVER;
  }
  {
    const BoxBusy busy(sensors_);
    FlagGuard running(startup_inspection_running_);
    try {
      const BlackBox::OwnCommands own(black_box_);
      gcode_.run_script("BOX_SELF_INSPECTION");
    } catch (const std::exception& error) {
      // Already shown on the console; a start-up task must not take the reactor down.
      printer_.log().error(std::string("Start-up self-inspection failed: ") + error.what());
    }
  }
  if (tag_reading_waits_for_inspection_) {
    tag_reading_waits_for_inspection_ = false;
    start_up_tag_reading(reactor_.monotonic());
  }
  return klippy::Reactor::NEVER;
}

}  // namespace feedhub
