// The two kinds of error the host understands: a failed command (shown to the user as
// "!! message", the host goes on) and a configuration error (start-up fails).
#pragma once

#include <stdexcept>
#include <string>

namespace klippy {

class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace klippy
