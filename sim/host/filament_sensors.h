// The host's filament sensors: the motion (encoder) sensor, whose switch toggles while
// filament moves through it, and the hall filament width sensor (hall_sensor.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/gcode.h"
#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"
#include "sim/host/hall_sensor.h"

namespace sim {

class SimMcu;

// [filament_motion_sensor NAME]. Filament counts as detected while the extruder has moved
// less than detection_length since the switch last toggled. On a change the usual runout
// handling runs: pause and runout_gcode while printing, insert_gcode otherwise.
class SimFilamentMotionSensor final : public klippy::FilamentMotionSensor {
 public:
  static constexpr double kCheckInterval_s = 0.25;
  // Changes right after start-up are settling, not events.
  static constexpr double kStartupQuiet_s = 2.0;

  explicit SimFilamentMotionSensor(klippy::ConfigSection& config);
  ~SimFilamentMotionSensor() override;

  double detection_length() const override { return detection_length_mm_; }
  // Level of the switch pin (after inversion) at the current print time.
  int button_state() const override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  bool filament_detected() const { return filament_present_; }
  bool enabled() const { return enabled_; }
  void cmd_SET_FILAMENT_SENSOR(klippy::GCodeCommand& gcmd);
  void cmd_QUERY_FILAMENT_SENSOR(klippy::GCodeCommand& gcmd);

 private:
  void handle_ready();
  void on_toggle(double eventtime);
  double check_extruder(double eventtime);
  std::optional<double> extruder_position(double eventtime) const;
  void note_filament_present(double eventtime, bool present);
  void run_event_gcode(bool present);

  klippy::Printer& printer_;
  std::string name_;
  klippy::PinParams switch_pin_;
  SimMcu* mcu_ = nullptr;
  double detection_length_mm_;
  std::string extruder_name_;
  bool pause_on_runout_;
  std::string runout_gcode_;
  std::string insert_gcode_;
  double event_delay_s_;
  double pause_delay_s_;
  klippy::Extruder* extruder_ = nullptr;
  std::optional<double> runout_position_mm_;
  bool filament_present_ = false;
  bool enabled_ = true;
  double min_event_time_ = klippy::Reactor::NEVER;
  klippy::TimerHandle check_timer_;
};

}  // namespace sim
