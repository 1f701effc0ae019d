#include "sim/host/led.h"

#include <algorithm>
#include <array>

#include "klippy/host/printer.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"
#include "sim/host/printer.h"

namespace sim {
namespace {

constexpr std::array<const char*, 4> kPinOptions = {"red_pin", "green_pin", "blue_pin",
                                                    "white_pin"};
constexpr std::array<const char*, 4> kInitialOptions = {"initial_RED", "initial_GREEN",
                                                        "initial_BLUE", "initial_WHITE"};
constexpr std::array<const char*, 4> kColorParams = {"RED", "GREEN", "BLUE", "WHITE"};

std::string last_word(const std::string& name) {
  const auto space = name.rfind(' ');
  return space == std::string::npos ? name : name.substr(space + 1);
}

}  // namespace

SimPwmLed::SimPwmLed(klippy::ConfigSection& config) {
  klippy::Printer& printer = config.get_printer();
  auto& pins = printer.lookup_object<SimPins>("pins");
  bool any_pin = false;
  for (std::size_t i = 0; i < kPinOptions.size(); ++i) {
    if (config.get_optional(kPinOptions[i])) {
      SimMcu& mcu = SimPins::sim_chip(pins.lookup_pin_option(config, kPinOptions[i], true, false));
      if (!mcu_) mcu_ = &mcu;
      channels_[i] = true;
      any_pin = true;
    }
    color_[i] = config.getfloat(kInitialOptions[i], 0., {0., 1., {}, {}});
  }
  if (!any_pin)
    throw klippy::ConfigError("No LED pin definitions found in section '" + config.get_name() +
                              "'; set red_pin, green_pin, blue_pin or white_pin");
  config.getfloat("cycle_time", 0.010, {{}, {}, 0., {}});
  config.getboolean("hardware_pwm", false);
  sent_ = color_;
  printer.register_event_handler("klippy:connect", [this] {
    start_value_time_ = mcu_->estimated_print_time(mcu_->reactor().monotonic()) + kStartValueDelayS;
  });
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_mux_command(
      "SET_LED", "LED", last_word(config.get_name()),
      [this](klippy::GCodeCommand& gcmd) { cmd_SET_LED(gcmd); }, "Set the color of an LED");
}

void SimPwmLed::update_leds(const std::vector<klippy::Color>& colors,
                            std::optional<double> print_time) {
  ++update_count_;
  if (!colors.empty()) color_ = colors.front();
  last_print_time_ = print_time;
  // As the host schedules it: the MCU's minimum schedule time ahead, and after the last
  // change. The host configures each PWM pin with its start value 0.2 s after it connects
  // and holds later changes back until then; one scheduled earlier reaches the MCU after
  // its time, and the MCU shuts down.
  double when = print_time.value_or(mcu_->estimated_print_time(mcu_->reactor().monotonic()) +
                                    SimMcu::kMinScheduleTime_s);
  when = std::max(when, scheduled_until_ + SimMcu::kMinScheduleTime_s);
  for (std::size_t i = 0; i < color_.size(); ++i) {
    if (!channels_[i] || sent_[i] == color_[i]) continue;
    if (when < start_value_time_) {
      if (auto* printer = dynamic_cast<SimPrinter*>(&mcu_->printer()))
        printer->invoke_shutdown("MCU '" + mcu_->get_name() + "' shutdown: Timer too close");
      return;
    }
    scheduled_until_ = when;
  }
  sent_ = color_;
}

std::optional<klippy::Value> SimPwmLed::get_status(double /*eventtime*/) {
  klippy::Value::List rgbw;
  for (double c : color_) rgbw.emplace_back(c);
  return klippy::Value(
      klippy::Value::Dict{{"color_data", klippy::Value::List{klippy::Value(std::move(rgbw))}}});
}

void SimPwmLed::cmd_SET_LED(klippy::GCodeCommand& gcmd) {
  klippy::Color color{};
  for (std::size_t i = 0; i < kColorParams.size(); ++i)
    color[i] = gcmd.get_float(kColorParams[i], 0., {0., 1., {}, {}});
  update_leds({color}, std::nullopt);
}

std::shared_ptr<klippy::PwmLed> make_pwm_led(klippy::ConfigSection& config) {
  return std::make_shared<SimPwmLed>(config);
}

}  // namespace sim
