// UDP on the loopback for signal datagrams, plus the small waiting helper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace korbtest {

namespace {

// Binds fd to 127.0.0.1 at a free port; the port, or 0.
int BindLoopback(int fd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  return ntohs(addr.sin_port);
}

}  // namespace

UdpListener::UdpListener() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  port_ = BindLoopback(fd_);
  if (port_ == 0)
    throw std::runtime_error(std::string("binding a UDP socket on 127.0.0.1: ") +
                             std::strerror(errno));
}

UdpListener::~UdpListener() {
  if (fd_ >= 0) close(fd_);
}

int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int port = BindLoopback(fd);
  if (fd >= 0) close(fd);
  return port;
}

void SendDatagram(int port, const std::string& bytes) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
            sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                   sizeof addr)) << std::strerror(errno);
  close(fd);
}

bool UdpListener::Receive(std::vector<std::string>* fields,
                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, std::max(0, static_cast<int>(left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    std::string data(65536, '\0');
    const ssize_t n = recv(fd_, data.data(), data.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    // A datagram of another size is a fault of the sender under test.
    if (n != 64) ADD_FAILURE() << "received a datagram of " << n << " bytes, expected 64";
    data.resize(64);
    if (fields == nullptr) return true;
    fields->clear();
    for (size_t f = 0; f < 4; ++f) fields->push_back(data.substr(16 * f, 16).c_str());
    return true;
  }
}

std::vector<std::vector<std::string>> UdpListener::Drain(std::chrono::milliseconds window) {
  std::vector<std::vector<std::string>> all;
  const auto deadline = std::chrono::steady_clock::now() + window;
  for (std::vector<std::string> fields;
       Receive(&fields, std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()));)
    all.push_back(fields);
  return all;
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string SourceDir() { return KORB_SOURCE_DIR; }
std::string BinaryDir() { return KORB_BINARY_DIR; }

}  // namespace korbtest
