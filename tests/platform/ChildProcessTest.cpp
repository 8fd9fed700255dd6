// The single-instance guard across processes, and ExitProcess.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "ChildRole.h"
#include "platform.h"

using platformtest::Child;
using port::NamedMutex;
using namespace std::chrono_literals;

namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korb_lock_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("KORB_LOCK_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KORB_LOCK_DIR");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(NamedMutexTest, SecondHolderRefusedUntilTheFirstIsKilled) {
  Child holder = platformtest::SpawnRole(
      "hold-mutex", {"KORB_TEST_MUTEX_NAME=KORB_PROBESCHEDULER"});
  ASSERT_EQ(platformtest::ReadLine(holder, 10s), "created");

  NamedMutex::Result result;
  std::string error;
  auto refused = NamedMutex::Create("KORB_PROBESCHEDULER", &result, &error);
  EXPECT_EQ(result, NamedMutex::Result::kAlreadyExists);
  EXPECT_NE(refused, nullptr);  // a handle that owns nothing
  refused.reset();

  kill(holder.pid, SIGKILL);
  EXPECT_EQ(platformtest::Reap(holder), 128 + SIGKILL);

  auto mine = NamedMutex::Create("KORB_PROBESCHEDULER", &result, &error);
  ASSERT_EQ(result, NamedMutex::Result::kCreated) << error;
  ASSERT_NE(mine, nullptr);

  // Now we hold it: a child is refused, and the lock file stays usable.
  Child second = platformtest::SpawnRole(
      "hold-mutex", {"KORB_TEST_MUTEX_NAME=KORB_PROBESCHEDULER"});
  EXPECT_EQ(platformtest::ReadLine(second, 10s), "exists");
  EXPECT_EQ(platformtest::Reap(second), 0);

  mine.reset();
  auto again = NamedMutex::Create("KORB_PROBESCHEDULER", &result, &error);
  EXPECT_EQ(result, NamedMutex::Result::kCreated);
}

TEST_F(NamedMutexTest, UnusableNamesAndDirectoriesFail) {
  NamedMutex::Result result;
  for (const char* name : {"", "..", "a/b"}) {
    std::string error;
    EXPECT_EQ(NamedMutex::Create(name, &result, &error), nullptr) << name;
    EXPECT_EQ(result, NamedMutex::Result::kFailed) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
  setenv("KORB_LOCK_DIR", (dir_ + "/missing").c_str(), 1);
  std::string error;
  EXPECT_EQ(NamedMutex::Create("KORB_PROBESCHEDULER", &result, &error),
            nullptr);
  EXPECT_EQ(result, NamedMutex::Result::kFailed);
  EXPECT_NE(error.find(dir_ + "/missing/KORB_PROBESCHEDULER.lock"),
            std::string::npos)
      << error;
}

TEST(ExitProcessTest, FlushesBufferedOutputAndUsesTheCode) {
  Child child = platformtest::SpawnRole("exit-process", {});
  EXPECT_EQ(platformtest::ReadAll(child), "buffered text");
  EXPECT_EQ(platformtest::Reap(child), 7);
}

}  // namespace
