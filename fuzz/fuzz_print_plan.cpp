// G-code files as the pre-flight reads them: any bytes give a plan whose tools are box
// tools and whose colours are "#RRGGBB" or empty, and the reader reports its progress.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/print_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const feedhub::PrintPlan plan = feedhub::read_print_plan(in, [] {});
  for (const int tool : plan.tools)
    if (tool < 0 || tool > feedhub::kMaxPlanTool) std::abort();
  for (int tool = -1; tool <= static_cast<int>(plan.colours.size()); ++tool) {
    const std::string colour = plan.colour_of(tool);
    if (colour.empty()) continue;
    const auto rgb = feedhub::parse_hex_colour(colour);
    if (!rgb || feedhub::hex_colour(*rgb) != colour) std::abort();
  }
  for (int tool = -1; tool <= static_cast<int>(plan.materials.size()); ++tool)
    (void)plan.material_of(tool);
  return 0;
}
