// Completions handed in by other threads: a locked inbox and an eventfd that wakes the
// loop's poll.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "sim/reactor/reactor.h"
#include "sim/reactor/reactor_internal.h"

namespace sim {

namespace detail {

AsyncInbox::AsyncInbox() : wake_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wake_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

AsyncInbox::~AsyncInbox() {
  ::close(wake_fd);
}

}  // namespace detail

void SimReactor::async_complete(klippy::CompletionPtr completion, klippy::Value result) {
  {
    const std::lock_guard lock(inbox_->mutex);
    inbox_->items.emplace_back(std::move(completion), std::move(result));
  }
  const std::uint64_t one = 1;
  // A full counter still leaves the fd readable, which is all the loop needs.
  [[maybe_unused]] const ssize_t n = ::write(inbox_->wake_fd, &one, sizeof one);
}

bool SimReactor::deliver_async() {
  // Clear the wake-up before taking the inbox: an item handed in after the clear sets the
  // counter again, so it is either taken now or wakes the next poll. The other order loses
  // the wake-up of an item handed in between and the loop sleeps with it queued.
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(inbox_->wake_fd, &count, sizeof count);
  std::vector<std::pair<klippy::CompletionPtr, klippy::Value>> items;
  {
    const std::lock_guard lock(inbox_->mutex);
    items.swap(inbox_->items);
  }
  for (auto& [completion, result] : items) completion->complete(std::move(result));
  return !items.empty();
}

int SimReactor::async_wake_fd() const {
  return inbox_->wake_fd;
}

}  // namespace sim
