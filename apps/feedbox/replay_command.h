// `feedbox replay DUMP`: starts the simulator where a box record's history begins, runs the
// recorded box commands again and reports, event by event, where the recorded sensor
// changes differ from the model's.
#pragma once

#include <iosfwd>
#include <string>

namespace feedbox {

struct ReplayOptions {
  std::string dump_path;
  std::string data_dir;  // empty: a temporary folder
  std::string log_path;
  bool verbose = false;  // also print the simulated printer's responses
};

// 0 when the record agrees with the model, 1 when it differs, 2 for a dump that cannot be
// read or a printer that cannot start.
int run_replay(const ReplayOptions& options, std::ostream& out, std::ostream& err);

}  // namespace feedbox
