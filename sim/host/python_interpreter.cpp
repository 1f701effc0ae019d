#include "sim/host/python_interpreter.h"

#include <pybind11/embed.h>

#include <stdexcept>

namespace sim {
namespace {

// How many owners share the interpreter, kept in the interpreter itself (it is as
// process-wide as the interpreter), so that the last owner knows to end it.
constexpr const char* kOwnersName = "_feedbox_interpreter_owners";

long owners() {
  PyObject* count = PySys_GetObject(kOwnersName);  // borrowed
  return count ? PyLong_AsLong(count) : 0;
}

void set_owners(long count) {
  PySys_SetObject(kOwnersName, pybind11::int_(count).ptr());
}

}  // namespace

PythonInterpreter::~PythonInterpreter() {
  if (!started_) return;
  const long others = owners() - 1;
  if (others > 0)
    set_owners(others);
  else
    pybind11::finalize_interpreter();
}

void PythonInterpreter::ensure_started() {
  if (started_) {
    if (std::this_thread::get_id() != thread_)
      throw std::logic_error(
          "Python templates are rendered on the thread that started the interpreter only: "
          "run each host on one thread");
    return;
  }
  if (!Py_IsInitialized()) {
    // No signal handlers: Ctrl-C belongs to the console, not to Python.
    pybind11::initialize_interpreter(false);
  } else if (PyGILState_Check() == 0) {
    throw std::logic_error(
        "The Python interpreter of this process runs on another thread: run every host "
        "on the thread that started the first one");
  }
  set_owners(owners() + 1);
  started_ = true;
  thread_ = std::this_thread::get_id();
}

}  // namespace sim

// Under LeakSanitizer: CPython keeps interned strings, type caches and module state past
// its finalisation by design, and pybind11 a few bytes of shared loader state it hands to
// the interpreter; only our own code's leaks are of interest.
#if defined(__SANITIZE_ADDRESS__)
#define FEEDBOX_LSAN_SUPPRESSIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FEEDBOX_LSAN_SUPPRESSIONS 1
#endif
#endif
#ifdef FEEDBOX_LSAN_SUPPRESSIONS
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpython3\n"
         "leak:pybind11::detail::local_internals::local_internals\n";
}
#endif
