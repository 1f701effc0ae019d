#include "klippy/host/file_writer.h"

#include <stdexcept>
#include <utility>

#include "klippy/host/atomic_file.h"

namespace klippy {

FileWriter::FileWriter(Reactor& reactor) : reactor_(reactor) {}

FileWriter::~FileWriter() {
  stop();
}

void FileWriter::set_fsync_hook(FsyncHook hook) {
  const std::lock_guard lock(mutex_);
  fsync_hook_ = std::move(hook);
}

void FileWriter::write(const std::string& path, std::string content) {
  CompletionPtr done;
  {
    const std::lock_guard lock(mutex_);
    if (stopped_) {
      // The run is over and nothing else is left to keep going.
      write_file_atomically(path, content, fsync_hook_);
      return;
    }
    done = reactor_.async_completion();
    jobs_.push_back(Job{path, std::move(content), done});
    if (!worker_.joinable()) worker_ = std::thread([this] { run_worker(); });
  }
  wake_worker_.notify_one();
  const Value failure = done->wait();
  if (failure.is_string()) throw std::runtime_error(failure.as_string());
}

void FileWriter::stop() {
  {
    const std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopping_ = true;
  }
  wake_worker_.notify_one();
  if (worker_.joinable()) worker_.join();
  const std::lock_guard lock(mutex_);
  stopped_ = true;
}

void FileWriter::run_worker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_worker_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    // Stopping still finishes the queue: a task may be waiting for each of these.
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    const FsyncHook hook = fsync_hook_;
    lock.unlock();
    Value result = perform(job, hook);
    reactor_.async_complete(std::move(job.done), std::move(result));
    lock.lock();
  }
}

Value FileWriter::perform(const Job& job, const FsyncHook& hook) {
  try {
    write_file_atomically(job.path, job.content, hook);
    return Value();
  } catch (const std::exception& e) {
    return Value(e.what());
  } catch (...) {
    return Value("Unable to write file '" + job.path + "': unknown error");
  }
}

}  // namespace klippy
