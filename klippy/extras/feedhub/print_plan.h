// What a G-code file asks of the box: the tools it uses and, per tool, the material and
// colour its slicer planned. Read line by line, so that files of any size cost one line of
// memory.
#pragma once

#include <functional>
#include <istream>
#include <set>
#include <string>
#include <vector>

namespace feedhub {

struct PrintPlan {
  // From the tool-change blocks (TOOL_CHANGE_START F= T=), LOAD_TOOL T= and "Tn" lines.
  std::set<int> tools;
  // Per tool index, from the slicer's metadata comments; empty entries were not given.
  std::vector<std::string> materials;
  std::vector<std::string> colours;

  std::string material_of(int tool) const;
  // The planned colour text ("#RRGGBB"), or empty.
  std::string colour_of(int tool) const;
};

// Tool numbers above this are not box tools; lines naming them are not tool changes.
inline constexpr int kMaxPlanTool = 63;

// `progress` is called every so many bytes, so that a caller on the host's event loop can
// let other work run during a long read.
PrintPlan read_print_plan(std::istream& in, const std::function<void()>& progress = {});

}  // namespace feedhub
