#include "basic_auth.h"

#include <crypt.h>

#include <memory>

namespace metrics {
namespace {

// Remembered passes; more distinct pairs than this means someone is
// trying many, and then hashing each is the right price.
constexpr size_t kRememberedPasses = 16;
constexpr auto kPauseAfterFailure = std::chrono::seconds(1);
// Client addresses whose last failure is remembered.
constexpr size_t kRememberedFailures = 1024;

}  // namespace

std::string BasicAuth::CheckHash(const std::string& hash) {
  if (hash.rfind("$2a$", 0) != 0 && hash.rfind("$2b$", 0) != 0 && hash.rfind("$2y$", 0) != 0)
    return "not a bcrypt hash (it must start with $2a$, $2b$ or $2y$)";
  if (crypt_checksalt(hash.c_str()) != CRYPT_SALT_OK)
    return "not a bcrypt hash that the system's libcrypt accepts";
  return "";
}

bool BasicAuth::Verify(const std::string& user, const std::string& password,
                       const std::string& client) const {
  const std::string key = user + '\0' + password;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (passed_.count(key) > 0) return true;
    const auto failed = failed_.find(client);
    if (failed != failed_.end() && now - failed->second < kPauseAfterFailure) return false;
  }
  const auto found = users_.find(user);
  auto fail = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    if (failed_.size() >= kRememberedFailures) failed_.clear();
    failed_[client] = now;
    return false;
  };
  if (found == users_.end()) return fail();
  // crypt_data is large (about 32 kB): on the heap, zeroed as crypt_r asks.
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), found->second.c_str(), data.get());
  // A failure returns null or a string starting with '*', never the hash.
  if (result == nullptr || found->second != result) return fail();
  std::lock_guard<std::mutex> lock(mu_);
  if (passed_.size() >= kRememberedPasses) passed_.clear();
  passed_.insert(key);
  return true;
}

}  // namespace metrics
