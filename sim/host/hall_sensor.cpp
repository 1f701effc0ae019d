#include "sim/host/hall_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "klippy/host/gcode.h"
#include "sim/host/environment.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"

namespace sim {
namespace {

// The MCU's ADC range, and the host's scale of a reading (round(value * 10000)).
constexpr double kAdcMax = 4095.;
constexpr double kReadingScale = 10000.;

double now_print_time(klippy::Printer& printer) {
  auto& env = printer.lookup_object<SimEnvironment>(SimEnvironment::kName);
  return env.clock().print_time(printer.get_reactor().monotonic());
}

double reactor_time(klippy::Printer& printer, double print_time) {
  return printer.lookup_object<SimEnvironment>(SimEnvironment::kName).clock().eventtime(print_time);
}

// Python's round(): halves go to the even neighbour (the default rounding mode).
double python_round(double value, int digits = 0) {
  const double scale = std::pow(10., digits);
  return std::nearbyint(value * scale) / scale;
}

}  // namespace

SimHallFilamentWidthSensor::SimHallFilamentWidthSensor(klippy::ConfigSection& config)
    : printer_(config.get_printer()) {
  auto& pins = printer_.lookup_object<SimPins>("pins");
  pins.lookup_pin_option(config, "adc1", false, false);
  pins.lookup_pin_option(config, "adc2", false, false);
  calibration_.dia1_mm = config.getfloat("cal_dia1", 1.5);
  calibration_.dia2_mm = config.getfloat("cal_dia2", 2.0);
  const long long raw_dia1 = config.getint("raw_dia1", 9500);
  const long long raw_dia2 = config.getint("raw_dia2", 10500);
  calibration_.raw1 = static_cast<double>(raw_dia1);
  calibration_.raw2 = static_cast<double>(raw_dia2);
  config.getint("measurement_interval", 10);
  nominal_diameter_mm_ = config.getfloat("default_nominal_filament_diameter", {}, {.above = 1.});
  config.getfloat("measurement_delay", {}, {.above = 0.});
  const double max_difference = config.getfloat("max_difference", 0.2);
  max_difference_mm_ = max_difference;
  active_ = config.getboolean("enable", false);
  runout_min_mm_ = config.getfloat("min_diameter", 1.0);
  flow_compensation_ = config.getboolean("enable_flow_compensation", true);
  config.getfloat("max_diameter", nominal_diameter_mm_ + max_difference);
  config.getboolean("logging", false);
  config.getboolean("use_current_dia_while_delay", false);
  if (raw_dia1 == raw_dia2)
    throw klippy::ConfigError(
        "hall_filament_width_sensor: raw_dia1 and raw_dia2 must be different");
  if (nominal_diameter_mm_ - max_difference <= 0.)
    throw klippy::ConfigError(
        "hall_filament_width_sensor: max_difference must be less than "
        "default_nominal_filament_diameter");
  diameter_mm_ = nominal_diameter_mm_;
  // Its runout helper's options.
  config.getboolean("pause_on_runout", true);
  config.get("runout_gcode", "");
  config.get("insert_gcode", "");
  config.getfloat("pause_delay", 0.5, {.above = 0.});
  config.getfloat("event_delay", 3.0, {.minval = 0.});
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  klippy::Reactor& reactor = printer_.get_reactor();
  report_timer_ = reactor.register_timer([this](double eventtime) { return report(eventtime); });
  flow_timer_ =
      reactor.register_timer([this](double eventtime) { return compensate_flow(eventtime); });
  printer_.register_event_handler("klippy:connect", [this] { start_reports(); });
  printer_.register_event_handler("klippy:ready", [this, &reactor] {
    reactor.update_timer(flow_timer_, klippy::Reactor::NOW);
  });
  gcode.register_command("QUERY_FILAMENT_WIDTH", [this](klippy::GCodeCommand& gcmd) {
    char text[64];
    std::snprintf(text, sizeof text, "Filament diameter: %.3f mm", diameter());
    gcmd.respond_info(active_ ? text : "Filament diameter: sensor disabled");
  });
  gcode.register_command("ENABLE_FILAMENT_WIDTH_SENSOR", [this](klippy::GCodeCommand& gcmd) {
    active_ = true;
    printer_.get_reactor().update_timer(flow_timer_, klippy::Reactor::NOW);
    gcmd.respond_info("Filament width sensor: ON");
  });
  gcode.register_command("DISABLE_FILAMENT_WIDTH_SENSOR", [this](klippy::GCodeCommand& gcmd) {
    active_ = false;
    gcmd.respond_info("Filament width sensor: OFF");
  });
}

SimHallFilamentWidthSensor::~SimHallFilamentWidthSensor() {
  klippy::Reactor& reactor = printer_.get_reactor();
  if (report_timer_) reactor.unregister_timer(report_timer_);
  if (flow_timer_) reactor.unregister_timer(flow_timer_);
}

void SimHallFilamentWidthSensor::start_reports() {
  // The host's query slot: a whole second of print time, 1.5 s or more ahead.
  window_start_ = std::trunc(now_print_time(printer_) + kFirstReportDelay_s);
  next_adc_ = 0;
  const double last_sample = (kSampleCount - 1) * kSampleTime_s;
  printer_.get_reactor().update_timer(
      report_timer_, reactor_time(printer_, window_start_ + last_sample) + SimMcu::kQueryLatency_s);
}

double SimHallFilamentWidthSensor::report(double /*eventtime*/) {
  const int adc = next_adc_;
  readings_[static_cast<std::size_t>(adc)] = read_adc(window_start_ + adc * kAdcStagger_s);
  if (adc == 1) {
    // The host's adc2_callback.
    diameter_mm_ = active_ ? (5. * diameter_mm_ + latest_reading_mm()) / 6. : nominal_diameter_mm_;
    window_start_ += kReportTime_s;
  }
  next_adc_ = 1 - adc;
  const double last_sample = (kSampleCount - 1) * kSampleTime_s;
  return reactor_time(printer_, window_start_ + next_adc_ * kAdcStagger_s + last_sample) +
         SimMcu::kQueryLatency_s;
}

long SimHallFilamentWidthSensor::read_adc(double window_start) const {
  const Calibration& c = calibration_;
  long sum = 0;
  for (int i = 0; i < kSampleCount; ++i) {
    const double covered_mm = source_ ? source_(window_start + i * kSampleTime_s) : 0.;
    // The two ADCs share the raw value that the calibration maps to this diameter.
    const double raw_sum =
        c.raw1 + (covered_mm - c.dia1_mm) * (c.raw2 - c.raw1) / (c.dia2_mm - c.dia1_mm);
    const double level = raw_sum / 2. / kReadingScale;
    sum += std::lround(std::clamp(level, 0., 1.) * kAdcMax);
  }
  return std::lround(
      python_round(static_cast<double>(sum) / (kSampleCount * kAdcMax) * kReadingScale));
}

double SimHallFilamentWidthSensor::reading_mm(long raw_sum) const {
  const Calibration& c = calibration_;
  return python_round(
      (c.dia2_mm - c.dia1_mm) / (c.raw2 - c.raw1) * (static_cast<double>(raw_sum) - c.raw1) +
          c.dia1_mm,
      2);
}

double SimHallFilamentWidthSensor::latest_reading_mm() const {
  return reading_mm(readings_[0] + readings_[1]);
}

// The host's measurement delay (the width is applied once the extruder has moved the
// measured filament to the nozzle) is left out: the width measured now is used.
double SimHallFilamentWidthSensor::compensate_flow(double eventtime) {
  if (!active_ || !flow_compensation_) return klippy::Reactor::NEVER;
  const double width = diameter();
  long percent = 100;
  if (width > runout_min_mm_ && std::abs(width - nominal_diameter_mm_) <= max_difference_mm_)
    percent = std::lround(nominal_diameter_mm_ * nominal_diameter_mm_ / (width * width) * 100.);
  try {
    printer_.lookup_object<klippy::GCodeDispatch>("gcode").run_script("M221 S" +
                                                                      std::to_string(percent));
  } catch (const klippy::CommandError&) {
    // Refused only while the host is not ready; the next second tries again.
  }
  return eventtime + 1.0;
}

double SimHallFilamentWidthSensor::diameter() const {
  return active_ ? diameter_mm_ : nominal_diameter_mm_;
}

std::optional<klippy::Value> SimHallFilamentWidthSensor::get_status(double /*eventtime*/) {
  return klippy::Value(
      klippy::Value::Dict{{"Diameter", diameter()},
                          {"Raw", static_cast<long long>(readings_[0] + readings_[1])},
                          {"is_active", active_}});
}

}  // namespace sim
