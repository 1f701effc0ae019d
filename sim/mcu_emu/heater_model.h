// Heaters that heat: each heater of the printer configuration warms with the duty of its
// output pin and its thermistor's ADC input reads the temperature reached, so that the
// host's temperature control, its heater checks and its waits run against a plant.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/mcu_emu/devices.h"
#include "sim/mcu_emu/thermistor.h"

namespace mcu_emu {

inline constexpr double kAmbientCelsius = 25.0;

// A heater block warmed by its element: first order toward ambient + gain * duty, and a
// thermistor that follows the block with a lag of its own (which is what makes a PID
// loop overshoot a little, as on a printer).
struct ThermalPlant {
  double gain = 0.0;           // degrees above ambient at full power, in equilibrium
  double time_constant = 1.0;  // seconds
  double sensor_lag = 0.0;     // seconds
  double block = kAmbientCelsius;
  double sensor = kAmbientCelsius;

  void advance(double duty, double seconds);
};

// A hot end reaches 220 C from room in about half a minute at full power; a box's air
// heater warms its chamber over minutes.
ThermalPlant extruder_plant();
ThermalPlant box_plant();

struct HeatedPin {
  std::string heater;  // the configuration section, e.g. "extruder"
  std::string mcu;     // "mcu" or the NAME of [mcu NAME]
  std::uint32_t heater_pin = 0;
  std::uint32_t sensor_pin = 0;
  Thermistor thermistor;
  ThermalPlant plant;
};

// The pin number of an STM32 pin name ("PA1", "mcu_box2:PJ0", "!PB3") as the emulated
// dictionary numbers it, with the MCU name it is on; std::invalid_argument for other names.
std::pair<std::string, std::uint32_t> stm32_pin(const std::string& text);

// A section of the printer configuration as read from its files (a later definition of an
// option overrides an earlier one).
struct ConfigSection {
  std::string name;
  std::map<std::string, std::string> options;
  std::string source;  // "file:line", for error messages
};

// The heaters of a printer configuration ([extruder], [extruderN], [heater_bed],
// [heater_generic NAME]) with the thermistors their sensor_type names. Throws
// std::invalid_argument saying which section is wrong.
std::vector<HeatedPin> heated_pins(const std::vector<ConfigSection>& sections);

// The share of time an output pin is on: a software PWM's on-time over its cycle, a
// hardware PWM's value over pwm_max, 1 for a plain output that is on.
double output_duty(const Devices& devices, std::uint32_t pin, std::uint32_t pwm_max);

class Mcu;

class HeaterModels {
 public:
  explicit HeaterModels(std::vector<HeatedPin> heaters)
      : heaters_(std::move(heaters)), updated_at_(heaters_.size()) {}

  // The heaters on the controller named `name`, advanced to `seconds` with its outputs as
  // they are now; their sensor inputs read the new temperatures.
  void update(const std::string& name, Mcu& mcu, std::uint32_t pwm_max, double seconds);

  const std::vector<HeatedPin>& heaters() const { return heaters_; }

 private:
  std::vector<HeatedPin> heaters_;
  std::vector<std::optional<double>> updated_at_;
};

}  // namespace mcu_emu
