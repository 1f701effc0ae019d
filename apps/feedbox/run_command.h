// `feedbox run`: start the simulated printer, run console commands, files and print jobs
// in the order given, and report.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "apps/feedbox/panel_server.h"

namespace feedbox {

struct RunItem {
  enum class Kind { Command, File, Print };
  Kind kind;
  std::string text;  // the G-code line, or the file's path
};

struct RunOptions {
  std::string config_path;
  int boxes = 1;
  std::string data_dir;
  std::string log_path;
  // Where to write the report of the --print job as JSON as well ("" for none).
  std::string report_json_path;
  std::vector<RunItem> items;
  double settle_s = 10.0;
  double after_s = 0.0;
  bool dump_vars = false;
  bool status = false;
  bool realtime = false;
  bool verbose = false;               // every temperature report while waiting for a heater
  std::optional<ServeOptions> serve;  // the box panel while the run lasts (real clock only)
};

// Returns the process exit code: 0 when the run completed (and its --print with it), 2 for a
// configuration that cannot start or an unreadable input file, 3 when the --print did not
// complete (paused, cancelled, failed or still running at the end).
int run_simulation(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace feedbox
