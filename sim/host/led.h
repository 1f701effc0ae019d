// A PWM LED ([led NAME] or the LED options of another section): remembers the colour last
// set, publishes it as status and answers SET_LED LED=<last word of the section name>.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/gcode.h"

namespace sim {

class SimMcu;

class SimPwmLed final : public klippy::PwmLed {
 public:
  // Reads only red_pin, green_pin, blue_pin, white_pin, cycle_time, hardware_pwm and
  // initial_RED/GREEN/BLUE/WHITE; at least one pin is required.
  explicit SimPwmLed(klippy::ConfigSection& config);

  void update_leds(const std::vector<klippy::Color>& colors,
                   std::optional<double> print_time) override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  const klippy::Color& color() const { return color_; }
  // Print time of the last update (nullopt: as soon as possible).
  std::optional<double> last_print_time() const { return last_print_time_; }
  // Updates sent so far: each one costs the host a round of MCU commands.
  unsigned long update_count() const { return update_count_; }
  void cmd_SET_LED(klippy::GCodeCommand& gcmd);

 private:
  static constexpr double kStartValueDelayS = 0.2;

  SimMcu* mcu_ = nullptr;  // of the first pin, by which the host schedules them all
  std::array<bool, 4> channels_{};
  klippy::Color sent_{};
  double start_value_time_ = 0.;
  double scheduled_until_ = 0.;
  klippy::Color color_{};
  std::optional<double> last_print_time_;
  unsigned long update_count_ = 0;
};

std::shared_ptr<klippy::PwmLed> make_pwm_led(klippy::ConfigSection& config);

}  // namespace sim
