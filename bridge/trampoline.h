// Every callable the bridge hands to the host (G-code handlers, timers, callbacks, event
// handlers, module entry points) is one raw CPython function bound to a capsule that holds
// a std::function. pybind11's own function wrappers keep a per-thread stack of call frames;
// the host's greenlets suspend C++ frames and resume them in any order, which corrupts that
// stack, so nothing the host calls may go through them.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

namespace py = pybind11;

// Receives the positional arguments; returns the Python result (None when there is none).
using PyCallable = std::function<py::object(const py::tuple& args)>;

// The host's exception classes that C++ errors become. Unset classes fall back to
// RuntimeError.
struct HostErrors {
  py::object command_error;  // klippy::CommandError -> the host's gcode.error
  py::object config_error;   // klippy::ConfigError -> the host's config error
};

// The callables handed to one host printer. When that printer goes (a restart), the host
// still holds them in its registries, and through what they capture (host objects) they
// would keep the whole old printer alive: CPython's collector cannot see into a capsule.
// release_all() drops what every idle callable captures; a call after that raises.
class CallableRegistry {
 public:
  struct State {
    std::string name;
    PyCallable fn;
    int active_calls = 0;
  };
  std::shared_ptr<State> add(std::string name, PyCallable fn);
  void release_all();
  // True while a call of one of its callables runs: when the host has stopped, one
  // suspended in a wait whose greenlet the host has not ended yet.
  bool any_active() const;

 private:
  std::vector<std::weak_ptr<State>> states_;
};

// A Python callable running `fn`. A Python error raised inside passes through unchanged (a
// greenlet being killed arrives that way and must reach the host); klippy::CommandError and
// klippy::ConfigError become the host's classes from `errors`; anything else a RuntimeError.
// Once `alive` has expired (its owner is gone) a call raises RuntimeError instead.
py::object make_callable(const std::string& name, PyCallable fn,
                         std::shared_ptr<const HostErrors> errors,
                         std::weak_ptr<const void> alive = {},
                         CallableRegistry* registry = nullptr);

}  // namespace bridge
