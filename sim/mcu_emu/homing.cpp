#include "homing.h"

#include <utility>

namespace mcu_emu {

void Endstop::home(const Home& home) {
  if (home.sample_count == 0) {
    homing_.reset();
    return;
  }
  homing_ = home;
  next_ = home.clock;
  oversampling_ = false;
  remaining_ = home.sample_count;
}

std::optional<std::uint64_t> Endstop::sample(std::uint64_t until, const LevelAt& level,
                                             bool commit) {
  if (!homing_) return std::nullopt;
  std::uint64_t next = next_;
  bool oversampling = oversampling_;
  std::uint32_t remaining = remaining_;
  std::uint64_t after = after_oversample_;
  std::optional<std::uint64_t> tripped;
  while (next <= until) {
    const bool match = (level(next) != 0) == (homing_->pin_value != 0);
    if (!oversampling) {
      if (!match) {
        next += homing_->rest_ticks;
        continue;
      }
      oversampling = true;
      remaining = homing_->sample_count;
      after = next + homing_->rest_ticks;
    } else if (!match) {
      oversampling = false;
      next = after;
      continue;
    }
    if (--remaining == 0) {
      tripped = next;
      break;
    }
    next += homing_->sample_ticks;
  }
  if (commit) {
    next_ = next;
    oversampling_ = oversampling;
    remaining_ = remaining;
    after_oversample_ = after;
    if (tripped) homing_.reset();
  }
  return tripped;
}

void Trsync::start(std::uint64_t report_clock, std::uint32_t report_ticks,
                   std::uint32_t expire_reason) {
  can_trigger_ = true;
  reason_ = 0;
  expire_reason_ = expire_reason;
  expire_.reset();
  steppers_.clear();
  report_ticks_ = report_ticks;
  next_report_ = report_ticks ? std::optional(report_clock) : std::nullopt;
}

std::vector<std::uint32_t> Trsync::trigger(std::uint32_t reason) {
  if (!can_trigger_) return {};
  can_trigger_ = false;
  reason_ = reason;
  expire_.reset();
  next_report_.reset();
  return std::exchange(steppers_, {});
}

std::optional<std::uint64_t> Trsync::expiry_by(std::uint64_t until) const {
  if (can_trigger_ && expire_ && *expire_ <= until) return expire_;
  return std::nullopt;
}

std::vector<std::uint64_t> Trsync::reports_by(std::uint64_t until) {
  std::vector<std::uint64_t> due;
  while (next_report_ && *next_report_ <= until) {
    due.push_back(*next_report_);
    *next_report_ += report_ticks_;
  }
  return due;
}

}  // namespace mcu_emu
