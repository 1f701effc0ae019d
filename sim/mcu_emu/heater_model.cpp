#include "heater_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/mcu_emu/mcu.h"

namespace mcu_emu {
namespace {

const std::string* option(const ConfigSection& section, const std::string& key) {
  const auto it = section.options.find(key);
  return it == section.options.end() ? nullptr : &it->second;
}

// A resistance option in ohms, or `fallback` when the section has none.
double ohms(const ConfigSection& section, const std::string& key, double fallback) {
  const std::string* text = option(section, key);
  if (!text) return fallback;
  std::size_t used = 0;
  double value = -1.0;
  try {
    value = std::stod(*text, &used);
  } catch (const std::logic_error&) {
    used = 0;
  }
  if (used != text->size() || value < 0.0)
    throw std::invalid_argument("option '" + key + "' is '" + *text +
                                "', not a resistance in ohms (a number such as 4700)");
  return value;
}

bool is_heater(const std::string& name) {
  return name == "heater_bed" || name.rfind("heater_generic ", 0) == 0 ||
         (name.rfind("extruder", 0) == 0 && name.find(' ') == std::string::npos);
}

}  // namespace

void ThermalPlant::advance(double duty, double seconds) {
  if (seconds <= 0.0) return;
  const double target = kAmbientCelsius + gain * std::clamp(duty, 0.0, 1.0);
  block += (target - block) * (1.0 - std::exp(-seconds / time_constant));
  sensor = sensor_lag > 0.0 ? sensor + (block - sensor) * (1.0 - std::exp(-seconds / sensor_lag))
                            : block;
}

ThermalPlant extruder_plant() {
  return {.gain = 700.0, .time_constant = 60.0, .sensor_lag = 2.0};
}

ThermalPlant box_plant() {
  return {.gain = 60.0, .time_constant = 120.0, .sensor_lag = 3.0};
}

std::pair<std::string, std::uint32_t> stm32_pin(const std::string& text) {
  std::string pin = text;
  pin.erase(0, std::min(pin.find_first_not_of("^~! "), pin.size()));
  std::string mcu = "mcu";
  if (const auto colon = pin.find(':'); colon != std::string::npos) {
    mcu = pin.substr(0, colon);
    pin.erase(0, colon + 1);
  }
  const bool valid = pin.size() >= 3 && pin.size() <= 4 && pin[0] == 'P' && pin[1] >= 'A' &&
                     pin[1] <= 'K' && std::all_of(pin.begin() + 2, pin.end(), ::isdigit) &&
                     std::stoi(pin.substr(2)) < 16;
  if (!valid) throw std::invalid_argument("'" + text + "' is not an STM32 pin (PA0 to PK15)");
  return {mcu, static_cast<std::uint32_t>((pin[1] - 'A') * 16 + std::stoi(pin.substr(2)))};
}

std::vector<HeatedPin> heated_pins(const std::vector<ConfigSection>& sections) {
  std::vector<HeatedPin> heaters;
  for (const auto& section : sections) {
    if (!is_heater(section.name)) continue;
    const std::string* heater_pin = option(section, "heater_pin");
    const std::string* sensor_pin = option(section, "sensor_pin");
    const std::string* sensor_type = option(section, "sensor_type");
    if (!heater_pin || !sensor_pin || !sensor_type)
      throw std::invalid_argument("section '" + section.name + "' (" + section.source +
                                  ") needs heater_pin, sensor_type and sensor_pin");
    try {
      const auto [heater_mcu, heater_number] = stm32_pin(*heater_pin);
      const auto [sensor_mcu, sensor_number] = stm32_pin(*sensor_pin);
      if (heater_mcu != sensor_mcu)
        throw std::invalid_argument(
            "its heater_pin and sensor_pin are on different boards; the emulator models a "
            "heater with its sensor on one board");
      heaters.push_back(
          {.heater = section.name,
           .mcu = heater_mcu,
           .heater_pin = heater_number,
           .sensor_pin = sensor_number,
           .thermistor = Thermistor::named(
               *sensor_type, ohms(section, "pullup_resistor", Thermistor::kDefaultPullup),
               ohms(section, "inline_resistor", 0.0)),
           .plant = section.name.rfind("extruder", 0) == 0 ? extruder_plant() : box_plant()});
    } catch (const std::logic_error& e) {
      throw std::invalid_argument("section '" + section.name + "' (" + section.source +
                                  "): " + e.what());
    }
  }
  return heaters;
}

double output_duty(const Devices& devices, std::uint32_t pin, std::uint32_t pwm_max) {
  for (const auto& [oid, out] : devices.digital_outs) {
    if (out.pin != pin) continue;
    if (out.value == 0) return 0.0;
    if (out.cycle_ticks == 0 || out.on_ticks == 0) return 1.0;
    return std::min(1.0, static_cast<double>(out.on_ticks) / out.cycle_ticks);
  }
  for (const auto& [oid, out] : devices.pwm_outs)
    if (out.pin == pin) return pwm_max ? static_cast<double>(out.value) / pwm_max : 0.0;
  return 0.0;
}

void HeaterModels::update(const std::string& name, Mcu& mcu, std::uint32_t pwm_max,
                          double seconds) {
  for (std::size_t i = 0; i < heaters_.size(); ++i) {
    HeatedPin& h = heaters_[i];
    if (h.mcu != name) continue;
    const double elapsed = updated_at_[i] ? seconds - *updated_at_[i] : 0.0;
    updated_at_[i] = seconds;
    h.plant.advance(output_duty(mcu.devices(), h.heater_pin, pwm_max), elapsed);
    mcu.set_analog_fraction(h.sensor_pin, h.thermistor.adc_fraction(h.plant.sensor));
  }
}

}  // namespace mcu_emu
