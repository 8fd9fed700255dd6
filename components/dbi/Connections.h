// MariaDB sessions of one CDBI object: one per calling thread.
//
// A MYSQL handle may be used by one thread at a time, and one lock around
// a shared handle halves the throughput of the main object, which the main
// loop and four worker threads use at once. So each thread gets its own
// session, found through a thread_local table without any lock on the
// statement path. The object's pool owns every session: a thread that ends
// closes its own sessions of objects that still exist, so restarted threads
// leak nothing; when an object goes, its sessions are closed or, for a
// per-customer object, handed to the SessionCache for the next pass.
//
// A session is marked busy for the length of each use, so that the end of
// the process can close every session that is not in use at once and have
// a busy one closed by its thread as soon as its statement is done.
#pragma once

#include <mysql.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace dbi {

struct ConnectSettings {
  std::string option_file;
  std::string dsn;
  std::string database;  // empty: the group's own database key, if any
  unsigned int statement_timeout_s = 600;
  // Identity of the sessions for reuse between objects (option file, group
  // and its keys, database). Empty: the sessions are closed with the
  // object and connecting is never held back (the main object).
  std::string reuse_key;
};

// Opens and sets up a session. Null with *error ("message (errno N)") on
// failure.
MYSQL* OpenConnection(const ConnectSettings& settings, std::string* error);

// Adds a statement to the set-up of every session opened afterwards.
void AddSessionStatement(const std::string& statement);

// True for the errors that mean the session is gone.
bool IsConnectionLost(unsigned int error_number);

class Session {
 public:
  explicit Session(MYSQL* mysql);
  MYSQL* Handle() const { return mysql_; }
  // Never the same for two sessions of the process (addresses are reused).
  uint64_t Id() const { return id_; }
  // Marks the session busy. False when it has been closed.
  bool Begin();
  // Ends a use begun by Begin; closes the session when its close was
  // requested meanwhile.
  void End();
  // Takes the handle away: when the session is idle it is returned (the
  // caller closes or keeps it) and the session counts as closed; a busy
  // session is closed by End instead and null is returned.
  MYSQL* Detach();
  // Waits up to bound for every session whose close was left to End;
  // returns how many are still in use.
  static int WaitForClosesWhenDone(std::chrono::milliseconds bound);

 private:
  enum State : int { kIdle, kBusy, kCloseWhenDone, kClosed };
  MYSQL* const mysql_;
  const uint64_t id_;
  std::atomic<int> state_{kIdle};
};

class ConnectionPool : public std::enable_shared_from_this<ConnectionPool> {
 public:
  explicit ConnectionPool(ConnectSettings settings);
  ~ConnectionPool();

  // The calling thread's session; when it has none, an idle one kept for
  // reuse or a new one (unless connecting is held back after failures).
  // Null with *error when there is none; *opened tells whether a new
  // session was made by this call, *held_back (when given) whether no
  // connect was tried because of the back-off.
  Session* ForThisThread(std::string* error, bool* opened, bool* held_back = nullptr);
  // A new session for the calling thread after a lost one, made whatever
  // the back-off says. Null with *error.
  Session* Reopen(std::string* error);
  // Closes the calling thread's session (after a lost connection).
  void DropThisThread();
  // Closes every session (busy ones when their use ends); later calls
  // open none.
  void CloseAll();
  // As CloseAll, but idle sessions of a per-customer object are handed to
  // the SessionCache for the next object of the same customer.
  void Retire();

  // Called by a thread's table when the thread ends: closes the session
  // when it is still the pool's.
  void Release(Session* session);

  const ConnectSettings& Settings() const { return settings_; }
  bool Closed();

  // CloseAll on every pool that exists.
  static void CloseEveryPool();

 private:
  Session* Adopt(MYSQL* mysql, std::string* error);
  void Shut(bool keep_for_reuse);

  const ConnectSettings settings_;
  const uint64_t serial_;  // addresses get reused; serials never do
  std::mutex mu_;
  std::unordered_map<Session*, std::unique_ptr<Session>> sessions_;
  bool closed_ = false;
};

}  // namespace dbi
