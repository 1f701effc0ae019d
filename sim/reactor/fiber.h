// A reusable stackful execution context for the simulated reactor's tasks.
#pragma once

#include <boost/context/fiber.hpp>
#include <cstddef>
#include <functional>

namespace sim {

// Thrown inside a suspended fiber to unwind its stack when the fiber is destroyed. Code that
// catches everything (`catch (...)`) around a wait must rethrow it.
struct FiberUnwind {};

// Runs `body` on a stack of its own, once per start(). The body may suspend() any number of
// times; the scheduler continues it with resume(). A fiber outlives many bodies, so a body
// that never suspends costs two context switches and no allocation.
//
// Switches always go between the scheduler's stack and this fiber, never from one fiber to
// another. Each fiber keeps its own in-flight exception state, so a body may wait inside a
// catch block while other fibers throw and catch.
class Fiber {
 public:
  Fiber(std::size_t stack_bytes, std::function<void()> body);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Scheduler side: runs the body from the start; returns when it finishes or suspends.
  void start();
  // Scheduler side: continues a suspended body; returns when it finishes or suspends again.
  void resume();
  // Fiber side: switches back to the scheduler until resume() is called.
  void suspend();
  // True from start() until the body returns.
  bool busy() const { return busy_; }
  // Scheduler side: unwinds a suspended body (FiberUnwind) and frees the stack. Afterwards
  // the fiber cannot be started again.
  void shutdown();

 private:
  struct EhState {
    void* caught_exceptions = nullptr;
    unsigned int uncaught_exceptions = 0;
  };

  boost::context::fiber entry(boost::context::fiber&& scheduler);
  void switch_in();
  void switch_out();

  std::function<void()> body_;
  boost::context::fiber self_;       // this fiber while it is not running
  boost::context::fiber scheduler_;  // the scheduler while this fiber runs
  EhState eh_state_;
  bool busy_ = false;
  bool stopping_ = false;
  // Stack bounds for AddressSanitizer's view of the switches.
  const void* stack_bottom_ = nullptr;
  std::size_t stack_size_ = 0;
  const void* scheduler_bottom_ = nullptr;
  std::size_t scheduler_size_ = 0;
  void* fake_stack_ = nullptr;
};

}  // namespace sim
