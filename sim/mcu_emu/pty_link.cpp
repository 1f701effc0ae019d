#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace mcu_emu {
namespace {

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

PtyLink::PtyLink(std::string path) : path_(std::move(path)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) throw system_error("cannot open a pseudo-terminal");
  std::array<char, 128> name{};
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name.data(), name.size()) != 0) {
    close(master_);
    throw system_error("cannot unlock the pseudo-terminal");
  }
  slave_ = open(name.data(), O_RDWR | O_NOCTTY);
  termios raw{};
  if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
    if (slave_ >= 0) close(slave_);
    close(master_);
    throw system_error(std::string("cannot open ") + name.data());
  }
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  unlink(path_.c_str());
  if (symlink(name.data(), path_.c_str()) != 0) {
    const auto error = system_error("cannot link " + path_ +
                                    " to the pseudo-terminal; check "
                                    "that its folder exists and is writable");
    close(slave_);
    close(master_);
    throw error;
  }
}

PtyLink::~PtyLink() {
  unlink(path_.c_str());
  close(slave_);
  close(master_);
}

std::string PtyLink::read_available() {
  std::string out;
  std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t n = read(master_, buffer.data(), buffer.size());
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return out;
}

void PtyLink::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) throw system_error("cannot write to " + path_);
    // A full terminal: the host has gone or stopped reading. Like a serial line nobody
    // listens to, the rest is lost rather than the other controllers held up.
    pollfd writable{master_, POLLOUT, 0};
    if (poll(&writable, 1, 50) <= 0) return;
  }
}

}  // namespace mcu_emu
