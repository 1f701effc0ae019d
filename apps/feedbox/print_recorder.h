// Watches one print job of the simulated host and gathers what its report tells: the
// print's own lines (tool changes), the console (error codes), the box heaters' targets and
// the slots' feed motors.
#pragma once

#include <memory>
#include <string>

#include "apps/feedbox/print_report.h"
#include "sim/host/host.h"

namespace feedbox {

class PrintRecorder {
 public:
  // Starts watching; construct it right before the job starts. `file` names the print.
  PrintRecorder(sim::SimHost& host, std::string file);
  PrintRecorder(const PrintRecorder&) = delete;
  PrintRecorder& operator=(const PrintRecorder&) = delete;

  // Every console response of the host while the print runs.
  void note_output(const std::string& text);
  // Stops watching and returns the report of the print as it stands: call it once the job
  // has ended or paused, while the host still runs. Hooks left behind without it stay
  // harmless: they hold the recorder only weakly.
  PrintReport finish();

 private:
  struct State;
  sim::SimHost& host_;
  std::shared_ptr<State> state_;
};

}  // namespace feedbox
