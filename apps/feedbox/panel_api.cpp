#include "apps/feedbox/panel_api.h"

#include <stdexcept>
#include <utility>

namespace feedbox {
namespace {

// The error codes of JSON-RPC 2.0, and the one Moonraker gives a failed G-code command.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kCommandFailed = 400;
constexpr int kHostNotReady = 503;

// A request the API cannot answer; its message says what to send instead.
struct RpcError : std::runtime_error {
  RpcError(int code, const std::string& message) : std::runtime_error(message), code(code) {}
  int code;
};

Json error_response(const Json& id, int code, const std::string& message) {
  return Json{{"jsonrpc", "2.0"}, {"error", {{"code", code}, {"message", message}}}, {"id", id}};
}

Json result_response(const Json& id, Json result) {
  return Json{{"jsonrpc", "2.0"}, {"result", std::move(result)}, {"id", id}};
}

// Host text is not always valid UTF-8 (a spool's tag, a file name): a bad byte must not
// take the answer down with it.
std::string serialize(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// No request of this API nests deeper; deeper input would only cost stack on the host's loop.
constexpr int kMaxDepth = 16;
const Json kNoParams = Json::object();

// {"objects": {"name": null | ["field", ...]}}, as the host's objects/query takes it.
std::map<std::string, std::optional<std::vector<std::string>>> read_objects(const Json& params) {
  const char* expected =
      "params must be {\"objects\": {\"<object name>\": null or [\"<field>\", ...]}}";
  if (!params.is_object() || !params.contains("objects") || !params["objects"].is_object())
    throw RpcError(kInvalidParams, expected);
  std::map<std::string, std::optional<std::vector<std::string>>> objects;
  for (const auto& [name, fields] : params["objects"].items()) {
    if (fields.is_null()) {
      objects[name] = std::nullopt;
      continue;
    }
    if (!fields.is_array()) throw RpcError(kInvalidParams, expected);
    std::vector<std::string> names;
    for (const auto& field : fields) {
      if (!field.is_string()) throw RpcError(kInvalidParams, expected);
      names.push_back(field.get<std::string>());
    }
    objects[name] = std::move(names);
  }
  return objects;
}

Json pick_fields(const Json& status, const std::optional<std::vector<std::string>>& fields) {
  if (!fields) return status.is_object() ? status : Json::object();
  Json picked = Json::object();
  for (const auto& field : *fields)
    if (status.is_object() && status.contains(field)) picked[field] = status[field];
  return picked;
}

void require_ready(const PanelBackend& backend) {
  if (!backend.host_ready())
    throw RpcError(kHostNotReady,
                   "Klippy host not connected: the simulated printer is restarting; "
                   "send the request again in a moment");
}

}  // namespace

Json PanelConnection::query(const ObjectFields& objects) const {
  std::vector<std::string> names;
  for (const auto& [name, fields] : objects) names.push_back(name);
  const Json statuses = backend_.statuses(names);
  Json status = Json::object();
  // Unknown objects answer empty, as the host's query does.
  for (const auto& [name, fields] : objects)
    status[name] = statuses.contains(name) ? pick_fields(statuses[name], fields) : Json::object();
  return status;
}

Json PanelConnection::dispatch(const std::string& method, const Json& params, const Json& id,
                               const Reply& reply, bool& deferred) {
  if (method == "printer.info") {
    const bool ready = backend_.host_ready();
    return Json{{"state", ready ? "ready" : "startup"},
                {"state_message", ready ? "Printer is ready" : "The printer is restarting"},
                {"hostname", "feedbox simulator"},
                {"software_version", "feedbox"}};
  }
  require_ready(backend_);
  if (method == "printer.objects.list") return Json{{"objects", backend_.object_names()}};
  if (method == "printer.objects.query") {
    return Json{{"eventtime", backend_.eventtime()}, {"status", query(read_objects(params))}};
  }
  if (method == "printer.objects.subscribe") {
    subscribed_ = read_objects(params);
    Json status = query(subscribed_);
    last_sent_ = status;
    return Json{{"eventtime", backend_.eventtime()}, {"status", std::move(status)}};
  }
  if (method == "printer.gcode.script") {
    if (!params.is_object() || !params.contains("script") || !params["script"].is_string())
      throw RpcError(kInvalidParams, "params must be {\"script\": \"<G-code lines>\"}");
    deferred = true;
    backend_.run_script(params["script"].get<std::string>(),
                        [id, reply](std::optional<std::string> error) {
                          if (id.is_null()) return;
                          reply(serialize(error ? error_response(id, kCommandFailed, *error)
                                                : result_response(id, "ok")));
                        });
    return nullptr;
  }
  throw RpcError(kMethodNotFound, "Method not found: '" + method +
                                      "'; this server answers printer.info, printer.objects.list, "
                                      "printer.objects.query, printer.objects.subscribe and "
                                      "printer.gcode.script");
}

void PanelConnection::handle(const std::string& text, const Reply& reply) {
  Json request;
  try {
    request = Json::parse(text, [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxDepth) throw RpcError(kInvalidRequest, "Invalid Request: nested too deeply");
      return true;
    });
  } catch (const Json::parse_error&) {
    reply(serialize(error_response(nullptr, kParseError, "Parse error: the message is not JSON")));
    return;
  } catch (const RpcError& e) {
    reply(serialize(error_response(nullptr, e.code, e.what())));
    return;
  }
  Json id = request.is_object() && request.contains("id") ? request["id"] : Json(nullptr);
  if (!id.is_null() && !id.is_number_integer() && !id.is_string()) id = nullptr;
  try {
    if (!request.is_object() || request.value("jsonrpc", Json()) != "2.0" ||
        !request.contains("method") || !request["method"].is_string())
      throw RpcError(kInvalidRequest,
                     "Invalid Request: send an object with \"jsonrpc\": \"2.0\", a \"method\" "
                     "string and an \"id\"");
    const Json& params = request.contains("params") ? request["params"] : kNoParams;
    bool deferred = false;
    Json result = dispatch(request["method"].get<std::string>(), params, id, reply, deferred);
    // A request without an id is a notification: it gets no answer.
    if (!deferred && request.contains("id"))
      reply(serialize(result_response(id, std::move(result))));
  } catch (const RpcError& e) {
    reply(serialize(error_response(id, e.code, e.what())));
  }
}

std::optional<std::string> PanelConnection::status_update(const Json& statuses, double eventtime) {
  if (subscribed_.empty()) return std::nullopt;
  Json changed = Json::object();
  for (const auto& [name, fields] : subscribed_) {
    if (!statuses.contains(name)) continue;
    const Json now = pick_fields(statuses[name], fields);
    Json& sent = last_sent_[name];
    if (!sent.is_object()) sent = Json::object();
    for (const auto& [field, value] : now.items()) {
      if (sent.contains(field) && sent[field] == value) continue;
      changed[name][field] = value;
      sent[field] = value;
    }
  }
  if (changed.empty()) return std::nullopt;
  return serialize(Json{{"jsonrpc", "2.0"},
                        {"method", "notify_status_update"},
                        {"params", Json::array({std::move(changed), eventtime})}});
}

std::string PanelConnection::gcode_response(const std::string& text) {
  return serialize(Json{
      {"jsonrpc", "2.0"}, {"method", "notify_gcode_response"}, {"params", Json::array({text})}});
}

}  // namespace feedbox
