// The box controller "feedhub": the shared box sensors and their software-driven homing
// endstops, the filament motion monitor, the saved-variable store, the error-report
// convention and the box's service commands.
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
#include "klippy/extras/feedhub/box_button.h"
#include "klippy/extras/feedhub/box_endstop.h"
#include "klippy/extras/feedhub/box_motion.h"
#include "klippy/extras/feedhub/box_output.h"
#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/box_stats.h"
#include "klippy/extras/feedhub/entry_sensor.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/print_journal.h"
#include "klippy/extras/feedhub/progress_lines.h"
#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedhub/slots.h"
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

// A box being dried: its turn-over timer, when the drying started (reactor time, s) and how
// long it lasts.
struct BoxDrying {
  ScopedTimer timer;
  double start_time = 0.0;
  double duration_s = 0.0;
};

// The last numbered report the box made, and when (reactor time, s).
struct RecordedError {
  ErrorReport report;
  std::optional<int> slot;
  double time = 0.0;
};

// How a retried filament operation is heated: at the paused print's temperature, at the
// filament's own (switched off afterwards), or not at all (empty) when it moves nothing.
struct RetryHeat {
  bool print_paused = false;
  std::string nozzle_temp;
};

class FeedHub final : public klippy::PrinterObject {
 public:
  static constexpr const char* kObjectName = "feedhub";
  static constexpr double kMirrorPeriodS = 0.01;

  explicit FeedHub(klippy::ConfigSection& config);
  ~FeedHub() override;
  FeedHub(const FeedHub&) = delete;
  FeedHub& operator=(const FeedHub&) = delete;

  // {box_button_state, b_endstop_state, e_endstop_state}, and the picture of the box that
  // front ends draw (box_status.h).
  std::optional<klippy::Value> get_status(double eventtime) override;

  // Saved variables. Every write replaces the whole file and reloads the host's copy.
  void save_variable(const std::string& varname, const klippy::Value& value);
  // Takes the variables out of the file, so that their readers see their defaults again;
  // one write for all of them, none when none is saved.
  void remove_variables(const std::vector<std::string>& varnames);
  // What the box believes about its filament, kept in the saved variables.
  BoxState& box_state() { return box_state_; }
  const BoxState& box_state() const { return box_state_; }
  // Per-slot usage counts; what is counted reaches the file with the next save.
  BoxStats& stats() { return stats_; }
  // The host's saved variables as they are now; valid until the next read or save.
  const klippy::VariableMap& all_variables() const { return save_variables_.all_variables(); }
  klippy::Value get_value_by_key(const std::string& varname,
                                 const klippy::Value& default_value = klippy::Value(0)) const;
  // First key, in key order, that contains `keyword` and holds `value`; else `default_key`.
  std::string get_key_by_value(const klippy::Value& value, const std::string& default_key,
                               const std::string& keyword) const;
  // Lowest slot number of the saved box_count's slots whose state "slot<N>" equals `value`, or -1.
  int search_index_by_value(const klippy::Value& value) const;
  // Temperature range of the filament type saved for `slot` ("filament_slot<N>", type 1
  // when never read); nullopt when the filament table has no section for it.
  std::optional<TempRange> slot_filament_temps(int slot, TempPurpose purpose) const;

  // Sends the report and records its step in retry_step.
  void report_error(const ErrorReport& report, std::optional<int> slot = std::nullopt);
  // Keeps the report as the last error of the status.
  void note_error(const ErrorReport& report, std::optional<int> slot);
  const std::optional<RecordedError>& last_error() const { return last_error_; }
  // The message names `slot`, but the step recorded is one of no particular slot ("_00").
  void report_error_general_step(const ErrorReport& report, int slot);
  // Pauses the print for a reported failure and, when a print runs, puts the reason where
  // front ends show it: an error line, the display message and a dialog offering the retry.
  void pause_for_error(const ErrorReport& report, std::optional<int> slot);
  // Takes the reason of a pause off the display and closes its dialog.
  void close_error_notice();

  // Box sensors.
  void b_button_callback(double eventtime, int state);
  double update_b_endstop(double eventtime);
  double update_e_endstop(double eventtime);
  // Logs every box sensor, 1 meaning filament detected.
  void print_sensor_state_to_log(double eventtime) noexcept;

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
  BoxEndstop& b_endstop() { return b_endstop_; }
  BoxEndstop& e_endstop() { return e_endstop_; }
  BoxOutput& b_output() { return b_output_; }
  BoxOutput& e_output() { return e_output_; }
  BoxMotion& b_motion() { return b_motion_; }
  const klippy::TimerHandle& b_endstop_timer() const { return b_endstop_timer_.handle(); }
  const klippy::TimerHandle& e_endstop_timer() const { return e_endstop_timer_.handle(); }
  // 1 while the box outlet is clear, 0 while filament is there.
  int b_endstop_state() const { return b_endstop_state_; }
  int box_button_state() const { return box_button_state_; }
  void set_box_button_state(int state) { box_button_state_ = state; }
  bool can_load_slot() const { return can_load_slot_; }
  void set_can_load_slot(bool can_load) { can_load_slot_ = can_load; }
  ToolChange& tool_change() { return *tool_change_; }
  // Box heating and drying. The lookups answer the filament table's temperature range for
  // a slot's filament, or nullopt after telling the user why there is none.
  std::optional<TempRange> get_temp_by_num(int num);
  std::optional<TempRange> get_temp_by_slot(const std::string& slot);
  std::optional<TempRange> get_box_temp_by_slot(const std::string& slot);

  BoxActivities& activities() { return activities_; }
  ProgressLines& progress() { return progress_; }
  PrintJournal& print_journal() { return print_journal_; }
  // The feeder of `slot`, or null when none is configured; looked up once the host has
  // connected (the status asks often).
  SlotFeeder* feeder_of(int slot) const;
  // The box's heater object ("heater_generic heater_box<box>", box 1-based), or null.
  klippy::PrinterObject* box_heater(int box) const;
  // Code to name of the filament table, read again when older than a few seconds or when
  // `fresh` is asked for.
  const std::map<long long, std::string>& filament_names(bool fresh = false);

  klippy::PrintStats& print_stats() { return print_stats_; }
  // Looked up at use: some hosts build it together with the toolhead, after the sections.
  klippy::GCodeMove& gcode_move();
  std::array<int, kMaxBoxCount>& box_print_heat_state() { return box_print_heat_state_; }
  std::map<int, BoxDrying>& heating_timers() { return heating_timers_; }

  // The hall sensor sees filament at the extruder entry.
  bool filament_at_extruder_entry();

 private:
  // Sends the report, records its step (naming `step_slot`, or no slot) and the box's
  // history, and says what the sensors see and where the record is.
  void make_report(const ErrorReport& report, std::optional<int> slot,
                   std::optional<int> step_slot);
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

  // Several values in one write: readers see all of them or, when it fails, none.
  void save_variables(const std::vector<std::pair<std::string, klippy::Value>>& values);
  // Puts the reason of a pause where front ends show it.
  void announce_pause(const ErrorReport& report, std::optional<int> slot);
  // The hall sensor found at ready, or looked up now for calls that come earlier.
  klippy::HallFilamentWidthSensor& filament_hall();
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
  // Writes the saved variables as `change` leaves them and reloads the host's copy.
  void write_variables(const std::function<void(klippy::VariableMap&)>& change);
  // An error report for the black box, which writes its record of it.
  void record_error(const ErrorReport& report, std::optional<int> slot);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  BoxButton b_button_;
  int b_endstop_state_ = 0;
  BoxEndstop b_endstop_;
  BoxOutput b_output_;
  BoxMotion b_motion_;
  ScopedTimer b_endstop_timer_;
  BoxEndstop e_endstop_;
  BoxOutput e_output_;
  ScopedTimer e_endstop_timer_;
  bool can_load_slot_ = true;
  klippy::PrintStats& print_stats_;
  klippy::GCodeMacro& gcode_macro_resume_;
  klippy::SaveVariables& save_variables_;
  BoxState box_state_;
  BoxStats stats_;
  // Before the commands and the tool change, whose commands it records.
  BlackBox black_box_;
  // Saves reach the file one at a time, in the order they were asked for.
  std::unique_ptr<klippy::ReactorMutex> save_lock_;
  klippy::GCodeDispatch& gcode_;
  // Shared: while it swallows moves, the G-code move object holds it as its transform.
  std::shared_ptr<ToolChange> tool_change_;
  std::array<int, kMaxBoxCount> box_print_heat_state_{};
  std::map<int, BoxDrying> heating_timers_;
  int box_button_state_ = 0;
  std::string extrude_gcode_;
  std::string move_heating_gcode_;
  std::string sensor_str_tips_;
  std::string box_sensor_str_tips_;
  void register_heating_commands();

  // Reads the tags of the loaded slots once, unless a print runs or the box is busy.
  void start_up_tag_reading(double eventtime);

  klippy::HallFilamentWidthSensor* filament_hall_ = nullptr;
  BoxActivities activities_;
  ProgressLines progress_{*this};
  PrintJournal print_journal_{*this};
  // Whether the last failed step was recorded while a print ran or was paused.
  bool step_recorded_in_print_ = false;
  std::optional<RecordedError> last_error_;
  bool connected_ = false;
  std::array<SlotFeeder*, kMaxSlots> feeders_{};
  std::array<klippy::PrinterObject*, kMaxBoxCount> box_heaters_{};
  std::map<long long, std::string> filament_names_;
  std::optional<double> filament_names_read_at_;
  std::vector<ScopedTimer> startup_timers_;
  // True while the start-up run of the self-inspection is running: its failure must not
  // replace the step of an earlier failure, and the start-up tag reading waits for it.
  bool startup_inspection_running_ = false;
  bool tag_reading_waits_for_inspection_ = false;
  // Front-end dialogs for failures that pause a print ([feedhub] error_prompt).
  bool error_prompt_ = true;
  bool error_notice_open_ = false;
};

}  // namespace feedhub
