// The real daemon as a child process of the bench, and what /proc tells
// about a process and a UDP socket. The bench process stands in for the
// supervisor (its own pid and executable name).
#pragma once

#include <string>

namespace bench {

struct Context;

class DaemonChild {
 public:
  // Starts the daemon on UDP port `port` at the given time scale; waits
  // until its signal receiver is bound. Exits the program on failure.
  DaemonChild(const Context& context, int port, double time_scale);
  ~DaemonChild();  // SIGTERM, then SIGKILL after 30 s
  DaemonChild(const DaemonChild&) = delete;
  DaemonChild& operator=(const DaemonChild&) = delete;
  int Pid() const { return pid_; }
  bool Running();

 private:
  int pid_ = -1;
};

// User + system CPU seconds of a process; -1 when unreadable.
double CpuSeconds(int pid);
// Resident set in MB; -1 when unreadable.
double RssMegabytes(int pid);

// A bound UDP socket's receive queue (bytes) and drop counter, found by
// local port in /proc/net/udp and udp6. False when no socket has the port.
struct UdpSocketState {
  long rx_queue = 0;
  long drops = 0;
};
bool ReadUdpSocket(int port, UdpSocketState* state);

// A UDP port that is free on 127.0.0.1 now.
int FreeUdpPort();

}  // namespace bench
