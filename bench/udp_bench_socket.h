// Plain UDP sockets for the signal benchmarks: a sender that writes
// signal datagrams to 127.0.0.1, and the bare recvfrom receiver that the
// daemon's receiver is measured against.
#pragma once

#include <string>

namespace bench {

// A 64-byte signal datagram: four NUL-padded decimal fields.
std::string SignalDatagram(int type, int id);

class UdpSender {
 public:
  explicit UdpSender(int port);
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;
  bool Send(const std::string& datagram);

 private:
  int fd_ = -1;
  int port_;
};

class BareReceiver {
 public:
  // Binds 127.0.0.1:port with a receive buffer of rcvbuf bytes (forced
  // when the process may, as the daemon's receiver does).
  BareReceiver(int port, int rcvbuf);
  ~BareReceiver();
  BareReceiver(const BareReceiver&) = delete;
  BareReceiver& operator=(const BareReceiver&) = delete;
  // Blocks for the next datagram; returns its signal ID field, or -1.
  long Receive();

 private:
  int fd_ = -1;
};

}  // namespace bench
