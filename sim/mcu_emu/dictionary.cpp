#include "dictionary.h"

#include <zlib.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace mcu_emu {
namespace {

constexpr const char* kIdentifyResponse = "identify_response offset=%u data=%.*s";
constexpr const char* kIdentify = "identify offset=%u count=%c";

std::string compress(const std::string& text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("zlib could not compress the data dictionary");
  out.resize(size);
  return out;
}

}  // namespace

Dictionary::Dictionary(const std::vector<std::string>& commands,
                       const std::vector<std::string>& responses,
                       const std::vector<std::string>& shutdown_reasons,
                       const McuConstants& constants) {
  nlohmann::json json_commands = {{kIdentify, 1}};
  nlohmann::json json_responses = {{kIdentifyResponse, 0}};
  commands_.emplace(1, MessageFormat(1, kIdentify));
  responses_.emplace("identify_response", MessageFormat(0, kIdentifyResponse));
  int next_id = 2;
  for (const auto& format : commands) {
    commands_.emplace(next_id, MessageFormat(next_id, format));
    json_commands[format] = next_id++;
  }
  for (const auto& format : responses) {
    MessageFormat message(next_id, format);
    responses_.emplace(message.name(), message);
    json_responses[format] = next_id++;
  }
  nlohmann::json strings = nlohmann::json::object();
  std::uint16_t string_id = 1;
  for (const auto& reason : shutdown_reasons) {
    static_strings_[reason] = string_id;
    strings[reason] = string_id++;
  }
  // STM32 pins PA0..PK15 as ranges: "PA0": [first value, count].
  nlohmann::json pins = nlohmann::json::object();
  for (int port = 0; port < 11; ++port)
    pins[std::string("P") + static_cast<char>('A' + port) + "0"] = {port * 16, 16};
  nlohmann::json enumerations = {{"pin", pins}, {"static_string_id", strings}};
  // A host resolves spi_bus names (and an absent spi_bus to the bus numbered 0) from here.
  if (constants.card_reader) enumerations["spi_bus"] = {{"spi2", 0}, {"spi1", 1}};
  const nlohmann::json dictionary = {
      {"app", "feedbox-mcu"},
      {"version", "feedbox-mcu-emulator"},
      {"build_versions", ""},
      {"commands", json_commands},
      {"responses", json_responses},
      {"enumerations", enumerations},
      {"config",
       {{"MCU", constants.mcu},
        {"CLOCK_FREQ", constants.clock_freq},
        {"ADC_MAX", constants.adc_max},
        {"PWM_MAX", constants.pwm_max},
        {"STATS_SUMSQ_BASE", 256},
        {"STEPPER_STEP_BOTH_EDGE", 1}}},
  };
  json_ = dictionary.dump();
  compressed_ = compress(json_);
}

const MessageFormat* Dictionary::command(int id) const {
  const auto it = commands_.find(id);
  return it == commands_.end() ? nullptr : &it->second;
}

const MessageFormat& Dictionary::response(const std::string& name) const {
  const auto it = responses_.find(name);
  if (it == responses_.end()) throw std::logic_error("no response named " + name);
  return it->second;
}

std::uint16_t Dictionary::static_string_id(const std::string& text) const {
  const auto it = static_strings_.find(text);
  if (it == static_strings_.end()) throw std::logic_error("no static string: " + text);
  return it->second;
}

}  // namespace mcu_emu
