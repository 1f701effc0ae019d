// One emulated micro-controller: reads the host's byte stream, answers as the firmware
// would, and keeps the state the host configures (oids, the config CRC, shutdown).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices.h"
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
  const Devices& devices() const { return devices_; }
  // What an analog pin reads from now on, as a fraction of full scale (out of the host's
  // range it shuts the controller down, as a broken sensor does).
  void set_analog_fraction(std::uint32_t pin, double fraction);
  // What an analog pin reads at a clock, as a fraction of full scale (the world behind it).
  void set_analog_source(std::uint32_t pin, std::function<double(std::uint64_t)> source);
  // An input pin driven from outside (a sensor of the world) instead of the pin's own level.
  void attach_input(std::uint32_t pin, LevelAt level);
  // Follows the stepper on `step_pin` from its configuration on (and after each reset).
  void follow_stepper(std::uint32_t step_pin, StepperMotion::Listener listener);
  std::uint32_t clock_freq() const { return constants_.clock_freq; }
  // Sees every command the controller runs ("name param=value ..."), for tracing a session.
  void set_trace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

 private:
  using Handler = std::function<void(const Params&)>;
  struct Command {
    std::string format;
    Handler handler;
    bool allowed_in_shutdown = false;
  };

  std::vector<Command> commands();
  std::vector<Command> device_commands();
  std::vector<Command> motion_commands();
  void poll_motion(std::uint64_t now);
  // Trips the trsync at `clock` and reports it; false when it had tripped already.
  bool trip(std::uint32_t trsync_oid, std::uint32_t reason, std::uint64_t clock);
  void send_trsync_state(std::uint32_t oid, const Trsync& trsync, std::uint64_t clock);
  std::uint32_t level_at(std::uint32_t pin, std::uint64_t clock) const;
  std::vector<Command> all_commands();
  void poll_devices(std::uint64_t now);
  void outputs_to_defaults();
  std::optional<std::uint64_t> renewal_deadline(std::uint32_t clock, bool non_default,
                                                std::uint32_t max_duration) const;
  bool claim_oid(std::uint32_t oid);
  bool claim_other(std::uint32_t oid, const std::string& kind);
  // The object of that oid and kind; a shutdown when there is none.
  template <typename Map>
  typename Map::mapped_type* find(Map& objects, std::uint32_t oid) {
    const auto it = objects.find(oid);
    if (it != objects.end()) return &it->second;
    shutdown("Invalid oid type");
    return nullptr;
  }
  // A 32-bit clock from the host, placed within half a wrap of now.
  std::uint64_t to_clock64(std::uint32_t clock) const {
    const std::uint64_t now = clock_();
    return now + static_cast<std::uint64_t>(static_cast<std::int64_t>(
                     static_cast<std::int32_t>(clock - static_cast<std::uint32_t>(now))));
  }
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
  Devices devices_;
  std::map<std::uint32_t, double> analog_fractions_;
  std::map<std::uint32_t, std::function<double(std::uint64_t)>> analog_sources_;
  std::map<std::uint32_t, LevelAt> inputs_;
  std::map<std::uint32_t, StepperMotion::Listener> stepper_listeners_;
  std::function<void(const std::string&)> trace_;
};

}  // namespace mcu_emu
