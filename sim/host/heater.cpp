#include "sim/host/heater.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "klippy/host/printer.h"
#include "sim/host/heaters.h"

namespace sim {
namespace {

constexpr double kKelvinToCelsius = -273.15;
// The host's PID controller counts a heater as settled within this many degrees.
constexpr double kPidSettleDelta_c = 1.;

std::string short_name(const std::string& section) {
  auto space = section.rfind(' ');
  return space == std::string::npos ? section : section.substr(space + 1);
}

// Reads the options of the temperature sensor. The simulation derives the temperature from
// its heating model, so the sensor's wiring is only accepted.
void read_sensor_options(klippy::ConfigSection& config) {
  config.get("sensor_type");
  config.get("sensor_pin", "");
  config.getfloat("pullup_resistor", 4700., {.above = 0.});
  config.getfloat("inline_resistor", 0., {.minval = 0.});
  config.getfloat("adc_voltage", 5., {.above = 0.});
  config.getfloat("voltage_offset", 0.);
}

}  // namespace

SimHeater::SimHeater(klippy::ConfigSection& config, double default_time_constant_s)
    : reactor_(config.get_printer().get_reactor()),
      heaters_(config.get_printer().lookup_object<SimHeaters>(SimHeaters::kName)),
      section_name_(config.get_name()),
      name_(short_name(section_name_)) {
  read_sensor_options(config);
  min_temp_c_ = config.getfloat("min_temp", {}, {.minval = kKelvinToCelsius});
  max_temp_c_ = config.getfloat("max_temp", {}, {.above = min_temp_c_});
  min_extrude_temp_c_ =
      config.getfloat("min_extrude_temp", 170., {.minval = min_temp_c_, .maxval = max_temp_c_});
  max_power_ = config.getfloat("max_power", 1., {.maxval = 1., .above = 0.});
  config.getfloat("smooth_time", 1., {.above = 0.});
  config.get("heater_pin");
  config.getfloat("pwm_cycle_time", 0.1, {.maxval = 0.5, .above = 0.});
  pid_control_ = config.getchoice("control", {"watermark", "pid"}) == "pid";
  if (pid_control_) {
    config.getfloat("pid_Kp");
    config.getfloat("pid_Ki");
    config.getfloat("pid_Kd");
  } else {
    max_delta_c_ = config.getfloat("max_delta", 2., {.above = 0.});
  }
  gcode_id_ = config.get("gcode_id", "");
  time_constant_s_ = config.getfloat("sim_time_constant", default_time_constant_s, {.above = 0.});
  ambient_c_ = config.getfloat("sim_ambient_temp", 25., {.minval = kKelvinToCelsius});
  ref_time_ = reactor_.monotonic();
  ref_temp_c_ = ambient_c_;

  heaters_.add_heater(*this);
  auto& gcode = config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_mux_command(
      "SET_HEATER_TEMPERATURE", "HEATER", name_,
      [this](klippy::GCodeCommand& gcmd) {
        heaters_.set_temperature(*this, gcmd.get_float("TARGET", 0.), false);
      },
      "Sets a heater temperature");
}

double SimHeater::temperature_at(double eventtime) const {
  const double goal = target_c_ > 0. ? target_c_ : ambient_c_;
  const double elapsed = std::max(0., eventtime - ref_time_);
  return goal + (ref_temp_c_ - goal) * std::exp(-elapsed / time_constant_s_);
}

void SimHeater::set_temp(double degrees) {
  if (degrees != 0. && (degrees < min_temp_c_ || degrees > max_temp_c_)) {
    char text[160];
    std::snprintf(text, sizeof text, "Requested temperature (%.1f) out of range (%.1f:%.1f)",
                  degrees, min_temp_c_, max_temp_c_);
    throw klippy::CommandError(text);
  }
  const double now = reactor_.monotonic();
  ref_temp_c_ = temperature_at(now);
  ref_time_ = now;
  target_c_ = degrees;
  if (target_observer_) target_observer_(degrees);
}

std::pair<double, double> SimHeater::get_temp(double eventtime) const {
  return {temperature_at(eventtime), target_c_};
}

bool SimHeater::check_busy(double eventtime) const {
  const double temp = temperature_at(eventtime);
  if (pid_control_) return std::abs(target_c_ - temp) > kPidSettleDelta_c;
  return temp < target_c_ - max_delta_c_;
}

bool SimHeater::can_extrude(double eventtime) const {
  return min_extrude_temp_c_ <= 0. || temperature_at(eventtime) >= min_extrude_temp_c_;
}

double SimHeater::power(double eventtime) const {
  if (target_c_ <= 0.) return 0.;
  // Holding a temperature takes power in proportion to the loss to the surroundings; the
  // rest of the range drives the approach.
  const double span = std::max(1., max_temp_c_ - ambient_c_);
  const double hold = (target_c_ - ambient_c_) / span;
  const double drive = (target_c_ - temperature_at(eventtime)) / (0.1 * span);
  return std::clamp(hold + drive, 0., max_power_);
}

std::optional<klippy::Value> SimHeater::get_status(double eventtime) {
  const double temp = std::round(temperature_at(eventtime) * 100.) / 100.;
  return klippy::Value(klippy::Value::Dict{
      {"temperature", temp}, {"target", target_c_}, {"power", power(eventtime)}});
}

}  // namespace sim
