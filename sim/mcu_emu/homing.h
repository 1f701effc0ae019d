// Homing on an emulated controller: endstops that sample a pin and trip a trigger
// synchronisation object (trsync), which stops the steppers registered with it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace mcu_emu {

// An input pin's level at a clock.
using LevelAt = std::function<std::uint32_t(std::uint64_t clock)>;

class Endstop {
 public:
  struct Home {
    std::uint64_t clock = 0;
    std::uint32_t sample_ticks = 0;
    std::uint32_t sample_count = 0;
    std::uint32_t rest_ticks = 0;
    std::uint32_t pin_value = 0;
    std::uint32_t trsync_oid = 0;
    std::uint32_t trigger_reason = 0;
  };

  explicit Endstop(std::uint32_t pin) : pin_(pin) {}
  std::uint32_t pin() const { return pin_; }

  // A sample_count of 0 stops homing.
  void home(const Home& home);
  bool homing() const { return homing_.has_value(); }
  const Home& home_request() const { return *homing_; }
  // The clock of the next sample.
  std::uint64_t next_clock() const { return next_; }

  // Samples the pin up to `until`: polls every rest_ticks; on a match, sample_count
  // consecutive matching samples sample_ticks apart trip it. Returns the clock of the
  // tripping sample without changing the endstop's state (`commit` false), or advances the
  // state to `until` (`commit` true; the endstop stops homing when it trips).
  std::optional<std::uint64_t> sample(std::uint64_t until, const LevelAt& level, bool commit);

 private:
  std::uint32_t pin_;
  std::optional<Home> homing_;
  std::uint64_t next_ = 0;
  bool oversampling_ = false;
  std::uint32_t remaining_ = 0;
  std::uint64_t after_oversample_ = 0;  // where polling resumes when a series breaks off
};

class Trsync {
 public:
  enum Reason : std::uint32_t { kEndstopHit = 1, kHostRequest = 2, kPastEndTime = 3 };

  void start(std::uint64_t report_clock, std::uint32_t report_ticks, std::uint32_t expire_reason);
  void set_timeout(std::uint64_t clock) { expire_ = clock; }
  void add_stepper(std::uint32_t oid) { steppers_.push_back(oid); }

  // Trips it (once per start); returns the steppers to stop, empty when it had tripped.
  std::vector<std::uint32_t> trigger(std::uint32_t reason);
  bool can_trigger() const { return can_trigger_; }
  std::uint32_t reason() const { return reason_; }
  std::uint32_t expire_reason() const { return expire_reason_; }

  // The expiry clock when it is due by `until`.
  std::optional<std::uint64_t> expiry_by(std::uint64_t until) const;
  // Clocks of the periodic state reports due by `until` (advancing the schedule).
  std::vector<std::uint64_t> reports_by(std::uint64_t until);

 private:
  bool can_trigger_ = false;
  std::uint32_t reason_ = 0;
  std::uint32_t expire_reason_ = 0;
  std::optional<std::uint64_t> expire_;
  std::optional<std::uint64_t> next_report_;
  std::uint32_t report_ticks_ = 0;
  std::vector<std::uint32_t> steppers_;
};

}  // namespace mcu_emu
