// The fault campaign's driver: three scheduler instances against one
// database post a scan and a deploy schedule of a few thousand targets
// while a fault hits the active one at a random moment of a real posting.
// After each round it checks that no target holds two open jobs of one
// type from one schedule, that the next pass leaves no target missing, and
// that no job row was committed by an instance after its epoch ended; it
// prints one line per round and a summary with the takeover times per
// fault kind.
//
// Which instance wrote what comes from the server itself: every instance
// logs in as a database user of its own, a trigger records the user and
// the lease's epoch (read with a lock, so it is the epoch at commit) of
// every job row inserted, and another records who each epoch was granted
// to. A row whose epoch was granted to another user is a violation.
//
// Each instance reaches the database over TCP through a relay in a network
// namespace of its own, so that one instance's database port can be
// dropped (a partition) while the others and the test still reach it.
//
// A backend (one server, or the Galera recipe) supplies the database, the
// instances' option groups and the faults of the database itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DaemonProcess.h"
#include "NetworkNamespace.h"

namespace campaign {

enum class Fault {
  kKill,             // SIGKILL of the active
  kFreeze,           // SIGSTOP past the lease, SIGCONT after the takeover
  kFreezeAtFence,    // the active stops itself right after a fence, before its commit
  kShortFreeze,      // SIGSTOP shorter than the safety margin: nothing may change
  kPartition,        // the active's database port dropped, healed after the takeover
  kDatabaseRestart,  // the single server stopped and started
  kWriteNodeKill,    // the Galera node that takes the writes killed
};
const char* FaultName(Fault fault);

// The scheduler instances' database and the faults of the database itself.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string Name() const = 0;
  // Statements as root in orb; an error fails the test.
  virtual void Exec(const std::string& sql) = 0;
  virtual std::string Scalar(const std::string& sql) = 0;
  long Count(const std::string& sql);
  // A Unix socket that reaches the database the way the instances should
  // (the relays of the instances connect to it).
  virtual std::string RelayTarget() = 0;
  // Creates the database user korb_<name> and the option group orb_<name>
  // reaching the database at host:port with these extra lines.
  virtual void AddInstance(const std::string& name, const std::string& host, int port,
                           const std::string& extra_lines) = 0;
  // How the job trigger reads the lease's epoch: with a lock, so that it
  // is the epoch at commit. A shared lock on one server; on Galera an
  // exclusive one, since the write fence that follows in the same
  // transaction would turn a shared one into a deadlock between two
  // posting threads.
  virtual const char* EpochLock() const { return "lock in share mode"; }
  // A folder for the instances' install folders.
  virtual std::string ScratchDir() = 0;
  // The faults this backend can inject.
  virtual std::vector<Fault> Faults() const = 0;
  // Injects a fault of the database itself; active names the instance
  // that holds the lease (its database user is korb_<active>).
  virtual void DatabaseFault(Fault fault, const std::string& active, std::mt19937& random) = 0;
  // After a round: the database whole again (a killed node rejoined).
  virtual void Repair() {}
};

struct Settings {
  long rounds = 0;
  unsigned long seed = 0;
  int targets = 0;
  int lease_seconds = 0;
  std::string faults;  // names of the faults to inject, comma-separated; "": all
  // Each wait of a round (takeover, completion) gives up after this long.
  std::chrono::seconds patience{90};
};

// From KORB_CAMPAIGN_ROUNDS / _SEED / _TARGETS / _LEASE / _FAULTS, with the given
// default round count.
Settings SettingsFromEnvironment(long default_rounds);

class Campaign {
 public:
  Campaign(Backend& backend, const Settings& settings);
  ~Campaign();
  // Runs every round; returns the violations found (each also fails the test).
  long Run();

 private:
  struct Instance {
    std::string name;
    std::string dir;
    std::unique_ptr<korbtest::NetworkNamespace> ns;
    std::unique_ptr<korbtest::TcpRelay> relay;
    std::unique_ptr<korbtest::DaemonProcess> process;
  };
  struct Figures {
    std::vector<int64_t> takeover_ms;  // fault to the first posting of a later epoch
    std::vector<int64_t> end_ms;       // SIGCONT or heal to the old active's end
    long rounds = 0;
    long violations = 0;
  };

  void Prepare();
  void LoadRound();
  void StartInstance(Instance& instance, long round);
  void RestartEnded(long round);
  Instance* Active();
  long Epoch();
  long Jobs();
  bool Stopped(const Instance& instance) const;
  long RunRound(long round, Fault fault);
  void PrintSummary(long violations) const;
  void KeepLogs(long round) const;

  Backend& backend_;
  const Settings settings_;
  std::mt19937 random_;
  std::vector<Instance> instances_;
  std::string stop_file_;
  std::map<Fault, Figures> figures_;
};

}  // namespace campaign
