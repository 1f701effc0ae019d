#include "bridge/trampoline.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "bridge/host_link.h"
#include "klippy/host/errors.h"

namespace bridge {
namespace {

constexpr const char* kCapsuleName = "feedbox.callable";

struct Entry {
  std::shared_ptr<CallableRegistry::State> state;
  std::shared_ptr<const HostErrors> errors;
  std::weak_ptr<const void> alive;
  bool watches_owner;
};

enum class Failure { Command, Config, Other };

PyObject* error_class(const Entry& entry, Failure kind) {
  if (entry.errors) {
    const py::object& chosen =
        kind == Failure::Command ? entry.errors->command_error : entry.errors->config_error;
    if (kind != Failure::Other && chosen && !chosen.is_none()) return chosen.ptr();
  }
  return PyExc_RuntimeError;
}

PyObject* call_entry(PyObject* self, PyObject* args) {
  // Keeps the capsule, and so the std::function, alive even if the call unregisters it.
  py::object keep = py::reinterpret_borrow<py::object>(self);
  auto* entry = static_cast<Entry*>(PyCapsule_GetPointer(self, kCapsuleName));
  if (entry == nullptr) return nullptr;
  // Holds the state while it runs: the call may unregister its own callable.
  std::shared_ptr<CallableRegistry::State> state = entry->state;
  if ((entry->watches_owner && entry->alive.expired()) || !state->fn) {
    PyErr_Format(PyExc_RuntimeError, "%s was called after its feedbox object was removed",
                 state->name.c_str());
    return nullptr;
  }
  struct ActiveCall {
    CallableRegistry::State& state;
    explicit ActiveCall(CallableRegistry::State& s) : state(s) { ++state.active_calls; }
    ~ActiveCall() { --state.active_calls; }
  } active(*state);
  // The message is copied out of the catch block before anything else happens: C++ keeps
  // its exception state per thread, and the host switches greenlets on that thread.
  std::optional<std::pair<Failure, std::string>> failure;
  try {
    py::tuple arguments = py::reinterpret_borrow<py::tuple>(args);
    py::object result = state->fn(arguments);
    return result ? result.release().ptr() : py::none().release().ptr();
  } catch (PythonError& error) {
    error.restore();
    return nullptr;
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  } catch (const klippy::CommandError& error) {
    failure.emplace(Failure::Command, error.what());
  } catch (const klippy::ConfigError& error) {
    failure.emplace(Failure::Config, error.what());
  } catch (const std::exception& error) {
    failure.emplace(Failure::Other, state->name + ": " + error.what());
  } catch (...) {
    failure.emplace(Failure::Other, state->name + ": unknown C++ exception");
  }
  PyErr_SetString(error_class(*entry, failure->first), failure->second.c_str());
  return nullptr;
}

void free_entry(PyObject* capsule) {
  delete static_cast<Entry*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// CPython keeps a pointer to the method table for the life of every function made from it
// and never writes to it.
PyMethodDef kTrampolineDef = {"feedbox_callable", call_entry, METH_VARARGS, nullptr};

}  // namespace

std::shared_ptr<CallableRegistry::State> CallableRegistry::add(std::string name, PyCallable fn) {
  std::erase_if(states_, [](const std::weak_ptr<State>& state) { return state.expired(); });
  auto state = std::make_shared<State>(State{std::move(name), std::move(fn)});
  states_.push_back(state);
  return state;
}

void CallableRegistry::release_all() {
  for (const std::weak_ptr<State>& weak : states_) {
    // A callable suspended in a wait keeps what it captured until it returns.
    if (auto state = weak.lock(); state && state->active_calls == 0) state->fn = nullptr;
  }
  states_.clear();
}

bool CallableRegistry::any_active() const {
  return std::any_of(states_.begin(), states_.end(), [](const std::weak_ptr<State>& weak) {
    const auto state = weak.lock();
    return state && state->active_calls > 0;
  });
}

py::object make_callable(const std::string& name, PyCallable fn,
                         std::shared_ptr<const HostErrors> errors, std::weak_ptr<const void> alive,
                         CallableRegistry* registry) {
  const std::weak_ptr<const void> none;
  const bool no_owner = !alive.owner_before(none) && !none.owner_before(alive);
  auto state =
      registry
          ? registry->add(name, std::move(fn))
          : std::make_shared<CallableRegistry::State>(CallableRegistry::State{name, std::move(fn)});
  auto entry = std::make_unique<Entry>(
      Entry{std::move(state), std::move(errors), std::move(alive), !no_owner});
  py::object capsule =
      py::reinterpret_steal<py::object>(PyCapsule_New(entry.get(), kCapsuleName, free_entry));
  if (!capsule) throw py::error_already_set();
  entry.release();  // owned by the capsule from here on
  py::object function =
      py::reinterpret_steal<py::object>(PyCFunction_NewEx(&kTrampolineDef, capsule.ptr(), nullptr));
  if (!function) throw py::error_already_set();
  return function;
}

}  // namespace bridge
