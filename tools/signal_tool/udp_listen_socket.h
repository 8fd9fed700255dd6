// A UDP socket that receives signal datagrams, for the listen command.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class UdpListenSocket {
 public:
  UdpListenSocket() = default;
  ~UdpListenSocket();
  UdpListenSocket(const UdpListenSocket&) = delete;
  UdpListenSocket& operator=(const UdpListenSocket&) = delete;

  // Binds address:port (IPv4; port 0 picks a free one). False and *error
  // filled on failure.
  bool Open(const std::string& address, int port, std::string* error);
  int Port() const { return port_; }

  // Waits up to timeout_ms (negative: without limit) for one datagram.
  // Returns 1 with *data (the whole datagram) and *sender filled, 0 on
  // time-out, -1 on failure (*error filled).
  int Receive(int timeout_ms, std::vector<unsigned char>* data,
              std::string* sender, std::string* error);

 private:
  int fd_ = -1;
  int port_ = 0;
};
