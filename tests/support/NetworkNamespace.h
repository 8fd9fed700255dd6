// A network namespace of the test's own, joined to the host by a veth pair
// on a /30 of 10.254.0.0/16 that no address or route of the host touches.
// Programs of the test reach services inside it over real TCP at
// PeerAddress(); DropPort makes a port silent there with nftables (its
// packets vanish both ways: no reset, no answer, as in a partition or
// with a host that died) and AllowPort lets them through again. Nothing
// outside the namespace is ever changed.
//
// A guardian shell holds the read end of a pipe that only this object
// writes; however the test process ends (failure, crash, SIGKILL), the
// pipe closes and the guardian kills what runs inside the namespace and
// removes it (its veth pair goes with it).
//
// Needs root (ip, nft, setns). Use from the test's thread only. Every
// failure throws std::runtime_error with the command's complaint.
#pragma once

#include <string>
#include <vector>

namespace korbtest {

class NetworkNamespace {
 public:
  NetworkNamespace();
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& PeerAddress() const { return peer_; }  // inside
  const std::string& HostAddress() const { return host_; }  // this side

  // A TCP port that is free inside the namespace.
  int FreePort() const;
  // Starts argv inside the namespace (output appended to a file of the
  // namespace's scratch folder); it is killed when the namespace goes.
  int Start(const std::vector<std::string>& argv);
  // Drops every TCP packet to or from port inside the namespace; AllowPort
  // undoes it. Both take effect before they return.
  void DropPort(int port);
  void AllowPort(int port);

  // Commands run by this object so far and their output, for failure
  // messages.
  std::string Log() const;

 private:
  void Run(const std::vector<std::string>& argv, const std::string& stdin_text = "");
  std::string name_;
  std::string host_;
  std::string peer_;
  std::string dir_;  // scratch folder: command output, nft scripts
  int guardian_fd_ = -1;
  std::vector<int> children_;
};

// A relay inside a namespace from a TCP port at the namespace's address to
// a Unix socket of this host (the private server's): the server reached
// over real TCP across the namespace's link, so that its port can be
// partitioned while the test still reaches the server through its socket.
class TcpRelay {
 public:
  TcpRelay(NetworkNamespace& ns, const std::string& unix_socket);
  const std::string& Host() const { return ns_.PeerAddress(); }
  int Port() const { return port_; }
  void Partition() { ns_.DropPort(port_); }
  void Heal() { ns_.AllowPort(port_); }

 private:
  NetworkNamespace& ns_;
  int port_ = 0;
};

}  // namespace korbtest
