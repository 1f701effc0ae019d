// A reactor timer that is unregistered when its owner goes away, so that no callback can
// reach an object the host has already destroyed.
#pragma once

#include "klippy/host/reactor.h"

namespace feedhub {

class ScopedTimer {
 public:
  ScopedTimer() = default;
  ScopedTimer(klippy::Reactor& reactor, klippy::TimerCallback callback,
              double waketime = klippy::Reactor::NEVER);
  ~ScopedTimer();
  ScopedTimer(ScopedTimer&& other) noexcept;
  ScopedTimer& operator=(ScopedTimer&& other) noexcept;
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

  // Null once reset (or when default-constructed).
  const klippy::TimerHandle& handle() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Unregisters the timer now.
  void reset();

 private:
  klippy::Reactor* reactor_ = nullptr;
  klippy::TimerHandle handle_;
};

// Wakes a registered timer now and parks it again when the scope is left, whichever way:
// a watch woken for a move must not go on running after a failure.
class TimerWake {
 public:
  TimerWake(klippy::Reactor& reactor, const klippy::TimerHandle& timer);
  ~TimerWake();
  TimerWake(const TimerWake&) = delete;
  TimerWake& operator=(const TimerWake&) = delete;

 private:
  klippy::Reactor& reactor_;
  const klippy::TimerHandle& timer_;
};

}  // namespace feedhub
