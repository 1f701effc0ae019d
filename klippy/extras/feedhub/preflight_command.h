// BOX_PREFLIGHT FILE=<file of the print folder> [TOLERANCE=<0-442>] [ON_FAIL=warn|error]:
// checks a print file against what the box holds, before the print starts.
#pragma once

#include <memory>

#include "klippy/host/config.h"

namespace feedhub {

class FeedHub;

// The status object of the last check: the file checked and the report of each tool.
inline constexpr const char* kPreflightObjectName = "box_preflight";

void register_preflight_command(klippy::ConfigSection& config, std::weak_ptr<FeedHub> hub);

}  // namespace feedhub
