// `--serve`: a websocket client on another thread speaks the front-end API to a simulated
// printer on the real clock, whose loop serves it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <utility>
// Boost 1.74's Asio uses std::exchange without including <utility> under C++20.
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <string>
#include <thread>

#include "apps/feedbox/panel_api.h"
#include "apps/feedbox/panel_server.h"
#include "apps/feedbox/session.h"

namespace feedbox {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Reads time out, so that a server that never answers fails the test instead of hanging it.
void limit_reads(tcp::socket& socket) {
  timeval timeout{10, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

class Client {
 public:
  explicit Client(unsigned short port) : ws_(io_) {
    ws_.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    limit_reads(ws_.next_layer());
    ws_.handshake("127.0.0.1", "/websocket");
  }
  void send_text(const std::string& text) { ws_.write(net::buffer(text)); }
  void send(const std::string& method, const Json& params, int id) {
    send_text(Json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}}.dump());
  }
  Json next() {
    beast::flat_buffer buffer;
    ws_.read(buffer);
    return Json::parse(beast::buffers_to_string(buffer.data()));
  }
  // The answer to request `id`; notifications that come first are kept in `notes`.
  Json answer(int id) {
    for (;;) {
      Json message = next();
      if (message.contains("id") && message["id"] == id) return message;
      notes.push_back(std::move(message));
    }
  }
  std::vector<Json> notes;

 private:
  net::io_context io_;
  websocket::stream<tcp::socket> ws_;
};

std::string http_get(unsigned short port, const std::string& target, int& status) {
  net::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  limit_reads(socket);
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(socket, buffer, response);
  status = response.result_int();
  return response.body();
}

bool tool0_maps_to(const Json& message, int slot) {
  return message.value("method", "") == "notify_status_update" &&
         message["params"][0].contains("feedhub") &&
         message["params"][0]["feedhub"]["tool_map"][0] == slot;
}

struct Exchange {
  std::string failure;
  int page_status = 0, missing_status = 0;
  std::string page;
  Json parse_error, too_deep, unknown_method, bad_params, query, subscribed, script, failed_script;
  std::vector<Json> notes;
};

TEST(PanelServer, ServesThePageAndAnswersTheFrontEndApiFromTheHostsLoop) {
  std::unique_ptr<PanelServer> panel = std::make_unique<PanelServer>(ServeOptions{"127.0.0.1", 0});
  SessionOptions options;
  options.clock = sim::ClockKind::Real;
  options.output = [&panel](const std::string& text) { panel->gcode_response(text); };
  options.after_start = [&panel](sim::SimHost& host) { panel->attach(host); };
  Session session(std::move(options));
  const PanelDetachGuard detach(panel.get());

  Exchange seen;
  std::atomic<bool> done{false};
  std::thread client_thread([&, port = panel->port()] {
    try {
      seen.page = http_get(port, "/", seen.page_status);
      http_get(port, "/../etc/passwd", seen.missing_status);
      Client client(port);
      client.send_text("{\"jsonrpc\": \"2.0\", \"method\": ");
      seen.parse_error = client.next();
      // Nesting that would only cost the host's stack is refused before it is built.
      client.send_text(R"({"jsonrpc": "2.0", "method": "printer.objects.query", "id": 7, )"
                       R"("params": {"objects": {"feedhub": )" +
                       std::string(20000, '[') + std::string(20000, ']') + "}}}");
      seen.too_deep = client.next();
      client.send("printer.no_such_method", Json::object(), 1);
      seen.unknown_method = client.answer(1);
      client.send("printer.objects.query", Json{{"objects", Json::array({"feedhub", "tool_map"})}},
                  2);
      seen.bad_params = client.answer(2);
      client.send("printer.objects.query",
                  Json{{"objects", {{"feedhub", Json::array({"tool_map"})}}}}, 3);
      seen.query = client.answer(3);
      client.send("printer.objects.subscribe",
                  Json{{"objects", {{"feedhub", Json::array({"tool_map"})}}}}, 4);
      seen.subscribed = client.answer(4);
      client.send("printer.gcode.script", Json{{"script", "BOX_MAP_TOOL T=0 SLOT=1B"}}, 5);
      seen.script = client.answer(5);
      client.send("printer.gcode.script", Json{{"script", "BOX_MAP_TOOL T=0 SLOT=9Z"}}, 6);
      seen.failed_script = client.answer(6);
      // The map's change reaches the subscriber within a few of the host's status periods.
      while (std::none_of(client.notes.begin(), client.notes.end(),
                          [](const Json& m) { return tool0_maps_to(m, 1); }))
        client.notes.push_back(client.next());
      seen.notes = client.notes;
    } catch (const std::exception& e) {
      seen.failure = e.what();
    }
    done = true;
  });
  session.host().run_until([&] { return done.load(); }, 120.0);
  client_thread.join();

  ASSERT_EQ(seen.failure, "");
  EXPECT_EQ(seen.page_status, 200);
  EXPECT_NE(seen.page.find("panel.js"), std::string::npos);
  EXPECT_EQ(seen.missing_status, 404);

  EXPECT_EQ(seen.parse_error["error"]["code"], -32700);
  EXPECT_TRUE(seen.parse_error["id"].is_null());
  EXPECT_EQ(seen.too_deep["error"]["code"], -32600);
  EXPECT_NE(seen.too_deep["error"]["message"].get<std::string>().find("nested too deeply"),
            std::string::npos);
  EXPECT_EQ(seen.unknown_method["error"]["code"], -32601);
  EXPECT_EQ(seen.bad_params["error"]["code"], -32602);

  EXPECT_EQ(seen.query["result"]["status"]["feedhub"],
            (Json{{"tool_map",
                   Json(std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})}}));
  EXPECT_EQ(seen.subscribed["result"]["status"], seen.query["result"]["status"]);
  EXPECT_EQ(seen.script["result"], "ok");
  EXPECT_EQ(seen.failed_script["error"]["code"], 400);
  EXPECT_NE(seen.failed_script["error"]["message"].get<std::string>().find("9Z"),
            std::string::npos);
  // The refusal also reaches the console of every panel, as the host prints it.
  EXPECT_TRUE(std::any_of(seen.notes.begin(), seen.notes.end(), [](const Json& m) {
    return m.value("method", "") == "notify_gcode_response" &&
           m["params"][0].get<std::string>().rfind("!! ", 0) == 0;
  }));
}

}  // namespace
}  // namespace feedbox
