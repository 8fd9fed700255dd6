// Manual-reset events and event slots.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform.h"

using port::Event;
using port::kWaitObject0;
using port::kWaitTimeout;
using Ms = std::chrono::milliseconds;

namespace {

Ms Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() -
                                        start);
}

TEST(EventTest, TimesOutAfterTheFullWait) {
  Event event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(event.Wait(40), kWaitTimeout);
  EXPECT_GE(Since(start).count(), 40);
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(EventTest, StaysSetUntilReset) {
  Event event(true);
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  EXPECT_EQ(event.Wait(0), kWaitObject0);
  event.Reset();
  EXPECT_EQ(event.Wait(0), kWaitTimeout);
  event.Set();
  event.Set();
  EXPECT_EQ(event.Wait(0), kWaitObject0);
}

TEST(EventTest, SetFromAnotherThreadWakesAllWaiters) {
  Event event;
  uint32_t results[2] = {1, 1};
  const auto start = std::chrono::steady_clock::now();
  std::thread a([&] { results[0] = event.Wait(30000); });
  std::thread b([&] { results[1] = event.Wait(30000); });
  std::this_thread::sleep_for(Ms(20));
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(results[0], kWaitObject0);
  EXPECT_EQ(results[1], kWaitObject0);
  EXPECT_LT(Since(start).count(), 10000);
}

TEST(EventSlotTest, SetsWhateverEventIsStored) {
  port::EventSlot slot;
  slot.Set();  // empty: nothing to set, nothing to fail
  EXPECT_EQ(slot.Load(), nullptr);

  auto first = std::make_shared<Event>();
  slot.Store(first);
  slot.Set();
  EXPECT_EQ(first->Wait(0), kWaitObject0);

  // A restarted thread stores a fresh event; the old one is left alone.
  first->Reset();
  auto second = std::make_shared<Event>();
  slot.Store(second);
  slot.Set();
  EXPECT_EQ(second->Wait(0), kWaitObject0);
  EXPECT_EQ(first->Wait(0), kWaitTimeout);
}

}  // namespace
