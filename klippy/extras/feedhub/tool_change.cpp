#include "klippy/extras/feedhub/tool_change.h"

#include <string>

#include "klippy/extras/feedhub/box_commands.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/head_paths.h"

namespace feedhub {
namespace {

constexpr double kPrintWatchPeriodS = 1.0;

bool print_running(const std::string& print_state) {
  return print_state == "printing" || print_state == "paused";
}

std::string tool_text(long long tool) {
  return "T" + std::to_string(tool);
}

// "1B" for the saved slot name "slot1"; a name of no slot as it is saved.
std::string slot_text(const klippy::Value& slot) {
  const std::optional<int> number = slot_of_name(slot);
  return number ? slot_label(*number) : slot.str();
}

}  // namespace

ToolChange::ToolChange(klippy::ConfigSection& config, BlackBox& black_box)
    : printer_(config.get_printer()),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")) {
  register_box_command(
      gcode_, black_box, "TOOL_CHANGE_START",
      [this](klippy::GCodeCommand& gcmd) { cmd_TOOL_CHANGE_START(gcmd); },
      "Begin the slicer's tool-change block; when both tools use one slot, skip the block's "
      "moves up to TOOL_CHANGE_END: TOOL_CHANGE_START F=<tool left> T=<tool taken>");
  register_box_command(
      gcode_, black_box, "TOOL_CHANGE_END",
      [this](klippy::GCodeCommand& gcmd) { cmd_TOOL_CHANGE_END(gcmd); },
      "End the slicer's tool-change block");
}

klippy::Heater& ToolChange::extruder_heater() {
  return printer_.lookup_object<klippy::Toolhead>("toolhead").get_extruder().get_heater();
}

void ToolChange::move(const klippy::Position& newpos, double speed) {
  // A print that ended inside the block (a cancel, say) gives this move back at once: a
  // watch that polls would swallow what the user sends right after the cancel.
  if (!open_block_ || !open_block_->in_print ||
      print_running(printer_.lookup_object<FeedHub>(FeedHub::kObjectName).print_stats().state()))
    return;
  const std::shared_ptr<klippy::MoveTransform> next = next_transform_;
  next->move(newpos, speed);
  end_exclusion();
  // The saved flag waits for the file; a move is no place to wait.
  watch_print_end(printer_.get_reactor().monotonic());
}

void ToolChange::watch_print_end(double when) {
  klippy::Reactor& reactor = printer_.get_reactor();
  print_watch_ = ScopedTimer(
      reactor, [this](double eventtime) { return watch_print(eventtime); }, when);
}

void ToolChange::cmd_TOOL_CHANGE_START(klippy::GCodeCommand& gcmd) {
  FeedHub& hub = printer_.lookup_object<FeedHub>(FeedHub::kObjectName);
  // Checked before anything changes: a tool the box cannot have is a typing error.
  const long long from_tool = gcmd.get_int("F", -1, {.minval = -1, .maxval = kMaxTools - 1});
  const long long to_tool = gcmd.get_int("T", -2, {.minval = 0, .maxval = kMaxTools - 1});
  const klippy::Value from_slot = slot_of_tool(hub, from_tool);
  const klippy::Value to_slot = slot_of_tool(hub, to_tool);
  hub.variables().save_variable("is_tool_change", 1);
  const double now = printer_.get_reactor().monotonic();
  open_block_ = ToolChangeBlock{from_tool, to_tool, now, print_running(hub.print_stats().state()),
                                hub.box_state().recorded_step()};
  // However the print ends inside the block, the block ends with it.
  if (open_block_->in_print) watch_print_end(now + kPrintWatchPeriodS);
  // A second start while excluding must not stack this object on itself: the single end
  // has to bring back the transform that was in force before the block.
  if (from_slot != to_slot || next_transform_) return;
  gcode_.run_script_from_command(kMoveToTrash);
  exclude_tool_ = true;
  next_transform_ = hub.gcode_move().set_move_transform(shared_from_this(), true);
  last_position_ = next_transform_->get_position();
  // Temperature waits inside the swallowed block would hold the print for nothing.
  extruder_heater().set_can_wait(false);
}

double ToolChange::watch_print(double eventtime) {
  FeedHub& hub = printer_.lookup_object<FeedHub>(FeedHub::kObjectName);
  if (print_running(hub.print_stats().state())) return eventtime + kPrintWatchPeriodS;
  open_block_.reset();
  try {
    hub.variables().save_variable("is_tool_change", 0);
  } catch (const klippy::CommandError& e) {
    // The moves must come back all the same; the flag is only a record.
    gcode_.respond_raw(std::string("!! Tool change block ended with the print, but ") + e.what());
  }
  if (next_transform_) end_exclusion();
  return klippy::Reactor::NEVER;
}

void ToolChange::cmd_TOOL_CHANGE_END(klippy::GCodeCommand& /*gcmd*/) {
  FeedHub& hub = printer_.lookup_object<FeedHub>(FeedHub::kObjectName);
  const std::optional<ToolChangeBlock> block = open_block_;
  open_block_.reset();
  print_watch_.reset();
  hub.variables().save_variable("is_tool_change", 0);
  if (next_transform_) end_exclusion();
  if (!block) return;
  hub.print_journal().count_tool_change(printer_.get_reactor().monotonic() - block->since);
  announce_change(hub, *block);
}

void ToolChange::announce_change(FeedHub& hub, const ToolChangeBlock& block) {
  // A step of the block that failed and waits for its retry has said what went wrong; once
  // repeated, what the sensors see below decides.
  if (hub.box_state().step_pending() && hub.box_state().recorded_step() != block.step_at_start)
    return;
  const std::string from_slot = slot_text(slot_of_tool(hub, block.from_tool));
  const klippy::Value to_slot_name = slot_of_tool(hub, block.to_tool);
  const std::string to_slot = slot_text(to_slot_name);
  const std::string to = tool_text(block.to_tool);
  // No error is not yet a change: a block whose load never ran (a macro missing, say) must
  // not claim the new tool's filament is in the extruder.
  const std::optional<int> loaded = hub.box_state().loaded_slot();
  const bool entry_sees_filament = hub.sensors().filament_at_extruder_entry();
  if (loaded != slot_of_name(to_slot_name) || !entry_sees_filament) {
    const std::string holds =
        loaded ? slot_label(*loaded) + " is loaded" : std::string("no slot is loaded");
    hub.gcode().respond_info("The tool change to " + to + " ended, but " + to_slot +
                             " is not in the extruder (" + holds +
                             (entry_sees_filament ? "" : ", the extruder entry is empty") +
                             "); load it with " + to + " before printing on.");
    return;
  }
  if (block.from_tool < 0) {
    announce_success(hub, "Changed to " + to + " (" + to_slot + ")", block.since);
  } else if (from_slot == to_slot) {
    announce_success(hub, "Changed from " + tool_text(block.from_tool) + " to " + to, block.since,
                     "both use " + to_slot + ", its filament stayed in");
  } else {
    announce_success(hub,
                     "Changed from " + tool_text(block.from_tool) + " (" + from_slot + ") to " +
                         to + " (" + to_slot + ")",
                     block.since);
  }
}

void ToolChange::end_exclusion() {
  FeedHub& hub = printer_.lookup_object<FeedHub>(FeedHub::kObjectName);
  exclude_tool_ = false;
  hub.gcode_move().set_move_transform(next_transform_, true);
  next_transform_ = nullptr;
  hub.gcode_move().reset_last_position();
  extruder_heater().set_can_wait(true);
}

}  // namespace feedhub
