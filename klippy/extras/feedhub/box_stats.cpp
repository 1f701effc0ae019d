#include "klippy/extras/feedhub/box_stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

constexpr std::string_view kPrefix = "stats_";
constexpr std::string_view kFailPrefix = "fail_";
constexpr std::string_view kNoSlotSuffix = "_box";
constexpr std::string_view kSlotSuffix = "_slot";

std::string stats_key(const std::string& what, int slot) {
  return std::string(kPrefix) + what +
         (slot == kNoSlotStats ? std::string(kNoSlotSuffix) : "_" + slot_name(slot));
}

std::string failure_key(int code, int slot) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", code);
  return stats_key(std::string(kFailPrefix) + digits, slot);
}

std::optional<long long> whole_number(std::string_view text) {
  long long number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return number;
}

long long saved_count(const klippy::VariableMap& variables, const std::string& key) {
  const auto it = variables.find(key);
  if (it == variables.end() || !it->second.is_int() || it->second.as_int() < 0) return 0;
  return it->second.as_int();
}

void add_count(klippy::VariableMap& variables, const std::string& key, long long added) {
  if (added > 0) variables[key] = klippy::Value(saved_count(variables, key) + added);
}

struct ParsedKey {
  int slot;
  std::string what;
};

// The slot and count a key of ours names; nullopt for any other key.
std::optional<ParsedKey> parse_key(const std::string& key) {
  if (key.rfind(kPrefix, 0) != 0) return std::nullopt;
  std::string_view rest = std::string_view(key).substr(kPrefix.size());
  if (rest.ends_with(kNoSlotSuffix))
    return ParsedKey{kNoSlotStats, std::string(rest.substr(0, rest.size() - kNoSlotSuffix.size()))};
  const size_t at = rest.rfind(kSlotSuffix);
  if (at == std::string_view::npos) return std::nullopt;
  const auto slot = whole_number(rest.substr(at + kSlotSuffix.size()));
  if (!slot || *slot < 0 || *slot >= kMaxSlots) return std::nullopt;
  return ParsedKey{static_cast<int>(*slot), std::string(rest.substr(0, at))};
}

void add_to(SlotStats& stats, const std::string& what, long long count) {
  if (what == "loads") stats.loads += count;
  if (what == "unloads") stats.unloads += count;
  if (what == "retries") stats.retries += count;
  if (what == "runouts") stats.runouts += count;
  if (what == "fed_mm") stats.fed_mm += static_cast<double>(count);
  if (what.rfind(kFailPrefix, 0) == 0)
    if (const auto code = whole_number(std::string_view(what).substr(kFailPrefix.size())))
      stats.failures[static_cast<int>(*code)] += count;
}

void add_to(SlotStats& stats, const SlotStats& more) {
  stats.loads += more.loads;
  stats.unloads += more.unloads;
  stats.retries += more.retries;
  stats.runouts += more.runouts;
  stats.fed_mm += more.fed_mm;
  for (const auto& [code, count] : more.failures) stats.failures[code] += count;
}

std::string metres(double mm) {
  char text[32];
  // A homing move's correction may be counted before the move it corrects is saved.
  std::snprintf(text, sizeof text, "%.2f m", std::max(0.0, mm) / 1000.0);
  return text;
}

std::string failures_text(const SlotStats& stats) {
  std::string text;
  for (const auto& [code, count] : stats.failures)
    text += (text.empty() ? "" : ", ") + step_name_for(code) + " x" + std::to_string(count);
  return text.empty() ? "none" : text;
}

std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

long long failure_count(const SlotStats& stats) {
  long long count = 0;
  for (const auto& entry : stats.failures) count += entry.second;
  return count;
}

}  // namespace

void BoxStats::put_back(const StatsBySlot& counts) {
  for (const auto& [slot, stats] : counts) add_to(pending_[slot], stats);
}

StatsBySlot BoxStats::totals(const klippy::VariableMap& variables) const {
  StatsBySlot totals;
  for (const auto& [key, value] : variables)
    if (const auto parsed = parse_key(key))
      add_to(totals[parsed->slot], parsed->what, saved_count(variables, key));
  for (const auto& [slot, stats] : pending_) add_to(totals[slot], stats);
  return totals;
}

void fold_stats(klippy::VariableMap& variables, const StatsBySlot& counts) {
  for (const auto& [slot, stats] : counts) {
    add_count(variables, stats_key("loads", slot), stats.loads);
    add_count(variables, stats_key("unloads", slot), stats.unloads);
    add_count(variables, stats_key("retries", slot), stats.retries);
    add_count(variables, stats_key("runouts", slot), stats.runouts);
    // Whole millimetres: what a save rounds away is far below what a spool holds. A
    // correction may come after its move was saved, so the pending feed can be negative.
    const std::string fed_key = stats_key("fed_mm", slot);
    const long long fed_mm = saved_count(variables, fed_key) + std::llround(stats.fed_mm);
    if (fed_mm > 0)
      variables[fed_key] = klippy::Value(fed_mm);
    else
      variables.erase(fed_key);
    for (const auto& [code, count] : stats.failures)
      add_count(variables, failure_key(code, slot), count);
  }
}

bool is_stats_key(const std::string& key) {
  return parse_key(key).has_value();
}

std::string stats_text(const StatsBySlot& stats) {
  if (stats.empty())
    return "No statistics yet: nothing was loaded, unloaded or fed since they were reset";
  std::string text = pad("slot", 6) + pad("loads", 7) + pad("unloads", 9) + pad("retries", 9) +
                     pad("runouts", 9) + pad("fed", 10) + "failures\n";
  SlotStats total;
  for (const auto& [slot, counts] : stats) {
    add_to(total, counts);
    if (slot == kNoSlotStats) continue;
    text += pad(slot_label(slot), 6) + pad(std::to_string(counts.loads), 7) +
            pad(std::to_string(counts.unloads), 9) + pad(std::to_string(counts.retries), 9) +
            pad(std::to_string(counts.runouts), 9) + pad(metres(counts.fed_mm), 10) +
            failures_text(counts) + "\n";
  }
  if (const auto general = stats.find(kNoSlotStats); general != stats.end())
    text += "Failures of no particular slot: " + failures_text(general->second) + "\n";
  text += "Total: " + std::to_string(total.loads) + " loads, " + std::to_string(total.unloads) +
          " unloads, " + std::to_string(failure_count(total)) + " failures, " +
          std::to_string(total.retries) + " retries, " + std::to_string(total.runouts) +
          " runouts, " + metres(total.fed_mm) + " fed by the box";
  return text;
}

}  // namespace feedhub
