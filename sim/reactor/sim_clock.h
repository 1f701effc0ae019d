// The reactor's notion of "now": a virtual clock that only moves when told to, or the
// machine's monotonic clock.
#pragma once

namespace sim {

enum class ClockKind { Virtual, Real };

class SimClock {
 public:
  // Virtual time starts here rather than at zero so that `NOW` (0.0) is always in the past.
  static constexpr double kVirtualStart_s = 1000.0;

  explicit SimClock(ClockKind kind) : kind_(kind) {}

  ClockKind kind() const { return kind_; }
  bool is_virtual() const { return kind_ == ClockKind::Virtual; }
  double now() const { return is_virtual() ? virtual_now_ : real_now(); }
  // Virtual clock only; time never goes backwards.
  void advance_to(double eventtime) {
    if (eventtime > virtual_now_) virtual_now_ = eventtime;
  }

 private:
  static double real_now();

  ClockKind kind_;
  double virtual_now_ = kVirtualStart_s;
};

}  // namespace sim
