// One emulated micro-controller: reads the host's byte stream, answers as the firmware
// would, and keeps the state the host configures (oids, the config CRC, shutdown).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devices.h"
#include "dictionary.h"
#include "protocol.h"

namespace mcu_emu {

class Mcu {
 public:
  // The free-running clock in ticks of constants.clock_freq; the host sees its low 32 bits.
  using Clock = std::function<std::uint64_t()>;

  // The tag a box's card reader sees: the reader's chip-select pin and the clock in, the
  // tag's bytes out, or nothing when no readable tag lies in front of it.
  using TagReader =
      std::function<std::optional<std::string>(std::uint32_t cs_pin, std::uint64_t clock)>;

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
  // Without one, a box's card readers find no tag.
  void set_tag_reader(TagReader reader) { tag_reader_ = std::move(reader); }
  const McuConstants& constants() const { return constants_; }
  // How far ahead of this controller's clock the host's timed commands arrived (ticks).
  struct Lead {
    std::int64_t min = 0;
    std::int64_t max = 0;
    std::uint64_t count = 0;
  };
  const Lead& lead() const { return lead_; }
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
  std::vector<Command> box_commands();
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
  void note_lead(std::uint32_t clock) {
    const auto ahead = static_cast<std::int64_t>(to_clock64(clock) - clock_());
    lead_.min = lead_.count ? std::min(lead_.min, ahead) : ahead;
    lead_.max = lead_.count ? std::max(lead_.max, ahead) : ahead;
    ++lead_.count;
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
  TagReader tag_reader_;
  Lead lead_;
  std::map<std::uint32_t, std::function<double(std::uint64_t)>> analog_sources_;
  std::map<std::uint32_t, LevelAt> inputs_;
  std::map<std::uint32_t, StepperMotion::Listener> stepper_listeners_;
  std::function<void(const std::string&)> trace_;
};

}  // namespace mcu_emu
