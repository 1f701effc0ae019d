// The simulated host's log: a file (or nothing), each line stamped with reactor time.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "klippy/host/log.h"

namespace sim {

class SimLogger final : public klippy::Logger {
 public:
  // `path` empty: log nowhere. `clock` gives the time stamp of each line.
  SimLogger(const std::string& path, std::function<double()> clock);
  void log(klippy::LogLevel level, const std::string& message) override;
  // Lines are also handed to `tap` (tests read the log this way).
  void set_tap(std::function<void(klippy::LogLevel, const std::string&)> tap) {
    tap_ = std::move(tap);
  }

 private:
  std::unique_ptr<std::ofstream> file_;
  std::function<double()> clock_;
  std::function<void(klippy::LogLevel, const std::string&)> tap_;
};

}  // namespace sim
