// The host log: diagnostics for the printer owner, never shown on the console.
#pragma once

#include <string>

namespace klippy {

enum class LogLevel { Debug, Info, Warning, Error };

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void log(LogLevel level, const std::string& message) = 0;
  void debug(const std::string& m) { log(LogLevel::Debug, m); }
  void info(const std::string& m) { log(LogLevel::Info, m); }
  void warning(const std::string& m) { log(LogLevel::Warning, m); }
  void error(const std::string& m) { log(LogLevel::Error, m); }
};

}  // namespace klippy
