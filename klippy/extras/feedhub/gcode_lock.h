// Holds the host's G-code lock while it lives, so that work started from a timer waits for
// the running command and no command starts in its middle.
#pragma once

#include "klippy/host/reactor.h"

namespace feedhub {

class GCodeLock {
 public:
  explicit GCodeLock(klippy::ReactorMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~GCodeLock() { mutex_.unlock(); }
  GCodeLock(const GCodeLock&) = delete;
  GCodeLock& operator=(const GCodeLock&) = delete;

 private:
  klippy::ReactorMutex& mutex_;
};

}  // namespace feedhub
