// `--serve`: the box panel's page and the front-end websocket API over HTTP, run on the
// simulated host's own loop so that no request ever waits for, or races with, the printer.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace sim {
class SimHost;
}

namespace feedbox {

struct ServeOptions {
  // Only this machine by default: the API runs any G-code, so another address is the user's
  // explicit choice.
  std::string address = "127.0.0.1";
  unsigned short port = 7125;  // Moonraker's own port; 0 picks a free one
};

class PanelServer {
 public:
  // Listens at once; throws std::runtime_error naming the address when it cannot.
  explicit PanelServer(const ServeOptions& options);
  ~PanelServer();
  PanelServer(const PanelServer&) = delete;
  PanelServer& operator=(const PanelServer&) = delete;

  unsigned short port() const;
  std::string url() const;
  // Serves `host` from its loop, until detach() or the next attach() (after a restart).
  void attach(sim::SimHost& host);
  void detach();
  // A line of the host's console output, for every connected panel.
  void gcode_response(const std::string& text);

  // The network side, kept out of this header so that only one source compiles Beast.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Declared after the session, it detaches the server before the host ends.
class PanelDetachGuard {
 public:
  explicit PanelDetachGuard(PanelServer* server) : server_(server) {}
  ~PanelDetachGuard() {
    if (server_) server_->detach();
  }
  PanelDetachGuard(const PanelDetachGuard&) = delete;
  PanelDetachGuard& operator=(const PanelDetachGuard&) = delete;

 private:
  PanelServer* server_;
};

// The server of `options`, announced on `err`; none without options. Throws
// std::runtime_error when it cannot listen.
std::unique_ptr<PanelServer> start_panel(const std::optional<ServeOptions>& options,
                                         std::ostream& err);

}  // namespace feedbox
