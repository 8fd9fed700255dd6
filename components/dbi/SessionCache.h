// Per-customer sessions kept open between passes, and the back-off of
// customers that cannot be reached.
//
// The fan-out makes and deletes a database object per customer and pass;
// opening a session each time (connect, authentication, session set-up)
// costs more than the work, and a customer whose server does not answer
// costs its whole connect time-out on every pass. So an object that goes
// hands its idle sessions here, and the next object of the same customer
// (same option file, group keys and database) takes one instead of
// connecting. A customer whose connect failed is not tried again by a
// caller: once its back-off has passed (5 s, doubling to 300 s, scaled
// time) the cache tries it on a thread of its own, and a session that
// connects is kept for the next caller. So a customer whose server
// accepts and never answers costs its connect time-out once, on the pass
// that found it dead, and never again on a pass.
//
// Kept sessions are bounded (kMaxIdle, oldest closed first) and closed
// after kIdleCloseMs of scaled time unused; the check runs whenever the
// cache is used, so an idle daemon spends nothing on it. A session taken
// back is checked without a round trip (its socket must have nothing to
// read: a server that went away has closed it or sent its goodbye) and,
// after kPingAfterMs of real time unused, with a ping.
//
// Thread-safe. A session is owned by the cache while it is kept here and
// by the taker afterwards; it is never used by two threads at once.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace dbi {

class SessionCache {
 public:
  static constexpr size_t kMaxIdle = 256;
  static constexpr uint64_t kIdleCloseMs = 600000;  // scaled
  static constexpr int64_t kPingAfterMs = 30000;    // real: servers and proxies count real time
  static constexpr uint64_t kFirstBackOffMs = 5000;  // scaled
  static constexpr uint64_t kMaxBackOffMs = 300000;  // scaled
  static constexpr int kMaxRetriesUnderWay = 16;

  // Opens a session, or null with *error.
  using Connector = std::function<MYSQL*(std::string* error)>;

  static SessionCache& Instance();

  // A working kept session of key, or null.
  MYSQL* Take(const std::string& key);
  // Keeps a session that its object no longer needs.
  void Give(const std::string& key, MYSQL* mysql);
  // True when the caller may connect for key itself: no connect of key
  // has failed since its last success. Otherwise false with *why; once
  // the back-off has passed, the cache tries again with connect on a
  // thread of its own and keeps the session if it connects.
  bool MayConnect(const std::string& key, const Connector& connect, std::string* why);
  // Records the outcome of a connect for key.
  void Connected(const std::string& key, bool ok, const std::string& error);
  // Closes every kept session; with closed_for_good, later Give calls
  // close their session instead of keeping it (the process is ending).
  void CloseIdle(bool closed_for_good);

  size_t IdleCount();

 private:
  struct Kept {
    std::string key;
    MYSQL* mysql;
    int64_t since_us;  // monotonic real time
  };
  struct BackOff {
    int failures = 0;
    int64_t retry_at_us = 0;
    bool retrying = false;  // a connect of the cache's own is under way
    std::string error;
  };

  // Records a failed connect of key. REQUIRES: mu_ held.
  void FailedLocked(const std::string& key, const std::string& error);
  // The cache's own connect of key, on a detached thread.
  void Retry(const std::string& key, const Connector& connect);

  // Keeps mysql (or dooms it once the cache is closed for good), then
  // sweeps. REQUIRES: mu_ held.
  void KeepLocked(const std::string& key, MYSQL* mysql, std::vector<MYSQL*>* doomed);
  // Moves expired and surplus sessions to *doomed. REQUIRES: mu_ held.
  void SweepLocked(int64_t now_us, std::vector<MYSQL*>* doomed);

  std::mutex mu_;
  std::list<Kept> kept_;  // most recently given first
  std::unordered_map<std::string, BackOff> back_off_;
  int retries_under_way_ = 0;
  bool closed_ = false;
};

}  // namespace dbi
