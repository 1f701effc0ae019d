// `feedbox console`: an interactive printer console (readline) on the real clock.
#pragma once

#include <optional>
#include <string>

#include "apps/feedbox/panel_server.h"

namespace feedbox {

struct ConsoleOptions {
  std::string config_path;
  int boxes = 1;
  std::string data_dir;
  std::string log_path;
  bool virtual_clock = false;
  std::optional<ServeOptions> serve;  // the box panel (real clock only)
};

int run_console(const ConsoleOptions& options);

}  // namespace feedbox
