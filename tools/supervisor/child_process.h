// The operating-system side of the supervisor: one child process, and the
// blocked signals (SIGCHLD, SIGTERM, SIGINT, SIGUSR1, the child's start-up
// notice, LoopProgressSignal(), the child's progress notices, and
// RoleNoticeSignal(), its role under the scheduler lease) that the
// supervisor waits for instead of handling them asynchronously.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace supervisor {

// Blocks the supervisor's signals for the calling thread. Call before the
// first child is started and before any other thread is made.
void BlockSupervisorSignals();

// Waits up to timeout_ms (negative: without limit) for one of the blocked
// signals. Returns its number (with *sender the sending process and
// *value the value a queued signal carries, when given), or 0 when the
// time ran out.
int WaitForSignal(long timeout_ms, pid_t* sender = nullptr, int* value = nullptr);

// Environment variable that asks the scheduler to send SIGUSR1 to its
// supervisor once its start-up is done.
extern const char* const kReadyNoticeVariable;

// Starts path with args (args[0] is the program name) and the default
// signal dispositions and mask. The child gets this process's environment
// with kReadyNoticeVariable=1 and without the service manager's
// notification variables (they are meant for the supervisor alone).
// Returns the pid, or -1 with *error filled.
pid_t StartChild(const std::string& path, const std::vector<std::string>& args,
                 std::string* error);

// Reaps pid if it has ended. Returns true with *how describing the end
// ("exit code N" or "signal N") and *code its exit code (128 + signal for
// a signal); false while it still runs.
bool ReapChild(pid_t pid, std::string* how, int* code);

// Sends sig to pid (ignored when it is already gone).
void SignalChild(pid_t pid, int sig);

// Base name of this program's executable (/proc/self/exe).
std::string OwnExecutableName();

// Directory of this program's executable.
std::string OwnExecutableDirectory();

}  // namespace supervisor
