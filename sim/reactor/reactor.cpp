#include "sim/reactor/reactor.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "sim/reactor/reactor_internal.h"

namespace sim {

namespace {

// std::push_heap builds a max-heap; this makes the earliest (waketime, order) the top.
struct LaterEntry {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    return a.waketime > b.waketime || (a.waketime == b.waketime && a.order > b.order);
  }
};

}  // namespace

SimReactor::SimReactor(ClockKind clock, std::size_t fiber_stack_bytes)
    : clock_(clock),
      stack_bytes_(fiber_stack_bytes),
      reporter_([](const std::string& message) { std::cerr << message << '\n'; }),
      inbox_(std::make_unique<detail::AsyncInbox>()) {}

SimReactor::~SimReactor() {
  shutdown_tasks();
}

void SimReactor::shutdown_tasks() {
  // Code unwinding on a task stack may still complete, unlock or unregister things; the
  // reactor is whole until every task is gone, and no wait suspends any more.
  shutting_down_ = true;
  for (auto& task : tasks_) {
    current_task_ = task.get();
    task->fiber.shutdown();
  }
  current_task_ = nullptr;
}

void SimReactor::set_error_reporter(ErrorReporter reporter) {
  reporter_ = std::move(reporter);
}

void SimReactor::report_error(const std::string& message) const {
  if (reporter_) reporter_(message);
}

klippy::TimerHandle SimReactor::register_timer(klippy::TimerCallback callback, double waketime) {
  auto timer = std::make_shared<detail::TimerImpl>();
  timer->callback = std::move(callback);
  timer->owner = this;
  timer->order = ++counter_;
  if (free_slots_.empty()) {
    timer->slot = static_cast<std::uint32_t>(slots_.size());
    slots_.push_back(timer);
  } else {
    timer->slot = free_slots_.back();
    free_slots_.pop_back();
    slots_[timer->slot] = timer;
  }
  ++live_timers_;
  schedule_timer(*timer, waketime);
  return timer;
}

void SimReactor::update_timer(const klippy::TimerHandle& handle, double waketime) {
  auto* timer = static_cast<detail::TimerImpl*>(handle.get());
  if (timer == nullptr || timer->owner != this || !timer->registered || timer->running) return;
  schedule_timer(*timer, waketime);
}

void SimReactor::unregister_timer(const klippy::TimerHandle& handle) {
  auto* timer = static_cast<detail::TimerImpl*>(handle.get());
  if (timer == nullptr || timer->owner != this || !timer->registered) return;
  release_timer(*timer);
}

void SimReactor::release_timer(detail::TimerImpl& timer) {
  timer.registered = false;
  timer.waketime = NEVER;
  timer.token = ++counter_;
  const std::uint32_t slot = timer.slot;
  --live_timers_;
  free_slots_.push_back(slot);
  slots_[slot].reset();  // may destroy `timer`
}

void SimReactor::schedule_timer(detail::TimerImpl& timer, double waketime) {
  timer.waketime = waketime;
  timer.token = ++counter_;
  if (waketime < NEVER) push_entry(waketime, timer.order, timer.token, timer.slot, nullptr);
}

void SimReactor::push_entry(double waketime, std::uint64_t order, std::uint64_t token,
                            std::uint32_t slot, Task* task) {
  // Asking to run again at once (or in the past) queues behind everything already due, so a
  // timer returning NOW cannot starve the others.
  const double now = clock_.now();
  if (waketime <= now) {
    waketime = now;
    order = ++counter_;
  }
  entries_.push_back(Entry{waketime, order, token, slot, task});
  std::push_heap(entries_.begin(), entries_.end(), LaterEntry{});

  // Rescheduling leaves stale entries behind; keep them from piling up.
  const std::size_t live_bound = live_timers_ + tasks_.size();
  if (entries_.size() > 64 && entries_.size() > 2 * live_bound) {
    std::erase_if(entries_, [this](const Entry& entry) { return !entry_live(entry); });
    std::make_heap(entries_.begin(), entries_.end(), LaterEntry{});
  }
}

bool SimReactor::entry_live(const Entry& entry) const {
  if (entry.task != nullptr) return entry.task->waiting && entry.task->wait_token == entry.token;
  const auto& timer = slots_[entry.slot];
  return timer && timer->token == entry.token;
}

void SimReactor::drop_stale_entries() {
  while (!entries_.empty() && !entry_live(entries_.front())) {
    std::pop_heap(entries_.begin(), entries_.end(), LaterEntry{});
    entries_.pop_back();
  }
}

void SimReactor::dispatch_next_entry(double now) {
  std::pop_heap(entries_.begin(), entries_.end(), LaterEntry{});
  const Entry entry = entries_.back();
  entries_.pop_back();

  if (entry.task != nullptr) {
    Task& task = *entry.task;
    task.waiting = false;
    task.timed_out = true;
    task.wait_token = ++counter_;
    run_task(task, false);
    return;
  }
  const std::shared_ptr<detail::TimerImpl>& timer = slots_[entry.slot];
  timer->running = true;
  timer->waketime = NEVER;
  timer->token = ++counter_;
  Task& task = acquire_task();
  task.timer = timer;
  task.eventtime = now;
  run_task(task, true);
}

klippy::CompletionPtr SimReactor::register_callback(std::function<klippy::Value(double)> callback,
                                                    double waketime) {
  klippy::CompletionPtr done = completion();
  auto handle = register_timer(
      [callback = std::move(callback), done](double eventtime) {
        klippy::Value result;
        try {
          result = callback(eventtime);
        } catch (...) {
          // Waiters must not hang on a callback that failed; the loop reports the error.
          done->complete(klippy::Value());
          throw;
        }
        done->complete(std::move(result));
        return NEVER;
      },
      NEVER);
  auto* timer = static_cast<detail::TimerImpl*>(handle.get());
  timer->one_shot = true;
  schedule_timer(*timer, waketime);
  return done;
}

}  // namespace sim
