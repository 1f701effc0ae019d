#include "apps/feedbox/replay_compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedbox {
namespace {

using Kind = RecordEvent::Kind;

// How far a move had gone at `print_time`, along its trapezoid.
double moved_by(const RecordEvent& move, double print_time) {
  const double distance = std::abs(move.distance_mm);
  const double total_t = move.end_time - move.print_time;
  const double t = std::clamp(print_time - move.print_time, 0.0, total_t);
  const double accel = move.accel_mm_s2;
  const double accel_t = accel > 0 ? std::min(move.speed_mm_s / accel, total_t / 2) : 0.0;
  const double cruise_v = accel > 0 ? accel * accel_t : move.speed_mm_s;
  double covered;
  if (t <= accel_t)
    covered = 0.5 * accel * t * t;
  else if (t <= total_t - accel_t)
    covered = 0.5 * accel * accel_t * accel_t + cruise_v * (t - accel_t);
  else
    covered = distance - 0.5 * accel * (total_t - t) * (total_t - t);
  return std::copysign(std::min(covered, distance), move.distance_mm);
}

struct FeedAt {
  int slot = -1;
  double net_mm = 0.0;      // how far the slot had fed since the command started
  double speed_mm_s = 0.0;  // the cruise speed of the move under way
};

// The extruder-entry sensor is the hall width sensor, which the host reads twice a second:
// its change is known only to within what the strand travels in one report.
constexpr double kEntryReportPeriodS = 0.5;

double tolerance_mm(const RecordEvent& sensor, const FeedAt& at) {
  return sensor.sensor == "entry" ? kReplayToleranceMm + at.speed_mm_s * kEntryReportPeriodS
                                  : kReplayToleranceMm;
}

// The slot that moved when the sensor changed, and how far it had fed by then.
std::optional<FeedAt> feed_at(const std::vector<RecordEvent>& events, double print_time) {
  const RecordEvent* moving = nullptr;
  for (const RecordEvent& e : events) {
    if (e.kind != Kind::Move || e.print_time > print_time) continue;
    if (!moving || e.print_time >= moving->print_time) moving = &e;
  }
  if (!moving) return std::nullopt;
  FeedAt at{moving->slot, 0.0, moving->speed_mm_s};
  for (const RecordEvent& e : events)
    if (e.kind == Kind::Move && e.slot == at.slot && e.print_time <= print_time)
      at.net_mm += moved_by(e, print_time);
  return at;
}

std::string sensor_name(const RecordEvent& e) {
  if (e.sensor == "outlet") return "outlet sensor";
  if (e.sensor == "entry") return "extruder-entry sensor";
  return "runout sensor of slot " + feedhub::slot_label(e.slot);
}

std::string sensor_key(const RecordEvent& e) {
  return e.sensor == "runout" ? e.sensor + std::to_string(e.slot) : e.sensor;
}

std::string mm(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", std::abs(value));
  return text;
}

std::string change(const RecordEvent& e) {
  return e.filament ? "saw filament arrive" : "saw filament leave";
}

std::string fed(const std::optional<FeedAt>& at, const CommandSegment& segment,
                const RecordEvent& e) {
  if (!at) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f s into the command", e.time - segment.start_time);
    return text;
  }
  return "after " + mm(at->net_mm) + " mm of " + feedhub::slot_name(at->slot) +
         (at->net_mm < 0 ? " pull-back" : " feed");
}

std::vector<int> codes_of(const CommandSegment& segment) {
  std::vector<int> codes;
  for (const RecordEvent& e : segment.events)
    if (e.kind == Kind::Error) codes.push_back(e.code);
  return codes;
}

std::string codes_text(const std::vector<int>& codes) {
  if (codes.empty()) return "none";
  std::string text;
  for (const int code : codes) text += (text.empty() ? "" : ", ") + feedhub::step_name_for(code);
  return text;
}

std::map<std::string, std::vector<const RecordEvent*>> sensor_changes(
    const CommandSegment& segment, std::optional<double> within_s) {
  std::map<std::string, std::vector<const RecordEvent*>> changes;
  for (const RecordEvent& e : segment.events) {
    if (e.kind != Kind::Sensor) continue;
    if (within_s && e.time - segment.start_time > *within_s) continue;
    changes[sensor_key(e)].push_back(&e);
  }
  return changes;
}

void compare_changes(const CommandSegment& recorded, const CommandSegment& model,
                     const std::vector<const RecordEvent*>& seen,
                     const std::vector<const RecordEvent*>& expected,
                     std::vector<std::pair<double, std::string>>& out) {
  const std::size_t paired = std::min(seen.size(), expected.size());
  for (std::size_t i = 0; i < paired; ++i) {
    const RecordEvent& s = *seen[i];
    const RecordEvent& m = *expected[i];
    const std::optional<FeedAt> s_at = feed_at(recorded.events, s.print_time);
    const std::optional<FeedAt> m_at = feed_at(model.events, m.print_time);
    if (s.filament != m.filament) {
      out.emplace_back(s.time, sensor_name(s) + " " + change(s) + " " + fed(s_at, recorded, s) +
                                   " where the model expects it to " +
                                   (m.filament ? "see filament arrive" : "see filament leave"));
      continue;
    }
    if (!s_at || !m_at || s_at->slot != m_at->slot) continue;
    const double later_mm = std::abs(s_at->net_mm) - std::abs(m_at->net_mm);
    if (std::abs(later_mm) <= std::max(tolerance_mm(s, *s_at), tolerance_mm(m, *m_at))) continue;
    const bool later = later_mm > 0;
    out.emplace_back(
        s.time, sensor_name(s) + " changed " + mm(later_mm) + " mm " +
                    (later ? "later" : "earlier") + " than the model expects: " +
                    (later ? "slipping feed gear or a longer tube"
                           : "a shorter tube, or the strand started further along than the model "
                             "places it") +
                    " (" + change(s) + " " + fed(s_at, recorded, s) + ", the model " +
                    fed(m_at, model, m) + ")");
  }
  for (std::size_t i = paired; i < seen.size(); ++i) {
    const RecordEvent& s = *seen[i];
    out.emplace_back(s.time, sensor_name(s) + " " + change(s) + " " +
                                 fed(feed_at(recorded.events, s.print_time), recorded, s) +
                                 " where the model expects no change: filament left in the "
                                 "path, a strand moved by hand, or a faulty sensor");
  }
  for (std::size_t i = paired; i < expected.size(); ++i) {
    const RecordEvent& m = *expected[i];
    // Placed where the model saw it, counted from the command's start.
    const double when = recorded.start_time + (m.time - model.start_time);
    out.emplace_back(
        when,
        sensor_name(m) + " never " + (m.filament ? "saw filament arrive" : "saw filament leave") +
            "; the model expects it " + fed(feed_at(model.events, m.print_time), model, m) + ": " +
            (m.filament ? "jammed or tangled filament, a blocked tube, or a faulty sensor"
                        : "filament stuck in the path, or a faulty sensor"));
  }
}

// The command's end, as the record or the model saw it.
void finish(CommandSegment& segment, const RecordEvent& end) {
  segment.finished = true;
  segment.ok = end.ok;
  segment.error = end.text;
  segment.end_time = end.time;
  segment.extruder_end_mm = end.extruder_mm;
}

}  // namespace

std::vector<CommandSegment> recorded_commands(const RecordDump& dump) {
  std::vector<CommandSegment> commands;
  for (std::size_t i = 0; i < dump.events.size(); ++i) {
    const RecordEvent& start = dump.events[i];
    if (start.kind != Kind::Command || start.depth != 0 || start.by_box) continue;
    if (start.text.rfind("BOX_RECORD_DUMP", 0) == 0) continue;
    CommandSegment segment;
    segment.line = start.text;
    segment.start_time = start.time;
    segment.end_time = dump.time;
    segment.extruder_start_mm = start.extruder_mm;
    for (std::size_t j = i + 1; j < dump.events.size(); ++j) {
      const RecordEvent& e = dump.events[j];
      if (e.kind == Kind::CommandEnd && e.start_seq == start.seq) {
        finish(segment, e);
        break;
      }
      segment.events.push_back(e);
    }
    commands.push_back(std::move(segment));
  }
  return commands;
}

CommandSegment model_command(const std::vector<RecordEvent>& events, std::uint64_t after_seq) {
  CommandSegment segment;
  std::optional<std::uint64_t> start_seq;
  for (const RecordEvent& e : events) {
    if (e.seq <= after_seq) continue;
    if (!start_seq) {
      if (e.kind != Kind::Command || e.depth != 0) continue;
      start_seq = e.seq;
      segment.line = e.text;
      segment.start_time = segment.end_time = e.time;
      continue;
    }
    if (e.kind == Kind::CommandEnd && e.start_seq == *start_seq) {
      finish(segment, e);
      break;
    }
    segment.events.push_back(e);
    segment.end_time = e.time;
  }
  return segment;
}

std::vector<std::string> compare_command(const CommandSegment& recorded,
                                         const CommandSegment& model) {
  std::vector<std::pair<double, std::string>> found;
  // A record written while the command ran ends there: the model is compared as far.
  const std::optional<double> within =
      recorded.finished ? std::nullopt
                        : std::optional<double>(recorded.end_time - recorded.start_time);
  const auto seen = sensor_changes(recorded, std::nullopt);
  const auto expected = sensor_changes(model, within);
  std::map<std::string, bool> sensors;
  for (const auto& [key, list] : seen) sensors[key] = true;
  for (const auto& [key, list] : expected) sensors[key] = true;
  for (const auto& [key, unused] : sensors) {
    static const std::vector<const RecordEvent*> kNone;
    const auto s = seen.find(key);
    const auto m = expected.find(key);
    compare_changes(recorded, model, s == seen.end() ? kNone : s->second,
                    m == expected.end() ? kNone : m->second, found);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> lines;
  for (auto& [time, text] : found) lines.push_back(std::move(text));

  const std::vector<int> recorded_codes = codes_of(recorded);
  std::vector<int> model_codes;
  for (const RecordEvent& e : model.events)
    if (e.kind == Kind::Error && (!within || e.time - model.start_time <= *within + 0.5))
      model_codes.push_back(e.code);
  if (recorded_codes != model_codes)
    lines.push_back("the box reported " + codes_text(recorded_codes) + " where the model " +
                    (model_codes.empty() ? "expects none" : "reports " + codes_text(model_codes)));
  if (recorded.finished && recorded.ok != model.ok)
    lines.push_back(recorded.ok ? "the command succeeded where the model's failed: " + model.error
                                : "the command failed (" + recorded.error +
                                      ") where the model's succeeded");
  return lines;
}

}  // namespace feedbox
