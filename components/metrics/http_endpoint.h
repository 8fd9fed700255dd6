// The HTTP side of the metrics: GET /metrics and GET /healthz served by
// libmicrohttpd on a thread of its own, so a scrape never waits for the
// main loop or a worker and they never wait for it.
//
// No client can hold the endpoint: there are many connection slots, each
// connection is closed after a short idle time, and every request must be
// read and answered within an absolute deadline however slowly its bytes
// arrive (request_deadlines.h). A server bound beyond loopback also limits
// the connections of one client address. Only GET and HEAD of the two
// paths are answered; anything else gets 404 or 405. The handlers run on
// the library's thread: they must be thread-safe and quick.
//
// With EndpointSecurity the endpoint speaks TLS (the library's own GnuTLS
// support) and/or asks for basic authentication against bcrypt hashes
// (basic_auth.h) on both paths.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace metrics {

// /healthz answers 200 "ok" or 503 with the reason, each on a line of its
// own; a role, when set, follows on a line "role: <role>".
struct HealthVerdict {
  bool healthy = true;
  std::string reason;  // one line, shown with 503
  std::string role;    // one word; "" leaves the line off
};

// Empty members leave that part off.
struct EndpointSecurity {
  std::string cert_pem;  // certificate (chain) in PEM; TLS when set
  std::string key_pem;   // its unencrypted private key in PEM
  std::map<std::string, std::string> users;  // user -> bcrypt hash
  bool Tls() const { return !cert_pem.empty(); }
};

class HttpEndpoint {
 public:
  using RenderFn = std::function<std::string()>;
  using HealthFn = std::function<HealthVerdict()>;

  // Listens on address (numeric IPv4 or IPv6) and port (1..65535).
  // Returns null with *error naming the address and the reason when the
  // socket cannot be opened.
  // A certificate or key the TLS library refuses, or TLS asked of a
  // library built without it, is such a failure too.
  static std::unique_ptr<HttpEndpoint> Start(const std::string& address, int port,
                                             RenderFn render, HealthFn health,
                                             const EndpointSecurity& security,
                                             std::string* error);
  // Plain HTTP without authentication.
  static std::unique_ptr<HttpEndpoint> Start(const std::string& address, int port,
                                             RenderFn render, HealthFn health,
                                             std::string* error) {
    return Start(address, port, std::move(render), std::move(health), EndpointSecurity(),
                 error);
  }
  // Stops the thread and closes every socket.
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  int Port() const { return port_; }
  // True when the address is a loopback one (only this host can connect).
  bool Loopback() const { return loopback_; }

 private:
  HttpEndpoint() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  bool loopback_ = false;
};

}  // namespace metrics
