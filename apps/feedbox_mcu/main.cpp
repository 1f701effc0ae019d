// feedbox-mcu: micro-controllers emulated on pseudo-terminals for the real Klipper host.
//
//   feedbox-mcu [--batched-analog] [--world CONFIG] NAME=PATH [NAME=PATH ...]
//
// --batched-analog: analog readings in the batched format of newer hosts (which older
// hosts, such as v0.13.0, do not know); without it the single-value format that both
// read.
// --world CONFIG: the printer configuration (the host's sections and the simulator's
// [filament_world]). Its heaters ([extruder], [heater_bed], [heater_generic NAME]) warm
// with their outputs and their sensor pins read the temperature; its filament world moves
// with the slot feeders' and the extruder's steps, drives the sensor pins and answers the
// card readers. The world takes the simulator's commands on standard input, one per line
// (SIM_SPOOL, SIM_FAULT, SIM_STATE as in feedbox), answering each with its lines and
// "feedbox-mcu: ok" or "feedbox-mcu: error: ...". SIGUSR1 prints the world between
// "feedbox-mcu: world" and "feedbox-mcu: end of world". Without --world every analog input
// reads room temperature and the readers find no tag.
// Each NAME=PATH makes one micro-controller whose serial port is the link PATH; the
// host's configuration names it (`[mcu]` or `[mcu NAME]`, `serial: PATH`). A NAME that
// begins with "mcu_box" is a box's board (an STM32F072 at 48 MHz) whose firmware also
// has SPI and the FM17550 card reader. Runs until SIGINT or
// SIGTERM, then removes the links and says how far ahead of each clock the host's timed
// outputs arrived.
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

#include "sim/host/config.h"
#include "sim/mcu_emu/heater_model.h"
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

// The board of a box, as its by-id name tells (stm32f072xb).
bool is_box(const std::string& name) {
  return name.rfind("mcu_box", 0) == 0;
}

mcu_emu::McuConstants box_constants(mcu_emu::McuConstants constants) {
  constants.mcu = "stm32f072xb";
  constants.clock_freq = 48000000;
  constants.card_reader = true;
  return constants;
}

// The configuration's sections with their includes resolved, read as the simulator reads them.
std::vector<mcu_emu::ConfigSection> world_sections(const std::string& path) {
  const auto text = sim::ConfigText::from_file(path);
  std::vector<mcu_emu::ConfigSection> sections;
  for (const auto& section : text.sections()) {
    auto& out = sections.emplace_back(mcu_emu::ConfigSection{section.name, {}, section.source});
    for (const auto& option : section.options) out.options[option.key] = option.value;
  }
  return sections;
}

// Runs each whole line of the world's commands waiting on standard input and answers it
// on standard output; false once the input has ended.
bool read_world_commands(mcu_emu::WorldLink& world, std::string& input) {
  char buffer[4096];
  const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
  if (got <= 0) return false;
  input.append(buffer, static_cast<std::size_t>(got));
  for (std::size_t end = input.find('\n'); end != std::string::npos; end = input.find('\n')) {
    const std::string line = input.substr(0, end);
    input.erase(0, end + 1);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    try {
      const std::string answer = world.command(line);
      std::printf("%sfeedbox-mcu: ok\n", answer.c_str());
    } catch (const std::exception& e) {
      std::printf("feedbox-mcu: error: %s\n", e.what());
    }
  }
  std::fflush(stdout);
  return true;
}

int run(std::vector<std::string> args) {
  mcu_emu::McuConstants constants;
  if (const auto flag = std::find(args.begin(), args.end(), "--batched-analog");
      flag != args.end()) {
    constants.batched_analog = true;
    args.erase(flag);
  }
  std::vector<mcu_emu::HeatedPin> heaters;
  std::string world_config;
  if (const auto flag = std::find(args.begin(), args.end(), "--world"); flag != args.end()) {
    if (std::next(flag) == args.end()) {
      std::fprintf(stderr, "feedbox-mcu: --world needs the path of a printer configuration\n");
      return 2;
    }
    world_config = *std::next(flag);
    heaters = mcu_emu::heated_pins(world_sections(world_config));
    args.erase(flag, std::next(flag, 2));
  }
  mcu_emu::HeaterModels heater_models(std::move(heaters));
  const auto start = std::chrono::steady_clock::now();
  const auto seconds = [start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  // Every emulated controller counts from the same start, like boards powered together.
  const auto clock_at = [start](std::uint32_t freq) {
    return [start, freq]() -> std::uint64_t {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      return static_cast<std::uint64_t>(static_cast<__int128>(ns) * freq / 1000000000);
    };
  };
  std::vector<std::unique_ptr<Emulated>> mcus;
  for (const auto& arg : args) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
      std::fprintf(stderr, "feedbox-mcu: '%s' is not NAME=PATH (for example mcu=/tmp/mcu)\n",
                   arg.c_str());
      return 2;
    }
    const std::string name = arg.substr(0, eq);
    const auto board = is_box(name) ? box_constants(constants) : constants;
    mcus.push_back(
        std::make_unique<Emulated>(name, arg.substr(eq + 1), board, clock_at(board.clock_freq)));
    std::printf("feedbox-mcu: %s on %s\n", mcus.back()->name.c_str(),
                mcus.back()->link.path().c_str());
  }
  // FEEDBOX_MCU_TRACE=1: every command each controller runs, with its clock, on stderr.
  if (const char* trace = std::getenv("FEEDBOX_MCU_TRACE"); trace && *trace && *trace != '0')
    for (const auto& m : mcus)
      m->mcu.set_trace(
          [name = m->name, clock = clock_at(m->mcu.clock_freq())](const std::string& command) {
            std::fprintf(stderr, "%s %llu %s\n", name.c_str(),
                         static_cast<unsigned long long>(clock()), command.c_str());
          });
  std::unique_ptr<mcu_emu::WorldLink> world;
  if (!world_config.empty()) {
    std::map<std::string, mcu_emu::Mcu*> by_name;
    for (const auto& m : mcus) by_name[m->name] = &m->mcu;
    world = std::make_unique<mcu_emu::WorldLink>(world_config, by_name, seconds);
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
  fds.reserve(mcus.size() + 2);
  for (const auto& m : mcus) fds.push_back({m->link.fd(), POLLIN, 0});
  // The world's commands on standard input, one per line (while there is a world).
  fds.push_back({world ? STDIN_FILENO : -1, POLLIN, 0});
  fds.push_back({signal_fd, POLLIN, 0});
  std::string input;
  for (;;) {
    // Homing reports its state every few tens of milliseconds: wake often enough for it.
    if (poll(fds.data(), fds.size(), 5) < 0 && errno != EINTR) return 1;
    if (auto& in = fds[mcus.size()]; in.revents & (POLLIN | POLLHUP)) {
      if (!read_world_commands(*world, input)) in.fd = -1;
    }
    if (fds.back().revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signal_fd, &info, sizeof info) != sizeof info || info.ssi_signo != SIGUSR1) break;
      if (world) {
        std::printf("feedbox-mcu: world\n%s\nfeedbox-mcu: end of world\n",
                    world->describe().c_str());
      } else {
        std::printf("feedbox-mcu: no world (start with --world CONFIG)\n");
      }
      std::fflush(stdout);
    }
    for (std::size_t i = 0; i < mcus.size(); ++i) {
      auto& m = *mcus[i];
      if (fds[i].revents & POLLIN) m.link.write_all(m.mcu.receive(m.link.read_available()));
      heater_models.update(m.name, m.mcu, m.mcu.constants().pwm_max, seconds());
      m.link.write_all(m.mcu.poll());
    }
    if (world) world->poll();
  }
  close(signal_fd);
  for (const auto& m : mcus) {
    const auto& lead = m->mcu.lead();
    if (lead.count == 0) continue;
    const double ms_per_tick = 1000.0 / m->mcu.constants().clock_freq;
    std::printf(
        "feedbox-mcu: %s: %llu timed outputs arrived %.0f to %.0f ms ahead of their clock\n",
        m->name.c_str(), static_cast<unsigned long long>(lead.count),
        static_cast<double>(lead.min) * ms_per_tick, static_cast<double>(lead.max) * ms_per_tick);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: feedbox-mcu [--batched-analog] [--world CONFIG] NAME=PATH "
                 "[NAME=PATH ...]\n");
    return 2;
  }
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "feedbox-mcu: %s\n", e.what());
    return 1;
  }
}
