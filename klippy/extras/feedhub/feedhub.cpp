#include "klippy/extras/feedhub/feedhub.h"

#include <algorithm>
#include <cstdint>

#include "klippy/extras/feedhub/box_commands.h"
#include "klippy/extras/feedhub/box_status.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/head_paths.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/tool_change.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/log.h"

namespace feedhub {
namespace {

constexpr double kStartupErrorDelayS = 3.0;
constexpr double kStartupTagReadDelayS = 5.0;
constexpr double kSelfInspectionDelayS = 3.0;

std::string section_list(const std::vector<int>& slots) {
  std::string list;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) list += i + 1 == slots.size() ? " and " : ", ";
    list += "[feedlane " + slot_name(slots[i]) + "]";
  }
  return list;
}

// A box works on its four slots together: with one missing, every load of the box pushes
// filament in that no feeder then takes over.
void check_every_box_whole(const std::array<SlotFeeder*, kMaxSlots>& feeders) {
  for (int box = 0; box < kMaxBoxCount; ++box) {
    std::vector<int> present, missing;
    for (int index = 0; index < kSlotsPerBox; ++index) {
      const int slot = slot_of_box(box, index);
      (feeders[static_cast<std::size_t>(slot)] ? present : missing).push_back(slot);
    }
    if (present.empty() || missing.empty()) continue;
    throw klippy::ConfigError("Box " + std::to_string(box + 1) + " lacks " + section_list(missing) +
                              ": its " + section_list(present) +
                              (present.size() > 1 ? " are" : " is") +
                              " configured, and a box runs on all four slots. Add the "
                              "missing section (box.cfg of 'feedbox box-files' has all four) "
                              "or remove the box's other slot sections.");
  }
}

}  // namespace

FeedHub::FeedHub(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      // Bound now, used once the host runs: the black box is built further down.
      sensors_(config, black_box_, [this] { return logged_slot_count(); }),
      print_stats_(printer_.load_object<klippy::PrintStats>(config, "print_stats")),
      // Loaded, so that the macro's section may come anywhere in the file.
      gcode_macro_resume_(
          printer_.load_object<klippy::GCodeMacro>(config, "gcode_macro RESUME_PRINT")),
      save_variables_(printer_.load_object<klippy::SaveVariables>(config, "save_variables")),
      box_state_(
          save_variables_,
          [this](const BoxState::Changes& changes) { variables_.save_variables(changes); },
          [this](const std::vector<std::string>& keys) { variables_.remove_variables(keys); }),
      black_box_(config, save_variables_),
      variables_(printer_, save_variables_, black_box_, box_state_),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")),
      tool_change_(std::make_shared<ToolChange>(config, black_box_)),
      heating_(printer_, gcode_, variables_),
      extrude_gcode_(
          "M400\n_CG28\nMOVE_TO_TRASH\nM109 S{hotendtemp}\nG1 E150 F300\nM400\nM104 S0\nM106 S255\n"
          "M400\nG4 P10000\nCLEAR_FLUSH\nCLEAR_OOZE\nM106 S0"),
      move_heating_gcode_("DISABLE_ALL_SENSOR\n_CG28\nMOVE_TO_TRASH\nM109 S{hotendtemp}"),
      // Front-end dialogs for failures that pause a print.
      errors_(printer_, gcode_, print_stats_, black_box_, box_state_, sensors_, variables_.stats(),
              print_journal_, config.getboolean("error_prompt", true)) {
  // The folder of the box's files (filament table, box templates, flashing script) on
  // printers whose user is not the default one; the host maps the default paths into it.
  config.get("base_folder", "/home/zur");
  progress_.set_enabled(config.getboolean("progress_lines", true));
  // The controller replaces the variables file itself; a host killed during one of its
  // writes left the temporary file behind.
  klippy::remove_leftover_temporaries(save_variables_.filename());
  black_box_.set_command_state(box_state_);
  printer_.register_event_handler("klippy:connect", [this] { handle_connect(); });
  printer_.register_event_handler("klippy:ready", [this] { handle_ready(); });
  // The other commands of the box are registered by the code that implements them.
  register_command(
      "MOTION_TIPS", [this](klippy::GCodeCommand& gcmd) { motion_tips(gcmd); },
      "Report the wrapped-filament error ZKE_004_013 (for macros and front ends)");
  black_box_.register_commands(gcode_);
  register_cutting_commands();
  register_startup_commands();
  register_heating_commands();
  register_recovery_commands();
  register_self_inspection_commands();
  register_front_button_commands();
  register_box_data_commands();
  register_error_help_command();
}

FeedHub::~FeedHub() = default;

klippy::GCodeMove& FeedHub::gcode_move() {
  return printer_.lookup_object<klippy::GCodeMove>("gcode_move");
}

int FeedHub::logged_slot_count() const {
  const klippy::Value box_count = variables_.get_value_by_key("box_count");
  return box_count.is_int() ? slot_count_of_boxes(static_cast<int>(
                                  std::clamp<std::int64_t>(box_count.as_int(), 0, kMaxBoxCount)))
                            : 0;
}

std::optional<klippy::Value> FeedHub::get_status(double eventtime) {
  // Looked up at every call, so that a status before the connect event reads the sensor too;
  // a missing sensor is reported at connect, never from a status query.
  auto* hall = printer_.lookup_object_or_null<klippy::HallFilamentWidthSensor>(kHallSensorName);
  int e_endstop_state = hall && filament_seen(*hall) ? 1 : 0;
  klippy::Value::Dict status{{"box_button_state", sensors_.box_button_state()},
                             {"b_endstop_state", sensors_.b_endstop_state()},
                             {"e_endstop_state", e_endstop_state},
                             {"resume_refusal", resume_refusal()}};
  // A status request that fails would take the host's status reporting down with it.
  try {
    add_picture_status(status, take_picture(*this, eventtime));
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Box status: ") + e.what());
  }
  return klippy::Value(std::move(status));
}

SlotFeeder* FeedHub::feeder_of(int slot) const {
  if (slot < 0 || slot >= kMaxSlots) return nullptr;
  if (connected_) return feeders_[static_cast<size_t>(slot)];
  return find_slot_feeder(printer_, slot_name(slot));
}

// Configuration faults surface here, where the host reports them as such and does not
// start, rather than at ready, where an error shuts it down.
void FeedHub::handle_connect() {
  sensors_.note_connected(reactor_.monotonic());
  klippy::HallFilamentWidthSensor* filament_hall = sensors_.find_filament_hall();
  if (!filament_hall)
    throw klippy::ConfigError(
        "Section 'feedhub' needs a [hall_filament_width_sensor] section: the box reads the "
        "extruder-entry sensor through it. Add one with enable: True.");
  if (!filament_hall->is_active())
    throw klippy::ConfigError(
        "Option 'enable' in section 'hall_filament_width_sensor' must be True for the box: "
        "while the sensor is off it reports its nominal diameter, which the box would take "
        "for filament at the extruder entry.");
  if (filament_hall->flow_compensation().value_or(false))
    throw klippy::ConfigError(
        "Option 'enable_flow_compensation' in section 'hall_filament_width_sensor' must be "
        "False for the box: the sensor sees the box's filament arrive, and its flow "
        "compensation would change the print's extrusion (M221) from that reading. Add "
        "enable_flow_compensation: False.");
  if (auto* toolhead = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead"))
    check_head_reach(*toolhead, reactor_.monotonic());
  // Every section has been loaded: the feeders and heaters the status reads stay as they are.
  for (int slot = 0; slot < kMaxSlots; ++slot)
    feeders_[static_cast<size_t>(slot)] = find_slot_feeder(printer_, slot_name(slot));
  check_every_box_whole(feeders_);
  heating_.find_heaters();
  connected_ = true;
}

void FeedHub::handle_ready() {
  black_box_.host_ready();
  // The host allows no wait in a ready handler (an error here shuts it down): nothing is
  // saved from here; what must be saved runs from a callback once the host is ready.
  restore_saved_coupling();
  print_journal_.start();
  // A host without the switch compensates flow from the sensor's reading every second;
  // stopped once its own ready handler has started it, the print's flow stays as set.
  if (!sensors_.filament_hall().flow_compensation()) {
    reactor_.register_callback([this](double) {
      sensors_.filament_hall().stop_flow_compensation();
      return klippy::Value();
    });
  }
  startup_timers_.emplace_back(
      reactor_, [this](double eventtime) { return delayed_init_rfid(eventtime); },
      reactor_.monotonic() + kStartupTagReadDelayS);
  startup_timers_.emplace_back(
      reactor_, [this](double eventtime) { return delayed_self_inspection(eventtime); },
      reactor_.monotonic() + kSelfInspectionDelayS);
}

void FeedHub::restore_saved_coupling() {
  const std::string slot_sync = box_state_.coupled_slot_name();
  if (slot_sync == kNoSlot) return;
  SlotFeeder* feeder = find_slot_feeder(printer_, slot_sync);
  if (!feeder) {
    gcode_.respond_raw("!! " + step_name_for(reports::kFeedingStateIncorrect.code) + " " +
                       std::string(reports::kFeedingStateIncorrect.message));
    gcode_.respond_info(advice_line(reports::kFeedingStateIncorrect, std::nullopt));
    errors_.note_error(reports::kFeedingStateIncorrect, std::nullopt);
    save_after_ready([this] {
      box_state_.set_recorded_step(
          retry_step_for(reports::kFeedingStateIncorrect.code, std::nullopt));
    });
    startup_timers_.emplace_back(
        reactor_, [this](double eventtime) { return delayed_init_error_raw(eventtime); },
        reactor_.monotonic() + kStartupErrorDelayS);
    return;
  }
  // The file already names this slot: coupling again needs no save, and the print may start
  // at once. The entry sensor has not reported yet when the host is ready; its first report
  // undoes the coupling when it shows no filament. A sensor that never reports (no ADC data
  // from its MCU) tells nothing against it.
  try {
    feeder->follow_extruder_if_coupled();
  } catch (const klippy::CommandError& e) {
    // The saved state it names is the user's to correct, as its message says.
    printer_.log().error(std::string("Restoring the extruder coupling: ") + e.what());
    gcode_.respond_raw(std::string("!! ") + e.what());
    return;
  }
  startup_timers_.emplace_back(
      reactor_,
      [this, feeder](double) {
        if (!entry_sensor_reported(sensors_.filament_hall()) ||
            sensors_.filament_at_extruder_entry())
          return klippy::Reactor::NEVER;
        try {
          feeder->slot_sync(false);
        } catch (const klippy::CommandError& e) {
          printer_.log().error(std::string("Restoring the extruder coupling: ") + e.what());
          gcode_.respond_raw(std::string("!! ") + e.what());
        }
        return klippy::Reactor::NEVER;
      },
      reactor_.monotonic() + kEntryFirstReportS);
}

void FeedHub::save_after_ready(std::function<void()> save) {
  reactor_.register_callback([this, save = std::move(save)](double) {
    // An error escaping a callback would shut the real host down.
    try {
      save();
    } catch (const std::exception& e) {
      printer_.log().error(std::string("Saving the box state after start-up: ") + e.what());
      gcode_.respond_raw(std::string("!! ") + e.what());
    }
    return klippy::Value();
  });
}

void FeedHub::register_command(const std::string& name, klippy::CommandHandler handler,
                               const std::string& help) {
  register_box_command(gcode_, black_box_, name, std::move(handler), help);
}

double FeedHub::delayed_init_error_raw(double /*eventtime*/) {
  errors_.report_error(reports::kFeedingStateIncorrect);
  return klippy::Reactor::NEVER;
}

void FeedHub::motion_tips(klippy::GCodeCommand& /*gcmd*/) {
  errors_.report_error(reports::kWrappingFilament);
}

}  // namespace feedhub
