// klippy::Reactor over the host's reactor. Every wait is the host's own `reactor.pause` or
// `completion.wait(waketime, sentinel)`: the host's greenlets keep the C++ frames of a
// suspended task intact while other timers run. The GIL stays held throughout.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/host_link.h"
#include "klippy/host/reactor.h"

namespace bridge {

namespace py = pybind11;

class BridgeReactor final : public klippy::Reactor {
 public:
  BridgeReactor(py::object reactor, HostLink link);

  klippy::TimerHandle register_timer(klippy::TimerCallback callback, double waketime) override;
  void update_timer(const klippy::TimerHandle& timer, double waketime) override;
  void unregister_timer(const klippy::TimerHandle& timer) override;
  double monotonic() const override;
  double pause(double waketime) override;
  klippy::CompletionPtr completion() override;
  klippy::CompletionPtr register_callback(std::function<klippy::Value(double)> callback,
                                          double waketime) override;
  std::unique_ptr<klippy::ReactorMutex> mutex() override;
  // From any thread: takes the interpreter lock, then hands the completion to the host's
  // own thread-safe `async_complete`.
  void async_complete(klippy::CompletionPtr completion, klippy::Value result) override;

  // Wraps a completion or mutex object of the host (homing, MCU queries, the G-code lock).
  static klippy::CompletionPtr wrap_completion(py::object completion, const HostLink& link);
  static std::unique_ptr<klippy::ReactorMutex> wrap_mutex(py::object mutex, const HostLink& link);

 private:
  py::object reactor_;
  HostLink link_;
};

}  // namespace bridge
