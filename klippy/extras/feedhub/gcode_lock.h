// Holds the host's G-code lock (or another reactor mutex) while it lives: work started from
// a timer waits for the running command and no command starts in its middle; box saves
// reach the file one at a time.
#pragma once

#include "klippy/host/reactor.h"

namespace feedhub {

class ReactorLock {
 public:
  explicit ReactorLock(klippy::ReactorMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~ReactorLock() { mutex_.unlock(); }
  ReactorLock(const ReactorLock&) = delete;
  ReactorLock& operator=(const ReactorLock&) = delete;

 private:
  klippy::ReactorMutex& mutex_;
};
using GCodeLock = ReactorLock;

}  // namespace feedhub
