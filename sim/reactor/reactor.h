// The simulated host's event loop: timers, fibers and the two clocks behind klippy::Reactor.
//
// Everything runs on one thread. Every timer callback, register_callback() callback and fd
// callback runs on a fiber of its own, so pause(), Completion::wait() and ReactorMutex::lock()
// suspend only that task while the loop keeps running the others.
//
// Waiting from outside any task (a test body, the application's main code) runs the loop
// nested instead: pause(t) processes everything due up to `t` and returns there, so plain
// code can write `reactor.pause(reactor.monotonic() + 5.0)` to move the world forward.
// Completion::wait() and ReactorMutex::lock() do the same until they are satisfied (or, for
// the mutex, until nothing is left that could release it).
//
// The virtual clock (the default) starts at SimClock::kVirtualStart_s and jumps to the next
// due event whenever nothing is runnable: runs are deterministic and an 8-hour timer fires at
// once, exactly on its time. The real clock sleeps until the next event while watching the
// registered file descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/reactor.h"
#include "sim/reactor/fiber.h"
#include "sim/reactor/sim_clock.h"

namespace sim {

namespace detail {
struct AsyncInbox;
struct TimerImpl;
struct FdWatch;
class CompletionImpl;
class MutexImpl;
}  // namespace detail

class SimReactor final : public klippy::Reactor {
 public:
#ifdef FEEDBOX_SANITIZE
  // Sanitizer frames are several times larger; the stacks are mapped lazily anyway.
  static constexpr std::size_t kDefaultStackBytes = 1024 * 1024;
#else
  static constexpr std::size_t kDefaultStackBytes = 256 * 1024;
#endif
  using ErrorReporter = std::function<void(const std::string& message)>;
  using FdCallback = std::function<void(double eventtime)>;

  explicit SimReactor(ClockKind clock = ClockKind::Virtual,
                      std::size_t fiber_stack_bytes = kDefaultStackBytes);
  // Unwinds every suspended task, so objects on task stacks are destroyed normally.
  ~SimReactor() override;
  SimReactor(const SimReactor&) = delete;
  SimReactor& operator=(const SimReactor&) = delete;

  klippy::TimerHandle register_timer(klippy::TimerCallback callback,
                                     double waketime = NEVER) override;
  void update_timer(const klippy::TimerHandle& timer, double waketime) override;
  void unregister_timer(const klippy::TimerHandle& timer) override;
  double monotonic() const override {
    return clock_.now();
  }
  double pause(double waketime) override;
  klippy::CompletionPtr completion() override;
  // An exception escaping `callback` is reported and completes the completion with None.
  klippy::CompletionPtr register_callback(std::function<klippy::Value(double)> callback,
                                          double waketime = NOW) override;
  std::unique_ptr<klippy::ReactorMutex> mutex() override;
  // Thread-safe; the completion's waiters resume from the loop. The virtual clock stands
  // still while a completion from async_completion() is outstanding.
  void async_complete(klippy::CompletionPtr completion, klippy::Value result) override;
  klippy::CompletionPtr async_completion() override;
  void prevent_pause() override {
    ++no_pause_depth_;
  }
  void allow_pause() override {
    --no_pause_depth_;
  }
  // The message of a wait where pauses are prevented; it fails as the host's does.
  static constexpr const char* kPauseDisabled = "Internal error - reactor pause disabled";

  ClockKind clock_kind() const {
    return clock_.kind();
  }
  // Receives the text of exceptions escaping callbacks; the default prints to stderr.
  void set_error_reporter(ErrorReporter reporter);

  // Calls `on_readable` from a task of its own whenever `fd` is readable (or hung up); never
  // again while that task is still running. Registering an fd again replaces its callback.
  void register_fd(int fd, FdCallback on_readable);
  void unregister_fd(int fd);

  // Runs until end() is called (or, when nothing is scheduled and no fd is watched, until
  // nothing can ever happen again).
  void run();
  void end() {
    end_requested_ = true;
  }
  // Unwinds every suspended task; from then on waits return at once. Whoever owns the
  // objects those tasks use calls it before dropping them.
  void shutdown_tasks();
  // Processes everything due up to `eventtime`; the virtual clock then stands exactly there.
  void run_until_time(double eventtime);
  // Drives the world forward until `predicate` holds (checked after every step) or
  // `timeout_s` of reactor time passes; returns whether it holds.
  bool run_until(const std::function<bool()>& predicate, double timeout_s);
  // True inside a timer, callback or fd task, where waits suspend the task.
  bool in_task() const {
    return current_task_ != nullptr;
  }
  // Fibers created so far; they are reused, so this is the peak number of concurrent tasks.
  std::size_t fiber_count() const {
    return tasks_.size();
  }

 private:
  friend class detail::CompletionImpl;
  friend class detail::MutexImpl;
  struct Task;
  // A scheduled wake-up: of a timer (task == nullptr) or of a suspended task. Entries go
  // stale instead of being removed; `token` tells whether one still counts.
  struct Entry {
    double waketime;
    std::uint64_t order;
    std::uint64_t token;
    std::uint32_t slot;
    Task* task;
  };

  // Timers and entries (reactor.cpp).
  void schedule_timer(detail::TimerImpl& timer, double waketime);
  void release_timer(detail::TimerImpl& timer);
  void push_entry(double waketime, std::uint64_t order, std::uint64_t token, std::uint32_t slot,
                  Task* task);
  bool entry_live(const Entry& entry) const;
  void drop_stale_entries();
  void dispatch_next_entry(double now);
  void report_error(const std::string& message) const;

  // Tasks (reactor_tasks.cpp).
  Task& acquire_task();
  void run_task(Task& task, bool start);
  void task_body(Task& task);
  void run_timer_body(detail::TimerImpl& timer, double eventtime);
  void run_fd_body(detail::FdWatch& watch, double eventtime);
  // Suspends the current task until wake() or `waketime`; true when woken by wake().
  bool suspend_current(double waketime);
  void wake(Task& task);

  // Loop (reactor_loop.cpp).
  void require_outside_task(const char* what) const;
  bool run_nested_until(const std::function<bool()>& predicate, double deadline);
  // One unit of progress without moving time past `limit`; false when nothing was left.
  bool step(double limit);
  bool idle_virtual(double next, double limit);
  bool idle_real(double next, double limit, double now);
  bool any_pollable_fd() const;
  // Waits up to `timeout_s` (negative: forever) for readable fds and starts their tasks.
  bool wait_for_fds(double timeout_s);

  // Completions handed in by other threads (reactor_async.cpp).
  // Completes whatever other threads handed in; true when there was anything.
  bool deliver_async();
  int async_wake_fd() const;

  SimClock clock_;
  std::size_t stack_bytes_;
  ErrorReporter reporter_;
  std::uint64_t counter_ = 0;  // orders registrations and makes tokens unique
  std::vector<std::shared_ptr<detail::TimerImpl>> slots_;
  std::vector<std::uint32_t> free_slots_;
  std::size_t live_timers_ = 0;
  std::vector<Entry> entries_;  // min-heap on (waketime, order)
  std::vector<std::unique_ptr<Task>> tasks_;
  std::vector<Task*> idle_tasks_;
  std::deque<Task*> ready_;
  Task* current_task_ = nullptr;
  std::vector<std::shared_ptr<detail::FdWatch>> fds_;
  std::unique_ptr<detail::AsyncInbox> inbox_;
  // Throws kPauseDisabled while pauses are prevented: called where a wait would suspend.
  void verify_can_pause() const;
  int no_pause_depth_ = 0;
  // Completions from async_completion() not completed yet.
  std::size_t async_outstanding_ = 0;
  bool end_requested_ = false;
  bool shutting_down_ = false;
};

}  // namespace sim
