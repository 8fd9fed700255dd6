#include "udp_listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

UdpListenSocket::~UdpListenSocket() {
  if (fd_ >= 0) close(fd_);
}

bool UdpListenSocket::Open(const std::string& address, int port,
                           std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    *error = "not an IPv4 address: " + address;
    return false;
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = ErrnoText("socket");
    return false;
  }
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = ErrnoText("bind");
    return false;
  }
  socklen_t length = sizeof addr;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = ErrnoText("getsockname");
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

int UdpListenSocket::Receive(int timeout_ms, std::vector<unsigned char>* data,
                             std::string* sender, std::string* error) {
  pollfd pfd{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    *error = ErrnoText("poll");
    return -1;
  }
  if (ready == 0) return 0;

  // Ask for the real size first so that no datagram is cut short.
  ssize_t size = recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (size < 0) {
    *error = ErrnoText("recv");
    return -1;
  }
  data->resize(static_cast<size_t>(size) + 1);
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  ssize_t got = recvfrom(fd_, data->data(), data->size(), 0,
                         reinterpret_cast<sockaddr*>(&from), &from_length);
  if (got < 0) {
    *error = ErrnoText("recvfrom");
    return -1;
  }
  data->resize(static_cast<size_t>(got));
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  *sender = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
  return 1;
}
