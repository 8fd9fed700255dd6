// Test harness: one private MariaDB server per test binary (socket only,
// started on first use), `orb` loaded from sql/ once per binary. Each
// DbTest empties the tables of orb (open connections keep their database),
// drops earlier customer databases, writes an option file with the DSN
// group "orb" and points KORB_DB_CONFIG, KORB_DSN and KORB_INSTALL_DIR at a
// fresh install folder.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korbtest {

using Rows = std::vector<std::vector<std::string>>;

class MariaDbServer {
 public:
  static MariaDbServer& Instance();  // starts it on first call
  const std::string& Socket() const { return socket_; }
  // For connection-loss tests; Start() brings back the same data.
  void Stop();
  void Start();
  bool Running() const { return running_; }
  int Pid() const { return pid_; }  // -1 while stopped

 private:
  MariaDbServer();
  ~MariaDbServer();
  std::string dir_;
  std::string socket_;
  int pid_ = -1;
  bool running_ = false;
};

// Identity keys written into a DSN group of the option file.
struct Identity {
  int msp_flag = 0;
  int site_id = 1;
  int probe_id = 1;
  int install_type = 1;
  int addon_selector = 0;
};

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Statements (several, separated by ';') on `database`; an error fails the test.
  void Exec(const std::string& sql, const std::string& database = "orb");
  Rows Query(const std::string& sql, const std::string& database = "orb");
  // First column of the first row; "" when there is none, "NULL" for NULL.
  std::string Scalar(const std::string& sql,
                     const std::string& database = "orb");
  // For a statement that starts with "select count(": its value; for any
  // other query: the number of rows it returns.
  long Count(const std::string& sql, const std::string& database = "orb");

  // Creates database `name` from sql/ (dropping any old one) and adds a
  // DSN group `dsn` for it to the option file.
  void CreateCustomerDatabase(const std::string& name, const std::string& dsn,
                              const Identity& identity = Identity());
  // Adds DSN groups that all name the existing database `database`, with
  // one write of the option file (for tests with hundreds of customers).
  void AddDsnGroups(const std::vector<std::string>& dsns, const std::string& database);
  // Rewrites the identity keys of DSN group "orb".
  void SetMainIdentity(const Identity& identity);
  // Appends "key=value" lines (each ending in '\n') to DSN group dsn.
  void AddOptions(const std::string& dsn, const std::string& lines);
  // Adds a group whose server cannot be reached.
  void AddUnreachableDsn(const std::string& dsn);
  // DSN group dsn reaches its server over TCP at host:port instead of the
  // socket (a TcpRelay, for partition tests).
  void RouteOverTcp(const std::string& dsn, const std::string& host, int port);

  // Recorded procedure calls as "name(args)" in call order, optionally of one name.
  std::vector<std::string> ProcedureCalls(const std::string& name = "",
                                          const std::string& database = "orb");

  const std::string& InstallDir() const { return install_dir_; }
  const std::string& OptionFile() const { return option_file_; }

 private:
  void WriteOptionFile();
  std::string install_dir_;
  std::string option_file_;
  std::map<std::string, std::string> groups_;  // dsn -> body
};

// Polls cond (every few ms) until it holds or timeout passes.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout);

// A UDP socket bound on 127.0.0.1 at a free port, for receiving signals.
class UdpListener {
 public:
  UdpListener();
  ~UdpListener();
  int Port() const { return port_; }
  // Next datagram as its four field texts (type, signal ID, source ID,
  // sub-type); false on time-out.
  bool Receive(std::vector<std::string>* fields,
               std::chrono::milliseconds timeout);
  // All datagrams that arrive within window.
  std::vector<std::vector<std::string>> Drain(std::chrono::milliseconds window);

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::string SourceDir();
std::string BinaryDir();

}  // namespace korbtest
