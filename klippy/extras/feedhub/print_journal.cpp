#include "klippy/extras/feedhub/print_journal.h"

#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/durations.h"
#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {
namespace {

// Short enough that the end-of-print line follows the host's own lines closely.
constexpr double kWatchPeriodS = 0.5;

bool in_print(const std::string& state) {
  return state == "printing" || state == "paused";
}

std::string counted(int count, const std::string& one, const std::string& many) {
  if (count == 0) return "no " + many;
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string print_end_line(const std::string& state, const PrintTally& tally) {
  std::string line = "Box during the print (" + state +
                     "): " + counted(tally.tool_changes, "tool change", "tool changes");
  if (tally.tool_changes > 0) line += " taking " + readable_duration(tally.change_time_s);
  return line + ", " + counted(tally.errors, "error", "errors") + ", " +
         counted(tally.retries, "retry", "retries") + ".";
}

void PrintJournal::start() {
  state_ = hub_.print_stats().state();
  watch_ = ScopedTimer(
      hub_.reactor(), [this](double eventtime) { return watch(eventtime); },
      hub_.reactor().monotonic() + kWatchPeriodS);
}

void PrintJournal::check() {
  if (swap_ && hub_.box_state().loaded_slot() == swap_->to_slot) {
    tally_.change_time_s += hub_.reactor().monotonic() - swap_->since;
    swap_.reset();
  }
  const std::string now = hub_.print_stats().state();
  if (now == state_) return;
  const std::string before = std::exchange(state_, now);
  follow(before, now);
}

double PrintJournal::watch(double eventtime) {
  check();
  return eventtime + kWatchPeriodS;
}

void PrintJournal::follow(const std::string& before, const std::string& now) {
  if (!in_print(before) && in_print(now)) {
    tally_ = {};
    swap_.reset();
    box_paused_ = false;
  }
  if (before == "paused" && now == "printing" && std::exchange(box_paused_, false))
    hub_.gcode().respond_info("Print resumed");
  if (in_print(before) && !in_print(now)) {
    box_paused_ = false;
    swap_.reset();
    hub_.gcode().respond_info(print_end_line(now, tally_));
  }
}

void PrintJournal::count_tool_change(double duration_s) {
  check();
  if (!in_print(state_)) return;
  ++tally_.tool_changes;
  tally_.change_time_s += duration_s;
}

void PrintJournal::count_tool_swap(int to_slot) {
  check();
  if (!in_print(state_)) return;
  ++tally_.tool_changes;
  swap_ = Swap{to_slot, hub_.reactor().monotonic()};
}

void PrintJournal::count_error() {
  check();
  if (in_print(state_)) ++tally_.errors;
}

void PrintJournal::count_retry() {
  check();
  if (in_print(state_)) ++tally_.retries;
}

}  // namespace feedhub
