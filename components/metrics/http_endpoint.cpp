#include "http_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace metrics {
namespace {

constexpr unsigned int kMaxConnections = 8;
constexpr unsigned int kIdleSeconds = 5;
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string ErrnoText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// A bound, listening TCP socket for address:port, or -1 with *error.
int OpenListener(const std::string& address, int port, int* bound_port, std::string* error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v6);
  } else {
    *error = "'" + address + "' is not a numeric IPv4 or IPv6 address";
    return -1;
  }
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = ErrnoText("socket", errno);
    return -1;
  }
  // A restarted process binds again while the old connections linger.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    *error = ErrnoText("bind", errno);
    close(fd);
    return -1;
  }
  sockaddr_storage local{};
  socklen_t local_length = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length);
  *bound_port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&local)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return fd;
}

MHD_Result Reply(MHD_Connection* connection, unsigned int status, const std::string& body,
                 const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

void DiscardLibraryMessage(void*, const char*, va_list) {}

}  // namespace

struct HttpEndpoint::Impl {
  RenderFn render;
  HealthFn health;
  MHD_Daemon* daemon = nullptr;

  static MHD_Result Handle(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*, size_t*, void**) {
    const Impl& impl = *static_cast<Impl*>(self);
    const std::string path = url;
    if (path != "/metrics" && path != "/healthz")
      return Reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
      return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
    if (path == "/metrics")
      return Reply(connection, MHD_HTTP_OK, impl.render(), kExpositionType);
    const HealthVerdict verdict = impl.health();
    if (verdict.healthy) return Reply(connection, MHD_HTTP_OK, "ok\n", "text/plain");
    return Reply(connection, MHD_HTTP_SERVICE_UNAVAILABLE, verdict.reason + "\n",
                 "text/plain");
  }
};

std::unique_ptr<HttpEndpoint> HttpEndpoint::Start(const std::string& address, int port,
                                                  RenderFn render, HealthFn health,
                                                  std::string* error) {
  if (port < 0 || port > 65535) {
    *error = "port " + std::to_string(port) + " is out of range";
    return nullptr;
  }
  std::unique_ptr<HttpEndpoint> endpoint(new HttpEndpoint());
  endpoint->impl_ = std::make_unique<Impl>();
  endpoint->impl_->render = std::move(render);
  endpoint->impl_->health = std::move(health);
  std::string reason;
  const int fd = OpenListener(address, port, &endpoint->port_, &reason);
  if (fd < 0) {
    *error = "cannot listen on " + address + " port " + std::to_string(port) + ": " + reason;
    return nullptr;
  }
  // The library's own thread waits in poll/epoll with no time-out while
  // idle; MHD_USE_ITC lets the destructor wake it.
  endpoint->impl_->daemon = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
      &Impl::Handle, endpoint->impl_.get(), MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_EXTERNAL_LOGGER, &DiscardLibraryMessage, nullptr, MHD_OPTION_END);
  if (endpoint->impl_->daemon == nullptr) {
    close(fd);
    *error = "cannot start the HTTP server on " + address + " port " + std::to_string(port);
    return nullptr;
  }
  return endpoint;
}

HttpEndpoint::~HttpEndpoint() {
  if (impl_ && impl_->daemon != nullptr) MHD_stop_daemon(impl_->daemon);
}

}  // namespace metrics
