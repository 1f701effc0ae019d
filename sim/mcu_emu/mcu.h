// One emulated micro-controller: reads the host's byte stream, answers as the firmware
// would, and keeps the state the host configures (oids, the config CRC, shutdown).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary.h"
#include "protocol.h"

namespace mcu_emu {

class Mcu {
 public:
  // The free-running clock in ticks of constants.clock_freq; the host sees its low 32 bits.
  using Clock = std::function<std::uint64_t()>;

  Mcu(const McuConstants& constants, Clock clock);

  // Takes bytes from the host and returns the bytes to send back (replies, then the ack).
  std::string receive(std::string_view bytes);
  // The periodic load report (every five seconds, as the firmware sends it); empty when
  // none is due.
  std::string poll();

  const Dictionary& dictionary() const { return dictionary_; }
  bool is_shutdown() const { return shutdown_reason_.has_value(); }
  bool is_configured() const { return config_crc_.has_value(); }

 private:
  using Handler = std::function<void(const Params&)>;
  struct Command {
    std::string format;
    Handler handler;
    bool allowed_in_shutdown = false;
  };

  std::vector<Command> commands();
  void dispatch(std::string_view payload);
  void send(const std::string& response, const std::vector<ParamValue>& values);
  void shutdown(const std::string& reason);
  std::uint32_t clock32() const { return static_cast<std::uint32_t>(clock_()); }

  McuConstants constants_;
  Clock clock_;
  std::vector<Command> commands_;
  Dictionary dictionary_;
  FrameReader reader_;
  std::string output_;
  std::optional<std::string> shutdown_reason_;
  std::optional<std::uint32_t> config_crc_;
  std::optional<std::uint32_t> oid_count_;
  std::uint64_t next_stats_ = 0;
};

}  // namespace mcu_emu
