// The programs as installed, not as built: the Debian package's file tree
// (unpacked by the CI step into $KORB_PACKAGE_ROOT) or, without one, the
// build installed with the package's prefix into a temporary root. The
// installed supervisor finds the installed scheduler by itself, runs it
// through the sample installation against the test's server, and stops
// it in order.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DaemonProcess.h"
#include "HarnessInternal.h"
#include "TestDatabase.h"
#include "korb_version.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
namespace fs = std::filesystem;

// The root of the installed tree, made once per test binary.
const std::string& InstalledRoot() {
  static const std::string root = [] {
    if (const char* given = std::getenv("KORB_PACKAGE_ROOT"); given != nullptr && *given)
      return std::string(given);
    std::string dir = (fs::temp_directory_path() / "korb-installed.XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    ChildProcess install({"/usr/bin/env", "cmake", "--install", korbtest::BinaryDir(), "--prefix", "/usr"},
                         {{"DESTDIR", dir}});
    int code = -1;
    if (!install.WaitExit(300s, &code) || code != 0)
      throw std::runtime_error("cmake --install failed: " + install.Stdout());
    return dir;
  }();
  return root;
}

std::string OutputOf(const std::vector<std::string>& argv, int* code) {
  ChildProcess program(argv);
  EXPECT_TRUE(program.WaitExit(30s, code)) << argv[0];
  return program.Stdout();
}

std::string Installed(const std::string& path) { return InstalledRoot() + path; }

TEST(InstalledTreeTest, ProgramsCarryTheProjectVersionAndTheSchedulerItsContract) {
  int code = -1;
  for (const std::string tool : {"/usr/sbin/korb-supervisor", "/usr/bin/korb-signal"}) {
    const std::string name = fs::path(tool).filename();
    EXPECT_EQ(OutputOf({Installed(tool), "--version"}, &code), name + " " KORB_VERSION "\n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(OutputOf({Installed(tool), "--help"}, &code).rfind("usage: " + name, 0), 0u) << tool;
    EXPECT_EQ(code, 0);
  }
  // The scheduler takes no options: its start arguments stay as they were.
  EXPECT_EQ(OutputOf({Installed("/usr/libexec/korb/KORB_ProbeScheduler"), "--version"}, &code),
            "Too few arguments...");
  EXPECT_EQ(code, 255);

  // The settings point where the package's maintainer scripts make the
  // folders, and the unit starts the installed supervisor with them.
  const std::string defaults = korbtest::internal::ReadFile(Installed("/etc/default/korb-supervisor"));
  EXPECT_NE(defaults.find("\nKORB_INSTALL_DIR=/var/lib/korb\n"), std::string::npos) << defaults;
  EXPECT_NE(defaults.find("\nKORB_DB_CONFIG=/etc/korb/korb-db.cnf\n"), std::string::npos) << defaults;
  const std::string unit =
      korbtest::internal::ReadFile(Installed("/lib/systemd/system/korb-supervisor.service"));
  EXPECT_NE(unit.find("\nExecStart=/usr/sbin/korb-supervisor "), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nEnvironmentFile=-/etc/default/korb-supervisor\n"), std::string::npos);
  for (const char* sql : {"01_schema.sql", "02_functions.sql", "03_procedures.sql"})
    EXPECT_TRUE(fs::exists(Installed(std::string("/usr/share/korb/sql/") + sql))) << sql;
}

class InstalledRunTest : public korbtest::DbTest {};

TEST_F(InstalledRunTest, SupervisorRunsTheInstalledSchedulerThroughTheSampleInstallation) {
  Exec(korbtest::internal::ReadFile(Installed("/usr/share/korb/sql/sample_installation.sql")));
  // The example option file, pointed at the test's server.
  std::istringstream example(korbtest::internal::ReadFile(Installed("/etc/korb/korb-db.cnf")));
  std::ofstream options(OptionFile(), std::ios::trunc);
  for (std::string line; std::getline(example, line);) {
    if (line.rfind("socket=", 0) == 0) line = "socket=" + korbtest::MariaDbServer::Instance().Socket();
    if (line.rfind("user=", 0) == 0) line = "user=root";
    if (line.rfind("password=", 0) != 0) options << line << "\n";
  }
  options.close();

  ChildProcess supervisor(
      {Installed("/usr/sbin/korb-supervisor"), "--identifier", std::to_string(korbtest::FreeUdpPort())},
      {{"KORB_TIME_SCALE", "1000"}, {"KORB_SCHEDULER_PATH", std::nullopt}});
  // The scan schedule falls due at once and posts patch scan jobs (10027).
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return Count("select count(*) from jobdetails where JobTypeID = 10027") > 0; }, 120s))
      << supervisor.Stdout() << korbtest::DaemonLog();
  ASSERT_TRUE(supervisor.WaitForStdout("reports its start-up done", 30s)) << supervisor.Stdout();
  EXPECT_NE(supervisor.Stdout().find("started " + Installed("/usr/libexec/korb/KORB_ProbeScheduler")),
            std::string::npos) << supervisor.Stdout();
  EXPECT_EQ(korbtest::CountInLog("KORB_ProbeScheduler version " KORB_VERSION "\n"), 1);

  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(120s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0);
  const std::string out = supervisor.Stdout();
  EXPECT_NE(out.find("ended with exit code 0"), std::string::npos) << out;
  EXPECT_EQ(out.find("sending SIGTERM"), std::string::npos) << out;
  EXPECT_EQ(korbtest::CountInLog("Unloaded the module succesfully..."), 1);
}

}  // namespace
