// A private three-node Galera cluster behind HAProxy, run by
// scripts/galera.sh in a folder and port range of its own. A guardian
// shell stops it and removes the folder however the test binary ends.
// Use from the test's thread only.
#pragma once

#include <chrono>
#include <string>

#include "TestDatabase.h"

namespace galeratest {

class GaleraCluster {
 public:
  GaleraCluster();  // starts it; throws with the script's complaint
  ~GaleraCluster();
  GaleraCluster(const GaleraCluster&) = delete;
  GaleraCluster& operator=(const GaleraCluster&) = delete;

  void Kill(int node);    // SIGKILL, as a crash
  void Rejoin(int node);  // returns once the node is Synced again
  int ProxyPort() const { return base_port_; }
  const std::string& Dir() const { return dir_; }
  std::string Socket(int node) const;

  // Statements as root on `node`; an error fails the test (empty rows).
  korbtest::Rows Query(int node, const std::string& sql,
                       const std::string& database = "orb") const;
  std::string Scalar(int node, const std::string& sql) const;
  long Number(int node, const std::string& sql) const;
  std::string Status(int node, const std::string& variable) const;

  // The node that the proxy hands sessions to now.
  int WriteNode() const;
  // Whether the proxy counts `node` up (its node check passes).
  bool ProxyServerUp(int node) const;
  // Opens a session through the proxy as the daemon's account; the node
  // it landed on (0 when the login failed).
  int ProxySessionNode() const;
  // The daemon account's sessions on `node`, from the server's own list.
  long ClientSessions(int node) const;
  // Until every running node is Synced in a cluster of `size` with nothing
  // left to apply; with same_position also all at one position (only
  // while nothing writes).
  bool AwaitSettled(int size, std::chrono::milliseconds timeout,
                    bool same_position = true) const;

 private:
  void Script(const std::string& command) const;
  std::string dir_;
  int base_port_ = 0;
  int guardian_fd_ = -1;
};

}  // namespace galeratest
