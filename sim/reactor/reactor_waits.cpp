// The blocking waits: pause, completions and the FIFO mutex.
#include <algorithm>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim/reactor/reactor.h"
#include "sim/reactor/reactor_internal.h"

namespace sim {

void SimReactor::verify_can_pause() const {
  if (no_pause_depth_ > 0) throw std::runtime_error(kPauseDisabled);
}

double SimReactor::pause(double waketime) {
  verify_can_pause();
  if (!in_task()) {
    run_until_time(waketime);
    return monotonic();
  }
  Task& task = *current_task_;
  suspend_current(waketime);
  return task.resumed_at;
}

namespace detail {

// Removes a task from a wait queue when its wait ends for any reason (woken, timed out or
// unwound), so queues never hold tasks that are not waiting on them.
template <class Queue>
class QueueSlot {
 public:
  QueueSlot(Queue& queue, typename Queue::value_type task) : queue_(queue), task_(task) {
    queue_.push_back(task_);
  }
  ~QueueSlot() { remove(); }
  QueueSlot(const QueueSlot&) = delete;
  QueueSlot& operator=(const QueueSlot&) = delete;
  // False when someone else already took it out of the queue.
  bool remove() {
    auto it = std::find(queue_.begin(), queue_.end(), task_);
    if (it == queue_.end()) return false;
    queue_.erase(it);
    return true;
  }

 private:
  Queue& queue_;
  typename Queue::value_type task_;
};

class CompletionImpl final : public klippy::Completion {
 public:
  // `by_other_thread`: another thread completes it through async_complete().
  CompletionImpl(SimReactor& reactor, bool by_other_thread)
      : reactor_(reactor), by_other_thread_(by_other_thread) {
    if (by_other_thread_) ++reactor_.async_outstanding_;
  }
  ~CompletionImpl() override { settle(); }
  CompletionImpl(const CompletionImpl&) = delete;
  CompletionImpl& operator=(const CompletionImpl&) = delete;

  bool test() const override { return done_; }

  void complete(klippy::Value result) override {
    if (done_) return;
    settle();
    done_ = true;
    result_ = std::move(result);
    // Waiters run later from the loop, never inside complete().
    for (SimReactor::Task* task : std::exchange(waiters_, {})) reactor_.wake(*task);
  }

 protected:
  klippy::Value wait_until(double waketime, klippy::Value waketime_result) override {
    if (!done_) {
      reactor_.verify_can_pause();
      if (reactor_.in_task()) {
        QueueSlot slot(waiters_, reactor_.current_task_);
        reactor_.suspend_current(waketime);
      } else {
        reactor_.run_nested_until([this] { return done_; }, waketime);
      }
    }
    return done_ ? result_ : std::move(waketime_result);
  }

 private:
  void settle() {
    if (by_other_thread_ && !done_) --reactor_.async_outstanding_;
    by_other_thread_ = false;
  }

  SimReactor& reactor_;
  bool by_other_thread_;
  bool done_ = false;
  klippy::Value result_;
  std::vector<SimReactor::Task*> waiters_;
};

class MutexImpl final : public klippy::ReactorMutex {
 public:
  explicit MutexImpl(SimReactor& reactor) : reactor_(reactor) {}

  bool test() const override { return locked_; }

  void lock() override {
    if (!locked_) {
      locked_ = true;
      return;
    }
    reactor_.verify_can_pause();
    if (!reactor_.in_task()) {
      // The main code has no fiber to park, so it drives the loop until the holders are done.
      if (!reactor_.run_nested_until([this] { return !locked_; }, SimReactor::NEVER)) {
        throw std::logic_error(
            "Reactor mutex is held by a task that can never release it; the main code "
            "cannot lock it. Release the mutex before waiting for it from outside tasks.");
      }
      locked_ = true;
      return;
    }
    QueueSlot slot(waiters_, reactor_.current_task_);
    try {
      reactor_.suspend_current(SimReactor::NEVER);
    } catch (...) {
      // Unwound after unlock() handed the lock over: pass it on rather than keep it forever.
      if (!slot.remove()) unlock();
      throw;
    }
    // unlock() took us out of the queue and left the mutex locked for us.
  }

  void unlock() override {
    if (waiters_.empty()) {
      locked_ = false;
      return;
    }
    SimReactor::Task* next = waiters_.front();
    waiters_.pop_front();
    reactor_.wake(*next);
  }

 private:
  SimReactor& reactor_;
  bool locked_ = false;
  std::deque<SimReactor::Task*> waiters_;
};

}  // namespace detail

klippy::CompletionPtr SimReactor::completion() {
  return std::make_shared<detail::CompletionImpl>(*this, false);
}

klippy::CompletionPtr SimReactor::async_completion() {
  return std::make_shared<detail::CompletionImpl>(*this, true);
}

std::unique_ptr<klippy::ReactorMutex> SimReactor::mutex() {
  return std::make_unique<detail::MutexImpl>(*this);
}

}  // namespace sim
