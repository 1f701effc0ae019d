// A pseudo-terminal standing in for a micro-controller's serial port: the host opens the
// path (a link to the terminal's slave side), the emulator reads and writes the master.
#pragma once

#include <string>
#include <string_view>

namespace mcu_emu {

class PtyLink {
 public:
  // Creates the terminal in raw mode and links path to it (replacing an old link there).
  explicit PtyLink(std::string path);
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  int fd() const { return master_; }
  const std::string& path() const { return path_; }
  // What the host wrote; empty when nothing is waiting.
  std::string read_available();
  // Writes what the terminal takes; drops the rest when the host reads nothing for 50 ms.
  void write_all(std::string_view bytes);

 private:
  std::string path_;
  int master_ = -1;
  // Held open so that the master does not see a hang-up while the host has it closed
  // (between its restarts).
  int slave_ = -1;
};

}  // namespace mcu_emu
