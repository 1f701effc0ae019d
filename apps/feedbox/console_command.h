// `feedbox console`: an interactive printer console (readline) on the real clock.
#pragma once

#include <string>

namespace feedbox {

struct ConsoleOptions {
  std::string config_path;
  int boxes = 1;
  std::string data_dir;
  std::string log_path;
  bool virtual_clock = false;
};

int run_console(const ConsoleOptions& options);

}  // namespace feedbox
