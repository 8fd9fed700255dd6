#include "NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace korbtest {

NotifySocket::NotifySocket() {
  dir_ = (std::filesystem::temp_directory_path() / "korb-notify.XXXXXX").string();
  if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = dir_ + "/notify";
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    throw std::runtime_error("cannot bind " + path_);
}

NotifySocket::~NotifySocket() {
  close(fd_);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string NotifySocket::Next(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
  std::string buffer(65536, '\0');
  ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
  return got > 0 ? buffer.substr(0, static_cast<size_t>(got)) : "";
}

bool NotifySocket::WaitFor(const std::string& text, std::vector<std::string>* seen,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string message = Next(std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()));
    if (message.empty()) continue;
    seen->push_back(message);
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

int CountContaining(const std::vector<std::string>& messages, const std::string& text) {
  int count = 0;
  for (const std::string& message : messages)
    if (message.find(text) != std::string::npos) ++count;
  return count;
}

}  // namespace korbtest
