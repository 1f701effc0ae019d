// Print statistics and the idle timeout: what the modules read to know whether a print runs.
#pragma once

#include <string>

#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/reactor.h"

namespace sim {

class SimPrintStats final : public klippy::PrintStats {
 public:
  explicit SimPrintStats(klippy::ConfigSection& config);
  std::string state() const override { return state_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

  void note_start(const std::string& filename);
  void note_pause();
  void note_resume();
  void note_complete();
  void note_error(const std::string& message);
  void note_cancel();
  void reset();

 private:
  double elapsed(double now) const;

  klippy::Reactor& reactor_;
  std::string state_ = "standby";
  std::string filename_;
  std::string message_;
  double start_time_ = 0.0;
  double end_time_ = 0.0;
  double paused_since_ = 0.0;
  double paused_total_ = 0.0;
};

// "Printing" while the toolhead has work, "Ready" once it has finished, "Idle" after a
// period without activity, when the idle G-code runs.
class SimIdleTimeout final : public klippy::IdleTimeout {
 public:
  explicit SimIdleTimeout(klippy::ConfigSection& config);
  std::optional<klippy::Value> get_status(double eventtime) override;
  const std::string& state() const { return state_; }

  // The toolhead (or anything that keeps the printer busy) reports work that ends at
  // reactor time `busy_until`.
  void note_activity(double eventtime, double busy_until);

 private:
  double check(double eventtime);

  klippy::Reactor& reactor_;
  klippy::Printer& printer_;
  std::string idle_gcode_;
  double timeout_s_;
  std::string state_ = "Idle";
  double print_start_ = 0.0;
  double busy_until_ = 0.0;
  klippy::TimerHandle timer_;
};

}  // namespace sim
