#include "klippy/extras/feedlane/box_extruder_stepper.h"

#include "klippy/extras/feedhub/box_commands.h"
#include "klippy/extras/feedhub/box_status.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/slot_sections.h"
#include "klippy/host/factory.h"
#include "klippy/host/toolhead.h"

namespace feedlane {

// Built in the host's order of construction: stepper, runout sensor, queue, controller,
// enable line, slot number, commands, LED.
BoxExtruderStepper::BoxExtruderStepper(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      extruder_stepper_(printer_.factory().create_extruder_stepper(config)),
      stepper_(extruder_stepper_->stepper()),
      stepper_name_(slot_name_of_section(config.get_name())),
      runout_button_(
          config, config.get("runout_pin"),
          [this](double eventtime, int state) { runout_button_callback(eventtime, state); }),
      // The runout button holds the pin already; the endstop shares it.
      r_endstop_(config, stepper_name_ + "_runout", config.get("runout_pin"), true),
      reactor_(printer_.get_reactor()),
      trapq_(printer_.factory().create_trapq()),
      feedhub_(printer_.load_object<feedhub::FeedHub>(config, feedhub::FeedHub::kObjectName)),
      sensors_(feedhub_.sensors()),
      box_state_(feedhub_.box_state()),
      variables_(feedhub_.variables()),
      errors_(feedhub_.errors()),
      progress_(feedhub_.progress()),
      black_box_(feedhub_.black_box()),
      b_endstop_(sensors_.b_endstop()),
      e_endstop_(sensors_.e_endstop()),
      b_motion_(sensors_.b_motion()),
      se_(printer_.lookup_object<klippy::StepperEnable>("stepper_enable")
              .lookup_enable(stepper_.get_name())),
      print_stats_(printer_.lookup_object<klippy::PrintStats>("print_stats")),
      stepper_num_(slot_number_of(stepper_name_, config.get_name())),
      stepper_label_(feedhub::slot_label(stepper_num_)),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")) {
  // Every slot motor stops when its own sensor or either shared box sensor trips during
  // one of its homing moves.
  r_endstop_.add_stepper(stepper_);
  b_endstop_.add_stepper(stepper_);
  e_endstop_.add_stepper(stepper_);
  // The host keeps the help of a mux command's first registration: one text for all slots.
  feedhub::register_box_slot_command(
      gcode_, black_box_, "SLOT_PROMPT_MOVE", stepper_num_,
      [this](klippy::GCodeCommand& gcmd) { cmd_SLOT_PROMPT_MOVE(gcmd); },
      "Nudge a slot's parked filament 20 mm forward and back, to show which slot it is: "
      "SLOT_PROMPT_MOVE SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  feedhub::register_box_slot_command(
      gcode_, black_box_, "RFID_READ", stepper_num_,
      [this](klippy::GCodeCommand& gcmd) { cmd_SLOT_RFID_READ(gcmd); },
      "Read the tag of a slot's spool (filament, colour, vendor) while moving its filament "
      "past the reader; it ends parked in the box: RFID_READ SLOT=<slot: 1A-4D, slot0-slot15 or "
      "0-15>");
  feedhub::register_box_slot_command(
      gcode_, black_box_, "SLOT_UNLOAD", stepper_num_,
      [this](klippy::GCodeCommand& gcmd) { cmd_SLOT_UNLOAD(gcmd); },
      "Pull a slot's filament out of the box back to its slot sensor: "
      "SLOT_UNLOAD SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  feedhub::register_box_slot_command(
      gcode_, black_box_, "EXTRUDER_LOAD", stepper_num_,
      [this](klippy::GCodeCommand& gcmd) { cmd_EXTRUDER_LOAD(gcmd); },
      "Feed a slot's filament from the box into the extruder and let the slot follow the "
      "extruder: EXTRUDER_LOAD SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  feedhub::register_box_slot_command(
      gcode_, black_box_, "EXTRUDER_UNLOAD", stepper_num_,
      [this](klippy::GCodeCommand& gcmd) { cmd_EXTRUDER_UNLOAD(gcmd, true); },
      "Pull a slot's filament out of the extruder and park it in the box (cut first when "
      "not printing): EXTRUDER_UNLOAD SLOT=<slot: 1A-4D, slot0-slot15 or 0-15>");
  led_ = printer_.factory().create_pwm_led(config);
  led_timer_ =
      feedhub::ScopedTimer(reactor_, [this](double eventtime) { return set_led(eventtime); });
  printer_.register_event_handler("klippy:ready", [this] { led_handle_connect(); });
}

std::optional<klippy::Value> BoxExtruderStepper::get_status(double /*eventtime*/) {
  klippy::Value::Dict status{{"runout_button", r_endstop_state_}, {"rfid_state", rfid_state_}};
  // A status request that fails would take the host's status reporting down with it.
  try {
    feedhub::add_slot_status(status, feedhub::take_slot_picture(feedhub_, stepper_num_));
  } catch (const std::exception& e) {
    printer_.log().error("Status of " + stepper_name_ + ": " + e.what());
  }
  return klippy::Value(std::move(status));
}

klippy::Toolhead& BoxExtruderStepper::toolhead() {
  // Looked up at use: the toolhead exists only once every section has loaded.
  return printer_.lookup_object<klippy::Toolhead>("toolhead");
}

void BoxExtruderStepper::save_state(SlotState state) {
  box_state_.set_slot_state(stepper_num_, state);
}

void BoxExtruderStepper::log_sensor_states() {
  sensors_.print_sensor_state_to_log(reactor_.monotonic());
}

}  // namespace feedlane
