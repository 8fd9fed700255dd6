#include "udp_bench_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {
sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}
}  // namespace

std::string SignalDatagram(int type, int id) {
  std::string datagram(64, '\0');
  const std::string fields[4] = {std::to_string(type), std::to_string(id), "0", "0"};
  for (int i = 0; i < 4; ++i) datagram.replace(static_cast<size_t>(16 * i), fields[i].size(), fields[i]);
  return datagram;
}

UdpSender::UdpSender(int port) : port_(port) { fd_ = socket(AF_INET, SOCK_DGRAM, 0); }

UdpSender::~UdpSender() {
  if (fd_ >= 0) close(fd_);
}

bool UdpSender::Send(const std::string& datagram) {
  const sockaddr_in addr = Loopback(port_);
  return sendto(fd_, datagram.data(), datagram.size(), 0,
                reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) ==
         static_cast<ssize_t>(datagram.size());
}

BareReceiver::BareReceiver(int port, int rcvbuf) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0)
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  const sockaddr_in addr = Loopback(port);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    std::perror("korb-bench: bare receiver bind");
    std::exit(2);
  }
}

BareReceiver::~BareReceiver() {
  if (fd_ >= 0) close(fd_);
}

long BareReceiver::Receive() {
  char buffer[128];
  const ssize_t n = recvfrom(fd_, buffer, sizeof(buffer), 0, nullptr, nullptr);
  if (n != 64) return -1;
  return std::strtol(buffer + 16, nullptr, 10);
}

}  // namespace bench
