// Socket helpers; errno becomes text only in ErrorText().
#include "socket_ops.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace sockets {

std::string ErrorText(const std::string& context, int err) {
  char buf[256];
  return context + ": " + strerror_r(err, buf, sizeof(buf));
}

int CreateUdpSocket(int family, bool nonblocking, std::string* error) {
  int type = SOCK_DGRAM | SOCK_CLOEXEC;
  if (nonblocking) type |= SOCK_NONBLOCK;
  const int fd = socket(family, type, IPPROTO_UDP);
  if (fd < 0 && error) *error = ErrorText("socket", errno);
  return fd;
}

bool BindIPv4(int fd, const std::string& address, int port,
              std::string* error) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = "bind address '" + address + "' is not an IPv4 address";
    return false;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (error)
      *error = ErrorText("bind " + address + ":" + std::to_string(port), errno);
    return false;
  }
  return true;
}

bool SetReceiveBuffer(int fd, long bytes, long* granted, std::string* error) {
  const int asked = bytes > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(bytes);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof(asked)) != 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof(asked)) != 0) {
    if (error) *error = ErrorText("setsockopt SO_RCVBUF", errno);
    return false;
  }
  int value = 0;
  socklen_t len = sizeof(value);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, &len) != 0) value = 0;
  *granted = value;
  return true;
}

int LocalPort(int fd) {
  sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  if (addr.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  return -1;
}

static_assert(sizeof(sockaddr_storage) == Peer::kSize);

std::string Peer::Text() const {
  const std::string address = AddressText();
  sockaddr_storage addr;
  memcpy(&addr, storage_, sizeof(addr));
  int port = 0;
  if (addr.ss_family == AF_INET)
    port = ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  else if (addr.ss_family == AF_INET6)
    port = ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  return address + ":" + std::to_string(port);
}

std::string Peer::AddressText() const {
  sockaddr_storage addr;
  memcpy(&addr, storage_, sizeof(addr));
  char host[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
  }
  return host;
}

bool SendDatagram(const std::string& host, int port, const void* data,
                  size_t length, std::string* error) {
  if (port < 1 || port > 65535) {
    if (error) *error = "port " + std::to_string(port) + " is out of range";
    return false;
  }
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    if (error) {
      *error = "resolve " + host + ": ";
      *error += rc == EAI_SYSTEM ? ErrorText("getaddrinfo", errno)
                                 : gai_strerror(rc);
    }
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found,
                                                           &freeaddrinfo);
  std::vector<const addrinfo*> candidates;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next)
    if (ai->ai_family == AF_INET) candidates.push_back(ai);
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next)
    if (ai->ai_family != AF_INET) candidates.push_back(ai);

  std::string last = "resolve " + host + ": no address";
  for (const addrinfo* ai : candidates) {
    const int fd = CreateUdpSocket(ai->ai_family, false, &last);
    if (fd < 0) continue;
    ssize_t sent;
    do {
      sent = sendto(fd, data, length, 0, ai->ai_addr, ai->ai_addrlen);
    } while (sent < 0 && errno == EINTR);
    const int err = errno;
    Close(fd);
    if (sent == static_cast<ssize_t>(length)) return true;
    last = sent < 0 ? ErrorText("sendto " + host + ":" + service, err)
                    : "sendto " + host + ":" + service + ": short send";
  }
  if (error) *error = last;
  return false;
}

void Close(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace sockets
