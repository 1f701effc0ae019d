// The slot feeder "feedlane slotN": one slot's feed motor with its own motion queue, its
// runout sensor and its LED, and the moves that carry the slot's filament between the
// spool, the box outlet and the extruder.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/box_button.h"
#include "klippy/extras/feedhub/box_endstop.h"
#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/extras/feedlane/tuning.h"
#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/gcode.h"
#include "klippy/host/motion.h"
#include "klippy/host/printer.h"
#include "klippy/host/reactor.h"
#include "klippy/host/toolhead.h"

namespace feedhub {
class ActivityScope;
class BlackBox;
class BoxMotion;
class BoxSensors;
class BoxState;
class ErrorReporter;
class FeedHub;
class ProgressLines;
class VariableStore;
}  // namespace feedhub

namespace feedlane {

using feedhub::SlotState;

// Lead time between planning a homing move and its start.
inline constexpr double HOMING_START_DELAY = 0.001;
inline constexpr double ENDSTOP_SAMPLE_TIME = 0.000015;
inline constexpr int ENDSTOP_SAMPLE_COUNT = 4;
// Idle time added before the motor is switched off, and after a homing trip.
inline constexpr double DISABLE_DELAY = 0.05;

// A homing target: [movepos, 0, 0, 0], relative to wherever the filament stands.
using HomingPos = std::array<double, 4>;

class BoxExtruderStepper final : public feedhub::SlotFeeder {
 public:
  explicit BoxExtruderStepper(klippy::ConfigSection& config);
  BoxExtruderStepper(const BoxExtruderStepper&) = delete;
  BoxExtruderStepper& operator=(const BoxExtruderStepper&) = delete;

  // {runout_button, rfid_state}, and the slot's part of the box's picture (box_status.h).
  std::optional<klippy::Value> get_status(double eventtime) override;

  // Motion on the private queue; print time in seconds.
  // Brings the slot's move clock and the toolhead's timeline together: the toolhead waits
  // for queued slot moves, or the next slot move starts where the toolhead's queue ends.
  void sync_print_time();
  // Plans one relative feed move from next_cmd_time on; it is queued, not waited for.
  void do_move(double movepos_mm, double speed_mm_s, double accel_mm_s2 = 50) override;
  // Plans the move on the private queue without asking the host for its steps; returns
  // the print time it starts at.
  double queue_move(double movepos_mm, double speed_mm_s, double accel_mm_s2);
  // Negative delays are ignored.
  void dwell(double delay_s) override;
  // Switches the motor off; a slot coupled to the extruder is handed back to it instead,
  // since its own moves took it off the extruder's queue.
  void disable_stepper() override;

  // Homing against box sensors; true when an endstop tripped. CommandError when the move
  // or an endstop wait fails.
  bool do_home(const feedhub::EndstopList& endstops, double movepos_mm, double speed_mm_s,
               double accel_mm_s2, bool triggered, bool motion = false);
  // Homing watched by the motion monitor, retried at lower speed after a jam.
  bool do_home_repeatedly(feedhub::BoxEndstop& box_endstop, double movepos_mm, double speed_mm_s,
                          double accel_mm_s2, bool triggered);
  // Rest time between endstop checks, in seconds.
  double _calc_endstop_rate(klippy::McuEndstop& mcu_endstop, const HomingPos& movepos,
                            double speed_mm_s) const;
  void drip_move(const HomingPos& newpos, double speed_mm_s, double accel_mm_s2,
                 const klippy::CompletionPtr& drip_completion);
  // Fires when any of `completions` reports a trip, or when all have finished.
  klippy::CompletionPtr multi_complete(const std::vector<klippy::CompletionPtr>& completions);

  // Pulls new filament in to the box outlet and parks it behind the outlet.
  feedhub::OpResult slot_load() override;
  // Withdraws the slot's filament to its runout sensor.
  void cmd_SLOT_UNLOAD(klippy::GCodeCommand& gcmd);
  feedhub::OpResult slot_unload() override;
  // Couples the slot motor to the extruder (only this slot) or uncouples it.
  void slot_sync(bool value) override;
  // When slot_sync names this slot, puts its motor back on the extruder's queue after the
  // moves queued so far; true when it did.
  bool follow_extruder_if_coupled() override;

  // Feeds the slot's filament from the box through the tube into the extruder, with a
  // recovery at the wipe positions, and couples the slot motor to the extruder.
  void cmd_EXTRUDER_LOAD(klippy::GCodeCommand& gcmd) override;
  // Withdraws the slot's filament from the extruder and parks it behind the box outlet;
  // during a print it is also where a run-out spool hands over to a replacement.
  void cmd_EXTRUDER_UNLOAD(klippy::GCodeCommand& gcmd, bool can_cut = true) override;
  feedhub::OpResult extruder_unload(bool can_cut) override;
  feedhub::OpResult extruder_load() override;

  // Called on every change of the slot's runout sensor; `state` 1 means no filament.
  void runout_button_callback(double eventtime, int state);
  // Purges what is left of a run-out filament out of the toolhead.
  feedhub::OpResult flush_all_filament();
  // Hands this slot's tool to a parked slot holding the same filament; its number or -1.
  int switch_next_slot() override;
  // The slot LED: wakes the LED timer at "klippy:ready"; the timer shows the slot state.
  void led_handle_connect();
  double set_led(double eventtime);
  // RFID_READ: reads the slot's filament tag while the strand passes the card reader.
  void cmd_SLOT_RFID_READ(klippy::GCodeCommand& gcmd);
  // True when the read ran to the end or was refused; false when the strand never reached
  // the outlet. CommandError when the reader does not answer or a move fails; the slot is
  // then free for the next read.
  bool read_slot_tag() override;
  // SLOT_PROMPT_MOVE: nudges a parked strand forward and back.
  void cmd_SLOT_PROMPT_MOVE(klippy::GCodeCommand& gcmd);

  int r_endstop_state() const override { return r_endstop_state_; }
  const std::string& stepper_name() const override { return stepper_name_; }
  int stepper_num() const override { return stepper_num_; }
  const std::string& stepper_label() const { return stepper_label_; }
  bool slot_not_unload() const { return slot_not_unload_; }
  double next_cmd_time() const { return next_cmd_time_; }
  int rfid_state() const { return rfid_state_; }
  bool is_drying() const override { return is_drying_; }
  bool follows_extruder() const override { return follows_extruder_; }
  void set_drying(bool drying) override;
  void turn_over(double distance_mm, double speed_mm_s, double accel_mm_s2) override;
  klippy::ExtruderStepper& extruder_stepper() { return *extruder_stepper_; }
  klippy::Stepper& stepper() { return stepper_; }
  feedhub::BoxEndstop& r_endstop() { return r_endstop_; }
  const klippy::TrapqPtr& trapq() const { return trapq_; }
  klippy::StepperEnableLine& se() { return se_; }

 private:
  klippy::Toolhead& toolhead();
  // Saves the slot's state under its name.
  void save_state(SlotState state);
  void log_sensor_states();
  // The saved tuning values of `key`; a value that would plan an impossible move switches
  // the motor off and fails the command.
  FeedMove checked_tuning(const TuningKey& key);
  // After a failed homing: parks `watch_timer` (when given) and switches the motor off.
  void stop_after_error(const klippy::TimerHandle& watch_timer);
  bool filament_at_extruder_entry();
  bool is_printing();
  // The wipe-and-push passes after the final approach failed; true once filament arrived.
  bool recover_extruder_load();
  // Pushes the filament from the box outlet until the extruder-entry sensor sees it: fast
  // through most of the tube, slowly over the stretch where the entry is expected, so that
  // the late reports of the sensor let it run only a few mm past. True once it was seen.
  bool reach_extruder_entry(const FeedMove& through_tube, const FeedMove& final_approach);
  // Waits until the entry sensor has reported on the filament as the slot's queued moves
  // leave it, and its endstop shows that report.
  void wait_for_entry_report();
  // The replacement search of switch_next_slot, announcing the hand-over as the success of
  // `runout_handling`, or only telling it when the purge before it failed (`purged` false);
  // the replacement or -1.
  int hand_over_tool(feedhub::ActivityScope& runout_handling, bool purged);
  // Reactor time at which the slot's queued moves will have ended; now when they have.
  double queued_moves_end();
  // Pulls back until the filament has passed the outlet; false when it did not or jammed.
  bool withdraw_from_extruder(const FeedMove& pull_back);
  feedhub::OpResult withdraw_and_park(bool can_cut);

  klippy::Printer& printer_;
  std::shared_ptr<klippy::ExtruderStepper> extruder_stepper_;
  klippy::Stepper& stepper_;
  std::string stepper_name_;
  feedhub::BoxButton runout_button_;
  int r_endstop_state_ = 0;
  bool slot_not_unload_ = true;
  feedhub::BoxEndstop r_endstop_;
  klippy::Reactor& reactor_;
  double next_cmd_time_ = 0.0;
  klippy::TrapqPtr trapq_;
  feedhub::FeedHub& feedhub_;
  // The parts of the box controller a slot works with.
  feedhub::BoxSensors& sensors_;
  feedhub::BoxState& box_state_;
  feedhub::VariableStore& variables_;
  feedhub::ErrorReporter& errors_;
  feedhub::ProgressLines& progress_;
  feedhub::BlackBox& black_box_;
  feedhub::BoxEndstop& b_endstop_;
  feedhub::BoxEndstop& e_endstop_;
  feedhub::BoxMotion& b_motion_;
  klippy::StepperEnableLine& se_;
  klippy::PrintStats& print_stats_;
  int stepper_num_;
  std::string stepper_label_;
  klippy::GCodeDispatch& gcode_;
  std::shared_ptr<klippy::PwmLed> led_;
  double red_value_ = 0;
  double white_value_ = 0;
  // The red and white levels last sent to the LED.
  std::optional<std::pair<double, double>> led_sent_;
  feedhub::ScopedTimer led_timer_;
  int rfid_state_ = 0;
  bool is_drying_ = false;
  bool follows_extruder_ = false;
  // While the slot's own moves carry its strand across the runout sensor, the sensor's
  // reports are only recorded; the last one reported is kept either way.
  bool own_moves_at_sensor_ = false;
  int sensor_report_ = 0;
  bool sensor_reported_ = false;
  // When the coupled strand's tail last left the sensor in a running print, and whether a
  // retraction has brought it back over the sensor since.
  static constexpr double kTailReturnS = 30.0;
  double tail_left_sensor_at_ = -1e9;
  bool tail_over_sensor_ = false;
  // Takes the slot's state from the last sensor report, when it differs from the state
  // the slot holds.
  void follow_sensor_again();
  // Clears the filament, colour and vendor saved for the slot's spool.
  void forget_filament();
  // Reports the spool of the print's slot as exhausted and pauses the print (a task of its
  // own: it takes the G-code lock).
  void pause_for_exhausted_spool();
};

}  // namespace feedlane
