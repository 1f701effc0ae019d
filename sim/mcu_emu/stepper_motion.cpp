#include "stepper_motion.h"

#include <algorithm>

namespace mcu_emu {

std::uint64_t StepBlock::step_clock(std::uint32_t i) const {
  // interval, interval + add, interval + 2 add, ... summed over the first i steps.
  const std::int64_t n = i;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(start_clock) +
                                    n * std::int64_t{interval} + add * (n * (n - 1) / 2));
}

std::uint32_t StepBlock::steps_by(std::uint64_t clock) const {
  if (clock < start_clock) return 0;
  if (clock >= end_clock) return count;
  // Step clocks rise with i (the host never sends a shrinking interval below one tick).
  std::uint32_t low = 0, high = count;
  while (low < high) {
    const std::uint32_t mid = low + (high - low + 1) / 2;
    if (step_clock(mid) <= clock)
      low = mid;
    else
      high = mid - 1;
  }
  return low;
}

std::optional<std::string> StepperMotion::queue_step(std::uint64_t now, std::uint32_t interval,
                                                     std::uint32_t count, std::int32_t add) {
  if (count == 0) return "Invalid count parameter";
  if (need_reset_) return std::nullopt;
  // An idle stepper's timer starts at its first step, which the firmware computes on its
  // 32-bit clock: the host's intervals wrap around with it. A busy one goes on from its
  // last step.
  const bool idle = blocks_.empty() || blocks_.back().end_clock <= now;
  std::uint64_t origin = last_step_clock_;
  if (idle) {
    const auto first32 = static_cast<std::uint32_t>(last_step_clock_ + interval);
    const auto ahead = static_cast<std::int32_t>(first32 - static_cast<std::uint32_t>(now));
    origin = now + static_cast<std::uint64_t>(std::int64_t{ahead}) - interval;
  }
  StepBlock block{
      .start_clock = origin,
      .interval = interval,
      .count = count,
      .add = add,
      .direction = next_direction_,
      .start_position = blocks_.empty() ? base_position_ : blocks_.back().end_position()};
  block.end_clock = block.step_clock(count);
  // A first step that is due already is late; one far in the past means the host lost
  // track of the clock.
  if (idle && block.step_clock(1) + past_tolerance_ < now) return "Stepper too far in past";
  last_step_clock_ = block.end_clock;
  blocks_.push_back(block);
  if (listener_.on_block) listener_.on_block(block);
  return std::nullopt;
}

std::optional<std::string> StepperMotion::reset_clock(std::uint64_t now, std::uint64_t clock) {
  if (!blocks_.empty() && blocks_.back().end_clock > now)
    return "Can't reset time when stepper active";
  last_step_clock_ = clock;
  need_reset_ = false;
  return std::nullopt;
}

void StepperMotion::stop(std::uint64_t clock) {
  while (!blocks_.empty() && blocks_.back().start_clock >= clock) blocks_.pop_back();
  if (!blocks_.empty() && blocks_.back().end_clock > clock) {
    StepBlock& last = blocks_.back();
    last.count = last.steps_by(clock);
    if (last.count == 0) {
      blocks_.pop_back();
    } else {
      last.end_clock = last.step_clock(last.count);
    }
  }
  last_step_clock_ = blocks_.empty() ? clock : blocks_.back().end_clock;
  need_reset_ = true;
  if (listener_.on_stop) listener_.on_stop(clock);
}

std::int64_t StepperMotion::position(std::uint64_t clock) const {
  // The last block begun by `clock` decides; blocks are in time order.
  const auto later = std::find_if(blocks_.begin(), blocks_.end(),
                                  [clock](const StepBlock& b) { return b.start_clock >= clock; });
  if (later == blocks_.begin()) return base_position_;
  const StepBlock& block = *std::prev(later);
  return block.start_position + block.direction * std::int64_t{block.steps_by(clock)};
}

std::size_t StepperMotion::queued_moves(std::uint64_t now) const {
  return static_cast<std::size_t>(std::count_if(
      blocks_.begin(), blocks_.end(), [now](const StepBlock& b) { return b.start_clock > now; }));
}

void StepperMotion::forget_before(std::uint64_t clock) {
  while (!blocks_.empty() && blocks_.front().end_clock < clock) {
    base_position_ = blocks_.front().end_position();
    blocks_.pop_front();
  }
}

}  // namespace mcu_emu
