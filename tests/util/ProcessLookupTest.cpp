// GetProcessID against real child processes.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "TestDatabase.h"
#include "UtilTestHelpers.h"

using namespace std::chrono_literals;

namespace {

bool Finds(const std::string& name, uint32_t pid) {
  std::vector<uint32_t> ids = {12345678};  // filled afresh, not appended to
  GetProcessID(name, ids);
  return std::find(ids.begin(), ids.end(), pid) != ids.end() &&
         std::find(ids.begin(), ids.end(), 12345678u) == ids.end();
}

TEST(ProcessLookupTest, FindsAChildByItsFullNameUntilItEnds) {
  utiltest::TempDir dir;
  // Longer than the 15 characters the kernel keeps as the command name.
  const std::string name = "korb_process_lookup_child";
  const std::string exe = dir.path + "/" + name;
  std::filesystem::copy_file("/bin/sleep", exe);
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);

  pid_t pid = 0;
  std::string arg0 = exe, arg1 = "60";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  char* envp[] = {nullptr};
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp), 0);
  const auto id = static_cast<uint32_t>(pid);

  EXPECT_TRUE(korbtest::WaitFor([&] { return Finds(name, id); }, 10s));
  EXPECT_TRUE(Finds("/somewhere/else/" + name, id));  // base names compared
  EXPECT_FALSE(Finds(name.substr(0, 15), id));
  EXPECT_FALSE(Finds("sleep", id));

  // Replacing the binary on disk does not rename the running process.
  std::filesystem::remove(exe);
  EXPECT_TRUE(Finds(name, id));

  // Killed but not yet reaped: a zombie is not a live process.
  kill(pid, SIGKILL);
  EXPECT_TRUE(korbtest::WaitFor([&] { return !Finds(name, id); }, 10s));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(Finds(name, id));
  std::vector<uint32_t> none;
  EXPECT_EQ(GetProcessID("", none), 0);
}

// Processes that end while the lookup reads their /proc entries: a read
// that fails half-way (ESRCH) is an entry that does not match, never an
// exception.
TEST(ProcessLookupTest, ProcessesEndingDuringTheLookupDoNotBreakIt) {
  std::atomic<bool> done{false};
  std::thread spawner([&] {
    std::string arg0 = "/bin/true";
    char* argv[] = {arg0.data(), nullptr};
    char* envp[] = {nullptr};
    for (int i = 0; i < 400; ++i) {
      pid_t pid = 0;
      if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp) == 0) waitpid(pid, nullptr, 0);
    }
    done = true;
  });
  int lookups = 0;
  while (!done) {
    std::vector<uint32_t> ids;
    EXPECT_NO_THROW(GetProcessID("korb_no_such_process", ids));
    EXPECT_TRUE(ids.empty());
    ++lookups;
  }
  spawner.join();
  EXPECT_GT(lookups, 0);
}

}  // namespace
