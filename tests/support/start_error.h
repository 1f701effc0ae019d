// What a host refuses at start, for tests of configuration errors.
#pragma once

#include <string>

#include "klippy/host/errors.h"

namespace testing_support {

// The message of the ConfigError that starting a fresh `Host` with `setup` raises; "" when
// it starts.
template <typename Host, typename Setup>
std::string start_error(const Setup& setup) {
  Host host;
  try {
    host.start(setup);
  } catch (const klippy::ConfigError& e) {
    return e.what();
  }
  return "";
}

}  // namespace testing_support
