// Statement faults for tests: makes chosen statements of this process fail
// as the server would make them fail, so that tests can cut a posting at
// every statement in turn. The daemon's code does not know about it; only
// tests arm it. Disarmed (the normal state) it costs the statement path one
// relaxed atomic load.
//
// Armed with a Fault, the statements whose text matches the pattern are
// counted; the k-th one and the count - 1 matching ones after it fail with
// the chosen error number and message, either before they are sent (the
// server never sees them) or after they ran (the server did the work, the
// caller is told it failed, as after a lost answer). An error number that
// means a lost connection (2006, 2013, ...) also drops the session,
// which the next statement rebuilds as after a real loss.
//
// A second seam freezes the whole process (SIGSTOP to itself) right after
// a statement ran, for fault campaigns that drive the daemon as a child
// process: the environment of that child arms it. KORB_TEST_STOP_AFTER is
// the expression the statement's text must match, KORB_TEST_STOP_FILE a
// file whose removal is the trigger: the first matching statement after
// the test creates the file removes it (exactly one process of those that
// share the path wins) and stops the process there, with the statement's
// locks still held at the server. Unarmed (no KORB_TEST_STOP_AFTER) it
// costs the statement path one load of a flag set at the first statement.
//
// Thread safety: every function may be called from any thread while
// statements run on others.
#pragma once

#include <atomic>
#include <string>

namespace dbi_fault {

enum class When { kBeforeSending, kAfterRunning };

struct Fault {
  std::string pattern;  // ECMAScript regular expression searched in the text
  int occurrence = 1;   // the first matching statement to fail (1-based)
  int count = 1;        // how many matching statements fail from there on
  unsigned int error = 1205;
  std::string message = "Lock wait timeout exceeded; try restarting transaction";
  When when = When::kBeforeSending;
};

// Replaces any armed fault and starts counting matches from zero. A
// pattern that is not a valid expression throws std::regex_error.
void Arm(const Fault& fault);
void Disarm();
// Statements that matched, and faults injected, since the last Arm.
int Matched();
int Injected();

// ---- Statement path (components/dbi) ------------------------------------

struct Injection {
  unsigned int error = 0;
  std::string message;
  When when = When::kBeforeSending;
};

extern std::atomic<bool> g_armed;
inline bool Armed() { return g_armed.load(std::memory_order_relaxed); }
// True with *injection filled when this statement is to fail.
bool Take(const std::string& statement, Injection* injection);

// After a statement ran: stops the process there when the freeze seam is
// armed, the statement matches and this process removed the trigger file.
void AfterRunning(const std::string& statement);

}  // namespace dbi_fault
