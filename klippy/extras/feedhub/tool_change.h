// The slicer's tool-change block, bracketed by TOOL_CHANGE_START and TOOL_CHANGE_END. When
// both tools are served by the same slot no filament has to change: the head goes to the
// trash once and every move of the block is swallowed, which makes this object the G-code
// move transform until the block ends.
#pragma once

#include <memory>
#include <optional>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"

namespace feedhub {

class BlackBox;
class FeedHub;
// A tool-change block between its start and its end.
struct ToolChangeBlock {
  long long from_tool = -1, to_tool = -2;
  double since = 0.0;     // reactor time of TOOL_CHANGE_START
  bool in_print = false;  // started while a print ran: the print's end ends it too
  // The failed step waiting for its retry when the block began: one recorded since then is
  // a step of the block that failed.
  klippy::Value step_at_start;
};

class ToolChange final : public klippy::MoveTransform,
                         public std::enable_shared_from_this<ToolChange> {
 public:
  // Registers TOOL_CHANGE_START and TOOL_CHANGE_END.
  // Its commands are recorded by `black_box`.
  ToolChange(klippy::ConfigSection& config, BlackBox& black_box);
  ToolChange(const ToolChange&) = delete;
  ToolChange& operator=(const ToolChange&) = delete;

  void cmd_TOOL_CHANGE_START(klippy::GCodeCommand& gcmd);
  void cmd_TOOL_CHANGE_END(klippy::GCodeCommand& gcmd);

  // The transform: the host keeps seeing the position at which the exclusion began, and
  // every move is discarded.
  klippy::Position get_position() override { return last_position_; }
  void move(const klippy::Position& newpos, double speed) override;

  // True while the moves of a same-slot tool change are being swallowed; the slot feeders'
  // extruder load and unload do nothing meanwhile.
  bool exclude_tool() const { return exclude_tool_; }
  bool is_excluding() const { return next_transform_ != nullptr; }
  const std::optional<ToolChangeBlock>& open_block() const { return open_block_; }

 private:
  klippy::Heater& extruder_heater();
  // Gives the moves and heater waits back to the print.
  void end_exclusion();
  // Says which tools and slots the block ending now changed between, unless it failed.
  void announce_change(FeedHub& hub, const ToolChangeBlock& block);
  // While a block of a print is open: the print's end, however it ends, ends it.
  double watch_print(double eventtime);
  void watch_print_end(double when);

  klippy::Printer& printer_;
  bool exclude_tool_ = false;
  klippy::Position last_position_{0., 0., 0., 0.};
  std::shared_ptr<klippy::MoveTransform> next_transform_;
  klippy::GCodeDispatch& gcode_;
  ScopedTimer print_watch_;
  std::optional<ToolChangeBlock> open_block_;
};

}  // namespace feedhub
