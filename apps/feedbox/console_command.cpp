#include "apps/feedbox/console_command.h"

#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "apps/feedbox/session.h"
#include "klippy/host/errors.h"

namespace feedbox {
namespace {

constexpr const char* kPrompt = "feedbox> ";

// readline's callback interface has no user pointer; the console in progress is kept here
// for the duration of run_console only.
struct ConsoleState {
  sim::SimHost* host = nullptr;
  bool quit = false;
};
ConsoleState* g_console = nullptr;

void on_line(char* raw) {
  std::unique_ptr<char, decltype(&std::free)> line(raw, &std::free);
  if (!raw) {
    g_console->quit = true;
    g_console->host->reactor().end();
    return;
  }
  std::string text(raw);
  if (text == "exit" || text == "quit") {
    g_console->quit = true;
    g_console->host->reactor().end();
    return;
  }
  if (!text.empty()) add_history(raw);
  sim::SimHost* host = g_console->host;
  host->reactor().register_callback([host, text](double) {
    host->gcode().run_console_line(text);
    return klippy::Value();
  });
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
  session_options.output = [&panel](const std::string& text) {
    if (panel) panel->gcode_response(text);
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
  ConsoleState state{&session->host(), false};
  g_console = &state;
  std::cout << "Type G-code commands (HELP lists them); Ctrl-D or 'exit' leaves.\n";
  rl_callback_handler_install(kPrompt, on_line);
  // A restart ends the host's loop; the console carries on with the new host.
  do {
    state.host = &session->host();
    state.host->reactor().register_fd(STDIN_FILENO, [](double) { rl_callback_read_char(); });
    state.host->reactor().run();
  } while (!state.quit && session->restart_if_requested());
  rl_callback_handler_remove();
  g_console = nullptr;
  std::cout << '\n';
  return 0;
}

}  // namespace feedbox
