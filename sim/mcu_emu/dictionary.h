// The data dictionary an emulated micro-controller hands the host on `identify`: its
// commands and responses with their ids, the pin names of an STM32 (so printer
// configurations name pins as on the real board), its shutdown reasons and constants.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "message.h"

namespace mcu_emu {

struct McuConstants {
  std::string mcu = "stm32f407xx";
  std::uint32_t clock_freq = 168000000;
  std::uint32_t adc_max = 4095;
  std::uint32_t pwm_max = 255;
  std::uint32_t move_count = 1024;
  // Analog readings in batches (`values=%*s`, newer hosts) instead of one `value=%hu`.
  bool batched_analog = false;
  // A box's firmware: SPI and the FM17550 card reader's commands.
  bool card_reader = false;
};

class Dictionary {
 public:
  // Ids 0 and 1 are fixed by the protocol for identify_response and identify.
  Dictionary(const std::vector<std::string>& commands, const std::vector<std::string>& responses,
             const std::vector<std::string>& shutdown_reasons, const McuConstants& constants);

  const MessageFormat* command(int id) const;
  const MessageFormat& response(const std::string& name) const;
  std::uint16_t static_string_id(const std::string& text) const;
  // The zlib-compressed JSON the host reads in pieces through identify.
  const std::string& compressed() const { return compressed_; }
  const std::string& json() const { return json_; }

 private:
  std::map<int, MessageFormat> commands_;
  std::map<std::string, MessageFormat> responses_;
  std::map<std::string, std::uint16_t> static_strings_;
  std::string json_;
  std::string compressed_;
};

}  // namespace mcu_emu
