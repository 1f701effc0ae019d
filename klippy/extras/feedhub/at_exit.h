// Runs an action when a scope is left, whichever way: what a sequence must put back (a
// flag, the box's permission to reload) is put back by this, never by hand at each exit.
#pragma once

#include <functional>
#include <utility>

namespace feedhub {

class AtExit {
 public:
  explicit AtExit(std::function<void()> action) : action_(std::move(action)) {}
  ~AtExit() { action_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  std::function<void()> action_;
};

}  // namespace feedhub
