#include "apps/feedbox/console_command.h"

#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <utility>

#include "apps/feedbox/session.h"
#include "klippy/host/components.h"
#include "klippy/host/errors.h"

namespace feedbox {
namespace {

constexpr const char* kPrompt = "feedbox> ";

// readline's callback interface has no user pointer; the console in progress is kept here
// for the duration of run_console only.
struct ConsoleState {
  sim::SimHost* host = nullptr;
  bool quit = false;
  // Input from a terminal goes through readline; piped input is read line by line and
  // echoed after the prompt, so that what was run stands in the transcript.
  bool interactive = true;
  std::string piped;
};
ConsoleState* g_console = nullptr;

bool printing(sim::SimHost& host) {
  auto* stats = host.printer().lookup_object_or_null<klippy::PrintStats>("print_stats");
  return stats && stats->state() == "printing";
}

// Ends the console once every command queued so far has run: piped input ends long before
// a load that one of its lines started has finished, and a print started from it runs on
// to its end (or until it pauses, which needs a user).
void end_after_queued_commands(sim::SimHost* host) {
  host->reactor().register_callback([host](double) {
    host->gcode().run_console_line("");
    while (printing(*host)) host->reactor().pause(host->reactor().monotonic() + 1.);
    host->reactor().end();
    return klippy::Value();
  });
}

void run_line(const std::string& text) {
  sim::SimHost* host = g_console->host;
  if (text == "exit" || text == "quit") {
    g_console->quit = true;
    if (g_console->interactive)
      host->reactor().end();
    else
      end_after_queued_commands(host);
    return;
  }
  host->reactor().register_callback([host, text](double) {
    host->gcode().run_console_line(text);
    return klippy::Value();
  });
}

void on_line(char* raw) {
  std::unique_ptr<char, decltype(&std::free)> line(raw, &std::free);
  if (!raw) {
    g_console->quit = true;
    g_console->host->reactor().end();
    return;
  }
  if (*raw) add_history(raw);
  run_line(raw);
}

void read_piped_input() {
  char buffer[4096];
  const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (got > 0) g_console->piped.append(buffer, static_cast<size_t>(got));
  size_t newline;
  while (!g_console->quit && (newline = g_console->piped.find('\n')) != std::string::npos) {
    std::string text = g_console->piped.substr(0, newline);
    g_console->piped.erase(0, newline + 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::cout << kPrompt << text << std::endl;
    run_line(text);
  }
  if (got <= 0 && !g_console->quit) {
    if (!g_console->piped.empty()) {
      std::cout << kPrompt << g_console->piped << std::endl;
      run_line(std::exchange(g_console->piped, {}));
    }
    if (!g_console->quit) {
      g_console->quit = true;
      end_after_queued_commands(g_console->host);
    }
  }
  // Once the input has ended or said exit, nothing more is read: a pipe at its end stays
  // readable and would keep the loop from ever waiting.
  if (got <= 0 || g_console->quit) g_console->host->reactor().unregister_fd(STDIN_FILENO);
}

}  // namespace

int run_console(const ConsoleOptions& options) {
  if (options.serve && options.virtual_clock) {
    std::cerr << "feedbox: --serve needs the real clock; leave out --virtual\n";
    return 2;
  }
  std::unique_ptr<PanelServer> panel;
  try {
    panel = start_panel(options.serve, std::cerr);
  } catch (const std::runtime_error& e) {
    std::cerr << "feedbox: " << e.what() << '\n';
    return 2;
  }
  SessionOptions session_options;
  session_options.config_path = options.config_path;
  session_options.boxes = options.boxes;
  session_options.data_dir = options.data_dir;
  session_options.log_path = options.log_path;
  session_options.clock = options.virtual_clock ? sim::ClockKind::Virtual : sim::ClockKind::Real;
  session_options.after_start = [&panel](sim::SimHost& host) {
    if (panel) panel->attach(host);
  };
  session_options.before_restart = [&panel] {
    if (panel) panel->detach();
  };
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  session_options.output = [&panel, interactive](const std::string& text) {
    if (panel) panel->gcode_response(text);
    if (!interactive) {
      std::cout << text << std::endl;
      return;
    }
    // Keep the user's half-typed line intact around asynchronous output.
    int saved_point = rl_point;
    char* saved_line = rl_copy_text(0, rl_end);
    rl_save_prompt();
    rl_replace_line("", 0);
    rl_redisplay();
    std::cout << text << std::endl;
    rl_restore_prompt();
    rl_replace_line(saved_line, 0);
    rl_point = saved_point;
    rl_redisplay();
    std::free(saved_line);
  };
  std::unique_ptr<Session> session;
  try {
    session = std::make_unique<Session>(std::move(session_options));
  } catch (const std::exception& e) {
    std::cerr << "feedbox: configuration error: " << e.what() << '\n';
    return 2;
  }
  const PanelDetachGuard detach_panel(panel.get());
  ConsoleState state{&session->host(), false, interactive, {}};
  g_console = &state;
  if (interactive) {
    std::cout << "Type G-code commands (HELP lists them); Ctrl-D or 'exit' leaves.\n";
    rl_callback_handler_install(kPrompt, on_line);
  }
  // A restart ends the host's loop; the console carries on with the new host.
  do {
    state.host = &session->host();
    if (interactive)
      state.host->reactor().register_fd(STDIN_FILENO, [](double) { rl_callback_read_char(); });
    else if (!state.quit)
      state.host->reactor().register_fd(STDIN_FILENO, [](double) { read_piped_input(); });
    state.host->reactor().run();
  } while (!state.quit && session->restart_if_requested());
  if (interactive) rl_callback_handler_remove();
  g_console = nullptr;
  std::cout << '\n';
  return 0;
}

}  // namespace feedbox
