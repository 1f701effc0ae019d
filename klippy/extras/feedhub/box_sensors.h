// The box's shared sensors: the outlet sensor (box_button), the extruder-entry hall sensor,
// the filament motion monitor, and the software endstops that mirror the two filament
// sensors onto their pins while a slot homes against them. Also the two flags front ends
// and the reload read: the box busy (box_button_state) and whether a slot may load now.
#pragma once

#include <functional>
#include <string>

#include "klippy/extras/feedhub/black_box.h"
#include "klippy/extras/feedhub/box_button.h"
#include "klippy/extras/feedhub/box_endstop.h"
#include "klippy/extras/feedhub/box_motion.h"
#include "klippy/extras/feedhub/box_output.h"
#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/printer.h"

namespace feedhub {

class BoxSensors {
 public:
  // Mirror timers run at this period while armed.
  static constexpr double kMirrorPeriodS = 0.01;

  // `black_box` records every sensor change; it is only used once the host runs.
  // `slot_count` answers how many slots the log line lists (those of the saved box count).
  BoxSensors(klippy::ConfigSection& config, BlackBox& black_box, std::function<int()> slot_count);
  BoxSensors(const BoxSensors&) = delete;
  BoxSensors& operator=(const BoxSensors&) = delete;

  // The outlet sensor's pin changed: 1 clear, 0 filament.
  void b_button_callback(double eventtime, int state);
  // Mirror timers: copy the sensor onto its endstop pin.
  double update_b_endstop(double eventtime);
  double update_e_endstop(double eventtime);
  // The host has connected to its MCUs (their sensors start reporting some seconds later).
  void note_connected(double eventtime) { connected_at_ = eventtime; }
  // Waits, in the first seconds after the host connected, until the sensors the box reads
  // have reported: before that the outlet reads "filament" and the entry reads nothing,
  // whatever is there. Returns at once afterwards. Only where the host allows waits.
  void await_first_reports();
  // Whether the sensors the box reads have reported since the host connected (no wait).
  bool first_reports_in(double eventtime);
  // Logs every box sensor, 1 meaning filament detected.
  void print_sensor_state_to_log(double eventtime) noexcept;

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

  // The hall sensor sees filament at the extruder entry (recorded in the black box).
  bool filament_at_extruder_entry();
  // The hall sensor: the one found at connect, or looked up now for calls that come earlier.
  klippy::HallFilamentWidthSensor& filament_hall();
  // Looks the hall sensor up once every section is loaded; null when there is none.
  klippy::HallFilamentWidthSensor* find_filament_hall();

 private:
  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  BlackBox& black_box_;
  std::function<int()> slot_count_;
  std::string sensor_str_tips_;
  std::string box_sensor_str_tips_;
  BoxButton b_button_;
  int b_endstop_state_ = 0;
  bool outlet_reported_ = false;
  bool first_reports_seen_ = false;
  double connected_at_ = 0.;
  BoxEndstop b_endstop_;
  BoxOutput b_output_;
  BoxMotion b_motion_;
  ScopedTimer b_endstop_timer_;
  BoxEndstop e_endstop_;
  BoxOutput e_output_;
  ScopedTimer e_endstop_timer_;
  bool can_load_slot_ = true;
  int box_button_state_ = 0;
  klippy::HallFilamentWidthSensor* filament_hall_ = nullptr;
};

}  // namespace feedhub
