#include "sim/reactor/fiber.h"

#include <cxxabi.h>

#include <boost/context/preallocated.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <utility>

#ifdef FEEDBOX_SANITIZE
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {
namespace ctx = boost::context;

namespace {

// AddressSanitizer keeps per-stack shadow state; it must hear about every switch or it
// reports false stack-buffer errors. Outside sanitizer builds these are no-ops.
void start_switch([[maybe_unused]] void** fake_stack_save, [[maybe_unused]] const void* bottom,
                  [[maybe_unused]] std::size_t size) {
#ifdef FEEDBOX_SANITIZE
  __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#endif
}

void finish_switch([[maybe_unused]] void* fake_stack_save,
                   [[maybe_unused]] const void** from_bottom,
                   [[maybe_unused]] std::size_t* from_size) {
#ifdef FEEDBOX_SANITIZE
  __sanitizer_finish_switch_fiber(fake_stack_save, from_bottom, from_size);
#endif
}

// The C++ runtime keeps the chain of caught exceptions per thread. Fibers interleave on one
// thread, so each one swaps in its own chain; otherwise a fiber leaving a catch block would
// pop another fiber's exception. The layout is the Itanium C++ ABI's __cxa_eh_globals.
struct EhGlobals {
  void* caught_exceptions;
  unsigned int uncaught_exceptions;
};

EhGlobals& eh_globals() {
  return *reinterpret_cast<EhGlobals*>(abi::__cxa_get_globals());
}

// Unmapping a fiber's stack leaves AddressSanitizer's marks of its frames in the shadow;
// memory mapped there later (the embedded Python's arenas) would read as a stack out of
// scope. The marks go with the stack.
class FiberStackAllocator {
 public:
  explicit FiberStackAllocator(std::size_t bytes) : inner_(bytes) {}
  ctx::stack_context allocate() { return inner_.allocate(); }
  void deallocate(ctx::stack_context& stack) noexcept {
#ifdef FEEDBOX_SANITIZE
    ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(stack.sp) - stack.size, stack.size);
#endif
    inner_.deallocate(stack);
  }

 private:
  ctx::protected_fixedsize_stack inner_;
};

}  // namespace

Fiber::Fiber(std::size_t stack_bytes, std::function<void()> body) : body_(std::move(body)) {
  FiberStackAllocator allocator(stack_bytes);
  ctx::stack_context stack = allocator.allocate();
  stack_bottom_ = static_cast<char*>(stack.sp) - stack.size;
  stack_size_ = stack.size;
  self_ = ctx::fiber(std::allocator_arg, ctx::preallocated(stack.sp, stack.size, stack), allocator,
                     [this](ctx::fiber&& scheduler) { return entry(std::move(scheduler)); });
}

Fiber::~Fiber() {
  shutdown();
}

void Fiber::shutdown() {
  if (!self_) return;
  // A suspended body unwinds through FiberUnwind (destroying what lives on its stack); an
  // idle fiber leaves its loop. Either way the entry function returns and frees the stack.
  stopping_ = true;
  switch_in();
}

void Fiber::start() {
  busy_ = true;
  switch_in();
}

void Fiber::resume() {
  switch_in();
}

void Fiber::suspend() {
  switch_out();
  if (stopping_) throw FiberUnwind{};
}

ctx::fiber Fiber::entry(ctx::fiber&& scheduler) {
  finish_switch(nullptr, &scheduler_bottom_, &scheduler_size_);
  scheduler_ = std::move(scheduler);
  while (!stopping_) {
    try {
      body_();
    } catch (const FiberUnwind&) {
    }
    busy_ = false;
    if (stopping_) break;
    switch_out();
  }
  // This stack is about to be freed: no fake stack to keep.
  start_switch(nullptr, scheduler_bottom_, scheduler_size_);
  return std::move(scheduler_);
}

void Fiber::switch_in() {
  EhState scheduler_eh;
  EhGlobals& globals = eh_globals();
  scheduler_eh = {globals.caught_exceptions, globals.uncaught_exceptions};
  globals = {eh_state_.caught_exceptions, eh_state_.uncaught_exceptions};

  void* fake_stack = nullptr;
  start_switch(&fake_stack, stack_bottom_, stack_size_);
  self_ = std::move(self_).resume();
  finish_switch(fake_stack, nullptr, nullptr);

  eh_state_ = {globals.caught_exceptions, globals.uncaught_exceptions};
  globals = {scheduler_eh.caught_exceptions, scheduler_eh.uncaught_exceptions};
}

void Fiber::switch_out() {
  start_switch(&fake_stack_, scheduler_bottom_, scheduler_size_);
  scheduler_ = std::move(scheduler_).resume();
  finish_switch(fake_stack_, &scheduler_bottom_, &scheduler_size_);
}

}  // namespace sim
