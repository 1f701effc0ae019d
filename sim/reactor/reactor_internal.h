// Objects shared by the reactor's source files; not part of its interface.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/reactor/reactor.h"

namespace sim {

namespace detail {

struct TimerImpl final : klippy::ReactorTimer {
  klippy::TimerCallback callback;
  const SimReactor* owner = nullptr;
  double waketime = klippy::Reactor::NEVER;
  std::uint64_t order = 0;  // registration order: breaks ties between equal wake times
  std::uint64_t token = 0;  // changes on every reschedule, invalidating older entries
  std::uint32_t slot = 0;
  bool registered = true;
  bool running = false;   // its callback runs or is suspended: not started again
  bool one_shot = false;  // unregistered after its first run
};

// What other threads hand the loop: completions to complete, and an eventfd to wake it.
struct AsyncInbox {
  AsyncInbox();
  ~AsyncInbox();
  AsyncInbox(const AsyncInbox&) = delete;
  AsyncInbox& operator=(const AsyncInbox&) = delete;

  std::mutex mutex;
  std::vector<std::pair<klippy::CompletionPtr, klippy::Value>> items;
  const int wake_fd;
};

struct FdWatch {
  int fd = -1;
  SimReactor::FdCallback callback;
  bool registered = true;
  bool busy = false;  // its callback's task has not finished yet
};

}  // namespace detail

struct SimReactor::Task {
  Task(SimReactor& reactor, std::size_t stack_bytes)
      : fiber(stack_bytes, [this, &reactor] { reactor.task_body(*this); }) {}

  // What to run on the next start(); moved out by the body.
  std::shared_ptr<detail::TimerImpl> timer;
  std::shared_ptr<detail::FdWatch> fd;
  double eventtime = 0.0;
  // Wait state.
  bool waiting = false;
  bool timed_out = false;
  std::uint64_t wait_token = 0;
  double resumed_at = 0.0;
  // Last, so it is destroyed first, while the fields above still exist.
  Fiber fiber;
};

}  // namespace sim
