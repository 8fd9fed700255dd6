#include "NetworkNamespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "HarnessInternal.h"

namespace korbtest {

namespace {

using internal::ReadFile;

// Kills what runs inside the namespace (all of it the test's own) and
// removes the namespace and the scratch folder once the pipe closes.
const char kGuardianScript[] =
    "while IFS= read -r line; do :; done\n"
    "for pid in $(ip netns pids \"$1\" 2>/dev/null); do kill -KILL \"$pid\" 2>/dev/null; done\n"
    "ip netns del \"$1\" 2>/dev/null\n"
    "rm -rf \"$2\"\n";

constexpr uint32_t kBase = (10u << 24) | (254u << 16);  // 10.254.0.0/16
constexpr uint32_t kBlocks = 1u << 14;                  // /30 blocks in it

std::atomic<int> g_sequence{0};

std::string Dotted(uint32_t address) {
  in_addr in{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, text, sizeof(text));
  return text;
}

// Every IPv4 prefix that the host's addresses and routes name.
std::vector<std::pair<uint32_t, uint32_t>> HostPrefixes(const std::string& listing) {
  std::vector<std::pair<uint32_t, uint32_t>> prefixes;
  static const std::regex prefix(R"((\d+\.\d+\.\d+\.\d+)(/(\d+))?)");
  for (std::sregex_iterator it(listing.begin(), listing.end(), prefix), end; it != end; ++it) {
    in_addr in{};
    if (inet_pton(AF_INET, (*it)[1].str().c_str(), &in) != 1) continue;
    const int length = (*it)[3].matched ? std::stoi((*it)[3].str()) : 32;
    const uint32_t mask = length == 0 ? 0 : ~0u << (32 - length);
    prefixes.emplace_back(ntohl(in.s_addr) & mask, mask);
  }
  return prefixes;
}

bool Overlaps(uint32_t block, const std::vector<std::pair<uint32_t, uint32_t>>& prefixes) {
  for (const auto& [network, mask] : prefixes) {
    const uint32_t common = mask & ~3u;  // the shorter of the two prefixes
    if ((block & common) == (network & common)) return true;
  }
  return false;
}

}  // namespace

NetworkNamespace::NetworkNamespace() {
  char pattern[] = "/tmp/korb-netns.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  const int sequence = g_sequence.fetch_add(1);
  const int pid = static_cast<int>(getpid());
  name_ = "korbtest-" + std::to_string(pid) + "-" + std::to_string(sequence);
  // Interface names have at most 15 characters.
  const std::string host_link = "kt" + std::to_string(pid) + "h" + std::to_string(sequence);
  const std::string peer_link = "kt" + std::to_string(pid) + "n" + std::to_string(sequence);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  internal::Spawn({"sh", "-c", kGuardianScript, "korb-netns-guardian", name_, dir_}, "",
                  "/dev/null", true, fds[0]);
  close(fds[0]);
  guardian_fd_ = fds[1];
  signal(SIGPIPE, SIG_IGN);

  Run({"ip", "-4", "-o", "addr", "show"});
  Run({"ip", "-4", "route", "show", "table", "all"});
  const auto prefixes = HostPrefixes(Log());
  uint32_t block = 0;
  for (uint32_t i = 0; i < kBlocks && block == 0; ++i) {
    const uint32_t candidate = kBase + (((static_cast<uint32_t>(pid) * 7 + sequence + i) % kBlocks) << 2);
    if (!Overlaps(candidate, prefixes)) block = candidate;
  }
  if (block == 0) throw std::runtime_error("no free /30 in 10.254.0.0/16");
  host_ = Dotted(block + 1);
  peer_ = Dotted(block + 2);

  Run({"ip", "netns", "add", name_});
  Run({"ip", "link", "add", host_link, "type", "veth", "peer", "name", peer_link});
  Run({"ip", "link", "set", peer_link, "netns", name_});
  Run({"ip", "addr", "add", host_ + "/30", "dev", host_link});
  Run({"ip", "link", "set", host_link, "up"});
  Run({"ip", "-n", name_, "addr", "add", peer_ + "/30", "dev", peer_link});
  Run({"ip", "-n", name_, "link", "set", peer_link, "up"});
  Run({"ip", "-n", name_, "link", "set", "lo", "up"});
}

NetworkNamespace::~NetworkNamespace() {
  for (int pid : children_) kill(pid, SIGKILL);
  for (int pid : children_) internal::WaitChild(pid);
  // What the children forked, then the namespace; the guardian would do
  // the same, later.
  try {
    Run({"sh", "-c", "for pid in $(ip netns pids \"$0\"); do kill -KILL \"$pid\"; done; "
                     "ip netns del \"$0\"",
         name_});
  } catch (const std::exception& e) {
    ADD_FAILURE() << "removing network namespace " << name_ << ": " << e.what();
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
  if (guardian_fd_ >= 0) close(guardian_fd_);
}

void NetworkNamespace::Run(const std::vector<std::string>& argv, const std::string& stdin_text) {
  std::string input;
  if (!stdin_text.empty()) {
    input = dir_ + "/input";
    std::ofstream(input, std::ios::trunc) << stdin_text;
  }
  std::ofstream(dir_ + "/commands.log", std::ios::app) << "+ " << argv[0] << " "
                                                      << (argv.size() > 1 ? argv[1] : "")
                                                      << "\n";
  internal::RunOrThrow(argv, input, dir_ + "/commands.log");
}

std::string NetworkNamespace::Log() const { return ReadFile(dir_ + "/commands.log"); }

int NetworkNamespace::FreePort() const {
  int port = 0;
  std::string error;
  // setns changes the namespace of the calling thread only.
  std::thread([&] {
    const int ns = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
      error = std::string("entering the namespace: ") + std::strerror(errno);
      if (ns >= 0) close(ns);
      return;
    }
    close(ns);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, peer_.c_str(), &address.sin_addr);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      error = std::string("binding a port: ") + std::strerror(errno);
    else
      port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
  }).join();
  if (port == 0) throw std::runtime_error("no free port in " + name_ + ": " + error);
  return port;
}

int NetworkNamespace::Start(const std::vector<std::string>& argv) {
  std::vector<std::string> command{"ip", "netns", "exec", name_};
  command.insert(command.end(), argv.begin(), argv.end());
  const int pid = internal::Spawn(command, "", dir_ + "/children.log", true);
  children_.push_back(pid);
  return pid;
}

void NetworkNamespace::DropPort(int port) {
  const std::string table = "korb_drop_" + std::to_string(port);
  const std::string p = std::to_string(port);
  Run({"ip", "netns", "exec", name_, "nft", "-f", dir_ + "/input"},
      "table inet " + table + " {\n"
      "  chain in { type filter hook input priority 0; policy accept; tcp dport " + p +
          " drop; tcp sport " + p + " drop; }\n"
      "  chain out { type filter hook output priority 0; policy accept; tcp sport " + p +
          " drop; tcp dport " + p + " drop; }\n"
      "}\n");
}

void NetworkNamespace::AllowPort(int port) {
  Run({"ip", "netns", "exec", name_, "nft", "delete", "table", "inet",
       "korb_drop_" + std::to_string(port)});
}

TcpRelay::TcpRelay(NetworkNamespace& ns, const std::string& unix_socket)
    : ns_(ns), port_(ns.FreePort()) {
  ns_.Start({"socat",
             "TCP-LISTEN:" + std::to_string(port_) + ",bind=" + ns_.PeerAddress() +
                 ",fork,reuseaddr,backlog=512",
             "UNIX-CONNECT:" + unix_socket});
  // Listening once a connect from this side gets through.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  inet_pton(AF_INET, ns_.PeerAddress().c_str(), &address.sin_addr);
  const bool up = WaitFor(
      [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        close(fd);
        return ok;
      },
      std::chrono::seconds(20));
  if (!up) throw std::runtime_error("the relay in " + ns_.Name() + " did not come up");
}

}  // namespace korbtest
