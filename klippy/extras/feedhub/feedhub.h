// The box controller "feedhub": reads the configuration, builds the box's parts (sensors,
// saved variables, box state, heating, error reports) and hands each to whoever needs it,
// registers the box's service commands and answers the status.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/black_box.h"
#include "klippy/extras/feedhub/box_activity.h"
#include "klippy/extras/feedhub/box_heating.h"
#include "klippy/extras/feedhub/box_sensors.h"
#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/entry_sensor.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/error_reporter.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/print_journal.h"
#include "klippy/extras/feedhub/progress_lines.h"
#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/extras/feedhub/variable_store.h"
#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"

namespace feedhub {

class ToolChange;
class SlotFeeder;

// How a retried filament operation is heated: at the paused print's temperature, at the
// filament's own (switched off afterwards), or not at all (empty) when it moves nothing.
struct RetryHeat {
  bool print_paused = false;
  std::string nozzle_temp;
};

class FeedHub final : public klippy::PrinterObject {
 public:
  static constexpr const char* kObjectName = "feedhub";
  static constexpr double kMirrorPeriodS = BoxSensors::kMirrorPeriodS;

  explicit FeedHub(klippy::ConfigSection& config);
  ~FeedHub() override;
  FeedHub(const FeedHub&) = delete;
  FeedHub& operator=(const FeedHub&) = delete;

  // {box_button_state, b_endstop_state, e_endstop_state}, and the picture of the box that
  // front ends draw (box_status.h).
  std::optional<klippy::Value> get_status(double eventtime) override;

  // The saved variables and the usage counts that ride along with their writes.
  VariableStore& variables() { return variables_; }
  const VariableStore& variables() const { return variables_; }
  // What the box believes about its filament, kept in the saved variables.
  BoxState& box_state() { return box_state_; }
  const BoxState& box_state() const { return box_state_; }

  // Failure reports, the last error and the pause they cause.
  ErrorReporter& errors() { return errors_; }
  const ErrorReporter& errors() const { return errors_; }

  // The box's shared sensors, their homing endstops and the motion monitor.
  BoxSensors& sensors() { return sensors_; }

  // CommandError naming `command` and the loaded slot when the extruder path holds the
  // filament of a slot other than `slot_name`: unloading `slot_name` would cut that one
  // and pull a parked strand out of the box.
  void refuse_unload_of_other_slot(const std::string& command, const std::string& slot_name) const;
  // The front button E_UNLOAD: true when the unload sequence ran.
  bool button_extruder_unload(klippy::GCodeCommand& gcmd);

  // Registers a box command through the black-box recorder, which records it.
  void register_command(const std::string& name, klippy::CommandHandler handler,
                        const std::string& help = "");
  BlackBox& black_box() { return black_box_; }

  klippy::Printer& printer() const { return printer_; }
  klippy::Reactor& reactor() { return reactor_; }
  klippy::GCodeDispatch& gcode() { return gcode_; }
  ToolChange& tool_change() { return *tool_change_; }
  // Box heating and drying, and the filament table's temperatures.
  BoxHeating& heating() { return heating_; }

  BoxActivities& activities() { return activities_; }
  ProgressLines& progress() { return progress_; }
  PrintJournal& print_journal() { return print_journal_; }
  // The feeder of `slot`, or null when none is configured; looked up once the host has
  // connected (the status asks often).
  SlotFeeder* feeder_of(int slot) const;

  klippy::PrintStats& print_stats() { return print_stats_; }
  // Looked up at use: some hosts build it together with the toolhead, after the sections.
  klippy::GCodeMove& gcode_move();

 private:
  // "klippy:connect": ConfigError without a hall sensor or when the axes cannot reach the
  // box's head positions.
  void handle_connect();
  // "klippy:ready": restores the saved extruder coupling and schedules the start-up tasks.
  void handle_ready();
  // Puts the saved extruder coupling back at ready, where the host allows no wait.
  void restore_saved_coupling();
  // Runs `save` from a reactor callback, where waits are allowed; errors are shown and
  // logged, never raised into the host.
  void save_after_ready(std::function<void()> save);
  // Start-up one-shots scheduled by handle_ready; the start-up tag reading waits for the
  // end of the start-up inspection.
  double delayed_init_error_raw(double eventtime);
  double delayed_init_rfid(double eventtime);
  double delayed_self_inspection(double eventtime);

  // Slots of the saved box_count, for the sensor log line; 0 when it is not a number.
  int logged_slot_count() const;
  klippy::GCodeMacro& gcode_macro_resume() { return gcode_macro_resume_; }
  // Scripts with a "{hotendtemp}" placeholder for their users to fill in.
  const std::string& extrude_gcode() const { return extrude_gcode_; }
  const std::string& move_heating_gcode() const { return move_heating_gcode_; }

  // Service commands: reads the tags of every loaded slot in turn (the first failed read
  // ends it), pulls a slot's strand back 50 mm to check its motor, reports wrapped filament.
  void cmd_INIT_RFID_READ(klippy::GCodeCommand& gcmd);
  void cmd_RUN_STEPPER(klippy::GCodeCommand& gcmd);
  void cmd_CLEAR_RUNOUT_NUM(klippy::GCodeCommand& gcmd);
  void motion_tips(klippy::GCodeCommand& gcmd);
  // Recovery: repeats the step recorded in retry_step, replaces a run-out slot, loads the
  // box, takes up slack between a tool's slot and the extruder.
  void cmd_RETRY(klippy::GCodeCommand& gcmd);
  void cmd_AUTO_RELOAD_FILAMENT(klippy::GCodeCommand& gcmd);
  void cmd_RELOAD_ALL(klippy::GCodeCommand& gcmd);
  void cmd_TIGHTEN_FILAMENT(klippy::GCodeCommand& gcmd);
  // The resume guard: refuses while retry_step holds a failed step; clears it on request.
  void register_resume_guard_commands();
  void cmd_BOX_CHECK_RESUME(klippy::GCodeCommand& gcmd);
  // Why RESUME must not go on (a step of this print failed and waits for its retry); empty
  // when it may.
  std::string resume_refusal() const;
  void cmd_BOX_CLEAR_ERROR(klippy::GCodeCommand& gcmd);
  // Finds the slot whose filament is still engaged in the extruder path.
  void cmd_SELF_INSPECTION(klippy::GCodeCommand& gcmd);
  // Front buttons E_LOAD and E_BOX (E_UNLOAD stays public for its tests).
  void button_extruder_load(klippy::GCodeCommand& gcmd);
  void button_box_unload(klippy::GCodeCommand& gcmd);
  // Head paths at the cutter and over the wiper.
  void cmd_CUT_FILAMENT(klippy::GCodeCommand& gcmd);
  void cmd_CLEAR_FLUSH(klippy::GCodeCommand& gcmd);
  void cmd_CLEAR_OOZE(klippy::GCodeCommand& gcmd);
  // Box heating and drying.
  void set_box_temp(klippy::GCodeCommand& gcmd);
  void cmd_disable_box_heater(klippy::GCodeCommand& gcmd);
  void cmd_ENABLE_BOX_DRY(klippy::GCodeCommand& gcmd);
  void cmd_DISABLE_BOX_DRY(klippy::GCodeCommand& gcmd);
  // Drying timer of `box`: turns its slots over, and ends the drying after `duration_s`.
  // A drying whose box heater `command` sets for a print ends, and says so: the heater no
  // longer dries at the drying's temperature.
  void end_drying_taken_over(int box, const std::string& command);
  double heating_handler(double eventtime, int box, double start_time, double duration_s);
  // Marks the four feeders of `box` (1-based) as drying or not.
  void set_box_drying_state(int box, bool state);
  // Turns one slot's strand over, unless it holds none, feeds the extruder or a print runs.
  void turn_over_slot(int slot);
  // BOX_STATUS, BOX_MAP_TOOL, BOX_SET_SLOT.
  void cmd_BOX_STATUS(klippy::GCodeCommand& gcmd);
  void cmd_BOX_MAP_TOOL(klippy::GCodeCommand& gcmd);
  void cmd_BOX_SET_SLOT(klippy::GCodeCommand& gcmd);

  void register_startup_commands();
  void register_heating_commands();
  // Reads the tags of the loaded slots once, unless a print runs or the box is busy.
  void start_up_tag_reading(double eventtime);
  void register_recovery_commands();
  // TRY_MOVE_AGAIN's work: the step recorded in retry_step, repeated.
  void repeat_failed_step(klippy::GCodeCommand& gcmd);
  // Checks, before the step is cleared, what would make the retry `action` fail
  // whatever the nozzle's temperature, and the temperature it needs; CommandError when it
  // cannot succeed.
  RetryHeat prepare_retry(klippy::GCodeCommand& gcmd, RetryAction action, SlotFeeder& feeder);
  // Heats for a retried filament operation (unless it needs no heat) and runs it; true
  // when the retry goes on to resume the paused print, false when it ends here (the
  // nozzle heated for it is switched off again).
  bool heated_retry(const RetryHeat& heat, const std::function<void()>& operation);
  // The paused print's nozzle temperature, as the resume macro keeps it.
  std::string resume_temperature_text() const;
  void register_self_inspection_commands();
  void register_front_button_commands();
  void register_box_data_commands();
  void register_error_help_command();
  void register_cutting_commands();
  void cmd_BOX_ERROR_HELP(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  BoxSensors sensors_;
  klippy::PrintStats& print_stats_;
  klippy::GCodeMacro& gcode_macro_resume_;
  klippy::SaveVariables& save_variables_;
  BoxState box_state_;
  // Before the commands and the tool change, whose commands it records.
  BlackBox black_box_;
  VariableStore variables_;
  klippy::GCodeDispatch& gcode_;
  // Shared: while it swallows moves, the G-code move object holds it as its transform.
  std::shared_ptr<ToolChange> tool_change_;
  BoxHeating heating_;
  std::string extrude_gcode_;
  std::string move_heating_gcode_;
  BoxActivities activities_;
  ProgressLines progress_{*this};
  PrintJournal print_journal_{*this};
  ErrorReporter errors_;
  bool connected_ = false;
  std::array<SlotFeeder*, kMaxSlots> feeders_{};
  std::vector<ScopedTimer> startup_timers_;
  // True while the start-up run of the self-inspection is running: its failure must not
  // replace the step of an earlier failure, and the start-up tag reading waits for it.
  bool startup_inspection_running_ = false;
  bool tag_reading_waits_for_inspection_ = false;
};

}  // namespace feedhub
