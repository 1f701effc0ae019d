// Box records as `feedbox replay` reads them: any file reads or is refused with
// std::runtime_error; one that reads holds finite times and slots that exist, and yields a
// start and commands that compare without fault.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "apps/feedbox/record_file.h"
#include "apps/feedbox/replay_compare.h"
#include "apps/feedbox/replay_start.h"
#include "klippy/extras/feedhub/slots.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  feedbox::RecordDump dump;
  try {
    dump = feedbox::read_record_dump(in, "record.jsonl");
  } catch (const std::runtime_error&) {
    return 0;
  }
  for (const feedbox::RecordEvent& e : dump.events) {
    if (!std::isfinite(e.time) || !std::isfinite(e.print_time) || !std::isfinite(e.end_time))
      std::abort();
    if (e.slot < -1 || e.slot >= feedhub::kMaxSlots) std::abort();
  }
  const feedbox::ReplayStart start = feedbox::replay_start(dump);
  if (start.boxes < 0 || start.boxes > feedhub::kMaxBoxCount) std::abort();
  for (const feedbox::CommandSegment& command : feedbox::recorded_commands(dump))
    (void)feedbox::compare_command(command, command);
  return 0;
}
