// Numbered error reports: "Code:ZKE_004_nnn; Message:..." sent to the console, with the
// failed step recorded as "ZKE_004_nnn_<slot or 00>" so that TRY_MOVE_AGAIN can repeat it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "klippy/host/gcode.h"
#include "klippy/host/value.h"

namespace feedhub {

// How front ends show a report: as an error ("!!"), a warning ("!") or plain information.
enum class ReportWay { Error, Warning, Info };

// What TRY_MOVE_AGAIN does for a step recorded with a slot: one of the slot's operations
// again, or none (it then only resumes a paused print).
enum class RetryAction {
  None,
  ClearFailedSlotLoad,       // says how to load the slot again; nothing moves
  UnloadLoadedThenLoadSlot,  // unloads the slot in the extruder, then loads this one
  UnloadSlot,
  UnloadExtruderThenSlot,
  LoadExtruder,    // heated
  UnloadExtruder,  // heated
  Forget,          // a step of no particular slot: forgotten, and the print stays paused
};

struct ErrorReport {
  int code;  // 1 to 999
  ReportWay way;
  // A "%s" in it stands for the label of the slot concerned.
  std::string_view message;
  RetryAction retry = RetryAction::None;
  // For people: what happened and what to do ("%s" as in the message, "slotN" the slot's
  // name as commands take it).
  std::string_view meaning;
  std::string_view advice;
};

// The message with the slot label filled in.
std::string report_message(const ErrorReport& report, std::optional<int> slot);
// "Code:ZKE_004_013; Message:..." with the slot label filled in.
std::string report_text(const ErrorReport& report, std::optional<int> slot);
// "ZKE_004_013": the name of a step of code 13, without its slot.
std::string step_name_for(int code);
// "ZKE_004_013_00" for a step of no particular slot, "ZKE_004_001_3" for slot 3.
std::string retry_step_for(int code, std::optional<int> slot);
// A recorded step split at the last underscore that only digits follow:
// "ZKE_004_005_2" is step "ZKE_004_005" of slot "2"; "_00" means no particular slot.
struct RetryStep {
  std::string name;         // "ZKE_004_005"
  std::string slot_number;  // the digits after the last underscore, as written: "2", "00"
};
std::optional<RetryStep> parse_retry_step(const std::string& text);
// True while retry_step holds a failed step: never written (the default 0) and cleared
// (None) both mean that nothing is pending.
bool is_step_pending(const klippy::Value& recorded);

// Sends the report the way its code requires, followed by a line saying what to do.
void send_report(klippy::GCodeDispatch& gcode, const ErrorReport& report, std::optional<int> slot);

}  // namespace feedhub
