// Receiving end for signal datagrams, plus the small waiting helpers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "TestDatabase.h"

namespace korbtest {

namespace {

constexpr size_t kFieldSize = 16;
constexpr size_t kDatagramSize = 4 * kFieldSize;

// The four fields up to their first NUL. A datagram of another size is a
// fault of the sender under test, reported as such.
std::vector<std::string> DecodeFields(const unsigned char* data, size_t length) {
  if (length != kDatagramSize)
    ADD_FAILURE() << "received a datagram of " << length << " bytes, expected "
                  << kDatagramSize;
  std::vector<std::string> fields;
  for (size_t f = 0; f < 4; ++f) {
    std::string text;
    for (size_t i = f * kFieldSize; i < (f + 1) * kFieldSize && i < length; ++i) {
      if (data[i] == '\0') break;
      text += static_cast<char>(data[i]);
    }
    fields.push_back(text);
  }
  return fields;
}

}  // namespace

UdpListener::UdpListener() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string error = std::strerror(errno);
    close(fd_);
    throw std::runtime_error("binding a UDP socket on 127.0.0.1: " + error);
  }
  port_ = ntohs(addr.sin_port);
}

UdpListener::~UdpListener() {
  if (fd_ >= 0) close(fd_);
}

bool UdpListener::Receive(std::vector<std::string>* fields,
                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    unsigned char buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    std::vector<std::string> decoded = DecodeFields(buffer, static_cast<size_t>(n));
    if (fields != nullptr) *fields = std::move(decoded);
    return true;
  }
}

std::vector<std::vector<std::string>> UdpListener::Drain(std::chrono::milliseconds window) {
  std::vector<std::vector<std::string>> all;
  const auto deadline = std::chrono::steady_clock::now() + window;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::vector<std::string> fields;
    if (!Receive(&fields, left.count() > 0 ? left : std::chrono::milliseconds(0)))
      return all;
    all.push_back(std::move(fields));
  }
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
