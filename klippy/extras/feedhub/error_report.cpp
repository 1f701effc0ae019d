#include "klippy/extras/feedhub/error_report.h"

#include <algorithm>
#include <cstdio>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

std::string code_digits(int code) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", code);
  return digits;
}

}  // namespace

std::string report_message(const ErrorReport& report, std::optional<int> slot) {
  std::string message(report.message);
  if (slot) {
    const std::string label = slot_label(*slot);
    for (size_t at = message.find("%s"); at != std::string::npos;
         at = message.find("%s", at + label.size())) {
      message.replace(at, 2, label);
    }
  }
  return message;
}

std::string report_text(const ErrorReport& report, std::optional<int> slot) {
  return "Code:" + step_name_for(report.code) + "; Message:" + report_message(report, slot);
}

std::string step_name_for(int code) {
  return "ZKE_004_" + code_digits(code);
}

std::string retry_step_for(int code, std::optional<int> slot) {
  return step_name_for(code) + "_" + (slot ? std::to_string(*slot) : "00");
}

std::optional<RetryStep> parse_retry_step(const std::string& text) {
  const std::size_t underscore = text.rfind('_');
  if (underscore == std::string::npos || underscore == 0 || underscore + 1 == text.size())
    return std::nullopt;
  const std::string digits = text.substr(underscore + 1);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return RetryStep{text.substr(0, underscore), digits};
}

bool is_step_pending(const klippy::Value& recorded) {
  return !recorded.is_none() && recorded != klippy::Value(0);
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
  gcode.respond_info(advice_line(report, slot));
}

}  // namespace feedhub
