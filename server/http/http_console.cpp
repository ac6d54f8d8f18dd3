#include "server/http/http_console.h"

#include <httplib.h>

#include <mutex>
#include <thread>

#include "server/commands/api_token.h"
#include "server/http/api_handlers.h"
#include "server/http/console_assets.h"
#include "server/store/open_store.h"

namespace vx::server {
namespace {

// The page may load only its own files and talk only to its own API.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// An upload holds an installer of at most kMaxUpdateSize bytes, with room for
// the form's other fields.
constexpr std::size_t kMaxRequestBody = kMaxUpdateSize + (64u << 10);

// Request threads: the store connection serves one request at a time anyway.
constexpr std::size_t kRequestThreads = 4;

std::string BearerToken(const httplib::Request& request) {
  const std::string header = request.get_header_value("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (header.size() <= kScheme.size() || std::string_view(header).substr(0, kScheme.size()) != kScheme) return {};
  return header.substr(kScheme.size());
}

}  // namespace

struct HttpConsole::Parts {
  StoreLocation location;
  ListenAddress listen;
  std::function<int64_t()> now;
  httplib::Server server;
  std::mutex storeLock;  // the one store connection serves one request at a time
  std::unique_ptr<Store> store;
  std::thread thread;
  int port = 0;

  // Whether the request carries a token in use; tokens are read afresh for
  // each call, so a revoked one is refused from the next call on.
  bool Authorized(const httplib::Request& request) {
    const std::string presented = BearerToken(request);
    if (presented.empty() || presented.size() > 256) return false;
    StoreResult<std::vector<ApiTokenRecord>> tokens = store->ListApiTokens();
    return tokens && MatchApiToken(*tokens, presented).has_value();
  }

  void Api(const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> hold(storeLock);
    if (!Authorized(request)) {
      response.status = 401;
      return;
    }
    ApiRequest call;
    call.method = request.method;
    call.path = request.matches[1];
    call.params = request.params;
    for (const auto& [name, field] : request.files) {
      if (name == "file" && !field.filename.empty())
        call.file = ApiUpload{field.filename, field.content};
      else if (field.filename.empty())
        call.params.emplace(name, field.content);  // a plain field of a multipart form
    }
    const ApiResponse answer = HandleApiRequest(*store, call, now());
    response.status = answer.status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(answer.json + "\n", "application/json");
  }
};

HttpConsole::HttpConsole(StoreLocation store, ListenAddress listen, std::function<int64_t()> now)
    : parts_(std::make_unique<Parts>()) {
  parts_->location = std::move(store);
  parts_->listen = std::move(listen);
  parts_->now = std::move(now);
}

HttpConsole::~HttpConsole() { Stop(); }

std::string HttpConsole::Start() {
  Parts& p = *parts_;
  StoreResult<std::unique_ptr<Store>> opened = OpenStore(p.location);
  if (!opened) return "the console cannot open the store: " + opened.error();
  p.store = std::move(opened).value();

  p.server.new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
  p.server.set_payload_max_length(kMaxRequestBody);
  p.server.set_read_timeout(30);
  p.server.set_write_timeout(30);
  p.server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", kContentSecurityPolicy},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"}});
  Parts* parts = &p;
  for (const ConsoleAsset& asset : ConsoleAssets()) {
    p.server.Get(std::string(asset.path), [asset](const httplib::Request&, httplib::Response& response) {
      response.set_header("Cache-Control", "no-cache");
      response.set_content(asset.bytes.data(), asset.bytes.size(), std::string(asset.contentType).c_str());
    });
  }
  p.server.Get(R"(/api/v1/(.+))", [parts](const httplib::Request& request, httplib::Response& response) {
    parts->Api(request, response);
  });
  p.server.Post(R"(/api/v1/(.+))", [parts](const httplib::Request& request, httplib::Response& response) {
    parts->Api(request, response);
  });
  // Any other method on the API is refused the same way as an unknown route.
  p.server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty() && response.status != 401)
      response.set_content("{\"error\": \"no such call\"}\n", "application/json");
  });
  // Nothing escapes a handler; a thrown allocation failure ends the request only.
  p.server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    response.status = 500;
    response.set_content("{\"error\": \"the server could not answer\"}\n", "application/json");
  });

  const std::string host = p.listen.address.empty() || p.listen.address == "*" ? "0.0.0.0" : p.listen.address;
  if (p.listen.port == 0) {
    p.port = p.server.bind_to_any_port(host);
    if (p.port <= 0) return "the console cannot listen on " + host;
  } else {
    if (!p.server.bind_to_port(host, p.listen.port))
      return "the console cannot listen on " + host + ":" + std::to_string(p.listen.port);
    p.port = p.listen.port;
  }
  p.thread = std::thread([parts] { (void)parts->server.listen_after_bind(); });  // ends when stopped
  // A stop is only seen by a server that runs: wait for it to take calls.
  for (int waited = 0; !p.server.is_running() && waited < 5000; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return {};
}

uint16_t HttpConsole::Port() const { return static_cast<uint16_t>(parts_->port); }

void HttpConsole::Stop() {
  Parts& p = *parts_;
  if (!p.thread.joinable()) return;
  p.server.stop();
  p.thread.join();
  p.store.reset();
}

}  // namespace vx::server
