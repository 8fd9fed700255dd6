// Manual-reset events, event slots and worker thread exit codes.
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "TestDatabase.h"
#include "platform.h"

using port::Event;
using port::kWaitObject0;
using port::kWaitTimeout;
using namespace std::chrono_literals;

namespace {

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
  EXPECT_LT(waits->Handle(), throws->Handle());

  EXPECT_EQ(ExitCode(*waits), port::kStillActive);
  EXPECT_TRUE(korbtest::WaitFor(
      [&] { return ExitCode(*throws) == 0xFFFFFFFFu; }, 10s));
  release->Set();
  EXPECT_TRUE(korbtest::WaitFor([&] { return ExitCode(*waits) == 42u; }, 10s));

  // Thread ids are kernel ids: the main thread's is the process id.
  EXPECT_EQ(port::CurrentThreadId(), port::CurrentProcessId());
  uint32_t worker = 0;
  std::thread([&] { worker = port::CurrentThreadId(); }).join();
  EXPECT_NE(worker, 0u);
  EXPECT_NE(worker, port::CurrentThreadId());
}

}  // namespace
