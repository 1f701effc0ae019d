// The one-touch actions behind the printer's load and unload buttons: E_LOAD feeds a slot
// into the extruder and purges, E_UNLOAD takes the filament out of the extruder, E_BOX
// takes it all the way back into the box.
#include <algorithm>
#include <string>

#include "klippy/extras/feedhub/box_busy.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/extrusion_mode.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/head_paths.h"
#include "klippy/extras/feedhub/slot_feeder.h"

namespace feedhub {
namespace {

// The default names no slot of the boxes, so SLOT must be given.
constexpr int kDefaultSlot = kMaxSlots;

// Pushes a little of the old filament out once it is withdrawn, so the new one meets a
// clean path.
constexpr const char* kAfterOldUnload = "M400\nM83\nG1 E20 F300\nM400";
constexpr const char* kCutAtTrash = "CUT_FILAMENT\nMOVE_TO_TRASH\nM83\n";
constexpr const char* kPurgeAndWipe = "M83\nG1 E25 F300\nM400\nCLEAR_FLUSH\nCLEAR_OOZE\n";
constexpr const char* kCool = "M104 S0\n";

std::string with_temperature(std::string script, int temperature_c) {
  const std::string placeholder = "{hotendtemp}";
  const std::string value = std::to_string(temperature_c);
  for (size_t at = script.find(placeholder); at != std::string::npos;
       at = script.find(placeholder, at + value.size())) {
    script.replace(at, placeholder.size(), value);
  }
  return script;
}

// The box shows busy while a button command runs, however it ends. A running print is not
// the buttons' to touch: they would unload its filament and cool its nozzle.
template <typename Body>
auto as_button_command(FeedHub& hub, klippy::GCodeCommand& gcmd, Body body) {
  if (hub.print_stats().state() == "printing")
    throw gcmd.error(gcmd.get_command() +
                     ": a print is running; the load and unload buttons work while no print "
                     "runs or while it is paused. Pause the print first (PAUSE).");
  const BoxBusy busy(hub.sensors());
  return body();
}

struct ChosenSlot {
  int slot;
  SlotFeeder& feeder;
};

ChosenSlot chosen_slot(klippy::Printer& printer, klippy::GCodeCommand& gcmd,
                       const std::string& command) {
  const std::string text = gcmd.get("SLOT", std::to_string(kDefaultSlot));
  const std::optional<int> named = parse_slot(text);
  if (!named && text != std::to_string(kDefaultSlot))
    throw gcmd.error(names_no_slot(command, "SLOT", text));
  const int slot = named.value_or(kDefaultSlot);
  return {slot, slot_feeder(printer, slot, command)};
}

// The lookup has told the user why there is no temperature already.
int nozzle_temperature(const std::optional<TempRange>& range, klippy::GCodeCommand& gcmd,
                       const std::string& command, const std::string& slot) {
  if (!range)
    throw gcmd.error(command + ": no nozzle temperature for the filament of " + slot +
                     "; set filament_" + slot +
                     " to a filament type of the filament table, or correct the table");
  return range->max_temp;
}

}  // namespace

void FeedHub::register_front_button_commands() {
  register_command(
      "E_LOAD", [this](klippy::GCodeCommand& gcmd) { button_extruder_load(gcmd); },
      "Load button: heat the nozzle for the slot's filament, unload the slot in the extruder, "
      "load this one, purge and wipe: E_LOAD SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  register_command(
      "E_UNLOAD", [this](klippy::GCodeCommand& gcmd) { button_extruder_unload(gcmd); },
      "Unload button: heat the nozzle, cut, pull the filament in the extruder back into the "
      "box and wipe: E_UNLOAD SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  register_command(
      "E_BOX", [this](klippy::GCodeCommand& gcmd) { button_box_unload(gcmd); },
      "Pull a slot's filament back to its slot sensor, out of the extruder first when it is "
      "there: E_BOX SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
}

void FeedHub::button_extruder_load(klippy::GCodeCommand& gcmd) {
  as_button_command(*this, gcmd, [&] {
    ChosenSlot chosen = chosen_slot(printer_, gcmd, "E_LOAD");
    const std::string slot = slot_name(chosen.slot);
    const int new_temp_c =
        nozzle_temperature(heating_.get_temp_by_num(chosen.slot), gcmd, "E_LOAD", slot);
    const std::string preheat = with_temperature(move_heating_gcode_, new_temp_c);
    int purge_temp_c = new_temp_c;
    // A load that failed has nothing to purge: the nozzle cools again.
    auto stop = [&] {
      gcode_.run_script_from_command("M400");
      gcode_.run_script_from_command("M104 S0\n");
      chosen.feeder.disable_stepper();
    };
    if (sensors_.b_endstop_state()) {
      gcode_.run_script_from_command(preheat);
      if (!conclude(*this, chosen.feeder.extruder_load())) return stop();
    } else {
      const std::string last_load_slot = box_state_.loaded_slot_name();
      if (last_load_slot == kNoSlot) {
        // Whose filament fills the outlet is unknown: nothing may move.
        errors_.report_error(reports::kUnrecognisedFilament);
        gcode_.run_script_from_command("M400");
        gcode_.run_script_from_command("M104 S0\n");
        chosen.feeder.disable_stepper();
        return;
      }
      SlotFeeder& old_feeder = slot_feeder(printer_, last_load_slot, "E_LOAD");
      // Looked up before anything moves, so that a missing entry cannot stop the command
      // half-way with the nozzle left hot.
      const int old_temp_c = nozzle_temperature(heating_.get_temp_by_slot(last_load_slot), gcmd,
                                                "E_LOAD", last_load_slot);
      gcode_.run_script_from_command(preheat);
      // The new strand cannot pass while the old one is still in the path.
      if (!conclude(*this, old_feeder.extruder_unload(true))) return stop();
      gcode_.run_script_from_command(kAfterOldUnload);
      if (!conclude(*this, chosen.feeder.extruder_load())) return stop();
      // What is left of the old filament must melt too.
      purge_temp_c = std::max(old_temp_c, new_temp_c);
    }
    gcode_.run_script_from_command(
        with_relative_extrusion(with_temperature(extrude_gcode_, purge_temp_c),
                                extrusion_mode(gcode_move(), reactor_.monotonic())));
    gcode_.run_script_from_command(kParkHeadScript);
    gcode_.run_script_from_command("M400");
    chosen.feeder.disable_stepper();
  });
}

bool FeedHub::button_extruder_unload(klippy::GCodeCommand& gcmd) {
  return as_button_command(*this, gcmd, [&] {
    ChosenSlot chosen = chosen_slot(printer_, gcmd, "E_UNLOAD");
    const std::string slot = slot_name(chosen.slot);
    refuse_unload_of_other_slot("E_UNLOAD", slot);
    const int temp_c =
        nozzle_temperature(heating_.get_temp_by_num(chosen.slot), gcmd, "E_UNLOAD", slot);
    if (sensors_.b_endstop_state()) {
      gcode_.run_script_from_command("M400");
      return false;
    }
    gcode_.run_script_from_command(with_temperature(move_heating_gcode_, temp_c));
    gcode_.run_script_from_command(kCutAtTrash);
    // Only a strand withdrawn and parked lets a caller go on to pull it further.
    const bool withdrawn = conclude(*this, chosen.feeder.extruder_unload(false));
    gcode_.run_script_from_command(kPurgeAndWipe);
    gcode_.run_script_from_command(std::string(kParkHeadScript) + kCool);
    gcode_.run_script_from_command("M400");
    return withdrawn;
  });
}

void FeedHub::button_box_unload(klippy::GCodeCommand& gcmd) {
  as_button_command(*this, gcmd, [&] {
    ChosenSlot chosen = chosen_slot(printer_, gcmd, "E_BOX");
    SlotFeeder& feeder = chosen.feeder;
    gcode_.run_script_from_command("DISABLE_ALL_SENSOR");
    const std::string last_load_slot = box_state_.loaded_slot_name();
    if (sensors_.filament_at_extruder_entry()) {
      if (last_load_slot == kNoSlot && !sensors_.b_endstop_state()) {
        // The filament in the extruder may be this slot's: pulling it back would tear it.
        errors_.report_error(reports::kUnrecognisedFilament);
        gcode_.run_script_from_command("M400");
        return;
      }
      if (last_load_slot != feeder.stepper_name()) {
        conclude(*this, feeder.slot_unload());
        return;
      }
      if (button_extruder_unload(gcmd))
        conclude(*this, feeder.slot_unload());
      else
        gcode_.respond_raw("Extruder unloading failure.Please try again.");
    } else {
      if (last_load_slot == feeder.stepper_name() && !sensors_.b_endstop_state()) {
        // A strand stuck in the extruder must not be pulled on from the slot.
        if (!conclude(*this, feeder.extruder_unload(true))) return;
        gcode_.run_script_from_command("M400");
      }
      if (!feeder.r_endstop_state()) conclude(*this, feeder.slot_unload());
    }
    gcode_.run_script_from_command("M400");
  });
}

}  // namespace feedhub
