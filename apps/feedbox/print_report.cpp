#include "apps/feedbox/print_report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "apps/feedbox/value_json.h"

namespace feedbox {
namespace {

constexpr const char* kCodePrefix = "Code:ZKE_004_";
constexpr int kLabelWidth = 20;

std::string fixed(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string degrees(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// "5.2 s", "754.0 s (12 min 34 s)", "7380.0 s (2 h 03 min 00 s)".
std::string duration(double seconds) {
  std::string text = fixed(seconds) + " s";
  if (seconds < 60.) return text;
  const long whole = std::lround(seconds);
  char clock[64];
  if (whole >= 3600) {
    std::snprintf(clock, sizeof clock, " (%ld h %02ld min %02ld s)", whole / 3600,
                  whole % 3600 / 60, whole % 60);
  } else {
    std::snprintf(clock, sizeof clock, " (%ld min %02ld s)", whole / 60, whole % 60);
  }
  return text + clock;
}

// Three decimals keep the JSON readable; finer digits are only simulation noise.
double rounded(double value) {
  return std::round(value * 1000.) / 1000.;
}

std::string state_text(const std::optional<klippy::Value>& state) {
  if (!state) return "-";
  if (!state->is_int()) return state->repr();
  const char* meaning = nullptr;
  switch (state->as_int()) {
    case 0:
      meaning = "no filament";
      break;
    case 1:
      meaning = "parked in the box";
      break;
    case 2:
      meaning = "in the extruder";
      break;
    case 3:
      meaning = "at the slot sensor";
      break;
    case -1:
      meaning = "slot load or unload failed";
      break;
    case -2:
      meaning = "extruder load or unload failed";
      break;
  }
  std::string text = std::to_string(state->as_int());
  return meaning ? text + " (" + meaning + ")" : text;
}

std::string outcome_text(const PrintReport& report) {
  const std::string of = " of " + std::to_string(report.lines);
  switch (report.outcome) {
    case PrintOutcome::Complete:
      return "complete (" + std::to_string(report.lines) + " lines)";
    case PrintOutcome::Paused:
      return "paused at line " + std::to_string(report.stop_line) + of;
    case PrintOutcome::Cancelled:
      return "cancelled at line " + std::to_string(report.stop_line) + of;
    case PrintOutcome::Failed:
      return "failed at line " + std::to_string(report.stop_line) + of + ": " + report.message;
    case PrintOutcome::Unfinished:
      return "still running at line " + std::to_string(report.stop_line) + of;
  }
  return "";
}

std::string tool_change_text(const PrintReport& report) {
  const auto& spans = report.tool_changes;
  if (spans.empty()) return "none";
  std::string text =
      std::to_string(spans.size()) + ", " + duration(report.tool_change_total_s()) + " in all";
  if (spans.size() > 1) {
    auto longest = std::max_element(spans.begin(), spans.end(), [](const auto& a, const auto& b) {
      return a.duration_s < b.duration_s;
    });
    text += ", longest " + fixed(longest->duration_s) + " s (line " +
            std::to_string(longest->start_line) + ")";
  }
  if (spans.back().end_line == 0) text += "; the last one did not end";
  return text;
}

void row(std::ostringstream& out, const std::string& label, const std::string& value) {
  out << "  " << label
      << std::string(kLabelWidth - std::min<size_t>(label.size(), kLabelWidth), ' ') << value
      << '\n';
}

std::string pad_left(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

}  // namespace

const char* outcome_name(PrintOutcome outcome) {
  switch (outcome) {
    case PrintOutcome::Complete:
      return "complete";
    case PrintOutcome::Paused:
      return "paused";
    case PrintOutcome::Cancelled:
      return "cancelled";
    case PrintOutcome::Failed:
      return "failed";
    case PrintOutcome::Unfinished:
      return "unfinished";
  }
  return "";
}

double PrintReport::tool_change_total_s() const {
  double total = 0.;
  for (const auto& span : tool_changes) total += span.duration_s;
  return total;
}

std::vector<std::string> find_error_codes(const std::string& text) {
  std::vector<std::string> codes;
  const size_t prefix_length = std::strlen(kCodePrefix);
  for (size_t at = text.find(kCodePrefix); at != std::string::npos;
       at = text.find(kCodePrefix, at + 1)) {
    const std::string digits = text.substr(at + prefix_length, 3);
    if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                          [](unsigned char c) { return std::isdigit(c); })) {
      codes.push_back(std::string(kCodePrefix + 5) + digits);
    }
  }
  return codes;
}

std::string format_print_report(const PrintReport& report) {
  std::ostringstream out;
  out << "Print report of " << report.file << '\n';
  row(out, "Outcome", outcome_text(report));
  row(out, "Time printed", duration(report.printed_s));
  if (report.preflight) {
    const klippy::Value* summary = report.preflight->find("summary");
    row(out, "Pre-flight", summary ? summary->str() : "");
  }
  row(out, "Tool changes", tool_change_text(report));
  std::string codes;
  for (const auto& code : report.error_codes) codes += (codes.empty() ? "" : ", ") + code;
  row(out, "Error codes", codes.empty() ? "none" : codes);
  row(out, "Pauses", std::to_string(report.pauses));
  if (report.heater_targets.empty()) row(out, "Box heater targets", "none set");
  for (size_t i = 0; i < report.heater_targets.size(); ++i) {
    const auto& [heater, targets] = report.heater_targets[i];
    std::string values;
    for (double t : targets) values += (values.empty() ? "" : ", ") + degrees(t);
    row(out, i == 0 ? "Box heater targets" : "", heater + ": " + values + " °C");
  }
  if (report.slots.empty()) {
    row(out, "Slots", "none");
    return out.str();
  }
  out << "  Slots (fed: forward travel of the slot's feed motor; net: fed minus pulled back)\n";
  out << "    slot      fed mm    net mm  state\n";
  for (const auto& slot : report.slots) {
    std::string fed = slot.has_motor ? fixed(slot.fed_mm) : "-";
    std::string net = slot.has_motor ? fixed(slot.net_mm) : "-";
    out << "    " << slot.name << std::string(6 - std::min<size_t>(6, slot.name.size()), ' ')
        << pad_left(fed, 10) << pad_left(net, 10) << "  " << state_text(slot.state) << '\n';
  }
  return out.str();
}

nlohmann::ordered_json print_report_json(const PrintReport& report) {
  nlohmann::ordered_json json;
  json["file"] = report.file;
  json["outcome"] = outcome_name(report.outcome);
  json["lines"] = report.lines;
  json["stop_line"] = report.stop_line;
  json["message"] = report.message;
  json["printed_s"] = rounded(report.printed_s);
  auto spans = nlohmann::ordered_json::array();
  for (const auto& span : report.tool_changes) {
    nlohmann::ordered_json entry;
    entry["start_line"] = span.start_line;
    entry["end_line"] =
        span.end_line == 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(span.end_line);
    entry["duration_s"] = rounded(span.duration_s);
    spans.push_back(entry);
  }
  json["tool_changes"] = {{"count", report.tool_changes.size()},
                          {"total_s", rounded(report.tool_change_total_s())},
                          {"spans", spans}};
  json["error_codes"] = report.error_codes;
  json["pauses"] = report.pauses;
  auto heaters = nlohmann::ordered_json::object();
  for (const auto& [heater, targets] : report.heater_targets) heaters[heater] = targets;
  json["heater_targets"] = heaters;
  auto slots = nlohmann::ordered_json::array();
  for (const auto& slot : report.slots) {
    nlohmann::ordered_json entry;
    entry["slot"] = slot.name;
    entry["fed_mm"] = slot.has_motor ? nlohmann::ordered_json(rounded(slot.fed_mm)) : nullptr;
    entry["net_mm"] = slot.has_motor ? nlohmann::ordered_json(rounded(slot.net_mm)) : nullptr;
    entry["state"] = slot.state ? to_json(*slot.state) : nullptr;
    slots.push_back(entry);
  }
  json["slots"] = slots;
  json["preflight"] = report.preflight ? to_json(*report.preflight) : nullptr;
  return json;
}

std::optional<std::string> report_path_problem(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return "it is a folder";
  const bool existed = std::filesystem::exists(path, ec);
  std::ofstream probe(path, std::ios::app);
  if (!probe) return std::strerror(errno);
  probe.close();
  if (!existed) std::filesystem::remove(path, ec);
  return std::nullopt;
}

void write_print_report_json(const PrintReport& report, const std::string& path) {
  std::ofstream out(path, std::ios::trunc);
  out << print_report_json(report).dump(2) << '\n';
  out.flush();
  if (!out) {
    throw std::runtime_error("cannot write the print report to '" + path +
                             "': " + std::strerror(errno));
  }
}

}  // namespace feedbox
