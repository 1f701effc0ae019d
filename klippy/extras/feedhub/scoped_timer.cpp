#include "klippy/extras/feedhub/scoped_timer.h"

#include <utility>

namespace feedhub {

ScopedTimer::ScopedTimer(klippy::Reactor& reactor, klippy::TimerCallback callback, double waketime)
    : reactor_(&reactor), handle_(reactor.register_timer(std::move(callback), waketime)) {}

ScopedTimer::~ScopedTimer() {
  reset();
}

ScopedTimer::ScopedTimer(ScopedTimer&& other) noexcept
    : reactor_(other.reactor_), handle_(std::exchange(other.handle_, nullptr)) {}

ScopedTimer& ScopedTimer::operator=(ScopedTimer&& other) noexcept {
  if (this != &other) {
    reset();
    reactor_ = other.reactor_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void ScopedTimer::reset() {
  if (handle_ && reactor_) reactor_->unregister_timer(handle_);
  handle_ = nullptr;
}

TimerWake::TimerWake(klippy::Reactor& reactor, const klippy::TimerHandle& timer)
    : reactor_(reactor), timer_(timer) {
  reactor_.update_timer(timer_, klippy::Reactor::NOW);
}

TimerWake::~TimerWake() {
  reactor_.update_timer(timer_, klippy::Reactor::NEVER);
}

}  // namespace feedhub
