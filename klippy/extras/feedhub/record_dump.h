// The black-box dump as JSON lines: a header, the box configuration, the saved variables,
// the sensor levels the history starts from, then one line per recorded event, oldest first.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/record_ring.h"
#include "klippy/host/components.h"

namespace feedhub {

inline constexpr int kRecordDumpFormat = 1;

struct DumpContext {
  std::string reason;
  double time = 0.0;        // reactor time of the dump
  double print_time = 0.0;  // estimated print time of the dump
  std::size_t capacity = 0;
  std::vector<std::pair<std::string, std::string>> wiring;  // [feedhub] options
  std::vector<std::string> slots;                           // configured slot feeders
  klippy::VariableMap variables;
};

std::string format_record_dump(const RecordSnapshot& snapshot, const DumpContext& context);

}  // namespace feedhub
