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
// Kept sessions are bounded and closed after kIdleCloseMs of scaled time
// unused; the check runs whenever the cache is used, so an idle daemon
// spends nothing on it. The bound follows the keys in use: at least
// kMinIdle, else kPerKey sessions for every key given or taken within the
// idle time-out (the three patch threads and a main-loop pass may each
// hold one of a customer). A pass over more customers than a fixed bound
// would close each session before its next use and reconnect every
// customer on every pass; sessions beyond what the passes use still close
// after the idle time-out. When the bound is reached the oldest is closed
// first. A session taken back is checked: its socket must have nothing to
// read (a server that went away has closed it or sent its goodbye), and it
// must answer a ping within kCheckTimeoutSeconds (a server cut off without
// a word). A customer that does not answer costs that bound once: its kept
// sessions are closed and it is backed off like a failed connect.
//
// Thread-safe. A session is owned by the cache while it is kept here and
// by the taker afterwards; it is never used by two threads at once.
#pragma once

#include <mysql.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace dbi {

class SessionCache {
 public:
  static constexpr size_t kMinIdle = 256;
  static constexpr size_t kPerKey = 4;
  static constexpr uint64_t kIdleCloseMs = 600000;  // scaled
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
  // A session of key got no answer in time (why says to what): its kept
  // sessions are closed and key is backed off as after a failed connect.
  void Unanswered(const std::string& key, const std::string& why);
  // Closes every kept session; with closed_for_good, later Give calls
  // close their session instead of keeping it and MayConnect refuses
  // every connect (the process is ending).
  void CloseIdle(bool closed_for_good);

  size_t IdleCount();
  // The current bound on kept sessions.
  size_t IdleLimit();

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
  // Marks key as in use now. REQUIRES: mu_ held.
  void UsedLocked(const std::string& key, int64_t now_us);
  // Removes the oldest kept session. REQUIRES: mu_ held, kept_ not empty.
  MYSQL* PopOldestLocked();
  size_t LimitLocked() const { return std::max(kMinIdle, kPerKey * last_use_.size()); }

  using KeptList = std::list<Kept>;
  std::mutex mu_;
  KeptList kept_;  // most recently given first
  // The kept sessions of each key, oldest first.
  std::unordered_map<std::string, std::deque<KeptList::iterator>> by_key_;
  // Keys given or taken within the idle time-out, with the time of that
  // use, oldest first; last_use_ finds a key's entry in it.
  std::list<std::pair<std::string, int64_t>> use_order_;
  std::unordered_map<std::string, std::list<std::pair<std::string, int64_t>>::iterator>
      last_use_;
  std::unordered_map<std::string, BackOff> back_off_;
  int retries_under_way_ = 0;
  bool closed_ = false;
};

}  // namespace dbi
