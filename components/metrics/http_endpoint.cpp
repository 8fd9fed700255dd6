#include "http_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "basic_auth.h"
#include "request_deadlines.h"

namespace metrics {
namespace {

// Slots for many more clients than ever scrape at once: a few dozen
// clients that hold connections open leave room for the real scrapes.
// Each slot costs a descriptor and at most kConnectionMemory.
constexpr unsigned int kMaxConnections = 256;
// Beyond loopback one client address may take only part of them.
constexpr unsigned int kMaxConnectionsPerAddress = 32;
constexpr unsigned int kIdleSeconds = 5;
// Every request is read and answered within this much of the connection's
// opening or of its previous request's end.
constexpr std::chrono::seconds kRequestDeadline{10};
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr char kRealm[] = "korb metrics";
// TLS 1.2 and later only.
constexpr char kTlsPriorities[] = "NORMAL:-VERS-TLS1.1:-VERS-TLS1.0:-VERS-SSL3.0";
constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string ErrnoText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// A bound, listening TCP socket for address:port, or -1 with *error.
// *loopback tells whether only this host can reach it.
int OpenListener(const std::string& address, int port, int* bound_port, bool* loopback,
                 std::string* error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v4);
    *loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v6);
    *loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
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

MHD_Result Unauthorized(MHD_Connection* connection) {
  // Sent after this returns: the text must outlive the call.
  static constexpr char kBody[] = "authentication required\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      sizeof(kBody) - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  const MHD_Result result = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
  MHD_destroy_response(response);
  return result;
}

void DiscardLibraryMessage(void*, const char*, va_list) {}

int SocketOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info != nullptr ? info->connect_fd : -1;
}

// The client's address without its port, as text for lookups.
std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
              sizeof(text));
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof(text));
  return text;
}

}  // namespace

struct HttpEndpoint::Impl {
  RenderFn render;
  HealthFn health;
  EndpointSecurity security;
  std::unique_ptr<BasicAuth> auth;
  RequestDeadlines deadlines{kRequestDeadline};
  MHD_Daemon* daemon = nullptr;

  bool Authorized(MHD_Connection* connection) const {
    if (!auth->Enabled()) return true;
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool ok = user != nullptr && password != nullptr &&
                    auth->Verify(user, password, ClientAddress(connection));
    if (password != nullptr) {
      std::memset(password, 0, std::strlen(password));
      MHD_free(password);
    }
    if (user != nullptr) MHD_free(user);
    return ok;
  }

  static MHD_Result Handle(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*, size_t*, void**) {
    const Impl& impl = *static_cast<Impl*>(self);
    if (!impl.Authorized(connection)) return Unauthorized(connection);
    const std::string path = url;
    if (path != "/metrics" && path != "/healthz")
      return Reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
      return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
    if (path == "/metrics")
      return Reply(connection, MHD_HTTP_OK, impl.render(), kExpositionType);
    const HealthVerdict verdict = impl.health();
    std::string body = verdict.healthy ? "ok\n" : verdict.reason + "\n";
    if (!verdict.role.empty()) body += "role: " + verdict.role + "\n";
    return Reply(connection, verdict.healthy ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                 body, "text/plain");
  }

  // A connection opened (deadline for its first request) or closes.
  static void ConnectionNotice(void* self, MHD_Connection* connection, void**,
                               MHD_ConnectionNotificationCode code) {
    Impl& impl = *static_cast<Impl*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      impl.deadlines.Arm(connection, SocketOf(connection));
    else
      impl.deadlines.Forget(connection);
  }

  // A request was answered: the next one on the connection has its own
  // deadline.
  static void RequestEnded(void* self, MHD_Connection* connection, void**,
                           MHD_RequestTerminationCode code) {
    if (code != MHD_REQUEST_TERMINATED_COMPLETED_OK) return;
    static_cast<Impl*>(self)->deadlines.Arm(connection, SocketOf(connection));
  }
};

std::unique_ptr<HttpEndpoint> HttpEndpoint::Start(const std::string& address, int port,
                                                  RenderFn render, HealthFn health,
                                                  const EndpointSecurity& security,
                                                  std::string* error) {
  const std::string where = address + " port " + std::to_string(port);
  if (port < 0 || port > 65535) {
    *error = "port " + std::to_string(port) + " is out of range";
    return nullptr;
  }
  if (security.Tls() && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    *error = "cannot serve TLS on " + where + ": libmicrohttpd is built without TLS support";
    return nullptr;
  }
  std::unique_ptr<HttpEndpoint> endpoint(new HttpEndpoint());
  endpoint->impl_ = std::make_unique<Impl>();
  Impl& impl = *endpoint->impl_;
  impl.render = std::move(render);
  impl.health = std::move(health);
  impl.security = security;
  impl.auth = std::make_unique<BasicAuth>(security.users);
  std::string reason;
  const int fd = OpenListener(address, port, &endpoint->port_, &endpoint->loopback_, &reason);
  if (fd < 0) {
    *error = "cannot listen on " + where + ": " + reason;
    return nullptr;
  }
  // The library's own thread waits in epoll with no time-out while idle
  // (the connection time-out is its only timer); MHD_USE_ITC lets the
  // destructor wake it.
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC |
                       MHD_USE_ERROR_LOG;
  if (security.Tls()) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::ConnectionNotice),
       &impl},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::RequestEnded), &impl},
  };
  // On loopback every client has the same address: a limit per address
  // would let one local client shut out the local scraper.
  if (!endpoint->loopback_)
    options.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, nullptr});
  if (security.Tls()) {
    options.push_back(
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(impl.security.cert_pem.c_str())});
    options.push_back(
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(impl.security.key_pem.c_str())});
    options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  impl.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Impl::Handle, &impl,
                                 MHD_OPTION_EXTERNAL_LOGGER, &DiscardLibraryMessage, nullptr,
                                 MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
  if (impl.daemon == nullptr) {
    close(fd);
    *error = "cannot start the HTTP server on " + where +
             (security.Tls() ? " (is the certificate or key unusable?)" : "");
    return nullptr;
  }
  return endpoint;
}

HttpEndpoint::~HttpEndpoint() {
  if (impl_ && impl_->daemon != nullptr) MHD_stop_daemon(impl_->daemon);
}

}  // namespace metrics
