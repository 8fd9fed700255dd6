#include "daemon_child.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_context.h"
#include "utilLib.h"

namespace bench {

namespace {

std::string OwnExeName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "korb-bench";
  const std::string full(path, static_cast<size_t>(n));
  return full.substr(full.find_last_of('/') + 1);
}

bool Reap(int pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

DaemonChild::DaemonChild(const Context& context, int port, double time_scale) {
  const std::string pid_text = std::to_string(getpid());
  const std::string port_text = std::to_string(port);
  const std::string exe = OwnExeName();
  const std::string lock_dir = context.install_dir + "/lock";
  std::system(("mkdir -p '" + lock_dir + "' '" + context.install_dir +
               "/ConsoleManagement/log'").c_str());
  pid_ = fork();
  if (pid_ < 0) {
    std::perror("korb-bench: fork");
    std::exit(2);
  }
  if (pid_ == 0) {
    setenv("KORB_LOCK_DIR", lock_dir.c_str(), 1);
    setenv("KORB_TIME_SCALE", Format("%g", time_scale).c_str(), 1);
    setenv("KORB_DB_CONFIG", context.option_file.c_str(), 1);
    setenv("KORB_INSTALL_DIR", context.install_dir.c_str(), 1);
    setenv("KORB_DSN", "orb", 1);
    const std::string out = context.install_dir + "/daemon-stdout.txt";
    if (std::freopen(out.c_str(), "a", stdout) == nullptr) _exit(126);
    execl(context.daemon.c_str(), context.daemon.c_str(), pid_text.c_str(), port_text.c_str(),
          exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  UdpSocketState state;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ReadUdpSocket(port, &state)) {
    if (!Running() || std::chrono::steady_clock::now() >= end) {
      std::fprintf(stderr, "korb-bench: the daemon did not bind UDP %d (log in %s)\n", port,
                   context.install_dir.c_str());
      std::exit(2);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

DaemonChild::~DaemonChild() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!Reap(pid_, std::chrono::seconds(30))) {
    kill(pid_, SIGKILL);
    Reap(pid_, std::chrono::seconds(5));
  }
}

bool DaemonChild::Running() {
  int status = 0;
  if (pid_ <= 0) return false;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> f;
  for (std::string field; fields >> field;) f.push_back(field);
  // After the name: state is field 3; utime and stime are fields 14, 15.
  if (f.size() < 13) return -1;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / ticks;
}

double RssMegabytes(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return -1;
}

bool ReadUdpSocket(int port, UdpSocketState* state) {
  for (const char* file : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::vector<std::string> f;
      for (std::string field; fields >> field;) f.push_back(field);
      // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
      if (f.size() < 13) continue;
      const size_t colon = f[1].rfind(':');
      if (colon == std::string::npos) continue;
      if (std::strtol(f[1].c_str() + colon + 1, nullptr, 16) != port) continue;
      const size_t queues = f[4].find(':');
      state->rx_queue = std::strtol(f[4].c_str() + queues + 1, nullptr, 16);
      state->drops = std::atol(f[12].c_str());
      return true;
    }
  }
  return false;
}

int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

}  // namespace bench
