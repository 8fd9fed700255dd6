// One MariaDB connection per (CDBI object, calling thread).
//
// A MYSQL handle may be used by one thread at a time, and one lock around
// a shared handle halves the throughput of the main object, which the main
// loop and four worker threads use at once. So each thread gets its own
// handle, found through a thread_local table without any lock on the
// statement path. The object's pool owns every handle: the pool closes
// what is left when the object goes, and a thread that ends closes its own
// handles of objects that still exist, so restarted threads leak nothing.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

namespace dbi {

struct ConnectSettings {
  std::string option_file;
  std::string dsn;
  std::string database;  // empty: the group's own database key, if any
};

// Opens and sets up a session. Null with *error ("message (errno N)") on
// failure.
MYSQL* OpenConnection(const ConnectSettings& settings, std::string* error);

// True for the errors that mean the session is gone.
bool IsConnectionLost(unsigned int error_number);

class ConnectionPool : public std::enable_shared_from_this<ConnectionPool> {
 public:
  explicit ConnectionPool(ConnectSettings settings);
  ~ConnectionPool();

  // The calling thread's handle, opened now when it has none. Null with
  // *error when it cannot be opened; *opened tells whether a new session
  // was made by this call.
  MYSQL* ForThisThread(std::string* error, bool* opened);
  // Closes the calling thread's handle (after a lost connection); the next
  // ForThisThread opens a new one.
  void DropThisThread();
  // Closes every handle; later calls open none.
  void CloseAll();

  // Called by a thread's table when the thread ends. Returns true when the
  // handle was still the pool's (the caller then closes it).
  bool Release(MYSQL* mysql);

 private:
  const ConnectSettings settings_;
  const uint64_t serial_;  // addresses get reused; serials never do
  std::mutex mu_;
  std::unordered_set<MYSQL*> open_;
  bool closed_ = false;
};

}  // namespace dbi
