#include "sim/host/pins.h"

#include <algorithm>
#include <cctype>

#include "klippy/host/errors.h"
#include "sim/host/mcu.h"

namespace sim {
namespace {

constexpr const char* kPinFormat = "[^|~][!][chip_name:]pin_name";
// Longer than any pin an MCU's dictionary lists ("PA0", "gpio23", "ADC_TEMPERATURE").
constexpr std::size_t kLongestPinName = 32;
constexpr std::size_t kPinNameShown = 24;

std::string trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

bool valid_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '.';
  });
}

std::string key_of(const klippy::PinParams& p) {
  return p.chip_name + ":" + p.pin;
}

}  // namespace

void SimPins::register_chip(const std::string& chip_name, SimMcu& mcu) {
  if (chips_.count(chip_name))
    throw klippy::ConfigError("Duplicate chip name '" + chip_name +
                              "'; give every [mcu NAME] section its own name");
  chips_[chip_name] = &mcu;
}

SimMcu& SimPins::chip(const std::string& chip_name) const {
  auto it = chips_.find(chip_name);
  if (it == chips_.end())
    throw klippy::ConfigError("Unknown pin chip name '" + chip_name + "'; add an [mcu " +
                              chip_name + "] section or fix the chip name");
  return *it->second;
}

SimMcu& SimPins::sim_chip(const klippy::PinParams& pin) {
  auto* mcu = dynamic_cast<SimMcu*>(pin.chip);
  if (!mcu) throw klippy::ConfigError("Pin '" + pin.pin + "' is not on a simulated MCU");
  return *mcu;
}

klippy::PinParams SimPins::parse_pin(const std::string& pin_desc, bool can_invert,
                                     bool can_pullup) {
  std::string desc = trim(pin_desc);
  klippy::PinParams params;
  std::size_t pos = 0;
  if (pos < desc.size() && (desc[pos] == '^' || desc[pos] == '~')) {
    if (!can_pullup)
      throw klippy::ConfigError("Pin '" + pin_desc + "' does not support pullup; remove the '" +
                                desc[pos] + "'");
    params.pullup = desc[pos] == '^' ? 1 : -1;
    ++pos;
  }
  if (pos < desc.size() && desc[pos] == '!') {
    if (!can_invert)
      throw klippy::ConfigError("Pin '" + pin_desc + "' does not support invert; remove the '!'");
    params.invert = true;
    ++pos;
  }
  std::string rest = desc.substr(pos);
  params.chip_name = "mcu";
  if (auto colon = rest.find(':'); colon != std::string::npos) {
    params.chip_name = trim(rest.substr(0, colon));
    rest = trim(rest.substr(colon + 1));
  }
  if (!valid_name(rest) || !valid_name(params.chip_name))
    throw klippy::ConfigError("Invalid pin description '" + pin_desc + "'; the format is " +
                              kPinFormat);
  params.chip = &chip(params.chip_name);
  // The host refuses such a name when it configures the MCU; shown cut, as it may be huge.
  if (rest.size() > kLongestPinName)
    throw klippy::ConfigError(
        "Unknown value '" + rest.substr(0, kPinNameShown) + "...' (" + std::to_string(rest.size()) +
        " characters) in enumeration 'pin'; name a pin of MCU '" + params.chip_name + "', as PA0");
  params.pin = rest;
  return params;
}

klippy::PinParams SimPins::lookup_pin(const std::string& pin_desc, bool can_invert, bool can_pullup,
                                      const std::string& share_type) {
  klippy::PinParams params = parse_pin(pin_desc, can_invert, can_pullup);
  const std::string key = key_of(params);
  auto it = active_.find(key);
  if (it == active_.end()) {
    active_[key] = {params, share_type};
    return params;
  }
  const Reservation& taken = it->second;
  const bool shared =
      multi_use_.count(key) || (!share_type.empty() && share_type == taken.share_type);
  if (!shared)
    throw klippy::ConfigError("pin " + params.pin + " used multiple times in config (chip '" +
                              params.chip_name + "'); give each user its own pin");
  if (taken.params.invert != params.invert || taken.params.pullup != params.pullup)
    throw klippy::ConfigError("Shared pin " + params.pin + " of chip '" + params.chip_name +
                              "' must have the same polarity and pull-up for every user");
  return params;
}

klippy::PinParams SimPins::lookup_pin_option(klippy::ConfigSection& config,
                                             const std::string& option, bool can_invert,
                                             bool can_pullup, const std::string& share_type) {
  const std::string desc = config.get(option);
  try {
    return lookup_pin(desc, can_invert, can_pullup, share_type);
  } catch (const klippy::ConfigError& e) {
    throw klippy::ConfigError(std::string(e.what()) + " (option '" + option + "' in section '" +
                              config.get_name() + "')");
  }
}

void SimPins::allow_multi_use_pin(const std::string& pin_desc) {
  klippy::PinParams params = parse_pin(pin_desc, true, true);
  multi_use_.insert(key_of(params));
}

void SimPins::attach_signal(const std::string& pin_desc, std::shared_ptr<PinSignal> signal) {
  klippy::PinParams params = parse_pin(pin_desc, true, true);
  sim_chip(params).attach_signal(params.pin, std::move(signal));
}

std::unique_ptr<klippy::McuEndstop> SimPins::setup_endstop(const std::string& pin_desc) {
  klippy::PinParams params = lookup_pin(pin_desc, true, true);
  return params.chip->setup_endstop(params);
}

std::unique_ptr<klippy::McuDigitalOut> SimPins::setup_digital_out(const std::string& pin_desc) {
  klippy::PinParams params = lookup_pin(pin_desc, true, false);
  return params.chip->setup_digital_out(params);
}

}  // namespace sim
