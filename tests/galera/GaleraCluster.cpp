#include "GaleraCluster.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "HarnessInternal.h"

namespace galeratest {

namespace {

using korbtest::internal::RunSql;

constexpr int kNodes = 3;
// The script's layout: proxy at the base, node N at base + 10N .. +3.
constexpr int kPortSpan = 10 * kNodes + 4;

const char kGuardianScript[] =
    "while IFS= read -r line; do :; done\n"
    "bash \"$1\" stop >/dev/null 2>&1\n"
    "rm -rf \"$2\"\n";

bool TcpPortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

// A base port whose whole range is free, away from the ephemeral ports.
int FreeBasePort() {
  const int slots = 250;
  const int first = static_cast<int>(getpid()) % slots;
  for (int i = 0; i < slots; ++i) {
    const int base = 21000 + ((first + i) % slots) * 40;
    bool free = true;
    for (int port = base; port < base + kPortSpan && free; ++port) free = TcpPortFree(port);
    if (free) return base;
  }
  throw std::runtime_error("no free port range for the cluster");
}

std::string ScriptPath() { return korbtest::SourceDir() + "/scripts/galera.sh"; }

}  // namespace

GaleraCluster::GaleraCluster() {
  std::string templ = "/dev/shm/korb-galera.XXXXXX";
  if (access("/dev/shm", W_OK) != 0) templ = "/tmp/korb-galera.XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  base_port_ = FreeBasePort();
  setenv("KORB_GALERA_DIR", dir_.c_str(), 1);
  setenv("KORB_GALERA_PORT", std::to_string(base_port_).c_str(), 1);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    // Never reaped on purpose: it matters only once we are gone.
    korbtest::internal::Spawn({"sh", "-c", kGuardianScript, "korb-galera-guardian",
                               ScriptPath(), dir_},
                              "", "/dev/null", true, fds[0]);
    close(fds[0]);
    guardian_fd_ = fds[1];
    signal(SIGPIPE, SIG_IGN);
  }
  Script("start");
}

GaleraCluster::~GaleraCluster() {
  try {
    Script("stop");
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
  if (guardian_fd_ >= 0) close(guardian_fd_);
}

void GaleraCluster::Script(const std::string& command) const {
  std::vector<std::string> argv = {"bash", ScriptPath()};
  for (size_t start = 0, end; start <= command.size(); start = end + 1) {
    end = command.find(' ', start);
    if (end == std::string::npos) end = command.size();
    argv.push_back(command.substr(start, end - start));
  }
  korbtest::internal::RunOrThrow(argv, "", dir_ + "/script.log");
}

void GaleraCluster::Kill(int node) { Script("kill " + std::to_string(node)); }
void GaleraCluster::Rejoin(int node) { Script("rejoin " + std::to_string(node)); }

std::string GaleraCluster::Socket(int node) const {
  return dir_ + "/node" + std::to_string(node) + "/mariadbd.sock";
}

korbtest::Rows GaleraCluster::Query(int node, const std::string& sql,
                                    const std::string& database) const {
  korbtest::internal::SqlResult result = RunSql(Socket(node), sql, database);
  if (!result.ok)
    ADD_FAILURE() << "node " << node << ": " << result.error << "\n  SQL: " << sql;
  return std::move(result.rows);
}

std::string GaleraCluster::Scalar(int node, const std::string& sql) const {
  const korbtest::Rows rows = Query(node, sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

long GaleraCluster::Number(int node, const std::string& sql) const {
  return std::strtol(Scalar(node, sql).c_str(), nullptr, 10);
}

std::string GaleraCluster::Status(int node, const std::string& variable) const {
  const auto result = RunSql(Socket(node), "SHOW GLOBAL STATUS LIKE '" + variable + "'", "");
  return result.ok && !result.rows.empty() ? result.rows[0][1] : "";
}

int GaleraCluster::WriteNode() const {
  // The proxy's stick table names the node of the last session.
  const std::string out = dir_ + "/stick-table.txt";
  korbtest::internal::RunOrThrow(
      {"sh", "-c", "echo 'show table orb' | socat - UNIX-CONNECT:\"$0\"", dir_ + "/haproxy.sock"},
      "", out);
  const std::string table = korbtest::internal::ReadFile(out);
  std::filesystem::remove(out);
  const size_t at = table.rfind("server_key=node");
  return at == std::string::npos ? 0 : table[at + 15] - '0';
}

bool GaleraCluster::ProxyServerUp(int node) const {
  // One line per server: ... srv_name srv_addr srv_op_state (2 = running) ...
  const std::string out = dir_ + "/servers-state.txt";
  korbtest::internal::RunOrThrow(
      {"sh", "-c", "echo 'show servers state orb' | socat - UNIX-CONNECT:\"$0\"",
       dir_ + "/haproxy.sock"},
      "", out);
  const std::string state = korbtest::internal::ReadFile(out);
  std::filesystem::remove(out);
  const std::string name = " node" + std::to_string(node) + " ";
  const size_t at = state.find(name);
  if (at == std::string::npos) return false;
  const size_t address_end = state.find(' ', at + name.size());
  return address_end != std::string::npos && state.compare(address_end, 3, " 2 ") == 0;
}

int GaleraCluster::ProxySessionNode() const {
  const std::string out = dir_ + "/proxy-session.txt";
  const int pid = korbtest::internal::Spawn(
      {"mariadb", "--no-defaults", "--protocol=tcp", "--host=127.0.0.1",
       "--port=" + std::to_string(base_port_), "--user=korb", "--password=korb",
       "--connect-timeout=10", "-N", "-B", "-e", "select @@wsrep_node_name"},
      "/dev/null", out, false);
  const int status = korbtest::internal::WaitChild(pid);
  const std::string name = korbtest::internal::ReadFile(out);
  std::filesystem::remove(out);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || name.rfind("node", 0) != 0) return 0;
  return name[4] - '0';
}

long GaleraCluster::ClientSessions(int node) const {
  return Number(node, "select count(*) from information_schema.processlist where user = 'korb'");
}

bool GaleraCluster::AwaitSettled(int size, std::chrono::milliseconds timeout,
                                 bool same_position) const {
  return korbtest::WaitFor(
      [&] {
        std::set<std::string> committed;
        int synced = 0;
        for (int node = 1; node <= kNodes; ++node) {
          if (Status(node, "wsrep_local_state_comment") != "Synced") continue;
          if (Status(node, "wsrep_cluster_size") != std::to_string(size) ||
              Status(node, "wsrep_local_recv_queue") != "0")
            return false;
          committed.insert(Status(node, "wsrep_last_committed"));
          ++synced;
        }
        return synced == size && (!same_position || committed.size() == 1);
      },
      timeout);
}

}  // namespace galeratest
