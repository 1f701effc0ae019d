// Loading the box: AUTO_RELOAD_FILAMENT hands a run-out tool to its replacement slot and
// resumes, RELOAD_ALL pulls in every new spool, TIGHTEN_FILAMENT takes up slack.
#include <string>
#include <vector>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/extrusion_mode.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/tag_reader.h"

namespace feedhub {
namespace {

// While it lives, runout handling leaves the box alone (it must not start a second load);
// the flag is always handed back, also when a load fails with an error.
class BoxLoading {
 public:
  explicit BoxLoading(FeedHub& hub) : hub_(hub) { hub_.sensors().set_can_load_slot(false); }
  ~BoxLoading() { hub_.sensors().set_can_load_slot(true); }
  BoxLoading(const BoxLoading&) = delete;
  BoxLoading& operator=(const BoxLoading&) = delete;

 private:
  FeedHub& hub_;
};

// The tail of a run-out strand can lie anywhere between the box outlet and the extruder
// entry; the extruder prints it out in steps until the entry clears.
constexpr double kRunOutTailStepMm = 25.;
constexpr double kRunOutTailLimitMm = 1200.;  // longer than the tube from outlet to entry

bool print_out_run_out_tail(FeedHub& hub, const ExtrusionMode& mode) {
  for (double printed = 0.; hub.sensors().filament_at_extruder_entry();
       printed += kRunOutTailStepMm) {
    if (printed >= kRunOutTailLimitMm) return false;
    hub.gcode().run_script_from_command(with_relative_extrusion(
        "G1 E" + std::to_string(static_cast<int>(kRunOutTailStepMm)) + " F300\nM400", mode));
  }
  return true;
}

// "loaded 1A, 1C", or that there was nothing to load.
std::string reload_summary(const std::vector<int>& loaded) {
  if (loaded.empty()) return "no slot was waiting to be loaded";
  std::string summary = "loaded ";
  for (size_t i = 0; i < loaded.size(); ++i)
    summary += (i == 0 ? "" : ", ") + slot_label(loaded[i]);
  return summary;
}

}  // namespace

void FeedHub::cmd_AUTO_RELOAD_FILAMENT(klippy::GCodeCommand& gcmd) {
  if (!sensors_.b_endstop_state()) return;
  const std::string slot_sync = box_state_.coupled_slot_name();
  if (slot_sync == kNoSlot) return;
  const int next = slot_feeder(printer_, slot_sync, "AUTO_RELOAD_FILAMENT").switch_next_slot();
  if (next == -1) {
    errors_.report_error(reports::kAutoReloadFailed);
    return;
  }
  const std::string temperature = resume_temperature_text();
  gcmd.respond_info(temperature);
  const ExtrusionMode mode = extrusion_mode(gcode_move(), reactor_.monotonic());
  gcode_.run_script_from_command("M109 S" + temperature);
  if (!print_out_run_out_tail(*this, mode)) {
    gcmd.respond_info("The extruder entry still sees the strand that ran out after " +
                      std::to_string(static_cast<int>(kRunOutTailLimitMm)) +
                      " mm were printed out; " + slot_label(next) + " was not loaded.");
    errors_.report_error(reports::kAutoReloadFailed);
    return;
  }
  const std::string slot = "slot" + std::to_string(next);
  gcode_.run_script_from_command(
      with_relative_extrusion("G1 E25 F300\nEXTRUDER_LOAD SLOT=" + slot, mode));
  // A failed load has reported itself and keeps the print paused.
  if (box_state_.coupled_slot_name() != slot) return;
  gcode_.run_script_from_command(
      with_relative_extrusion("G1 E100 F300\nG1 E-1 F1800\nCLEAR_FLUSH", mode) + "\nRESUME");
}

void FeedHub::cmd_RELOAD_ALL(klippy::GCodeCommand& gcmd) {
  if (print_stats_.state() == "printing") return;
  ActivityScope activity(*this, Operation::Reload);
  const long long first = gcmd.get_int("FIRST", 0, {.minval = 0});
  if (!sensors_.b_endstop_state()) {
    // Filament sits at the outlet: push it on a little and let the next load take it.
    SlotFeeder& feeder = slot_feeder(printer_, "slot" + std::to_string(first), "RELOAD_ALL");
    // Only a strand waiting at its sensor: one already parked or in the extruder would be
    // pushed on past where the box believes it is, every time.
    const std::optional<SlotState> state = box_state_.slot_state(feeder.stepper_num());
    if (state != SlotState::AtSensor && state != SlotState::Failed) {
      gcmd.respond_info("RELOAD_ALL: " + slot_label(feeder.stepper_num()) +
                        " is not waiting at its sensor; nothing was pushed");
      return;
    }
    BoxLoading loading(*this);
    feeder.do_move(50, 80, 50);
    feeder.disable_stepper();
    box_state_.set_slot_state(feeder.stepper_num(), SlotState::AtSensor);
    return;
  }
  const bool read_tags = variables_.get_value_by_key("auto_read_rfid", 1) == klippy::Value(1);
  const int slot_count = saved_slot_count(*this, 0);
  BoxLoading loading(*this);
  std::vector<int> loaded;
  // Spools inserted meanwhile mark their slots too: passes repeat until one finds nothing.
  bool loaded_any = true;
  while (loaded_any) {
    loaded_any = false;
    // Taken modulo first: FIRST may be any size without overflowing the sum.
    const int start = slot_count > 0 ? static_cast<int>(first % slot_count) : 0;
    for (int i = start; i < start + slot_count; ++i) {
      const int slot = i % slot_count;
      // Still to load: withdrawn to the slot sensor, or failed last time.
      const std::optional<SlotState> state = box_state_.slot_state(slot);
      if (state != SlotState::AtSensor && state != SlotState::Failed) continue;
      loaded_any = true;
      SlotFeeder& feeder = slot_feeder(printer_, slot, "RELOAD_ALL");
      if (read_tags) {
        const std::string reader_name = tag_reader_name(slot);
        auto* reader = printer_.lookup_object_or_null<TagReader>(reader_name);
        if (!reader)
          throw gcmd.error("RELOAD_ALL: no card reader '" + reader_name + "' for " +
                           feeder.stepper_name() +
                           "; add its section, or save auto_read_rfid 0 "
                           "to load without reading tags.");
        reader->start_rfid_read({reactor_, *this, slot_label(slot), feeder.stepper_name()});
      }
      if (!conclude(*this, feeder.slot_load())) return;
      loaded.push_back(slot);
    }
  }
  // A single slot's own line has said it all.
  if (loaded.size() != 1) activity.succeeded(reload_summary(loaded));
}

void FeedHub::cmd_TIGHTEN_FILAMENT(klippy::GCodeCommand& gcmd) {
  const long long tool = gcmd.get_int("T", -1, {.minval = -1, .maxval = kMaxTools - 1});
  if (tool == -1) return;
  // A tool never mapped uses its own slot, as everywhere else.
  SlotFeeder& feeder = tool_feeder(*this, printer_, tool);
  if (feeder.r_endstop_state()) {
    gcmd.respond_info("TIGHTEN_FILAMENT: T" + std::to_string(tool) + " uses " +
                      slot_label(feeder.stepper_num()) +
                      ", which holds no filament; nothing was moved.");
    return;
  }
  const ActivityScope activity(*this, Operation::Tighten);
  feeder.dwell(0.5);
  feeder.do_move(20, 50, 10);
  feeder.dwell(0.5);
  feeder.do_move(-20, 50, 15);
  feeder.dwell(1);
  // Hands a slot that pushes with the extruder back to it, and switches any other off.
  feeder.disable_stepper();
}

}  // namespace feedhub
