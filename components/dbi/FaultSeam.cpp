// The statement fault seam for tests (see DbiFaultSeam.h).
#include "DbiFaultSeam.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>

namespace dbi_fault {

std::atomic<bool> g_armed{false};

namespace {

struct ArmedFault {
  Fault fault;
  std::regex pattern;
};

std::mutex g_mu;  // guards everything below
std::unique_ptr<ArmedFault> g_fault;
int g_matched = 0;
int g_injected = 0;

// The freeze seam, read from the environment once.
struct FreezeSeam {
  bool armed = false;
  std::regex pattern;
  std::string trigger_file;
};

const FreezeSeam& Freeze() {
  static const FreezeSeam seam = [] {
    FreezeSeam made;
    const char* pattern = std::getenv("KORB_TEST_STOP_AFTER");
    const char* file = std::getenv("KORB_TEST_STOP_FILE");
    if (pattern == nullptr || *pattern == '\0' || file == nullptr || *file == '\0')
      return made;
    try {
      made.pattern = std::regex(pattern, std::regex::icase);
    } catch (const std::regex_error&) {
      return made;  // a test's mistake: nothing to freeze on
    }
    made.trigger_file = file;
    made.armed = true;
    return made;
  }();
  return seam;
}

}  // namespace

void AfterRunning(const std::string& statement) {
  const FreezeSeam& seam = Freeze();
  if (!seam.armed || !std::regex_search(statement, seam.pattern)) return;
  if (unlink(seam.trigger_file.c_str()) != 0) return;  // not triggered, or another won
  raise(SIGSTOP);
}

void Arm(const Fault& fault) {
  auto armed = std::make_unique<ArmedFault>(ArmedFault{fault, std::regex(fault.pattern)});
  std::lock_guard<std::mutex> lock(g_mu);
  g_fault = std::move(armed);
  g_matched = 0;
  g_injected = 0;
  g_armed.store(true, std::memory_order_relaxed);
}

void Disarm() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_armed.store(false, std::memory_order_relaxed);
  g_fault.reset();
}

int Matched() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_matched;
}

int Injected() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_injected;
}

bool Take(const std::string& statement, Injection* injection) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_fault || !std::regex_search(statement, g_fault->pattern)) return false;
  const int match = ++g_matched;
  const Fault& fault = g_fault->fault;
  if (match < fault.occurrence || match >= fault.occurrence + fault.count) return false;
  ++g_injected;
  injection->error = fault.error;
  injection->message = fault.message;
  injection->when = fault.when;
  return true;
}

}  // namespace dbi_fault
