#include "klippy/extras/feedhub/error_codes.h"

#include <algorithm>
#include <cctype>

#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

constexpr std::string_view kCodePrefix = "ZKE_004_";

std::optional<ErrorReport> report_with_code(long code) {
  const auto* found = std::find_if(reports::kAll.begin(), reports::kAll.end(),
                                   [&](const ErrorReport& report) { return report.code == code; });
  if (found == reports::kAll.end()) return std::nullopt;
  return *found;
}

bool all_digits(std::string_view text) {
  return !text.empty() && text.size() <= 3 && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

std::string without_slot_mark(std::string_view text) {
  std::string plain(text);
  for (std::size_t at = plain.find("%s"); at != std::string::npos; at = plain.find("%s", at))
    plain.replace(at, 2, at == 0 ? "The slot" : "the slot");
  return plain;
}

// "%s" becomes the slot's label and "slotN" its name, as commands take it; without a slot
// the text speaks of "the slot", and "slotN" stays, which still reads as an instruction.
std::string fill_in(std::string_view text, std::optional<int> slot) {
  if (!slot) return without_slot_mark(text);
  std::string filled(text);
  for (const auto& [mark, value] :
       {std::pair{std::string("%s"), slot_label(*slot)}, {"slotN", slot_name(*slot)}}) {
    for (std::size_t at = filled.find(mark); at != std::string::npos;
         at = filled.find(mark, at + value.size()))
      filled.replace(at, mark.size(), value);
  }
  return filled;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<ErrorReport> report_of_step(std::string_view step_name) {
  if (!step_name.starts_with(kCodePrefix)) return std::nullopt;
  const std::string_view digits = step_name.substr(kCodePrefix.size());
  if (digits.size() != 3 || !all_digits(digits)) return std::nullopt;
  return report_with_code(std::stol(std::string(digits)));
}

std::optional<ErrorReport> report_of_code(std::string_view text) {
  std::string upper;
  for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string_view code = upper;
  if (code.starts_with(kCodePrefix)) {
    code.remove_prefix(kCodePrefix.size());
    // A recorded step carries its slot after the code: "006_2".
    code = code.substr(0, code.find('_'));
  }
  if (!all_digits(code)) return std::nullopt;
  return report_with_code(std::stol(std::string(code)));
}

std::string known_codes() {
  std::string list;
  for (std::size_t i = 0; i < reports::kAll.size();) {
    std::size_t j = i;
    while (j + 1 < reports::kAll.size() && reports::kAll[j + 1].code == reports::kAll[j].code + 1)
      ++j;
    if (!list.empty()) list += ", ";
    list += std::to_string(reports::kAll[i].code);
    if (j > i) list += "-" + std::to_string(reports::kAll[j].code);
    i = j + 1;
  }
  return list;
}

std::string retry_effect(const ErrorReport& report, std::optional<int> slot) {
  const std::string label = slot ? slot_label(*slot) : "the slot";
  const std::string resumes = "; a print it paused resumes when that succeeds";
  switch (report.retry) {
    case RetryAction::ClearFailedSlotLoad:
      return "TRY_MOVE_AGAIN forgets the failed load and says how to load " + label +
             " again; nothing moves";
    case RetryAction::UnloadLoadedThenLoadSlot:
      return "TRY_MOVE_AGAIN unloads the slot in the extruder, then loads " + label +
             " into the box";
    case RetryAction::UnloadSlot:
      return "TRY_MOVE_AGAIN unloads " + label + " into the box again";
    case RetryAction::UnloadExtruderThenSlot:
      return "TRY_MOVE_AGAIN unloads " + label + " from the extruder, then from the box";
    case RetryAction::LoadExtruder:
      return "TRY_MOVE_AGAIN heats the nozzle and loads " + label + " into the extruder again" +
             resumes;
    case RetryAction::UnloadExtruder:
      return "TRY_MOVE_AGAIN heats the nozzle and unloads " + label + " from the extruder again" +
             resumes;
    case RetryAction::None:
      return "TRY_MOVE_AGAIN has nothing to repeat: it forgets the step and resumes a print "
             "it paused";
    case RetryAction::Forget:
      break;
  }
  return "TRY_MOVE_AGAIN only forgets the step; nothing moves, and a paused print stays "
         "paused until RESUME";
}

std::string_view severity_name(ReportWay way) {
  switch (way) {
    case ReportWay::Error:
      return "error";
    case ReportWay::Warning:
      return "warning";
    case ReportWay::Info:
      break;
  }
  return "information";
}

std::string advice_line(const ErrorReport& report, std::optional<int> slot) {
  return "What to do (" + step_name_for(report.code) + "): " + fill_in(report.advice, slot) + " " +
         retry_effect(report, slot) + ". BOX_ERROR_HELP explains it.";
}

std::string catalogue_entry_text(const ErrorReport& report, std::optional<int> slot) {
  return step_name_for(report.code) + " (" + std::string(severity_name(report.way)) +
         "): " + trimmed(fill_in(report.message, slot)) +
         "\nWhat happened: " + fill_in(report.meaning, slot) +
         "\nWhat to do: " + fill_in(report.advice, slot) +
         "\nRetry: " + retry_effect(report, slot) + ".";
}

std::string catalogue_markdown() {
  std::string table =
      "| Code | Shown as | Message | What happened | What to do | TRY_MOVE_AGAIN |\n"
      "|---|---|---|---|---|---|\n";
  for (const ErrorReport& report : reports::kAll) {
    std::string effect = retry_effect(report, std::nullopt);
    if (effect.starts_with("TRY_MOVE_AGAIN ")) effect.erase(0, 15);
    table += "| " + step_name_for(report.code) + " | " + std::string(severity_name(report.way)) +
             " | " + trimmed(without_slot_mark(report.message)) + " | " +
             without_slot_mark(report.meaning) + " | " + without_slot_mark(report.advice) + " | " +
             effect + " |\n";
  }
  return table;
}

}  // namespace feedhub
