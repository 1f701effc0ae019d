#include "klippy/extras/feedhub/error_codes.h"

#include <algorithm>

namespace feedhub {

std::optional<ErrorReport> report_of_step(std::string_view step_name) {
  const auto* found = std::find_if(
      reports::kAll.begin(), reports::kAll.end(),
      [&](const ErrorReport& report) { return step_name_for(report.code) == step_name; });
  if (found == reports::kAll.end()) return std::nullopt;
  return *found;
}

}  // namespace feedhub
