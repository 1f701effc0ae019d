// Operating-system services of the host computer that box detection relies on: the serial
// (tty) devices with their udev links, a system shell, and plain file operations.
//
// Product addition: the real host has no such object, so a module that finds none under
// kObjectName builds the production implementation itself; the simulator registers its own
// simulated USB devices under that name.
#pragma once

#include <string>
#include <vector>

#include "klippy/host/object.h"

namespace klippy {

struct ShellResult {
  int status = -1;     // exit status; -1 when not started or killed by a signal
  std::string output;  // what it wrote to stdout and stderr, in order
};

struct TtyDevice {
  std::string devnode;                // e.g. /dev/ttyACM0
  std::vector<std::string> devlinks;  // the udev DEVLINKS property, split at spaces
};

class SystemServices : public PrinterObject {
 public:
  static constexpr const char* kObjectName = "system_services";

  // Devices of the "tty" subsystem in the order the device manager enumerates them.
  // Throws std::runtime_error when the enumeration itself fails.
  virtual std::vector<TtyDevice> list_tty_devices() = 0;
  // Runs `command` through /bin/sh and waits for it.
  virtual ShellResult run_shell(const std::string& command);

  // Names of the entries directly in `folder`, in the order the system lists them; empty
  // when the folder does not exist or cannot be read.
  virtual std::vector<std::string> list_directory(const std::string& folder);
  virtual bool file_exists(const std::string& path);
  // Byte-for-byte comparison; std::runtime_error when either file cannot be read.
  virtual bool files_equal(const std::string& a, const std::string& b);
  // Replaces `to` with the bytes of `from` atomically (readers and crashes see the old or
  // the new file, never a truncated one); std::runtime_error naming the failing path.
  virtual void copy_file(const std::string& from, const std::string& to);
};

// Splits a DEVLINKS value ("link1 link2 ...") into its links; empty text gives none.
std::vector<std::string> split_devlinks(const std::string& devlinks);

// Runs `command` with /bin/sh -c and waits, keeping at most `max_output` bytes of its
// output (the rest is read and dropped, so that the command never blocks on a full pipe).
ShellResult run_system_shell(const std::string& command,
                             std::size_t max_output = std::size_t{64} * 1024);

}  // namespace klippy
