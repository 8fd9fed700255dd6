// An absolute deadline for every request on the endpoint's connections:
// from the moment a connection opens (or its previous request ends) the
// next request must be read and answered within a fixed time, however
// steadily the client trickles bytes. The library's own time-out only
// counts idle time, so a client sending a byte a second would hold its
// slot for ever; here its socket is shut down at the deadline and the
// library closes the connection.
//
// Arm/Forget are called on the library's thread (connection opened,
// request ended, connection closed); a thread of this object waits for
// the earliest deadline (it sleeps without a time-out while nothing is
// armed). Forget is called before the library closes the socket, so a
// deadline never reaches a descriptor that was already reused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace metrics {

class RequestDeadlines {
 public:
  explicit RequestDeadlines(std::chrono::milliseconds limit);
  // Joins the thread; sockets still armed are left alone.
  ~RequestDeadlines();
  RequestDeadlines(const RequestDeadlines&) = delete;
  RequestDeadlines& operator=(const RequestDeadlines&) = delete;

  // (Re)starts the deadline of connection `key` whose socket is fd.
  void Arm(const void* key, int fd);
  // The connection is closing: its deadline is dropped.
  void Forget(const void* key);

 private:
  struct Entry {
    const void* key;
    int fd;
    std::chrono::steady_clock::time_point deadline;
  };
  void Run();

  const std::chrono::milliseconds limit_;
  std::mutex mu_;
  std::condition_variable changed_;
  bool stopping_ = false;
  // Deadlines in the order they were armed, which is their order in time
  // (every one is the same limit after its arming).
  std::list<Entry> armed_;
  std::unordered_map<const void*, std::list<Entry>::iterator> by_key_;
  std::thread thread_;
};

}  // namespace metrics
