// The programs as installed, not as built: the Debian package's file tree
// (unpacked by the CI step into $KORB_PACKAGE_ROOT) or, without one, the
// build installed with the package's prefix into a temporary root. The
// installed supervisor finds the installed scheduler by itself, runs it
// through the sample installation against the test's server, and stops
// it in order; once as it is, once under the unit's restrictions that
// change what the programs see (needs root for the mount namespace).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
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
  EXPECT_NE(defaults.find("\nKORB_INSTALL_DIR=/usr/lib/korb\n"), std::string::npos) << defaults;
  // The install folder is root's; its ConsoleManagement/ only links to the
  // folders the unit makes for korb.
  for (const auto& [name, target] : {std::pair{"log", "/var/log/korb"}, {"state", "/var/lib/korb"},
                                     {"config", "/etc/korb"}}) {
    const fs::path link = Installed(std::string("/usr/lib/korb/ConsoleManagement/") + name);
    EXPECT_TRUE(fs::is_symlink(link)) << link;
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink(link, ec), target) << link;
  }
  EXPECT_TRUE(fs::exists(Installed("/usr/lib/sysctl.d/60-korb-probescheduler.conf")));
  EXPECT_EQ(fs::status(Installed("/etc/korb/korb-db.cnf")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_NE(defaults.find("\nKORB_DB_CONFIG=/etc/korb/korb-db.cnf\n"), std::string::npos) << defaults;
  const std::string unit =
      korbtest::internal::ReadFile(Installed("/lib/systemd/system/korb-supervisor.service"));
  EXPECT_NE(unit.find("\nExecStart=/usr/sbin/korb-supervisor "), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nEnvironmentFile=-/etc/default/korb-supervisor\n"), std::string::npos);
  for (const char* sql : {"01_schema.sql", "02_functions.sql", "03_procedures.sql"})
    EXPECT_TRUE(fs::exists(Installed(std::string("/usr/share/korb/sql/") + sql))) << sql;
}

class InstalledRunTest : public korbtest::DbTest {
 protected:
  // The sample installation, and the example option file pointed at the
  // test's server, with extra lines (each ending in '\n').
  void UseExampleOptions(const std::string& extra = "") {
    Exec(korbtest::internal::ReadFile(Installed("/usr/share/korb/sql/sample_installation.sql")));
    std::istringstream example(korbtest::internal::ReadFile(Installed("/etc/korb/korb-db.cnf")));
    std::ofstream options(OptionFile(), std::ios::trunc);
    for (std::string line; std::getline(example, line);) {
      if (line.rfind("socket=", 0) == 0) line = "socket=" + korbtest::MariaDbServer::Instance().Socket();
      if (line.rfind("user=", 0) == 0) line = "user=root";
      if (line.rfind("password=", 0) != 0) options << line << "\n";
    }
    options << extra;
  }
};

TEST_F(InstalledRunTest, SupervisorRunsTheInstalledSchedulerThroughTheSampleInstallation) {
  UseExampleOptions();

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

// The restrictions of the unit that change what the programs see, in a
// mount namespace of the test's own: /proc with processes only (no
// /proc/stat), every file system read-only but the install folder, and no
// capabilities (so no SO_RCVBUFFORCE). Mounts that are read-only already
// stay as they are. $1 is the writable folder; the rest is the program
// and its arguments.
constexpr const char* kRestrictedRun = R"(set -eu
writable=$1; shift
mount --bind "$writable" "$writable"
for mp in $(awk '$6 !~ /^ro/ {print $5}' /proc/self/mountinfo | sort -u); do
  case "$mp" in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|"$writable") continue;; esac
  mount -o remount,bind,ro "$mp"
done
mount -t proc -o subset=pid,hidepid=invisible proc /proc
exec setpriv --bounding-set=-all --inh-caps=-all --no-new-privs -- "$@"
)";

int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

long ReadNumber(const std::string& path) {
  std::ifstream in(path);
  long value = -1;
  in >> value;
  return value;
}

TEST_F(InstalledRunTest, UnderTheUnitsRestrictionsTheSchedulerRunsAndReportsTheTruth) {
  const int metrics_port = FreeTcpPort();
  ASSERT_GT(metrics_port, 0);
  UseExampleOptions("korb-metrics-port=" + std::to_string(metrics_port) + "\n");
  const double started = static_cast<double>(std::time(nullptr));
  ChildProcess supervisor(
      {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", kRestrictedRun,
       "sh", InstallDir(), Installed("/usr/sbin/korb-supervisor"), "--identifier",
       std::to_string(korbtest::FreeUdpPort())},
      {{"KORB_TIME_SCALE", "1000"}, {"KORB_SCHEDULER_PATH", std::nullopt}});
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return Count("select count(*) from jobdetails where JobTypeID = 10027") > 0; }, 120s))
      << supervisor.Stdout() << supervisor.Stderr() << korbtest::DaemonLog();
  // Start-up notice and progress notices reach the supervisor.
  ASSERT_TRUE(supervisor.WaitForStdout("reports its start-up done", 30s)) << supervisor.Stdout();
  ASSERT_TRUE(supervisor.WaitForStdout("sends progress notices", 30s)) << supervisor.Stdout();

  // The start time comes from the clocks, not from /proc/stat.
  int code = -1;
  const std::string scrape = OutputOf({"/usr/bin/curl", "-sS", "--max-time", "10",
      "http://127.0.0.1:" + std::to_string(metrics_port) + "/metrics"}, &code);
  const size_t at = scrape.find("\nprocess_start_time_seconds ");
  ASSERT_NE(at, std::string::npos) << scrape.substr(0, 2000);
  const double start_time = std::strtod(scrape.c_str() + at + 28, nullptr);
  EXPECT_NEAR(start_time, started, 120.0) << scrape.substr(at, 80);

  // Without a capability the buffer is what net.core.rmem_max allows (the
  // package's sysctl drop-in raises it to the 4 MiB asked for), and the
  // log says which.
  const long limit = ReadNumber("/proc/sys/net/core/rmem_max");
  const long asked = 4L * 1024 * 1024;
  const std::string granted_line =
      "receive buffer of " + std::to_string(asked) + " bytes asked, the kernel granted " +
      std::to_string(2 * std::min(limit, asked)) + " (its figure";
  EXPECT_EQ(korbtest::CountInLog(granted_line), 1) << korbtest::DaemonLog();
  EXPECT_EQ(korbtest::CountInLog("raise net.core.rmem_max"), limit >= asked ? 0 : 1);

  supervisor.SendSignal(SIGTERM);
  ASSERT_TRUE(supervisor.WaitExit(120s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0) << supervisor.Stdout() << supervisor.Stderr();
  const std::string out = supervisor.Stdout();
  EXPECT_NE(out.find("ended with exit code 0"), std::string::npos) << out;
  EXPECT_EQ(out.find("killing it"), std::string::npos) << out;
  EXPECT_EQ(korbtest::CountInLog("Unloaded the module succesfully..."), 1);
}

}  // namespace
