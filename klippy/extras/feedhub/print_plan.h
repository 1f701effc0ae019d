// What a G-code file asks of the box: the tools it uses and, per tool, the material and
// colour its slicer planned. Read in chunks, so that files of any size cost at most one
// bounded line of memory.
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

  // Lines longer than kMaxPlanLineBytes: no slicer writes such G-code, so they are skipped.
  long overlong_lines = 0;
  long first_overlong_line = 0;  // its number, from 1; 0 when there is none

  std::string material_of(int tool) const;
  // What the user should know about the skipped lines; empty when there were none.
  std::string overlong_lines_note() const;
  // The planned colour text ("#RRGGBB"), or empty.
  std::string colour_of(int tool) const;
};

// Tool numbers above this are not box tools; lines naming them are not tool changes.
inline constexpr int kMaxPlanTool = 63;

// The longest line read: a slicer's longest lines (settings comments) stay far below it.
inline constexpr size_t kMaxPlanLineBytes = size_t{64} * 1024;

// `progress` is called every so many bytes, also within one long line, so that a caller on
// the host's event loop can let other work run during a long read. Memory stays bounded by
// kMaxPlanLineBytes whatever the file holds.
PrintPlan read_print_plan(std::istream& in, const std::function<void()>& progress = {});

}  // namespace feedhub
