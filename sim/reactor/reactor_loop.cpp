// Driving the loop: run/run_until*, the idle step of each clock and fd polling.
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "sim/reactor/reactor.h"
#include "sim/reactor/reactor_internal.h"

namespace sim {

void SimReactor::require_outside_task(const char* what) const {
  if (in_task()) {
    throw std::logic_error(std::string("SimReactor::") + what +
                           " called from inside a reactor task; wait with pause() or a "
                           "completion there instead");
  }
}

void SimReactor::run() {
  require_outside_task("run()");
  end_requested_ = false;
  while (!end_requested_ && step(NEVER)) {
  }
}

void SimReactor::run_until_time(double eventtime) {
  require_outside_task("run_until_time()");
  while (step(eventtime)) {
  }
}

bool SimReactor::run_until(const std::function<bool()>& predicate, double timeout_s) {
  require_outside_task("run_until()");
  return run_nested_until(predicate, clock_.now() + timeout_s);
}

bool SimReactor::run_nested_until(const std::function<bool()>& predicate, double deadline) {
  while (!predicate()) {
    if (!step(deadline)) return predicate();
  }
  return true;
}

bool SimReactor::step(double limit) {
  if (async_outstanding_ > 0 && deliver_async()) return true;
  if (!ready_.empty()) {
    Task* task = ready_.front();
    ready_.pop_front();
    run_task(*task, false);
    return true;
  }
  drop_stale_entries();
  const double now = clock_.now();
  if (!entries_.empty() && entries_.front().waketime <= now) {
    dispatch_next_entry(now);
    return true;
  }
  const double next = entries_.empty() ? NEVER : entries_.front().waketime;
  return clock_.is_virtual() ? idle_virtual(next, limit) : idle_real(next, limit, now);
}

bool SimReactor::idle_virtual(double next, double limit) {
  // Input is taken whenever the simulated world has nothing runnable.
  if (any_pollable_fd() && wait_for_fds(0.0)) return true;
  // Work on another thread takes no simulated time: the clock waits for it.
  if (async_outstanding_ > 0) {
    wait_for_fds(-1.0);
    return true;
  }
  if (next < NEVER && next <= limit) {
    clock_.advance_to(next);
    return true;
  }
  if (limit < NEVER) {
    clock_.advance_to(limit);
    return false;
  }
  // Nothing is scheduled: time stands still until input arrives, if any can.
  if (!any_pollable_fd()) return false;
  wait_for_fds(-1.0);
  return true;
}

bool SimReactor::idle_real(double next, double limit, double now) {
  if (now >= limit) return false;
  const double until = std::min(next, limit);
  if (until >= NEVER && !any_pollable_fd() && async_outstanding_ == 0) return false;
  wait_for_fds(until >= NEVER ? -1.0 : until - now);
  return true;
}

bool SimReactor::any_pollable_fd() const {
  return std::any_of(fds_.begin(), fds_.end(), [](const auto& watch) { return !watch->busy; });
}

void SimReactor::register_fd(int fd, FdCallback on_readable) {
  unregister_fd(fd);
  auto watch = std::make_shared<detail::FdWatch>();
  watch->fd = fd;
  watch->callback = std::move(on_readable);
  fds_.push_back(std::move(watch));
}

void SimReactor::unregister_fd(int fd) {
  std::erase_if(fds_, [fd](const std::shared_ptr<detail::FdWatch>& watch) {
    if (watch->fd != fd) return false;
    watch->registered = false;
    return true;
  });
}

bool SimReactor::wait_for_fds(double timeout_s) {
  std::vector<pollfd> polls;
  std::vector<std::shared_ptr<detail::FdWatch>> watches;
  for (const auto& watch : fds_) {
    if (watch->busy) continue;
    polls.push_back(pollfd{watch->fd, POLLIN, 0});
    watches.push_back(watch);
  }
  // Last: the loop's next step delivers what other threads handed in.
  if (async_outstanding_ > 0) polls.push_back(pollfd{async_wake_fd(), POLLIN, 0});
  timespec timeout{};
  if (timeout_s >= 0.0) {
    const double whole_s = std::floor(timeout_s);
    timeout.tv_sec = static_cast<time_t>(whole_s);
    timeout.tv_nsec = static_cast<long>((timeout_s - whole_s) * 1e9);
  }
  const int count =
      ppoll(polls.data(), polls.size(), timeout_s >= 0.0 ? &timeout : nullptr, nullptr);
  if (count <= 0) return false;  // timed out or interrupted: the caller looks again

  const double now = clock_.now();
  bool started = watches.size() < polls.size() && polls.back().revents != 0;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    detail::FdWatch& watch = *watches[i];
    if (polls[i].revents == 0 || !watch.registered || watch.busy) continue;
    if ((polls[i].revents & POLLNVAL) != 0) {
      report_error("File descriptor " + std::to_string(watch.fd) +
                   " was closed while still watched; it is no longer watched. Call "
                   "unregister_fd() before closing it.");
      unregister_fd(watch.fd);
      continue;
    }
    watch.busy = true;
    Task& task = acquire_task();
    task.fd = watches[i];
    task.eventtime = now;
    run_task(task, true);
    started = true;
  }
  return started;
}

}  // namespace sim
