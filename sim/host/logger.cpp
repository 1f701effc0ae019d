#include "sim/host/logger.h"

#include <cstdio>

#include "klippy/host/errors.h"

namespace sim {

SimLogger::SimLogger(const std::string& path, std::function<double()> clock)
    : clock_(std::move(clock)) {
  if (path.empty()) return;
  file_ = std::make_unique<std::ofstream>(path, std::ios::app);
  if (!*file_) throw klippy::ConfigError("Unable to open log file '" + path + "'");
}

void SimLogger::log(klippy::LogLevel level, const std::string& message) {
  if (tap_) tap_(level, message);
  if (!file_) return;
  static constexpr const char* kNames[] = {"DEBUG", "INFO", "WARNING", "ERROR"};
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%.3f] ", clock_ ? clock_() : 0.0);
  *file_ << stamp << kNames[static_cast<int>(level)] << ": " << message << '\n';
  file_->flush();
}

}  // namespace sim
