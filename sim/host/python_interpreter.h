// The Python interpreter embedded in the simulator, which renders G-code templates with the
// same Jinja2 the host uses. CPython runs one interpreter per process: its owner starts it
// on first use (a host without templates never pays for it) and ends it when destroyed.
// Hosts of one process share one owner (HostOptions::python); a second owner that would
// start Python while the first one's runs is refused.
#pragma once

#include <thread>

namespace sim {

class PythonInterpreter {
 public:
  PythonInterpreter() = default;
  ~PythonInterpreter();
  PythonInterpreter(const PythonInterpreter&) = delete;
  PythonInterpreter& operator=(const PythonInterpreter&) = delete;

  // Starts the interpreter unless this owner has; then checks that the caller is the thread
  // that started it, which holds Python's lock for good. std::logic_error when another
  // owner's interpreter runs or another thread calls.
  void ensure_started();

 private:
  bool started_ = false;
  std::thread::id thread_;
};

}  // namespace sim
