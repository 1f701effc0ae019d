// How adapters call the host and hand it callables.
//
// A Python error raised by the host becomes one of two C++ exceptions:
// - the host's command error becomes klippy::CommandError, which the modules handle;
// - anything else (a configuration error, a greenlet being killed) becomes PythonError,
//   which is deliberately no std::exception: modules that catch std::exception to report a
//   failure and go on must not swallow it. It unwinds to the trampoline, which hands the
//   original Python error back to the host.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "bridge/trampoline.h"

namespace bridge {

namespace py = pybind11;

class PythonError {
 public:
  explicit PythonError(py::error_already_set error) : error_(std::move(error)) {}
  // Sets the Python error indicator back to the original error.
  void restore() { error_.restore(); }
  const char* what() const noexcept { return error_.what(); }

 private:
  py::error_already_set error_;
};

class HostLink {
 public:
  HostLink(std::shared_ptr<const HostErrors> errors, std::weak_ptr<const void> alive,
           std::shared_ptr<CallableRegistry> registry = nullptr)
      : errors_(std::move(errors)), alive_(std::move(alive)), registry_(std::move(registry)) {}

  py::object callable(const std::string& name, PyCallable fn) const {
    return make_callable(name, std::move(fn), errors_, alive_, registry_.get());
  }

  template <class... Args>
  py::object invoke(py::handle object, const char* method, Args&&... args) const {
    try {
      return object.attr(method)(std::forward<Args>(args)...);
    } catch (py::error_already_set& error) {
      rethrow(error);
    }
  }
  template <class T>
  T get(py::handle object, const char* attribute) const {
    try {
      return object.attr(attribute).template cast<T>();
    } catch (py::error_already_set& error) {
      rethrow(error);
    }
  }

  template <class T>
  void set(py::handle object, const char* attribute, T&& value) const {
    try {
      object.attr(attribute) = std::forward<T>(value);
    } catch (py::error_already_set& error) {
      rethrow(error);
    }
  }

  const std::shared_ptr<const HostErrors>& errors() const { return errors_; }

 private:
  [[noreturn]] void rethrow(py::error_already_set& error) const;

  std::shared_ptr<const HostErrors> errors_;
  std::weak_ptr<const void> alive_;
  std::shared_ptr<CallableRegistry> registry_;
};

}  // namespace bridge
