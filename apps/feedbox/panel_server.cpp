#include "apps/feedbox/panel_server.h"

#include <utility>
// Boost 1.74's Asio uses std::exchange without including <utility> under C++20.
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <deque>
#include <list>
#include <ostream>
#include <stdexcept>

#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/panel_api.h"
#include "apps/feedbox/value_json.h"
#include "klippy/host/errors.h"
#include "sim/host/host.h"

namespace feedbox {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// How often the host's loop lets the network run: often while a browser is connected, seldom
// while the server only waits for one (an idle simulator then costs next to nothing). And how
// often subscribers hear of status changes (the host's own subscription period).
constexpr double kConnectedPollS = 0.01;
constexpr double kListeningPollS = 0.1;
constexpr double kStatusPeriodS = 0.25;
// A client that reads nothing is dropped rather than left to fill the memory.
constexpr std::size_t kMaxQueuedMessages = 2000;
constexpr std::size_t kMaxMessageBytes = 64 * 1024;
constexpr auto kHttpTimeout = std::chrono::seconds(30);

std::string content_type(const std::string& name) {
  auto ends_with = [&](const char* suffix) {
    const std::string s(suffix);
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  if (ends_with(".html")) return "text/html; charset=utf-8";
  if (ends_with(".css")) return "text/css; charset=utf-8";
  if (ends_with(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

const EmbeddedFile* find_panel_file(std::string target) {
  target = target.substr(0, target.find_first_of("?#"));
  if (target == "/") target = "/index.html";
  for (const EmbeddedFile& file : panel_files())
    if ("/" + file.name == target) return &file;
  return nullptr;
}

class WsSession;

// Counts a connection for as long as it lives.
class LiveConnection {
 public:
  explicit LiveConnection(int& count) : count_(count) { ++count_; }
  ~LiveConnection() { --count_; }
  LiveConnection(const LiveConnection&) = delete;
  LiveConnection& operator=(const LiveConnection&) = delete;

 private:
  int& count_;
};

}  // namespace

struct PanelServer::Impl {
  explicit Impl(const ServeOptions& options);
  void accept_next();
  Json statuses(const std::vector<std::string>& names);
  double poll(double eventtime);
  double send_status_updates(double eventtime);
  template <typename Fn>
  void for_each_open(Fn fn);

  // Before the io_context, whose end ends the connections that count themselves here.
  int live_connections = 0;
  net::io_context io;
  tcp::acceptor acceptor{io};
  std::string address;
  sim::SimHost* host = nullptr;
  klippy::TimerHandle poll_timer, status_timer;
  PanelBackend backend;
  std::list<std::weak_ptr<WsSession>> sessions;
};

namespace {

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(tcp::socket&& socket, const PanelBackend& backend, int& live_connections)
      : live_(live_connections), ws_(std::move(socket)), api_(backend) {}

  void accept(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kMaxMessageBytes);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->open_ = true;
      self->read();
    });
  }
  bool open() const { return open_; }
  PanelConnection& api() { return api_; }

  void send(std::string text) {
    if (!open_) return;
    if (outbox_.size() >= kMaxQueuedMessages) {
      close();
      return;
    }
    outbox_.push_back(std::move(text));
    if (outbox_.size() == 1) write_next();
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->open_ = false;
        return;
      }
      const std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      std::weak_ptr<WsSession> weak = self;
      self->api_.handle(text, [weak](std::string reply) {
        if (auto session = weak.lock()) session->send(std::move(reply));
      });
      self->read();
    });
  }
  void write_next() {
    ws_.text(true);
    ws_.async_write(net::buffer(outbox_.front()),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      if (ec) {
                        self->open_ = false;
                        self->outbox_.clear();
                        return;
                      }
                      self->outbox_.pop_front();
                      if (!self->outbox_.empty()) self->write_next();
                    });
  }
  // The write under way still reads the front of the outbox: its handler empties it.
  void close() {
    open_ = false;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  LiveConnection live_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<std::string> outbox_;
  PanelConnection api_;
  bool open_ = false;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, PanelServer::Impl& server)
      : live_(server.live_connections), stream_(std::move(socket)), server_(server) {}

  void read() {
    request_ = {};
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, request_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) self->on_request();
                     });
  }

 private:
  void on_request() {
    if (websocket::is_upgrade(request_) && request_.target() == "/websocket") {
      stream_.expires_never();
      auto session = std::make_shared<WsSession>(stream_.release_socket(), server_.backend,
                                                 server_.live_connections);
      server_.sessions.push_back(session);
      session->accept(std::move(request_));
      return;
    }
    auto response = std::make_shared<http::response<http::string_body>>(answer());
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec || response->need_eof()) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->read();
                      });
  }

  http::response<http::string_body> answer() const {
    http::response<http::string_body> response;
    response.version(request_.version());
    response.keep_alive(request_.keep_alive());
    response.set(http::field::server, "feedbox");
    const EmbeddedFile* file = find_panel_file(std::string(request_.target()));
    if (request_.method() != http::verb::get && request_.method() != http::verb::head) {
      response.result(http::status::method_not_allowed);
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.body() = "Only GET and HEAD are served here.\n";
    } else if (!file) {
      response.result(http::status::not_found);
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.body() = "Not found: the box panel is at /\n";
    } else {
      response.result(http::status::ok);
      response.set(http::field::content_type, content_type(file->name));
      response.set(http::field::cache_control, "no-cache");
      if (request_.method() == http::verb::get) response.body() = file->content;
    }
    response.prepare_payload();
    if (request_.method() == http::verb::head && file)
      response.content_length(file->content.size());
    return response;
  }

  LiveConnection live_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  PanelServer::Impl& server_;
};

}  // namespace

PanelServer::Impl::Impl(const ServeOptions& options) : address(options.address) {
  beast::error_code ec;
  const auto ip = net::ip::make_address(options.address, ec);
  if (ec)
    throw std::runtime_error("'" + options.address +
                             "' is not an IP address to serve the panel at; give one such as "
                             "127.0.0.1 or 0.0.0.0");
  const tcp::endpoint endpoint(ip, options.port);
  auto fail = [&](const char* what) {
    throw std::runtime_error(std::string("cannot serve the panel at ") + options.address +
                             " port " + std::to_string(options.port) + " (" + what + ": " +
                             ec.message() + "); choose another port with --serve PORT");
  };
  if (acceptor.open(endpoint.protocol(), ec)) fail("open");
  if (acceptor.set_option(net::socket_base::reuse_address(true), ec)) fail("reuse");
  if (acceptor.bind(endpoint, ec)) fail("bind");
  if (acceptor.listen(net::socket_base::max_listen_connections, ec)) fail("listen");

  backend.host_ready = [this] { return host != nullptr; };
  backend.object_names = [this] {
    std::vector<std::string> all;
    for (auto& [name, object] : host->printer().lookup_objects("")) all.push_back(name);
    const Json status = statuses(all);
    std::vector<std::string> with_status;
    for (const std::string& name : all)
      if (status.contains(name)) with_status.push_back(name);
    return with_status;
  };
  backend.statuses = [this](const std::vector<std::string>& names) { return statuses(names); };
  backend.eventtime = [this] { return host->reactor().monotonic(); };
  backend.run_script = [this](const std::string& script,
                              std::function<void(std::optional<std::string>)> done) {
    sim::SimHost* target = host;
    target->reactor().register_callback([target, script, done](double) {
      try {
        target->gcode().run_script(script);
      } catch (const klippy::CommandError& e) {
        done(std::string(e.what()));
        return klippy::Value();
      }
      done(std::nullopt);
      return klippy::Value();
    });
  };
  accept_next();
}

void PanelServer::Impl::accept_next() {
  acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) std::make_shared<HttpSession>(std::move(socket), *this)->read();
    accept_next();
  });
}

Json PanelServer::Impl::statuses(const std::vector<std::string>& names) {
  const double now = host->reactor().monotonic();
  // A front end's status query: the host allows no wait in it.
  const klippy::NoPauseScope no_waits(host->reactor());
  Json status = Json::object();
  for (const std::string& name : names) {
    klippy::PrinterObject* object = host->printer().find_object(name);
    if (!object) continue;
    if (auto value = object->get_status(now)) status[name] = to_json(*value);
  }
  return status;
}

template <typename Fn>
void PanelServer::Impl::for_each_open(Fn fn) {
  for (auto it = sessions.begin(); it != sessions.end();) {
    auto session = it->lock();
    if (!session) {
      it = sessions.erase(it);
      continue;
    }
    if (session->open()) fn(*session);
    ++it;
  }
}

double PanelServer::Impl::poll(double eventtime) {
  if (io.stopped()) io.restart();
  try {
    io.poll();
  } catch (const std::exception& e) {
    // One connection's fault must not end the server for the others.
    host->printer().log().error(std::string("Box panel server: ") + e.what());
  }
  return eventtime + (live_connections > 0 ? kConnectedPollS : kListeningPollS);
}

double PanelServer::Impl::send_status_updates(double eventtime) {
  std::vector<std::string> names;
  for_each_open([&](WsSession& session) {
    for (const auto& [name, fields] : session.api().subscription()) names.push_back(name);
  });
  if (names.empty()) return eventtime + kStatusPeriodS;
  const Json current = statuses(names);
  const double now = host->reactor().monotonic();
  for_each_open([&](WsSession& session) {
    if (auto update = session.api().status_update(current, now)) session.send(std::move(*update));
  });
  return eventtime + kStatusPeriodS;
}

PanelServer::PanelServer(const ServeOptions& options) : impl_(std::make_unique<Impl>(options)) {}

PanelServer::~PanelServer() {
  detach();
}

unsigned short PanelServer::port() const {
  return impl_->acceptor.local_endpoint().port();
}

std::string PanelServer::url() const {
  const std::string shown = impl_->address == "0.0.0.0" ? "localhost" : impl_->address;
  return "http://" + shown + ":" + std::to_string(port()) + "/";
}

void PanelServer::attach(sim::SimHost& host) {
  detach();
  impl_->host = &host;
  Impl* impl = impl_.get();
  impl->poll_timer = host.reactor().register_timer(
      [impl](double eventtime) { return impl->poll(eventtime); }, host.reactor().monotonic());
  impl->status_timer = host.reactor().register_timer(
      [impl](double eventtime) { return impl->send_status_updates(eventtime); },
      host.reactor().monotonic() + kStatusPeriodS);
}

void PanelServer::detach() {
  if (impl_->host) {
    impl_->host->reactor().unregister_timer(impl_->poll_timer);
    impl_->host->reactor().unregister_timer(impl_->status_timer);
  }
  impl_->host = nullptr;
  impl_->poll_timer.reset();
  impl_->status_timer.reset();
}

void PanelServer::gcode_response(const std::string& text) {
  if (!impl_->host) return;
  const std::string message = PanelConnection::gcode_response(text);
  impl_->for_each_open([&](WsSession& session) { session.send(message); });
}

std::unique_ptr<PanelServer> start_panel(const std::optional<ServeOptions>& options,
                                         std::ostream& err) {
  if (!options) return nullptr;
  auto server = std::make_unique<PanelServer>(*options);
  err << "feedbox: box panel at " << server->url() << " (front-end API at ws://"
      << server->url().substr(7) << "websocket)" << std::endl;
  return server;
}

}  // namespace feedbox
