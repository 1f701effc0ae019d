// Host values as JSON, for --status and reports.
#pragma once

#include <nlohmann/json.hpp>

#include "klippy/host/value.h"

namespace feedbox {

nlohmann::ordered_json to_json(const klippy::Value& value);

}  // namespace feedbox
