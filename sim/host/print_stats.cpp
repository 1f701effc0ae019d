#include "sim/host/print_stats.h"

#include <algorithm>

#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace sim {

SimPrintStats::SimPrintStats(klippy::ConfigSection& config)
    : reactor_(config.get_printer().get_reactor()) {}

double SimPrintStats::elapsed(double now) const {
  if (state_ == "standby") return 0.0;
  double end = (state_ == "printing" || state_ == "paused") ? now : end_time_;
  return std::max(0.0, end - start_time_);
}

std::optional<klippy::Value> SimPrintStats::get_status(double eventtime) {
  double total = elapsed(eventtime);
  double paused = paused_total_ + (state_ == "paused" ? eventtime - paused_since_ : 0.0);
  return klippy::Value(klippy::Value::Dict{
      {"filename", filename_},
      {"total_duration", total},
      {"print_duration", std::max(0.0, total - paused)},
      {"state", state_},
      {"message", message_},
  });
}

void SimPrintStats::note_start(const std::string& filename) {
  double now = reactor_.monotonic();
  if (state_ == "paused") {
    note_resume();
    return;
  }
  reset();
  filename_ = filename;
  start_time_ = now;
  state_ = "printing";
}

void SimPrintStats::note_pause() {
  if (state_ != "printing") return;
  paused_since_ = reactor_.monotonic();
  state_ = "paused";
}

void SimPrintStats::note_resume() {
  if (state_ != "paused") return;
  paused_total_ += reactor_.monotonic() - paused_since_;
  state_ = "printing";
}

void SimPrintStats::note_complete() {
  end_time_ = reactor_.monotonic();
  state_ = "complete";
}

void SimPrintStats::note_error(const std::string& message) {
  end_time_ = reactor_.monotonic();
  message_ = message;
  state_ = "error";
}

void SimPrintStats::note_cancel() {
  end_time_ = reactor_.monotonic();
  state_ = "cancelled";
}

void SimPrintStats::reset() {
  state_ = "standby";
  filename_.clear();
  message_.clear();
  start_time_ = end_time_ = paused_since_ = paused_total_ = 0.0;
}

SimIdleTimeout::SimIdleTimeout(klippy::ConfigSection& config)
    : reactor_(config.get_printer().get_reactor()),
      printer_(config.get_printer()),
      idle_gcode_(config.get("gcode", "TURN_OFF_HEATERS\nM84")),
      timeout_s_(config.getfloat("timeout", 600.0, {.above = 0.0})) {
  timer_ = reactor_.register_timer([this](double eventtime) { return check(eventtime); });
}

std::optional<klippy::Value> SimIdleTimeout::get_status(double eventtime) {
  double printing_time = state_ == "Printing" ? eventtime - print_start_ : 0.0;
  return klippy::Value(klippy::Value::Dict{{"state", state_}, {"printing_time", printing_time}});
}

void SimIdleTimeout::note_activity(double eventtime, double busy_until) {
  if (state_ != "Printing") {
    state_ = "Printing";
    print_start_ = eventtime;
  }
  busy_until_ = std::max(busy_until_, busy_until);
  reactor_.update_timer(timer_, busy_until_);
}

double SimIdleTimeout::check(double eventtime) {
  if (state_ == "Printing") {
    if (eventtime < busy_until_) return busy_until_;
    state_ = "Ready";
    return eventtime + timeout_s_;
  }
  if (state_ == "Ready") {
    state_ = "Idle";
    if (!idle_gcode_.empty()) {
      try {
        printer_.lookup_object<klippy::GCodeDispatch>("gcode").run_script(idle_gcode_);
      } catch (const std::exception& e) {
        printer_.log().warning(std::string("Idle timeout G-code failed: ") + e.what());
      }
    }
  }
  return klippy::Reactor::NEVER;
}

}  // namespace sim
