// The part of a Moonraker front end's websocket API that the box panel uses, answered from the
// simulated host: JSON-RPC 2.0 requests of one connection in, responses and notifications out.
// Kept apart from the network so that every answer can be checked without a socket.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace feedbox {

using Json = nlohmann::ordered_json;

// What the API reads from and sends to the host. Every call comes from the host's loop.
struct PanelBackend {
  std::function<bool()> host_ready;
  std::function<std::vector<std::string>()> object_names;
  // The status of the named objects that exist (those without a status are left out).
  std::function<Json(const std::vector<std::string>& names)> statuses;
  std::function<double()> eventtime;
  // Runs the G-code script as a task of the host; `done` gets nothing on success, or the
  // command error's message.
  std::function<void(const std::string& script,
                     std::function<void(std::optional<std::string> error)> done)>
      run_script;
};

// One websocket connection: its subscription and what it has been sent of it.
class PanelConnection {
 public:
  using Reply = std::function<void(std::string text)>;
  explicit PanelConnection(const PanelBackend& backend) : backend_(backend) {}

  // Answers one message; `reply` may be called later (a G-code script answers once it has
  // run) or never (a notification from the client).
  void handle(const std::string& text, const Reply& reply);
  // The objects subscribed to, or none.
  const std::map<std::string, std::optional<std::vector<std::string>>>& subscription() const {
    return subscribed_;
  }
  // A notify_status_update with the fields that changed since the last one, given the
  // current status of (at least) the subscribed objects; nothing when none changed.
  std::optional<std::string> status_update(const Json& statuses, double eventtime);

  static std::string gcode_response(const std::string& text);

 private:
  using ObjectFields = std::map<std::string, std::optional<std::vector<std::string>>>;
  Json dispatch(const std::string& method, const Json& params, const Json& id, const Reply& reply,
                bool& deferred);
  Json query(const ObjectFields& objects) const;

  const PanelBackend& backend_;
  ObjectFields subscribed_;
  Json last_sent_ = Json::object();
};

}  // namespace feedbox
