// Numbered error reports: "Code:ZKE_004_nnn; Message:..." sent to the console, with the
// failed step recorded as "ZKE_004_nnn_<slot or 00>" so that TRY_MOVE_AGAIN can repeat it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "klippy/host/gcode.h"

namespace feedhub {

// How front ends show a report: as an error ("!!"), a warning ("!") or plain information.
enum class ReportWay { Error, Warning, Info };

struct ErrorReport {
  int code;  // 1 to 999
  ReportWay way;
  // A "%s" in it stands for the label of the slot concerned.
  std::string_view message;
};

// "Code:ZKE_004_013; Message:..." with the slot label filled in.
std::string report_text(const ErrorReport& report, std::optional<int> slot);
// "ZKE_004_013_00" for a step of no particular slot, "ZKE_004_001_3" for slot 3.
std::string retry_step_for(int code, std::optional<int> slot);
// Sends the report the way its code requires.
void send_report(klippy::GCodeDispatch& gcode, const ErrorReport& report, std::optional<int> slot);

}  // namespace feedhub
