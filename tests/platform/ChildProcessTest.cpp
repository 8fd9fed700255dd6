// The single-instance guard held by real child processes.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform.h"

using port::NamedMutex;

namespace {

constexpr char kName[] = "KORB_PROBESCHEDULER";

// Forks a child that tries to take the mutex and reports the outcome on a
// pipe ('c' created, 'e' already exists, 'f' failed); a child that holds
// it waits to be killed.
pid_t ForkContender(char* outcome) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    NamedMutex::Result result;
    std::string error;
    auto mutex = NamedMutex::Create(kName, &result, &error);
    const char c = result == NamedMutex::Result::kCreated         ? 'c'
                   : result == NamedMutex::Result::kAlreadyExists ? 'e'
                                                                   : 'f';
    if (write(fds[1], &c, 1) != 1 || c != 'c') _exit(0);
    for (;;) pause();
  }
  close(fds[1]);
  if (read(fds[0], outcome, 1) != 1) *outcome = '?';
  close(fds[0]);
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(NamedMutexTest, RefusedWhileHeldAndFreeAfterTheHolderIsKilled) {
  char tmpl[] = "/tmp/korb_lock_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  setenv("KORB_LOCK_DIR", tmpl, 1);
  NamedMutex::Result result;
  std::string error;
  EXPECT_EQ(NamedMutex::Create("a/b", &result, &error), nullptr);
  EXPECT_EQ(result, NamedMutex::Result::kFailed);

  char outcome;
  const pid_t holder = ForkContender(&outcome);
  ASSERT_EQ(outcome, 'c');
  // Refused: a handle that owns nothing, as the daemon expects.
  EXPECT_NE(NamedMutex::Create(kName, &result, &error), nullptr);
  EXPECT_EQ(result, NamedMutex::Result::kAlreadyExists);

  // A holder that dies without cleaning up does not block a restart.
  kill(holder, SIGKILL);
  EXPECT_EQ(Reap(holder), 128 + SIGKILL);
  auto mine = NamedMutex::Create(kName, &result, &error);
  ASSERT_EQ(result, NamedMutex::Result::kCreated) << error;
  const pid_t second = ForkContender(&outcome);
  EXPECT_EQ(outcome, 'e');
  EXPECT_EQ(Reap(second), 0);
  mine.reset();
  unsetenv("KORB_LOCK_DIR");
  std::filesystem::remove_all(tmpl);
}

}  // namespace
