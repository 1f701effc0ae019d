#include "sim/host/led.h"

#include <array>

#include "klippy/host/printer.h"
#include "sim/host/pins.h"

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
      pins.lookup_pin_option(config, kPinOptions[i], true, false);
      any_pin = true;
    }
    color_[i] = config.getfloat(kInitialOptions[i], 0., {0., 1., {}, {}});
  }
  if (!any_pin)
    throw klippy::ConfigError("No LED pin definitions found in section '" + config.get_name() +
                              "'; set red_pin, green_pin, blue_pin or white_pin");
  config.getfloat("cycle_time", 0.010, {{}, {}, 0., {}});
  config.getboolean("hardware_pwm", false);
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
