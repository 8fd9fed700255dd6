// Worker threads with exit codes, and thread ids.
#include <atomic>
#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

#include "TestDatabase.h"
#include "platform.h"

using namespace std::chrono_literals;

namespace {

uint32_t ExitCode(const port::Thread& thread) {
  uint32_t code = 0;
  EXPECT_TRUE(thread.GetExitCode(&code));
  return code;
}

bool EndsWith(const port::Thread& thread, uint32_t expected) {
  return korbtest::WaitFor([&] { return ExitCode(thread) == expected; }, 10s);
}

TEST(ThreadTest, StillActiveWhileRunningThenTheReturnValue) {
  auto release = std::make_shared<port::Event>();
  std::string error;
  auto thread = port::Thread::Create(
      [release] {
        release->Wait(60000);
        return 42u;
      },
      &error);
  ASSERT_NE(thread, nullptr) << error;
  EXPECT_EQ(ExitCode(*thread), port::kStillActive);
  release->Set();
  EXPECT_TRUE(EndsWith(*thread, 42u));
}

TEST(ThreadTest, ThrowingRoutineEndsWithMinusOne) {
  std::string error;
  auto std_error = port::Thread::Create(
      []() -> uint32_t { throw std::runtime_error("boom"); }, &error);
  auto other = port::Thread::Create([]() -> uint32_t { throw 5; }, &error);
  ASSERT_NE(std_error, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(EndsWith(*std_error, 0xFFFFFFFFu));
  EXPECT_TRUE(EndsWith(*other, 0xFFFFFFFFu));
}

TEST(ThreadTest, HandlesFollowCreationOrderAndIdsDiffer) {
  std::atomic<uint32_t> worker_id{0};
  std::string error;
  auto first = port::Thread::Create([] { return 0u; }, &error);
  auto second = port::Thread::Create(
      [&worker_id] {
        worker_id = port::CurrentThreadId();
        return 0u;
      },
      &error);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_LT(first->Handle(), second->Handle());
  ASSERT_TRUE(EndsWith(*second, 0u));
  EXPECT_NE(worker_id.load(), 0u);
  EXPECT_NE(worker_id.load(), port::CurrentThreadId());
}

TEST(ThreadTest, MainThreadIdIsTheProcessId) {
  // gtest runs tests on the main thread, whose kernel id is the pid.
  EXPECT_EQ(port::CurrentThreadId(), port::CurrentProcessId());
}

}  // namespace
