// How the box reports a failure: the numbered report and its retry step, the last error the
// status shows, and the pause with its notice on the front ends.
#pragma once

#include <optional>

#include "klippy/extras/feedhub/black_box.h"
#include "klippy/extras/feedhub/box_sensors.h"
#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/box_stats.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/host/components.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace feedhub {

class PrintJournal;

// The last numbered report the box made, and when (reactor time, s).
struct RecordedError {
  ErrorReport report;
  std::optional<int> slot;
  double time = 0.0;
};

class ErrorReporter {
 public:
  // The parts are bound now and used once the host runs. `error_prompt`: front-end dialogs
  // for failures that pause a print.
  ErrorReporter(klippy::Printer& printer, klippy::GCodeDispatch& gcode,
                klippy::PrintStats& print_stats, BlackBox& black_box, BoxState& box_state,
                BoxSensors& sensors, BoxStats& stats, PrintJournal& print_journal,
                bool error_prompt);
  ErrorReporter(const ErrorReporter&) = delete;
  ErrorReporter& operator=(const ErrorReporter&) = delete;

  // Sends the report and records its step in retry_step.
  void report_error(const ErrorReport& report, std::optional<int> slot = std::nullopt);
  // The message names `slot`, but the step recorded is one of no particular slot ("_00").
  void report_error_general_step(const ErrorReport& report, int slot);
  // Keeps the report as the last error of the status.
  void note_error(const ErrorReport& report, std::optional<int> slot);
  const std::optional<RecordedError>& last_error() const { return last_error_; }
  // Whether the last failed step was recorded while a print ran or was paused.
  bool step_recorded_in_print() const { return step_recorded_in_print_; }

  // Pauses the print for a reported failure and, when a print runs, puts the reason where
  // front ends show it: an error line, the display message and a dialog offering the retry.
  void pause_for_error(const ErrorReport& report, std::optional<int> slot);
  // Puts the reason of a pause where front ends show it.
  void announce_pause(const ErrorReport& report, std::optional<int> slot);
  bool notice_open() const { return notice_open_; }
  // Takes the reason of a pause off the display and closes its dialog.
  void close_error_notice();

 private:
  // Sends the report, records its step (naming `step_slot`, or no slot) and the box's
  // history, and says what the sensors see and where the record is.
  void make_report(const ErrorReport& report, std::optional<int> slot,
                   std::optional<int> step_slot);

  klippy::Printer& printer_;
  klippy::GCodeDispatch& gcode_;
  klippy::PrintStats& print_stats_;
  BlackBox& black_box_;
  BoxState& box_state_;
  BoxSensors& sensors_;
  BoxStats& stats_;
  PrintJournal& print_journal_;
  bool error_prompt_;
  bool step_recorded_in_print_ = false;
  std::optional<RecordedError> last_error_;
  bool notice_open_ = false;
};

}  // namespace feedhub
