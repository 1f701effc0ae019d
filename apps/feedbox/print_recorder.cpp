#include "apps/feedbox/print_recorder.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/components.h"
#include "klippy/host/errors.h"
#include "sim/host/environment.h"
#include "sim/host/heater.h"
#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "sim/world/stepper.h"

namespace feedbox {
namespace {

// Motion older than the toolhead's history is freed, and the filament world drops a feed
// motor's past couplings as it moves on; sampling this often keeps every bit of travel.
constexpr double kFeedSamplePeriod_s = 0.25;
using feedhub::kMaxSlots;
constexpr int kMaxBoxHeaters = feedhub::kMaxBoxCount;

// Forward travel and net travel of one constant-acceleration stretch.
std::pair<double, double> travel_mm(const sim::Segment& s) {
  auto forward = [&](double a, double b) {
    return std::max(0., s.position_at(b) - s.position_at(a));
  };
  const double net = s.position_at(s.end_time) - s.position_at(s.start_time);
  if (s.accel != 0.) {
    const double reversal = s.start_time - s.start_v / s.accel;
    if (reversal > s.start_time && reversal < s.end_time) {
      return {forward(s.start_time, reversal) + forward(reversal, s.end_time), net};
    }
  }
  return {forward(s.start_time, s.end_time), net};
}

std::string command_of(const std::string& line) {
  try {
    return sim::parse_gcode_line(line).command;
  } catch (const klippy::CommandError&) {
    return "";
  }
}

struct FeedOdometer {
  int slot;
  std::shared_ptr<sim::SimStepper> stepper;
  double counted_until_print_time;
  double fed_mm = 0.;
  double net_mm = 0.;

  void count_until(double print_time) {
    if (print_time <= counted_until_print_time) return;
    for (const auto& segment : stepper->segments(counted_until_print_time, print_time)) {
      auto [fed, net] = travel_mm(segment);
      fed_mm += fed;
      net_mm += net;
    }
    counted_until_print_time = print_time;
  }
};

}  // namespace

struct PrintRecorder::State {
  double start_s = 0.;
  PrintReport report;
  std::optional<ToolChangeSpan> open_change;
  double open_change_since_s = 0.;
  std::vector<FeedOdometer> odometers;
  klippy::TimerHandle sampler;
  sim::SimPrintJob* job = nullptr;
  std::vector<sim::SimHeater*> heaters;
  bool watching = true;

  void note_target(const std::string& heater, double degrees) {
    auto entry = std::find_if(report.heater_targets.begin(), report.heater_targets.end(),
                              [&](const auto& e) { return e.first == heater; });
    if (entry == report.heater_targets.end()) {
      report.heater_targets.push_back({heater, {}});
      entry = std::prev(report.heater_targets.end());
    }
    if (std::find(entry->second.begin(), entry->second.end(), degrees) == entry->second.end()) {
      entry->second.push_back(degrees);
    }
  }

  void note_line(size_t number, const std::string& line, sim::SimPrintJob::LinePhase phase,
                 double now_s) {
    const std::string command = command_of(line);
    if (phase == sim::SimPrintJob::LinePhase::Started && command == "TOOL_CHANGE_START" &&
        !open_change) {
      open_change = ToolChangeSpan{number, 0, 0.};
      open_change_since_s = now_s;
    } else if (phase == sim::SimPrintJob::LinePhase::Finished && command == "TOOL_CHANGE_END" &&
               open_change) {
      open_change->end_line = number;
      open_change->duration_s = now_s - open_change_since_s;
      report.tool_changes.push_back(*open_change);
      open_change.reset();
    }
  }
};

PrintRecorder::PrintRecorder(sim::SimHost& host, std::string file)
    : host_(host), state_(std::make_shared<State>()) {
  klippy::Reactor& reactor = host.reactor();
  klippy::Printer& printer = host.printer();
  state_->start_s = reactor.monotonic();
  state_->report.file = std::move(file);
  std::weak_ptr<State> weak = state_;

  state_->job = printer.lookup_object_or_null<sim::SimPrintJob>("virtual_sdcard");
  if (state_->job) {
    state_->job->set_line_observer(
        [weak, &reactor](size_t number, const std::string& line, auto phase) {
          if (auto state = weak.lock()) state->note_line(number, line, phase, reactor.monotonic());
        });
  }
  for (int box = 1; box <= kMaxBoxHeaters; ++box) {
    const std::string name = "heater_box" + std::to_string(box);
    auto* heater = printer.lookup_object_or_null<sim::SimHeater>("heater_generic " + name);
    if (!heater) continue;
    heater->set_target_observer([weak, name](double degrees) {
      if (auto state = weak.lock()) state->note_target(name, degrees);
    });
    state_->heaters.push_back(heater);
  }

  auto* environment =
      printer.lookup_object_or_null<sim::SimEnvironment>(sim::SimEnvironment::kName);
  if (!environment) return;
  const double start_print_time = environment->clock().print_time(state_->start_s);
  for (int slot = 0; slot < kMaxSlots; ++slot) {
    if (auto stepper = environment->feed_stepper("feedlane slot" + std::to_string(slot))) {
      state_->odometers.push_back({slot, std::move(stepper), start_print_time});
    }
  }
  if (state_->odometers.empty()) return;
  const sim::PrintClock clock = environment->clock();
  state_->sampler = reactor.register_timer(
      [weak, clock](double eventtime) {
        auto state = weak.lock();
        if (!state || !state->watching) return klippy::Reactor::NEVER;
        for (auto& odometer : state->odometers) odometer.count_until(clock.print_time(eventtime));
        return eventtime + kFeedSamplePeriod_s;
      },
      state_->start_s + kFeedSamplePeriod_s);
}

void PrintRecorder::note_output(const std::string& text) {
  if (!state_->watching) return;
  for (auto& code : find_error_codes(text)) state_->report.error_codes.push_back(std::move(code));
}

PrintReport PrintRecorder::finish() {
  State& state = *state_;
  PrintReport& report = state.report;
  if (!state.watching) return report;
  state.watching = false;
  const double now_s = host_.reactor().monotonic();
  report.printed_s = now_s - state.start_s;

  if (state.sampler) host_.reactor().unregister_timer(state.sampler);
  for (auto* heater : state.heaters) heater->set_target_observer(nullptr);
  // Moves already planned belong to the print even when they run after its last line.
  for (auto& odometer : state.odometers) {
    odometer.count_until(std::numeric_limits<double>::infinity());
  }

  if (state.open_change) {
    state.open_change->duration_s = now_s - state.open_change_since_s;
    report.tool_changes.push_back(*state.open_change);
    state.open_change.reset();
  }

  klippy::Printer& printer = host_.printer();
  if (state.job) {
    state.job->set_line_observer(nullptr);
    report.lines = state.job->size();
    report.stop_line = state.job->position();
  }
  auto* stats = printer.lookup_object_or_null<sim::SimPrintStats>("print_stats");
  const std::string stats_state = stats ? stats->state() : "";
  if (state.job && state.job->is_paused()) {
    report.outcome = PrintOutcome::Paused;
  } else if (state.job && state.job->is_active()) {
    report.outcome = PrintOutcome::Unfinished;
  } else if (stats_state == "complete") {
    report.outcome = PrintOutcome::Complete;
  } else if (stats_state == "cancelled") {
    report.outcome = PrintOutcome::Cancelled;
  } else if (stats_state == "error") {
    report.outcome = PrintOutcome::Failed;
    if (auto status = stats->get_status(now_s)) {
      if (const klippy::Value* message = status->find("message")) report.message = message->str();
    }
  }

  const klippy::VariableMap* variables = nullptr;
  if (auto* saved = printer.lookup_object_or_null<klippy::SaveVariables>("save_variables")) {
    variables = &saved->all_variables();
  }
  int slot_count = 0;
  if (variables) {
    auto box_count = variables->find("box_count");
    if (box_count != variables->end() && box_count->second.is_int()) {
      slot_count = feedhub::slot_count_of_boxes(static_cast<int>(
          std::clamp<std::int64_t>(box_count->second.as_int(), 0, feedhub::kMaxBoxCount)));
    }
  }
  for (const auto& odometer : state.odometers) slot_count = std::max(slot_count, odometer.slot + 1);
  for (int slot = 0; slot < slot_count; ++slot) {
    SlotReport entry;
    entry.name = "slot" + std::to_string(slot);
    for (const auto& odometer : state.odometers) {
      if (odometer.slot != slot) continue;
      entry.has_motor = true;
      entry.fed_mm = odometer.fed_mm;
      entry.net_mm = odometer.net_mm;
    }
    if (variables) {
      if (auto saved = variables->find(entry.name); saved != variables->end()) {
        entry.state = saved->second;
      }
    }
    report.slots.push_back(std::move(entry));
  }
  return report;
}

}  // namespace feedbox
