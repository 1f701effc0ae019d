// Box records as `feedbox replay` reads them: any file reads or is refused with
// std::runtime_error; one that reads yields a start and commands that compare without
// fault.
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "apps/feedbox/record_file.h"
#include "apps/feedbox/replay_compare.h"
#include "apps/feedbox/replay_start.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  feedbox::RecordDump dump;
  try {
    dump = feedbox::read_record_dump(in, "record.jsonl");
  } catch (const std::runtime_error&) {
    return 0;
  }
  (void)feedbox::replay_start(dump);
  for (const feedbox::CommandSegment& command : feedbox::recorded_commands(dump))
    (void)feedbox::compare_command(command, command);
  return 0;
}
