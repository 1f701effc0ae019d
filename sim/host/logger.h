// The simulated host's log: a file (or nothing), each line stamped with reactor time; and
// the box's own log in the data directory, as on a printer.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "klippy/host/log.h"

namespace sim {

// A log file that, grown past `max_bytes`, becomes path.1 (path.1 becomes path.2, ...);
// `backups` old files are kept, so the log never takes more than (backups + 1) files.
class RotatingLogFile {
 public:
  RotatingLogFile(std::string path, std::uintmax_t max_bytes, int backups);
  void write(const std::string& line);

 private:
  void rotate();

  std::string path_;
  std::uintmax_t max_bytes_;
  int backups_;
  std::ofstream file_;
  std::uintmax_t size_ = 0;
};

class SimLogger final : public klippy::Logger {
 public:
  // `path` empty: log nowhere. `clock` gives the time stamp of each line. `box_log_path`
  // not empty: every line goes there too, rotated as on a printer.
  SimLogger(const std::string& path, std::function<double()> clock,
            const std::string& box_log_path = {});
  void log(klippy::LogLevel level, const std::string& message) override;
  // Lines are also handed to `tap` (tests read the log this way).
  void set_tap(std::function<void(klippy::LogLevel, const std::string&)> tap) {
    tap_ = std::move(tap);
  }

  static constexpr std::uintmax_t kBoxLogBytes = 2 * 1024 * 1024;
  static constexpr int kBoxLogBackups = 4;

 private:
  std::unique_ptr<std::ofstream> file_;
  std::unique_ptr<RotatingLogFile> box_log_;
  std::function<double()> clock_;
  std::function<void(klippy::LogLevel, const std::string&)> tap_;
};

}  // namespace sim
