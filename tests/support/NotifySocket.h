// A service manager's notification socket for tests: a Unix datagram
// socket of the test's own, to put into a supervisor's NOTIFY_SOCKET, and
// the messages that arrive on it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace korbtest {

class NotifySocket {
 public:
  NotifySocket();  // throws std::runtime_error when it cannot bind
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Path() const { return path_; }

  // Next message, or "" when none arrives within timeout.
  std::string Next(std::chrono::milliseconds timeout);
  // Reads messages into *seen until one contains text.
  bool WaitFor(const std::string& text, std::vector<std::string>* seen,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
};

int CountContaining(const std::vector<std::string>& messages, const std::string& text);

}  // namespace korbtest
