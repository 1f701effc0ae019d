// What `feedbox run --print` tells at the end of a print: how it ended, how long it took,
// its tool changes, the filament each slot fed, the box error codes and heater targets, and
// the slots' final states. As aligned text for a person and as JSON for scripts.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "klippy/host/value.h"

namespace feedbox {

enum class PrintOutcome { Complete, Paused, Cancelled, Failed, Unfinished };
const char* outcome_name(PrintOutcome outcome);

// One span from a TOOL_CHANGE_START line to the next TOOL_CHANGE_END line of the print.
struct ToolChangeSpan {
  size_t start_line = 0;
  size_t end_line = 0;  // 0: the print stopped before the change ended
  double duration_s = 0.;
};

struct SlotReport {
  std::string name;  // "slot0"
  // Whether the slot has a feed motor; without one nothing was measured.
  bool has_motor = false;
  // Forward travel of the slot's feed motor, and forward minus backward travel. Reloads
  // and retractions push the same filament again, so fed_mm can exceed what the spool lost;
  // net_mm is what left (negative: more was pulled back into the box than went out).
  double fed_mm = 0.;
  double net_mm = 0.;
  // The slot's saved state; none when never saved.
  std::optional<klippy::Value> state;
};

struct PrintReport {
  std::string file;
  PrintOutcome outcome = PrintOutcome::Unfinished;
  size_t lines = 0;       // lines in the file
  size_t stop_line = 0;   // line being run when a print paused, failed or was cancelled
  std::string message;    // why a failed print failed
  double printed_s = 0.;  // simulated time from the start of the print to its end
  std::vector<ToolChangeSpan> tool_changes;
  std::vector<std::string> error_codes;  // "ZKE_004_005", in the order raised
  int pauses = 0;                        // times the print paused (and was resumed, if it went on)
  // Box heater, and the distinct targets it was given, in the order first set.
  std::vector<std::pair<std::string, std::vector<double>>> heater_targets;
  std::vector<SlotReport> slots;
  // The pre-flight check run before the print started (verdict, summary line and a row
  // per tool); none without a box controller.
  std::optional<klippy::Value> preflight;

  double tool_change_total_s() const;
};

// Every "Code:ZKE_004_nnn" in a console response, as "ZKE_004_nnn", in order.
std::vector<std::string> find_error_codes(const std::string& text);

std::string format_print_report(const PrintReport& report);
nlohmann::ordered_json print_report_json(const PrintReport& report);

// Why a report could not be written to `path` (a folder, a missing folder, no permission),
// or none when it can. Leaves no file behind.
std::optional<std::string> report_path_problem(const std::string& path);
// Throws std::runtime_error naming the path when the file cannot be written.
void write_print_report_json(const PrintReport& report, const std::string& path);

}  // namespace feedbox
