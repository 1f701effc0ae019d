// The Python interpreter embedded in the simulator, which renders G-code templates with the
// same Jinja2 the host uses. CPython runs one interpreter per process, so it is never
// started twice: the first owner to need it starts it (a host without templates never pays
// for it), owners alive at the same time share it, and the last one to go ends it. Hosts
// that follow one another (a restart) keep it running by sharing one owner
// (HostOptions::python).
#pragma once

#include <thread>

namespace sim {

class PythonInterpreter {
 public:
  PythonInterpreter() = default;
  ~PythonInterpreter();
  PythonInterpreter(const PythonInterpreter&) = delete;
  PythonInterpreter& operator=(const PythonInterpreter&) = delete;

  // Starts the interpreter, or joins the one that runs; the thread that started it holds
  // Python's lock for good, so std::logic_error when another thread calls.
  void ensure_started();

 private:
  bool started_ = false;
  std::thread::id thread_;
};

}  // namespace sim
