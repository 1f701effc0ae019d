// Box heaters: warming the boxes that feed a print, and timed drying that turns each slot's
// filament over now and then so that it does not set in one position.
#include <algorithm>
#include <exception>
#include <sstream>

#include "klippy/extras/feedhub/box_heating.h"
#include "klippy/extras/feedhub/durations.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/gcode_lock.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/host/errors.h"

namespace feedhub {
namespace {

constexpr double kTurnOverPeriodS = 300.0;
constexpr double kSecondsPerHour = 60.0 * 60.0;
constexpr double kDefaultDryingHours = 8;
// Spools dry in hours, not days; a longer END_TIME is a typing error.
constexpr double kMaxDryingHours = 72;
// A turn-over moves each strand back this far and forward again, slot after slot.
constexpr double kTurnOverMm = 50;
constexpr double kTurnOverSpeedMmS = 80;
constexpr double kTurnOverAccelMmS2 = 50;
constexpr double kPauseBetweenSlotsS = 5.0;

bool print_running(const std::string& print_state) {
  return print_state == "printing" || print_state == "paused";
}

// False once something else (TURN_OFF_HEATERS at a print's end, a user's
// SET_HEATER_TEMPERATURE) switched the box's heater off; true for a box without a heater
// object, whose drying only turns the strands.
bool heater_still_on(FeedHub& hub, int box, double eventtime) {
  klippy::PrinterObject* heater = hub.heating().box_heater(box);
  if (!heater) return true;
  const std::optional<klippy::Value> status = heater->get_status(eventtime);
  const klippy::Value* target = status ? status->find("target") : nullptr;
  return !target || !target->is_number() || target->as_float() > 0;
}

std::string heater_target_text(double target_c) {
  std::ostringstream text;
  text << target_c;
  return text.str();
}

std::string heater_command(int box, double target_c) {
  std::ostringstream command;
  command << "SET_HEATER_TEMPERATURE HEATER=heater_box" << box << " TARGET=" << target_c;
  return command.str();
}

// "1B (PLA) and 1A, 1C, which carry no description and count as PLA (...)": the slots whose
// filament caps a box's heat, and what they count as.
std::string limiting_filaments(FeedHub& hub, const std::vector<int>& slots) {
  const auto& names = hub.heating().filament_names(true);
  auto name_of = [&](const klippy::Value& code) {
    const auto number = filament_number(code);
    const auto it = number ? names.find(*number) : names.end();
    return it != names.end() && !it->second.empty() ? it->second : "filament " + code.str();
  };
  std::string described, undescribed;
  int undescribed_count = 0;
  for (int slot : slots) {
    const klippy::Value code =
        hub.variables().get_value_by_key("filament_" + slot_name(slot), klippy::Value());
    if (code.is_none()) {
      undescribed += (undescribed.empty() ? "" : ", ") + slot_label(slot);
      ++undescribed_count;
    } else {
      described += (described.empty() ? "" : ", ") + slot_label(slot) + " (" + name_of(code) + ")";
    }
  }
  if (undescribed.empty()) return described;
  // A spool nobody described counts as filament 1.
  return described + (described.empty() ? "" : " and ") + undescribed +
         (undescribed_count > 1 ? ", which carry" : ", which carries") +
         " no description and count" + (undescribed_count > 1 ? "" : "s") + " as " +
         name_of(klippy::Value(1)) + " (describe " +
         (undescribed_count > 1 ? "them with BOX_SET_SLOT or read their tags"
                                : "it with BOX_SET_SLOT or read its tag") +
         " with RFID_READ)";
}
}  // namespace

void FeedHub::register_heating_commands() {
  register_command(
      "BOX_TEMP_SET", [this](klippy::GCodeCommand& gcmd) { set_box_temp(gcmd); },
      "Warm each box for a print to the lowest temperature its tools ask for, at most its "
      "filaments' box_max_temp: BOX_TEMP_SET VT<tool 0-15>=<C> ... (default -1: tool unused)");
  register_command(
      "DISABLE_BOX_HEATER", [this](klippy::GCodeCommand& gcmd) { cmd_disable_box_heater(gcmd); },
      "Switch off the box heaters that BOX_TEMP_SET switched on");
  register_command(
      "ENABLE_BOX_DRY", [this](klippy::GCodeCommand& gcmd) { cmd_ENABLE_BOX_DRY(gcmd); },
      "Dry a box's spools, not during a print: heat to TEMP for END_TIME hours, turning each "
      "slot's filament over every 5 minutes: ENABLE_BOX_DRY BOX=<1-4> TEMP=<C> "
      "[END_TIME=<hours, default 8>]");
  register_command(
      "DISABLE_BOX_DRY", [this](klippy::GCodeCommand& gcmd) { cmd_DISABLE_BOX_DRY(gcmd); },
      "Stop drying a box and switch its heater off: DISABLE_BOX_DRY [BOX=<1-4, default 1>]");
}

void FeedHub::set_box_temp(klippy::GCodeCommand& gcmd) {
  std::array<long long, kMaxTools> wanted_c{};
  for (std::size_t tool = 0; tool < wanted_c.size(); ++tool)
    wanted_c[tool] = gcmd.get_int("VT" + std::to_string(tool), -1);

  const int box_count = saved_box_count(*this, 0);
  // Per box: the lowest box limit of its loaded filaments, and the target chosen so far.
  struct BoxTarget {
    long long limit_c = -1;
    long long set_c = -1;
    long long lowest_wanted_c = -1;
    std::vector<std::pair<int, long long>> slot_limits_c;
  };
  std::map<int, BoxTarget> targets;
  for (int box = 0; box < box_count; ++box) {
    BoxTarget& target = targets[box];
    for (int j = 0; j < kSlotsPerBox; ++j) {
      const std::string slot = slot_name(slot_of_box(box, j));
      if (slot_feeder(printer_, slot, "BOX_TEMP_SET").r_endstop_state()) continue;
      std::optional<TempRange> range = heating_.get_box_temp_by_slot(slot);
      if (!range) {
        throw gcmd.error("No box temperature for the filament in " + slot +
                         "; set its filament type or correct the filament table");
      }
      target.limit_c = target.limit_c == -1 ? range->max_temp
                                            : std::min<long long>(target.limit_c, range->max_temp);
      target.slot_limits_c.emplace_back(slot_of_box(box, j), range->max_temp);
    }
  }

  for (int tool = 0; tool < kMaxTools; ++tool) {
    const long long want_c = wanted_c[static_cast<std::size_t>(tool)];
    if (want_c == -1) continue;
    const std::string slot = slot_of_tool(*this, tool).str();
    auto& feeder = slot_feeder(printer_, slot, "BOX_TEMP_SET");
    BoxTarget& target = targets[box_of_slot(feeder.stepper_num())];
    if (target.lowest_wanted_c == -1 || want_c < target.lowest_wanted_c)
      target.lowest_wanted_c = want_c;
    if (target.set_c == -1) {
      target.set_c = want_c >= target.limit_c ? target.limit_c : want_c;
    } else if (want_c < target.set_c) {
      target.set_c = want_c;
    }
  }

  for (int box = 0; box < box_count; ++box) {
    const long long set_c = targets[box].set_c;
    if (set_c <= 0) continue;
    end_drying_taken_over(box + 1, "BOX_TEMP_SET");
    heating_.set_heats_for_print(box + 1);
    gcode_.run_script_from_command(heater_command(box + 1, static_cast<double>(set_c)));
    const BoxTarget& target = targets[box];
    if (target.lowest_wanted_c > set_c) {
      std::vector<int> limiting;
      for (const auto& [slot, limit_c] : target.slot_limits_c)
        if (limit_c == set_c) limiting.push_back(slot);
      gcmd.respond_info("Box " + std::to_string(box + 1) + " heats to " + std::to_string(set_c) +
                        " C, not " + std::to_string(target.lowest_wanted_c) +
                        " C: the filament table's box_max_temp allows no more for " +
                        limiting_filaments(*this, limiting));
    }
  }
}

void FeedHub::end_drying_taken_over(int box, const std::string& command) {
  if (!heating_.end_drying(box)) return;
  set_box_drying_state(box, false);
  gcode_.respond_info("Drying of box " + std::to_string(box) + " ended early: " + command +
                      " took its heater over. Start it again with ENABLE_BOX_DRY once the "
                      "print is over.");
}

void FeedHub::cmd_disable_box_heater(klippy::GCodeCommand& /*gcmd*/) {
  const int box_count = saved_box_count(*this, 0);
  for (int box = 1; box <= box_count && box <= kMaxBoxCount; ++box) {
    if (heating_.heats_for_print(box)) gcode_.run_script_from_command(heater_command(box, 0));
  }
}

void FeedHub::cmd_ENABLE_BOX_DRY(klippy::GCodeCommand& gcmd) {
  // Turning the strands over would stall the print and pull its filament off the extruder.
  if (print_running(print_stats_.state()))
    throw gcmd.error(
        "ENABLE_BOX_DRY: a print is running or paused; start drying once it has "
        "ended");
  const int box = static_cast<int>(gcmd.get_int("BOX", 0, {.minval = 0, .maxval = kMaxBoxCount}));
  const long long box_count = saved_box_count(*this, 1);
  const double end_time_h = gcmd.get_float("END_TIME", kDefaultDryingHours);
  const double temp_c = gcmd.get_float("TEMP", 0);
  if (box < 1 || box > box_count) {
    gcmd.respond_raw("!!Invalid BOX number. Available: 1-" + std::to_string(box_count));
    return;
  }
  // A command error, so that a macro that asked for the drying stops too.
  if (end_time_h <= 0 || end_time_h > kMaxDryingHours || temp_c <= 0)
    throw klippy::CommandError(
        "Parameter setting error, please reset.\nENABLE_BOX_DRY needs TEMP above 0 (degrees) "
        "and END_TIME above 0 and at most " +
        std::to_string(static_cast<int>(kMaxDryingHours)) + " (hours, default 8)");
  // The heater is set first: a TEMP it refuses leaves a drying that runs as it was.
  try {
    gcode_.run_script_from_command(heater_command(box, temp_c));
  } catch (const klippy::CommandError& e) {
    throw gcmd.error("Drying of box " + std::to_string(box) + " not started: " + e.what() +
                     ". Choose a TEMP the box heater accepts");
  }
  const double duration_s = end_time_h * kSecondsPerHour;
  if (heating_.end_drying(box)) set_box_drying_state(box, false);
  set_box_drying_state(box, true);
  const double start = reactor_.monotonic();
  BoxDrying& drying = heating_.start_drying(box);
  drying.start_time = start;
  drying.duration_s = duration_s;
  drying.timer = ScopedTimer(
      reactor_,
      [this, box, start, duration_s](double eventtime) {
        return heating_handler(eventtime, box, start, duration_s);
      },
      start + kTurnOverPeriodS);
  gcmd.respond_info("BOX_DRY started for BOX " + std::to_string(box));
  // The line above is what front ends wait for; this one is for the person at the console.
  gcmd.respond_info("Drying box " + std::to_string(box) + " at " + heater_target_text(temp_c) +
                    " C for " + readable_duration(duration_s) +
                    ", turning its filament over every " +
                    std::to_string(static_cast<int>(kTurnOverPeriodS / 60)) +
                    " min: DISABLE_BOX_DRY BOX=" + std::to_string(box) + " stops it.");
}

void FeedHub::cmd_DISABLE_BOX_DRY(klippy::GCodeCommand& gcmd) {
  const int box = static_cast<int>(gcmd.get_int("BOX", 1, {.minval = 1, .maxval = kMaxBoxCount}));
  if (!heating_.end_drying(box)) {
    gcmd.respond_info("No active heating for BOX " + std::to_string(box));
    return;
  }
  set_box_drying_state(box, false);
  gcmd.respond_info("DISABLE_BOX_DRY for BOX " + std::to_string(box));
  gcode_.run_script_from_command(heater_command(box, 0));
}

double FeedHub::heating_handler(double eventtime, int box, double start_time, double duration_s) {
  // A drying stopped or restarted while this callback waited is no longer this timer's.
  auto is_current = [this, box, start_time] { return heating_.drying_since(box, start_time); };
  // A drying that does not heat has not dried anything: it ends and says so.
  if (!heater_still_on(*this, box, eventtime)) {
    set_box_drying_state(box, false);
    heating_.end_drying(box);
    gcode_.respond_info("Drying of box " + std::to_string(box) +
                        " ended early: its heater was switched off (TURN_OFF_HEATERS or "
                        "SET_HEATER_TEMPERATURE, say). Start it again with ENABLE_BOX_DRY.");
    return klippy::Reactor::NEVER;
  }
  if (eventtime - start_time >= duration_s) {
    set_box_drying_state(box, false);
    heating_.end_drying(box);
    try {
      gcode_.run_script(heater_command(box, 0));
      // Only once the heater is off: a drying that leaves it on has not ended well.
      announce_success(*this, "Dried box " + std::to_string(box), start_time);
    } catch (const std::exception& e) {
      gcode_.respond_raw(std::string("!!Error in heating: ") + e.what());
    }
    return klippy::Reactor::NEVER;
  }
  std::string failure;
  try {
    for (int j = 0; j < kSlotsPerBox; ++j) {
      if (j > 0) reactor_.pause(reactor_.monotonic() + kPauseBetweenSlotsS);
      // A turn-over must not interleave with commands that move the same strands, nor run
      // after DISABLE_BOX_DRY has answered.
      const GCodeLock lock(gcode_.get_mutex());
      // Stopped or replaced while this waited: nothing more turns.
      if (!is_current()) return klippy::Reactor::NEVER;
      turn_over_slot(slot_of_box(box - 1, j));
    }
  } catch (const std::exception& e) {
    // An error escaping a timer would shut the real host down.
    failure = e.what();
  }
  if (failure.empty()) return eventtime + kTurnOverPeriodS;
  // A drying without its timer would heat on for ever.
  const bool current = is_current();
  if (current) {
    set_box_drying_state(box, false);
    heating_.end_drying(box);
  }
  std::string heater_off =
      current ? "; drying of box " + std::to_string(box) + " stopped and its heater switched off"
              : "";
  try {
    if (current) gcode_.run_script(heater_command(box, 0));
  } catch (const std::exception& e) {
    heater_off = "; drying of box " + std::to_string(box) +
                 " stopped, but its heater could not be switched off (" + e.what() +
                 "): switch it off by hand";
  }
  gcode_.respond_raw("!!Error in heating: " + failure + heater_off);
  return klippy::Reactor::NEVER;
}

void FeedHub::turn_over_slot(int slot) {
  const std::string name = slot_name(slot);
  SlotFeeder& feeder = slot_feeder(printer_, name, "Drying");
  if (feeder.r_endstop_state()) return;
  // A print is fed by a strand that the extruder holds; the others must not stall it.
  if (print_running(print_stats_.state())) return;
  if (box_state_.coupled_slot() == slot || box_state_.loaded_slot() == slot ||
      box_state_.slot_is(slot, SlotState::InExtruder))
    return;
  feeder.turn_over(kTurnOverMm, kTurnOverSpeedMmS, kTurnOverAccelMmS2);
}

void FeedHub::set_box_drying_state(int box, bool state) {
  // A slot without a feeder has nothing to mark; its turn-over ends the drying with an error.
  for (int j = 0; j < kSlotsPerBox; ++j) {
    if (SlotFeeder* feeder = find_slot_feeder(printer_, slot_name(slot_of_box(box - 1, j))))
      feeder->set_drying(state);
  }
}

}  // namespace feedhub
