#include "klippy/extras/feedhub/error_report.h"

#include <cstdio>

#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

std::string code_digits(int code) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", code);
  return digits;
}

}  // namespace

std::string report_text(const ErrorReport& report, std::optional<int> slot) {
  std::string message(report.message);
  if (slot) {
    const std::string label = slot_label(*slot);
    for (size_t at = message.find("%s"); at != std::string::npos;
         at = message.find("%s", at + label.size())) {
      message.replace(at, 2, label);
    }
  }
  return "Code:" + step_name_for(report.code) + "; Message:" + message;
}

std::string step_name_for(int code) {
  return "ZKE_004_" + code_digits(code);
}

std::string retry_step_for(int code, std::optional<int> slot) {
  return step_name_for(code) + "_" + (slot ? std::to_string(*slot) : "00");
}

void send_report(klippy::GCodeDispatch& gcode, const ErrorReport& report, std::optional<int> slot) {
  std::string text = report_text(report, slot);
  switch (report.way) {
    case ReportWay::Error:
      gcode.respond_raw("!!" + text);
      break;
    case ReportWay::Warning:
      gcode.respond_raw("!" + text);
      break;
    case ReportWay::Info:
      gcode.respond_info(text);
      break;
  }
}

}  // namespace feedhub
