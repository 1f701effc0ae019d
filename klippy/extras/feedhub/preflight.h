// The pre-flight check: before a print starts, does every tool the file uses map to a slot
// that holds filament of the planned material and colour?
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/print_plan.h"
#include "klippy/host/value.h"

namespace feedhub {

class FeedHub;

// Ok: ready as planned. Unverified: ready, but the box or the slicer does not say what the
// slot holds, so the match could not be checked. Fail: the print would go wrong.
enum class ToolVerdict { Ok, Unverified, Fail };

struct ToolCheck {
  int tool = 0;
  std::string slot_name;   // "slot5"; empty when the tool map names no slot
  std::string slot_label;  // "2B"
  bool has_filament = false;
  std::string material, colour;                  // as the box knows them; "?" unknown
  std::string planned_material, planned_colour;  // as the slicer planned; "-" not given
  ToolVerdict verdict = ToolVerdict::Ok;
  // What is wrong and what to do; empty when Ok.
  std::string advice;
  // Another slot that holds what the print plans for the tool ("1B"); empty when none does
  // or the tool's own slot is right.
  std::string matching_slot_label;
};

// Largest colour distance (RGB, 0..441) still taken for the planned colour.
inline constexpr double kDefaultColourTolerance = 80.0;

struct PreflightReport {
  std::vector<ToolCheck> tools;

  ToolVerdict verdict() const;
  std::string table() const;
  // One line: "Pre-flight: OK ..." / "Pre-flight: UNVERIFIED ..." / "Pre-flight: FAIL ...".
  std::string verdict_line() const;
  klippy::Value to_value() const;
};

PreflightReport check_print_plan(FeedHub& hub, const PrintPlan& plan,
                                 double colour_tolerance = kDefaultColourTolerance);

}  // namespace feedhub
