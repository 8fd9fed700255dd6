// The HTTP side of the metrics: GET /metrics and GET /healthz served by
// libmicrohttpd on a thread of its own, so a scrape never waits for the
// main loop or a worker and they never wait for it.
//
// Connections are bounded (a few at a time, each closed after a short
// idle time) and only GET of the two paths is answered; anything else gets
// 404 or 405. The handlers run on the library's thread: they must be
// thread-safe and quick.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace metrics {

struct HealthVerdict {
  bool healthy = true;
  std::string reason;  // one line, shown with 503
};

class HttpEndpoint {
 public:
  using RenderFn = std::function<std::string()>;
  using HealthFn = std::function<HealthVerdict()>;

  // Listens on address (numeric IPv4 or IPv6) and port (1..65535).
  // Returns null with *error naming the address and the reason when the
  // socket cannot be opened.
  static std::unique_ptr<HttpEndpoint> Start(const std::string& address, int port,
                                             RenderFn render, HealthFn health,
                                             std::string* error);
  // Stops the thread and closes every socket.
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  int Port() const { return port_; }

 private:
  HttpEndpoint() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace metrics
