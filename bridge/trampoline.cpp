#include "bridge/trampoline.h"

#include <optional>
#include <utility>

#include "bridge/host_link.h"
#include "klippy/host/errors.h"

namespace bridge {
namespace {

constexpr const char* kCapsuleName = "feedbox.callable";

struct Entry {
  std::string name;
  PyCallable fn;
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
  if (entry->watches_owner && entry->alive.expired()) {
    PyErr_Format(PyExc_RuntimeError, "%s was called after its feedbox object was removed",
                 entry->name.c_str());
    return nullptr;
  }
  // The message is copied out of the catch block before anything else happens: C++ keeps
  // its exception state per thread, and the host switches greenlets on that thread.
  std::optional<std::pair<Failure, std::string>> failure;
  try {
    py::tuple arguments = py::reinterpret_borrow<py::tuple>(args);
    py::object result = entry->fn(arguments);
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
    failure.emplace(Failure::Other, entry->name + ": " + error.what());
  } catch (...) {
    failure.emplace(Failure::Other, entry->name + ": unknown C++ exception");
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

py::object make_callable(const std::string& name, PyCallable fn,
                         std::shared_ptr<const HostErrors> errors,
                         std::weak_ptr<const void> alive) {
  const std::weak_ptr<const void> none;
  const bool no_owner = !alive.owner_before(none) && !none.owner_before(alive);
  auto entry = std::make_unique<Entry>(
      Entry{name, std::move(fn), std::move(errors), std::move(alive), !no_owner});
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
