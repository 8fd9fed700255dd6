// The platform primitives: the single-instance guard held by real child
// processes, manual-reset events, event slots and thread exit codes.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "TestDatabase.h"
#include "platform.h"

using port::Event;
using port::kWaitObject0;
using port::kWaitTimeout;
using port::NamedMutex;
using namespace std::chrono_literals;

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

TEST(EventTest, ManualResetTimeoutAndSlot) {
  Event event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(event.Wait(40), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    event.Set();
  });
  EXPECT_EQ(event.Wait(30000), kWaitObject0);
  setter.join();
  EXPECT_EQ(event.Wait(0), kWaitObject0);  // stays set
  event.Reset();
  EXPECT_EQ(event.Wait(0), kWaitTimeout);

  // A slot sets only the event stored last; empty, it does nothing.
  port::EventSlot slot;
  slot.Set();
  auto old_event = std::make_shared<Event>(), new_event = std::make_shared<Event>();
  slot.Store(old_event);
  slot.Store(new_event);
  slot.Set();
  EXPECT_EQ(new_event->Wait(0), kWaitObject0);
  EXPECT_EQ(old_event->Wait(0), kWaitTimeout);
}

uint32_t ExitCode(const port::Thread& thread) {
  uint32_t code = 0;
  EXPECT_TRUE(thread.GetExitCode(&code));
  return code;
}

TEST(ThreadTest, ExitCodeWhileRunningReturnedAndThrown) {
  auto release = std::make_shared<Event>();
  std::string error;
  auto waits = port::Thread::Create(
      [release] { return release->Wait(60000) == kWaitObject0 ? 42u : 1u; },
      &error);
  auto throws = port::Thread::Create(
      []() -> uint32_t { throw std::runtime_error("boom"); }, &error);
  ASSERT_NE(waits, nullptr) << error;
  ASSERT_NE(throws, nullptr) << error;

  EXPECT_EQ(ExitCode(*waits), port::kStillActive);
  EXPECT_TRUE(korbtest::WaitFor(
      [&] { return ExitCode(*throws) == 0xFFFFFFFFu; }, 10s));
  release->Set();
  EXPECT_TRUE(korbtest::WaitFor([&] { return ExitCode(*waits) == 42u; }, 10s));
}

}  // namespace
