#include "sim/host/python_interpreter.h"

#include <pybind11/embed.h>

#include <stdexcept>

namespace sim {

PythonInterpreter::~PythonInterpreter() {
  if (started_) pybind11::finalize_interpreter();
}

void PythonInterpreter::ensure_started() {
  if (started_) {
    if (std::this_thread::get_id() != thread_)
      throw std::logic_error(
          "Python templates are rendered on the thread that started the interpreter only: "
          "run each host on one thread");
    return;
  }
  if (Py_IsInitialized())
    throw std::logic_error(
        "A Python interpreter runs in this process already: CPython allows one, so hosts "
        "of one process must share one PythonInterpreter (HostOptions::python)");
  // No signal handlers: Ctrl-C belongs to the console, not to Python.
  pybind11::initialize_interpreter(false);
  started_ = true;
  thread_ = std::this_thread::get_id();
}

}  // namespace sim

// Under LeakSanitizer: CPython keeps interned strings, type caches and module state past
// its finalisation by design; only our own code's leaks are of interest.
#if defined(__SANITIZE_ADDRESS__)
#define FEEDBOX_LSAN_SUPPRESSIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FEEDBOX_LSAN_SUPPRESSIONS 1
#endif
#endif
#ifdef FEEDBOX_LSAN_SUPPRESSIONS
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpython3\n";
}
#endif
