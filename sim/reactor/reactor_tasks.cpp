// Running callbacks on fibers and suspending/waking them.
#include <exception>
#include <string>
#include <utility>

#include "sim/reactor/reactor.h"
#include "sim/reactor/reactor_internal.h"

namespace sim {

SimReactor::Task& SimReactor::acquire_task() {
  if (idle_tasks_.empty()) {
    tasks_.push_back(std::make_unique<Task>(*this, stack_bytes_));
    return *tasks_.back();
  }
  Task* task = idle_tasks_.back();
  idle_tasks_.pop_back();
  return *task;
}

void SimReactor::run_task(Task& task, bool start) {
  current_task_ = &task;
  if (start) {
    task.fiber.start();
  } else {
    task.resumed_at = clock_.now();
    task.fiber.resume();
  }
  current_task_ = nullptr;
  if (!task.fiber.busy()) idle_tasks_.push_back(&task);
}

void SimReactor::task_body(Task& task) {
  if (task.timer) {
    // Held for the whole run: the callback may unregister its own timer.
    std::shared_ptr<detail::TimerImpl> timer = std::move(task.timer);
    run_timer_body(*timer, task.eventtime);
  } else if (task.fd) {
    std::shared_ptr<detail::FdWatch> watch = std::move(task.fd);
    run_fd_body(*watch, task.eventtime);
  }
}

namespace {

// Runs `call`; an exception escaping it becomes a message for the error reporter.
template <class Call>
bool run_reporting(Call&& call, const char* where, std::string& message) {
  try {
    call();
    return true;
  } catch (const FiberUnwind&) {
    throw;
  } catch (const std::exception& e) {
    message = std::string("Unhandled exception in ") + where + ": " + e.what();
  } catch (...) {
    message = std::string("Unhandled exception of unknown type in ") + where;
  }
  return false;
}

}  // namespace

void SimReactor::run_timer_body(detail::TimerImpl& timer, double eventtime) {
  double next = NEVER;
  std::string message;
  if (!run_reporting([&] { next = timer.callback(eventtime); }, "a timer callback", message)) {
    report_error(message +
                 "\nThe timer was stopped; the host keeps running. Fix the failing "
                 "code and restart to get it back.");
  }
  timer.running = false;
  if (!timer.registered) return;
  if (timer.one_shot) {
    release_timer(timer);
  } else {
    schedule_timer(timer, next);
  }
}

void SimReactor::run_fd_body(detail::FdWatch& watch, double eventtime) {
  std::string message;
  if (!run_reporting([&] { watch.callback(eventtime); }, "an input callback", message)) {
    report_error(message + "\nThe input stays watched; fix the failing code if it repeats.");
  }
  watch.busy = false;
}

bool SimReactor::suspend_current(double waketime) {
  Task& task = *current_task_;
  if (shutting_down_) {
    task.resumed_at = clock_.now();
    return false;
  }
  task.waiting = true;
  task.timed_out = false;
  task.wait_token = ++counter_;
  if (waketime < NEVER) push_entry(waketime, ++counter_, task.wait_token, 0, &task);
  task.fiber.suspend();
  return !task.timed_out;
}

void SimReactor::wake(Task& task) {
  if (!task.waiting) return;
  task.waiting = false;
  task.timed_out = false;
  task.wait_token = ++counter_;
  ready_.push_back(&task);
}

}  // namespace sim
