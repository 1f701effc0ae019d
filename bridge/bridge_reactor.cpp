#include "bridge/bridge_reactor.h"

#include "bridge/py_value.h"

namespace bridge {
namespace {

class BridgeTimer final : public klippy::ReactorTimer {
 public:
  explicit BridgeTimer(py::object handle) : handle(std::move(handle)) {}
  py::object handle;
};

const py::object& timer_handle(const klippy::TimerHandle& timer) {
  return static_cast<const BridgeTimer&>(*timer).handle;
}

class BridgeCompletion final : public klippy::Completion {
 public:
  BridgeCompletion(py::object completion, HostLink link)
      : completion_(std::move(completion)), link_(std::move(link)) {}
  bool test() const override { return link_.invoke(completion_, "test").cast<bool>(); }
  const py::object& host_completion() const { return completion_; }
  void complete(klippy::Value result) override {
    link_.invoke(completion_, "complete", to_python(result));
  }

 protected:
  klippy::Value wait_until(double waketime, klippy::Value waketime_result) override {
    // A fresh object tells a timeout apart from any result the completion may carry.
    py::object timed_out = py::module_::import("builtins").attr("object")();
    py::object result = link_.invoke(completion_, "wait", waketime, timed_out);
    if (result.is(timed_out)) return waketime_result;
    return from_python(result);
  }

 private:
  py::object completion_;
  HostLink link_;
};

class BridgeMutex final : public klippy::ReactorMutex {
 public:
  BridgeMutex(py::object mutex, HostLink link) : mutex_(std::move(mutex)), link_(std::move(link)) {}
  bool test() const override { return link_.invoke(mutex_, "test").cast<bool>(); }
  void lock() override { link_.invoke(mutex_, "lock"); }
  void unlock() override { link_.invoke(mutex_, "unlock"); }

 private:
  py::object mutex_;
  HostLink link_;
};

}  // namespace

BridgeReactor::BridgeReactor(py::object reactor, HostLink link)
    : reactor_(std::move(reactor)), link_(std::move(link)) {}

klippy::TimerHandle BridgeReactor::register_timer(klippy::TimerCallback callback, double waketime) {
  py::object fn =
      link_.callable("reactor timer", [callback = std::move(callback)](const py::tuple& args) {
        return py::float_(callback(args[0].cast<double>()));
      });
  return std::make_shared<BridgeTimer>(link_.invoke(reactor_, "register_timer", fn, waketime));
}

void BridgeReactor::update_timer(const klippy::TimerHandle& timer, double waketime) {
  link_.invoke(reactor_, "update_timer", timer_handle(timer), waketime);
}

void BridgeReactor::unregister_timer(const klippy::TimerHandle& timer) {
  // Modules unregister from destructors, where an exception would end the process. The
  // call never waits, so a failure cannot be a greenlet being killed: the host's own
  // report of unraisable errors is the right place for it.
  PyObject* result =
      PyObject_CallMethod(reactor_.ptr(), "unregister_timer", "O", timer_handle(timer).ptr());
  if (result == nullptr) {
    PyErr_WriteUnraisable(reactor_.ptr());
    return;
  }
  Py_DECREF(result);
}

double BridgeReactor::monotonic() const {
  return link_.invoke(reactor_, "monotonic").cast<double>();
}

double BridgeReactor::pause(double waketime) {
  return link_.invoke(reactor_, "pause", waketime).cast<double>();
}

klippy::CompletionPtr BridgeReactor::completion() {
  return wrap_completion(link_.invoke(reactor_, "completion"), link_);
}

klippy::CompletionPtr BridgeReactor::wrap_completion(py::object completion, const HostLink& link) {
  return std::make_shared<BridgeCompletion>(std::move(completion), link);
}

std::unique_ptr<klippy::ReactorMutex> BridgeReactor::wrap_mutex(py::object mutex,
                                                                const HostLink& link) {
  return std::make_unique<BridgeMutex>(std::move(mutex), link);
}

klippy::CompletionPtr BridgeReactor::register_callback(
    std::function<klippy::Value(double)> callback, double waketime) {
  py::object fn =
      link_.callable("reactor callback", [callback = std::move(callback)](const py::tuple& args) {
        return to_python(callback(args[0].cast<double>()));
      });
  return wrap_completion(link_.invoke(reactor_, "register_callback", fn, waketime), link_);
}

std::unique_ptr<klippy::ReactorMutex> BridgeReactor::mutex() {
  return wrap_mutex(link_.invoke(reactor_, "mutex"), link_);
}

}  // namespace bridge

namespace bridge {

void BridgeReactor::async_complete(klippy::CompletionPtr completion, klippy::Value result) {
  // The interpreter's own way for a thread it did not start to take the lock (pybind11's
  // leaves the thread state unknown to the interpreter, which then crashes deleting it).
  const PyGILState_STATE gil = PyGILState_Ensure();
  {
    // The last reference to a host completion may only go while the lock is held.
    const klippy::CompletionPtr owned = std::move(completion);
    if (auto* host = dynamic_cast<BridgeCompletion*>(owned.get())) {
      try {
        reactor_.attr("async_complete")(host->host_completion(), to_python(result));
      } catch (py::error_already_set& error) {
        // The host's loop has ended and will never wake the waiter again; nothing is left
        // to tell, and this thread must not raise into the host.
        error.discard_as_unraisable("feedbox file writer");
      }
    }
  }
  PyGILState_Release(gil);
}

}  // namespace bridge
