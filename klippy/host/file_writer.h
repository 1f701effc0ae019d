// Durable file writes off the event loop. Writing, fsyncing and renaming a file takes
// milliseconds on a fast disk and often hundreds on an SD card; on the reactor's thread
// that would delay every other timer of the printer (step generation, heaters, the MCU
// clock sync). A worker thread does the disk work while the writing task waits on a
// completion, so other timers keep running.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "klippy/host/reactor.h"

namespace klippy {

class FileWriter {
 public:
  // Runs on the worker thread right after the file's data reached the disk; a test hook
  // that makes the disk look slow, or fail (by throwing std::runtime_error).
  using FsyncHook = std::function<void()>;

  explicit FileWriter(Reactor& reactor);
  // Finishes every queued write and joins the worker (see stop()).
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Replaces `path` with `content` atomically and durably (see write_file_atomically) and
  // returns once the new file is in place. Writes happen in the order they were asked for.
  // Suspends only the calling task. std::runtime_error naming the path and cause when the
  // write failed; the old file is then left as it was.
  void write(const std::string& path, std::string content);

  // Finishes every queued write and joins the worker. Whoever owns the writer calls it
  // before the reactor's thread may no longer be woken (the real host: without the
  // interpreter lock, which the worker takes to wake it). Writes asked for afterwards are
  // done on the caller's thread.
  void stop();

  // Applies to the writes that start after it.
  void set_fsync_hook(FsyncHook hook);

 private:
  struct Job {
    std::string path;
    std::string content;
    CompletionPtr done;
  };

  void run_worker();
  static Value perform(const Job& job, const FsyncHook& hook);

  Reactor& reactor_;
  FsyncHook fsync_hook_;
  std::mutex mutex_;
  std::condition_variable wake_worker_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  bool stopped_ = false;
  // Started on the first write: most hosts (and most tests) never write through it.
  std::thread worker_;
};

}  // namespace klippy
