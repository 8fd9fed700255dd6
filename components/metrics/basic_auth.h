// Basic authentication against bcrypt password hashes ($2a$, $2b$, $2y$),
// checked with the system's libcrypt (crypt_r); no hashing of our own.
//
// A bcrypt check costs tens of milliseconds by design, and it runs on the
// endpoint's one thread: so a user and password that passed are
// remembered (a few at a time) and the next scrape with them passes
// without hashing again, and after a failed check a client address gets
// no other check for a second (its attempts are refused unhashed), so a
// client guessing passwords cannot keep the thread hashing. Thread-safe.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace metrics {

class BasicAuth {
 public:
  explicit BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}

  // Empty when hash is a bcrypt hash libcrypt accepts, else why not.
  static std::string CheckHash(const std::string& hash);

  bool Enabled() const { return !users_.empty(); }
  // True when user is known and password matches its hash. client: the
  // client's address (any stable text), for the pause after a failure.
  bool Verify(const std::string& user, const std::string& password,
              const std::string& client) const;

 private:
  const std::map<std::string, std::string> users_;
  mutable std::mutex mu_;
  mutable std::set<std::string> passed_;  // user '\0' password
  mutable std::map<std::string, std::chrono::steady_clock::time_point> failed_;  // by client
};

}  // namespace metrics
