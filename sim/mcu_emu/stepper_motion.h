// A stepper's queued steps as a motion timeline: its position in steps at any clock,
// decoded from the host's compressed step blocks without a wake-up per step.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace mcu_emu {

// One `queue_step`: `count` steps, the first `interval` ticks after the previous step and
// each later one `add` ticks longer than the one before.
struct StepBlock {
  std::uint64_t start_clock = 0;  // the previous step (or the reset clock): the block's origin
  std::uint64_t end_clock = 0;    // the block's last step
  std::uint32_t interval = 0;
  std::uint32_t count = 0;
  std::int32_t add = 0;
  int direction = 1;  // +1 or -1 in the firmware's count (dir pin high counts up)
  std::int64_t start_position = 0;

  // Clock of step `i` (1-based).
  std::uint64_t step_clock(std::uint32_t i) const;
  // Steps taken by `clock` (0 to count).
  std::uint32_t steps_by(std::uint64_t clock) const;
  std::int64_t end_position() const { return start_position + direction * std::int64_t{count}; }
};

class StepperMotion {
 public:
  // Each block as it is accepted, and each stop, for those who follow the motion.
  struct Listener {
    std::function<void(const StepBlock&)> on_block;
    std::function<void(std::uint64_t clock)> on_stop;
  };

  // `past_tolerance_ticks`: how late a first step may be and still be taken (at once).
  explicit StepperMotion(std::uint64_t past_tolerance_ticks)
      : past_tolerance_(past_tolerance_ticks) {}

  void set_listener(Listener listener) { listener_ = std::move(listener); }

  // A shutdown reason when the block cannot run: a zero count, or a first step due more
  // than the firmware's tolerance before `now`. Ignored after a stop until the clock is
  // reset, as the firmware does.
  std::optional<std::string> queue_step(std::uint64_t now, std::uint32_t interval,
                                        std::uint32_t count, std::int32_t add);
  void set_next_direction(bool high) { next_direction_ = high ? 1 : -1; }
  // A shutdown reason while steps are still to come.
  std::optional<std::string> reset_clock(std::uint64_t now, std::uint64_t clock);
  // An endstop trip: the steps after `clock` are never taken, later blocks are dropped
  // until the host resets the step clock.
  void stop(std::uint64_t clock);

  std::int64_t position(std::uint64_t clock) const;
  // Blocks not yet begun at `now`: the firmware holds them in its move queue.
  std::size_t queued_moves(std::uint64_t now) const;
  // Forgets blocks finished before `clock`.
  void forget_before(std::uint64_t clock);

 private:
  std::uint64_t past_tolerance_;
  std::deque<StepBlock> blocks_;
  std::uint64_t last_step_clock_ = 0;
  std::int64_t base_position_ = 0;  // position before the oldest block kept
  int next_direction_ = -1;
  bool need_reset_ = false;
  Listener listener_;
};

}  // namespace mcu_emu
