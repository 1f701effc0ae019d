// The host's event loop: timers, blocking waits and completions on one thread.
// A wait suspends only the calling task (timer callback or command); others keep running.
#pragma once

#include <functional>
#include <memory>

#include "klippy/host/value.h"

namespace klippy {

// Opaque timer identity; the reactor keeps the timer alive while it is registered.
class ReactorTimer {
 public:
  virtual ~ReactorTimer() = default;
};
using TimerHandle = std::shared_ptr<ReactorTimer>;
// Gets the event time it was woken at; returns the next absolute wake time (NEVER parks it).
using TimerCallback = std::function<double(double eventtime)>;

class Completion {
 public:
  virtual ~Completion() = default;
  virtual bool test() const = 0;
  // Stores the result and wakes every waiter; later calls are ignored.
  virtual void complete(Value result) = 0;
  // Returns the result, or `waketime_result` when `waketime` passes first.
  Value wait(double waketime = 9999999999999999.0, Value waketime_result = Value()) {
    return wait_until(waketime, std::move(waketime_result));
  }

 protected:
  virtual Value wait_until(double waketime, Value waketime_result) = 0;
};
using CompletionPtr = std::shared_ptr<Completion>;

// FIFO lock for tasks: lock() suspends the calling task while another task holds it.
class ReactorMutex {
 public:
  virtual ~ReactorMutex() = default;
  virtual bool test() const = 0;  // true while held
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

class Reactor {
 public:
  static constexpr double NOW = 0.0;
  static constexpr double NEVER = 9999999999999999.0;

  virtual ~Reactor() = default;
  virtual TimerHandle register_timer(TimerCallback callback, double waketime = NEVER) = 0;
  // Ignored while the timer's callback runs: only its return value reschedules it.
  virtual void update_timer(const TimerHandle& timer, double waketime) = 0;
  virtual void unregister_timer(const TimerHandle& timer) = 0;
  virtual double monotonic() const = 0;
  // Suspends the calling task until `waketime`; returns the time it resumed at.
  virtual double pause(double waketime) = 0;
  virtual CompletionPtr completion() = 0;
  // Runs `callback(eventtime)` once from a task of its own (it may wait); the returned
  // completion is completed with its return value.
  virtual CompletionPtr register_callback(std::function<Value(double)> callback,
                                          double waketime = NOW) = 0;
  virtual std::unique_ptr<ReactorMutex> mutex() = 0;

  // The only reactor call another thread may make (the host's `async_complete`): completes
  // `completion` with `result` on the reactor's thread and wakes the reactor. The reactor
  // takes the completion over and lets go of it where the host allows that.
  virtual void async_complete(CompletionPtr completion, Value result) = 0;
  // A completion that another thread will complete through async_complete(). Product
  // addition: the real host needs no such distinction; the simulator's virtual clock stands
  // still while one is outstanding, so work on another thread takes no simulated time and
  // runs stay deterministic.
  virtual CompletionPtr async_completion() { return completion(); }

  // The host's assert_no_pause(): while one or more are held, a wait that would suspend
  // raises "Internal error - reactor pause disabled". The host holds one around its ready
  // and shutdown handlers, status queries, toolhead flush callbacks and move queuing; the
  // real host counts its own, so only a host that does not (the simulator) overrides these.
  virtual void prevent_pause() {}
  virtual void allow_pause() {}
};

// Holds a reactor's pause prevention for a scope.
class NoPauseScope {
 public:
  explicit NoPauseScope(Reactor& reactor) : reactor_(reactor) { reactor_.prevent_pause(); }
  ~NoPauseScope() { reactor_.allow_pause(); }
  NoPauseScope(const NoPauseScope&) = delete;
  NoPauseScope& operator=(const NoPauseScope&) = delete;

 private:
  Reactor& reactor_;
};

}  // namespace klippy
