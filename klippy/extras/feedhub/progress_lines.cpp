#include "klippy/extras/feedhub/progress_lines.h"

#include <algorithm>
#include <cctype>

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {
namespace {

std::string capitalised(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

void ProgressLines::step(const std::string& step, std::optional<double> move_end) {
  const double now = hub_.reactor().monotonic();
  hub_.activities().set_step(step, now, move_end.value_or(0.0));
  const Activity* running = hub_.activities().current();
  if (!enabled_ || !running) return;
  pending_ = capitalised(running->text) + ": " + step;
  pending_since_ = running->step_since;
  // Said once the operation has run a while and the last line has stood a while; a step
  // over by then is not worth a line.
  const double due = std::max(running->since, last_line_) + kQuietS;
  if (due <= now) {
    say_pending(now);
    return;
  }
  if (!timer_)
    timer_ =
        ScopedTimer(hub_.reactor(), [this](double eventtime) { return say_pending(eventtime); });
  hub_.reactor().update_timer(timer_.handle(), due);
}

double ProgressLines::say_pending(double eventtime) {
  const Activity* running = hub_.activities().current();
  // Only the step still under way: a finished operation has said its own last word.
  if (running && !pending_.empty() && running->step_since == pending_since_ &&
      pending_.ends_with(": " + running->step)) {
    hub_.gcode().respond_info(pending_);
    last_line_ = eventtime;
  }
  pending_.clear();
  return klippy::Reactor::NEVER;
}

}  // namespace feedhub
