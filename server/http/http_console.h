// The management console over HTTP: the JSON API under /api/v1
// (api_handlers.h) and the page's files, embedded at build time
// (console_assets.h), served by cpp-httplib from a few threads of its own.
//
// The store: the console holds one store connection of its own, next to
// serve's (SQLite's WAL, or PostgreSQL: each reads while the other writes),
// and its request threads take turns on it under one mutex, since neither
// an SQLite connection nor a libpq one may be used by two threads at once. Its changes advance the store's change
// counter like the administration commands', so serve's poll brings the agents in line within a second or so.
//
// Access: every /api/v1 call needs "Authorization: Bearer TOKEN" with a token
// in use (vxmgmtd token create); anything else gets a bare 401. There is no
// cookie, so no other site's page can make a browser act. The page's files
// need no token (they hold no data). Every answer says nosniff, and the page
// may run only the scripts it was served with (no inline script).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "server/network/listen_address.h"
#include "server/store/store_location.h"

namespace vx::server {

class HttpConsole {
 public:
  HttpConsole(StoreLocation store, ListenAddress listen, std::function<int64_t()> now);
  HttpConsole(const HttpConsole&) = delete;
  HttpConsole& operator=(const HttpConsole&) = delete;
  ~HttpConsole();

  // Opens the store and binds the address; an error text, empty on success.
  [[nodiscard]] std::string Start();
  [[nodiscard]] uint16_t Port() const;
  // Ends listening and waits for the request threads; safe from any thread.
  void Stop();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace vx::server
