// feedbox-mcu: micro-controllers emulated on pseudo-terminals for the real Klipper host.
//
//   feedbox-mcu [--batched-analog] [--world CONFIG] NAME=PATH [NAME=PATH ...]
//
// --batched-analog: analog readings in the batched format of newer hosts (which older
// hosts, such as v0.13.0, do not know); without it the single-value format that both
// read.
// --world CONFIG: the printer configuration with the simulator's [filament_world]; its
// world moves with the slot feeders' and the extruder's steps and drives the sensor pins.
// SIGUSR1 prints the world (every strand and sensor) between "feedbox-mcu: world" and
// "feedbox-mcu: end of world".
// Each NAME=PATH makes one micro-controller whose serial port is the link PATH; the
// host's configuration names it (`[mcu]` or `[mcu NAME]`, `serial: PATH`). Runs until
// SIGINT or SIGTERM, then removes the links.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/mcu_emu/mcu.h"
#include "sim/mcu_emu/pty_link.h"
#include "sim/mcu_emu/world_link.h"

namespace {

struct Emulated {
  Emulated(std::string n, const std::string& path, const mcu_emu::McuConstants& constants,
           mcu_emu::Mcu::Clock clock)
      : name(std::move(n)), link(path), mcu(constants, std::move(clock)) {}
  std::string name;
  mcu_emu::PtyLink link;
  mcu_emu::Mcu mcu;
};

int run(std::vector<std::string> args) {
  mcu_emu::McuConstants constants;
  if (const auto flag = std::find(args.begin(), args.end(), "--batched-analog");
      flag != args.end()) {
    constants.batched_analog = true;
    args.erase(flag);
  }
  std::string world_config;
  if (const auto flag = std::find(args.begin(), args.end(), "--world"); flag != args.end()) {
    if (std::next(flag) == args.end()) {
      std::fprintf(stderr, "feedbox-mcu: --world needs the path of a printer configuration\n");
      return 2;
    }
    world_config = *std::next(flag);
    args.erase(flag, std::next(flag, 2));
  }
  const auto start = std::chrono::steady_clock::now();
  // Every emulated controller counts from the same start, like boards powered together.
  auto clock = [start, freq = constants.clock_freq]() -> std::uint64_t {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    return static_cast<std::uint64_t>(static_cast<__int128>(ns) * freq / 1000000000);
  };
  std::vector<std::unique_ptr<Emulated>> mcus;
  for (const auto& arg : args) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
      std::fprintf(stderr, "feedbox-mcu: '%s' is not NAME=PATH (for example mcu=/tmp/mcu)\n",
                   arg.c_str());
      return 2;
    }
    mcus.push_back(
        std::make_unique<Emulated>(arg.substr(0, eq), arg.substr(eq + 1), constants, clock));
    std::printf("feedbox-mcu: %s on %s\n", mcus.back()->name.c_str(),
                mcus.back()->link.path().c_str());
  }
  // FEEDBOX_MCU_TRACE=1: every command each controller runs, with its clock, on stderr.
  if (const char* trace = std::getenv("FEEDBOX_MCU_TRACE"); trace && *trace && *trace != '0')
    for (const auto& m : mcus)
      m->mcu.set_trace([name = m->name, clock](const std::string& command) {
        std::fprintf(stderr, "%s %llu %s\n", name.c_str(), static_cast<unsigned long long>(clock()),
                     command.c_str());
      });
  std::unique_ptr<mcu_emu::WorldLink> world;
  if (!world_config.empty()) {
    std::map<std::string, mcu_emu::Mcu*> by_name;
    for (const auto& m : mcus) by_name[m->name] = &m->mcu;
    world =
        std::make_unique<mcu_emu::WorldLink>(world_config, by_name, clock, constants.clock_freq);
  }
  std::fflush(stdout);

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);

  std::vector<pollfd> fds;
  for (const auto& m : mcus) fds.push_back({m->link.fd(), POLLIN, 0});
  fds.push_back({signal_fd, POLLIN, 0});
  for (;;) {
    // Homing reports its state every few tens of milliseconds: wake often enough for it.
    if (poll(fds.data(), fds.size(), 5) < 0 && errno != EINTR) return 1;
    if (fds.back().revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signal_fd, &info, sizeof info) != sizeof info || info.ssi_signo != SIGUSR1) break;
      if (world) {
        std::printf("feedbox-mcu: world\n%s\nfeedbox-mcu: end of world\n",
                    world->describe(clock()).c_str());
      } else {
        std::printf("feedbox-mcu: no world (start with --world CONFIG)\n");
      }
      std::fflush(stdout);
    }
    for (std::size_t i = 0; i < mcus.size(); ++i) {
      auto& m = *mcus[i];
      if (fds[i].revents & POLLIN) m.link.write_all(m.mcu.receive(m.link.read_available()));
      m.link.write_all(m.mcu.poll());
    }
    if (world) world->poll(clock());
  }
  close(signal_fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: feedbox-mcu [--batched-analog] [--world CONFIG] NAME=PATH [NAME=PATH ...]\n");
    return 2;
  }
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "feedbox-mcu: %s\n", e.what());
    return 1;
  }
}
