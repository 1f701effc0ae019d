// G-code lines: any line parses or is refused with a command error; names are upper case
// and parameter keys are never empty.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "klippy/host/errors.h"
#include "sim/host/gcode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  sim::ParsedLine parsed;
  try {
    parsed = sim::parse_gcode_line(line);
  } catch (const klippy::CommandError&) {
    return 0;
  }
  for (char c : parsed.command)
    if (c >= 'a' && c <= 'z') std::abort();
  for (const auto& [key, value] : parsed.params)
    if (key.empty()) std::abort();
  (void)sim::is_traditional_gcode(parsed.command);
  return 0;
}
