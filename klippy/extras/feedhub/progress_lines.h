// Long operations (a load through a 1 m tube, a tool change) say which step they are in: the
// status always knows it (action_step), and the console hears one line per step, never
// sooner than a few seconds after the operation began or after the previous line, so that
// short operations stay quiet. [feedhub] progress_lines: False keeps the console silent.
#pragma once

#include <optional>
#include <string>

#include "klippy/extras/feedhub/scoped_timer.h"

namespace feedhub {

class FeedHub;

class ProgressLines {
 public:
  static constexpr double kQuietS = 3.0;

  explicit ProgressLines(FeedHub& hub) : hub_(hub) {}
  ProgressLines(const ProgressLines&) = delete;
  ProgressLines& operator=(const ProgressLines&) = delete;

  void set_enabled(bool enabled) { enabled_ = enabled; }
  // The operation begun last is now at `step` ("pushing to the extruder entry"); a move
  // of the step that is known to end at reactor time `move_end` gives it a progress.
  void step(const std::string& step, std::optional<double> move_end = std::nullopt);

 private:
  double say_pending(double eventtime);

  FeedHub& hub_;
  bool enabled_ = true;
  double last_line_ = -1e9;
  std::string pending_;
  double pending_since_ = 0.0;
  ScopedTimer timer_;
};

}  // namespace feedhub
