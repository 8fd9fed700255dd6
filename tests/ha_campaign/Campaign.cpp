#include "Campaign.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestDatabase.h"
#include "utilLib.h"

namespace campaign {

namespace {

using namespace std::chrono_literals;

constexpr int kDeploySchedule = 7;
constexpr int kScanSchedule = 8;
constexpr const char* kInstances[] = {"a", "b", "c"};
// The fences of a posting transaction (a locking read of the lease row on
// one server, a write to it on Galera): where the freeze seam stops.
constexpr const char* kFencePattern =
    "korb_scheduler_lease.*(lock in share mode|fence_seq = fence_seq)";

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long long Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1,
               static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.999));
  return static_cast<long long>(values[index]);
}

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kKill: return "kill-9";
    case Fault::kFreeze: return "freeze-past-lease";
    case Fault::kFreezeAtFence: return "freeze-at-fence";
    case Fault::kShortFreeze: return "short-freeze";
    case Fault::kPartition: return "partition";
    case Fault::kDatabaseRestart: return "db-restart";
    case Fault::kWriteNodeKill: return "write-node-kill";
  }
  return "?";
}

long Backend::Count(const std::string& sql) { return std::atol(Scalar(sql).c_str()); }

Settings SettingsFromEnvironment(long default_rounds) {
  Settings settings;
  settings.rounds = EnvNumber("KORB_CAMPAIGN_ROUNDS", default_rounds);
  settings.seed = static_cast<unsigned long>(
      EnvNumber("KORB_CAMPAIGN_SEED", static_cast<long>(std::time(nullptr))));
  settings.targets = static_cast<int>(EnvNumber("KORB_CAMPAIGN_TARGETS", 1500));
  settings.lease_seconds = static_cast<int>(EnvNumber("KORB_CAMPAIGN_LEASE", 3));
  const char* faults = std::getenv("KORB_CAMPAIGN_FAULTS");
  settings.faults = faults != nullptr ? faults : "";
  return settings;
}

Campaign::Campaign(Backend& backend, const Settings& settings)
    : backend_(backend),
      settings_(settings),
      random_(static_cast<std::mt19937::result_type>(settings.seed)) {}

Campaign::~Campaign() {
  for (Instance& instance : instances_) instance.process.reset();
}

void Campaign::Prepare() {
  stop_file_ = backend_.ScratchDir() + "/stop-at-fence";
  for (const char* name : kInstances) {
    Instance instance;
    instance.name = name;
    instance.ns = std::make_unique<korbtest::NetworkNamespace>();
    instance.relay = std::make_unique<korbtest::TcpRelay>(*instance.ns, backend_.RelayTarget());
    backend_.AddInstance(name, instance.relay->Host(), instance.relay->Port(),
                         Format("korb-lease-duration=%d\nkorb-metrics-port=0\n"
                                "korb-reconnect-window=0\n",
                                settings_.lease_seconds));
    instances_.push_back(std::move(instance));
  }
  backend_.Exec(
      "create table if not exists korb_campaign_jobs (Id bigint auto_increment primary key, "
      "JobID int, SchedularID int, SystemID int, Status int, Writer varchar(128), "
      "Epoch bigint, At datetime(6))");
  backend_.Exec(
      "create table if not exists korb_campaign_grants (Id bigint auto_increment primary key, "
      "Epoch bigint, Holder varchar(512), Writer varchar(128), At datetime(6))");
  backend_.Exec("drop trigger if exists korb_campaign_job_writer");
  backend_.Exec(Format(
      "create trigger korb_campaign_job_writer after insert on jobdetails for each row "
      "insert into korb_campaign_jobs (JobID, SchedularID, SystemID, Status, Writer, Epoch, "
      "At) values (NEW.JobID, NEW.SchedularID, NEW.SystemID, NEW.Status, "
      "substring_index(user(), '@', 1), (select epoch from korb_scheduler_lease where name = "
      "'scheduler' %s), now(6))",
      backend_.EpochLock()));
  backend_.Exec("drop trigger if exists korb_campaign_grant");
  backend_.Exec(
      "create trigger korb_campaign_grant after update on korb_scheduler_lease for each row "
      "insert into korb_campaign_grants (Epoch, Holder, Writer, At) select NEW.epoch, "
      "NEW.holder, substring_index(user(), '@', 1), now(6) from dual where NEW.epoch <> "
      "OLD.epoch");
}

void Campaign::LoadRound() {
  backend_.Exec(
      "delete from jobdetails; delete from jobsmaster; delete from jobsmasterdetail; "
      "delete from jobsmasterlookup; delete from orbprofilevalues; delete from "
      "inventorymaster; delete from configsettings; delete from jobhandlermaster; "
      "delete from korb_campaign_jobs");
  backend_.Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  backend_.Exec("insert into configsettings (SettingKey, SettingValue) values "
                "('PATCH_SCAN_STATUS', '1'), ('LOG_LEVEL', '3')");
  backend_.Exec(Format("insert into inventorymaster (SystemID, domainname) select seq, "
                       "'big.example' from seq_1_to_%d",
                       settings_.targets));
  backend_.Exec("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) values "
                "(20, 69, '21'), (21, 58, 'big.example')");
  for (int schedule : {kScanSchedule, kDeploySchedule}) {
    backend_.Exec(Format("insert into jobsmaster (SchedularID, SiteID, JobScheduledType, "
                         "ScheduledTime, LastSubmittedTime, JobPriority) values (%d, 1, 0, "
                         "now() - interval 1 minute, '0000-00-00 00:00:00', %d)",
                         schedule, schedule == kScanSchedule ? 50 : 100));
  }
  backend_.Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
                       "TaskID) select %d, seq, 10027, seq from seq_1_to_%d",
                       kScanSchedule, settings_.targets));
  backend_.Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
                       "TaskID) values (%d, 0, 10025, 0)",
                       kDeploySchedule));
  backend_.Exec(Format("insert into jobsmasterlookup (SchedularID, JobParamID, "
                       "JobParamValue) values (%d, 89, '20')",
                       kDeploySchedule));
}

void Campaign::StartInstance(Instance& instance, long round) {
  instance.dir = backend_.ScratchDir() + "/" + instance.name + std::to_string(round);
  mkdir(instance.dir.c_str(), 0755);
  mkdir((instance.dir + "/lock").c_str(), 0755);
  korbtest::DaemonOptions options;
  options.time_scale = 100;
  options.env["KORB_INSTALL_DIR"] = instance.dir;
  options.env["KORB_LOCK_DIR"] = instance.dir + "/lock";
  options.env["KORB_DSN"] = "orb_" + instance.name;
  options.env["KORB_TEST_STOP_AFTER"] = kFencePattern;
  options.env["KORB_TEST_STOP_FILE"] = stop_file_;
  instance.process = std::make_unique<korbtest::DaemonProcess>(options);
}

// As a supervisor would: an instance that ended is started again.
void Campaign::RestartEnded(long round) {
  for (Instance& instance : instances_)
    if (!instance.process || instance.process->Exited()) StartInstance(instance, round);
}

// The instance that holds the lease now, or nullptr.
Campaign::Instance* Campaign::Active() {
  const std::string holder = backend_.Scalar(
      "select holder from korb_scheduler_lease where expires_at > utc_timestamp(6)");
  for (Instance& instance : instances_)
    if (!instance.dir.empty() && holder.find(instance.dir + "/lock/") != std::string::npos)
      return &instance;
  return nullptr;
}

long Campaign::Epoch() { return backend_.Count("select epoch from korb_scheduler_lease"); }
long Campaign::Jobs() { return backend_.Count("select count(*) from jobdetails"); }

// Whether the process is stopped (SIGSTOP, or the seam's own stop).
bool Campaign::Stopped(const Instance& instance) const {
  std::ifstream in("/proc/" + std::to_string(instance.process->Pid()) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'T' || stat[close + 2] == 't');
}

long Campaign::RunRound(long round, Fault fault) {
  LoadRound();
  for (Instance& instance : instances_) instance.process.reset();
  RestartEnded(round);
  const int64_t margin_ms = settings_.lease_seconds * 1000 / 3;
  const long at_jobs =
      1 + static_cast<long>(random_() % static_cast<unsigned>(settings_.targets));
  EXPECT_TRUE(korbtest::WaitFor([&] { return Jobs() >= at_jobs; }, settings_.patience))
      << "round " << round << ": postings did not start";
  Instance* active = Active();
  if (active == nullptr) {
    ADD_FAILURE() << "round " << round << ": no instance holds the lease while posting";
    return 1;
  }
  std::vector<std::string> problems;
  const long epoch_before = Epoch();
  int64_t fault_at = NowMs();
  switch (fault) {
    case Fault::kKill:
      active->process->SendSignal(SIGKILL);
      active->process->WaitExit(10s);
      break;
    case Fault::kFreeze:
      active->process->SendSignal(SIGSTOP);
      break;
    case Fault::kFreezeAtFence: {
      std::ofstream(stop_file_).put('\n');
      const bool stopped = korbtest::WaitFor([&] { return Stopped(*active); }, 30s);
      fault_at = NowMs();
      std::remove(stop_file_.c_str());
      if (!stopped) problems.push_back("the active did not stop at a fence");
      break;
    }
    case Fault::kShortFreeze: {
      active->process->SendSignal(SIGSTOP);
      const int64_t pause_ms = 100 + static_cast<int64_t>(random_() % static_cast<unsigned>(
                                                                std::max<int64_t>(1, margin_ms - 300)));
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
      active->process->SendSignal(SIGCONT);
      break;
    }
    case Fault::kPartition:
      active->relay->Partition();
      break;
    case Fault::kDatabaseRestart:
    case Fault::kWriteNodeKill:
      backend_.DatabaseFault(fault, active->name, random_);
      break;
  }
  const bool holds_old = fault == Fault::kFreeze || fault == Fault::kFreezeAtFence ||
                         fault == Fault::kPartition;
  // Until the takeover the faulted instance is not started again: a killed
  // one stands for a host that is gone (a supervisor on a live host would
  // restart it, and as the same instance it would take its lease back at
  // once).
  const bool host_gone = holds_old || fault == Fault::kKill;
  auto restart_others = [&] {
    for (Instance& instance : instances_)
      if (!(host_gone && &instance == active) &&
          (!instance.process || instance.process->Exited()))
        StartInstance(instance, round);
  };
  // Takeover: the first job row of a later epoch.
  int64_t takeover_ms = -1;
  int64_t end_ms = -1;
  if (fault != Fault::kShortFreeze) {
    const bool taken = korbtest::WaitFor(
        [&] {
          restart_others();
          return backend_.Count(Format("select count(*) from korb_campaign_jobs where "
                                       "Epoch > %ld",
                                       epoch_before)) > 0;
        },
        settings_.patience);
    if (taken)
      takeover_ms = NowMs() - fault_at;
    else
      problems.push_back("no takeover");
  }
  if (holds_old) {
    // The old active back: resumed, or its port let through again.
    const int64_t back_at = NowMs();
    if (fault == Fault::kPartition)
      active->relay->Heal();
    else
      active->process->SendSignal(SIGCONT);
    int code = -1;
    if (active->process->WaitExit(15s, &code))
      end_ms = NowMs() - back_at;
    else
      problems.push_back("the old active went on after it was back");
  }
  // The next passes post whatever is missing.
  const bool complete = korbtest::WaitFor(
      [&] {
        RestartEnded(round);
        return backend_.Count(Format("select count(distinct SystemID) from jobdetails where "
                                     "SchedularID = %d",
                                     kScanSchedule)) == settings_.targets &&
               backend_.Count(Format("select count(distinct SystemID) from jobdetails where "
                                     "SchedularID = %d",
                                     kDeploySchedule)) == settings_.targets;
      },
      settings_.patience);
  if (!complete) problems.push_back("targets missing after the next pass");
  if (fault == Fault::kShortFreeze) {
    if (Epoch() != epoch_before) problems.push_back("the short freeze cost the lease");
    if (active->process->Exited()) problems.push_back("the short freeze ended the active");
  }
  const long doubled = backend_.Count(
      "select count(*) from (select SystemID from jobdetails where Status = 0 group by "
      "SystemID, SchedularID, JobTypeID having count(*) > 1) d");
  const long stale = backend_.Count(
      "select count(*) from korb_campaign_jobs j left join korb_campaign_grants g on "
      "g.Epoch = j.Epoch where g.Writer is null or g.Writer <> j.Writer");
  if (doubled > 0) problems.push_back(Format("%ld doubled", doubled));
  if (stale > 0) problems.push_back(Format("%ld stale commits", stale));
  const long violations = static_cast<long>(problems.size());
  Figures& figures = figures_[fault];
  ++figures.rounds;
  figures.violations += violations;
  if (takeover_ms >= 0) figures.takeover_ms.push_back(takeover_ms);
  if (end_ms >= 0) figures.end_ms.push_back(end_ms);
  std::string why;
  for (const std::string& problem : problems) why += (why.empty() ? "" : "; ") + problem;
  std::printf("[campaign] round %ld %s fault=%s at-job=%ld takeover_ms=%lld old_end_ms=%lld "
              "complete=%d doubled=%ld stale-commits=%ld violations=%ld%s%s\n",
              round, backend_.Name().c_str(), FaultName(fault), at_jobs,
              static_cast<long long>(takeover_ms), static_cast<long long>(end_ms),
              complete ? 1 : 0, doubled, stale, violations, why.empty() ? "" : ": ",
              why.c_str());
  std::fflush(stdout);
  for (const std::string& problem : problems)
    ADD_FAILURE() << "round " << round << " (" << FaultName(fault) << "): " << problem;
  const int64_t renew_ms = std::max<int64_t>(100, settings_.lease_seconds * 1000 / 6);
  if (!problems.empty() || (fault != Fault::kPartition && end_ms > renew_ms)) KeepLogs(round);
  for (Instance& instance : instances_) {
    if (instance.process && !instance.process->Exited()) {
      instance.process->Send(1);
      instance.process->WaitExit(30s);
    }
  }
  backend_.Repair();
  return violations;
}

// The instances' logs of a round that found a problem, for a look later.
void Campaign::KeepLogs(long round) const {
  std::string kept = "/tmp/korb-campaign-failed.XXXXXX";
  if (mkdtemp(kept.data()) == nullptr) return;
  std::error_code ignored;
  for (const Instance& instance : instances_)
    std::filesystem::copy(instance.dir, kept + "/" + instance.name,
                          std::filesystem::copy_options::recursive, ignored);
  std::printf("[campaign] round %ld: the instances' folders are copied to %s\n", round,
              kept.c_str());
}

long Campaign::Run() {
  Prepare();
  std::vector<Fault> faults;
  for (Fault fault : backend_.Faults())
    if (settings_.faults.empty() ||
        ("," + settings_.faults + ",").find(std::string(",") + FaultName(fault) + ",") !=
            std::string::npos)
      faults.push_back(fault);
  if (faults.empty()) {
    ADD_FAILURE() << "KORB_CAMPAIGN_FAULTS='" << settings_.faults << "' names no fault of "
                  << backend_.Name();
    return 1;
  }
  std::printf("[campaign] %s: seed %lu, %ld rounds, %d targets per schedule, lease %d s\n",
              backend_.Name().c_str(), settings_.seed, settings_.rounds, settings_.targets,
              settings_.lease_seconds);
  std::fflush(stdout);
  long violations = 0;
  for (long round = 1; round <= settings_.rounds; ++round) {
    // Every fault kind in turn first, then at random.
    const size_t kinds = faults.size();
    const Fault fault = static_cast<size_t>(round) <= kinds
                            ? faults[static_cast<size_t>(round - 1)]
                            : faults[random_() % kinds];
    violations += RunRound(round, fault);
  }
  PrintSummary(violations);
  return violations;
}

void Campaign::PrintSummary(long violations) const {
  const int64_t renew_ms = std::max<int64_t>(100, settings_.lease_seconds * 1000 / 6);
  std::printf("[campaign] summary %s: seed %lu rounds %ld violations %ld (lease %d s, renew "
              "every %lld ms)\n",
              backend_.Name().c_str(), settings_.seed, settings_.rounds, violations,
              settings_.lease_seconds, static_cast<long long>(renew_ms));
  for (const auto& [fault, figures] : figures_) {
    long within_renew = 0;
    for (int64_t ms : figures.end_ms) within_renew += ms <= renew_ms ? 1 : 0;
    std::printf("[campaign] summary %s %-17s rounds %3ld violations %ld takeover p50 %lld "
                "p99 %lld max %lld ms",
                backend_.Name().c_str(), FaultName(fault), figures.rounds, figures.violations,
                Percentile(figures.takeover_ms, 0.5), Percentile(figures.takeover_ms, 0.99),
                Percentile(figures.takeover_ms, 1.0));
    if (!figures.end_ms.empty())
      std::printf("; old active ended p50 %lld max %lld ms after it was back, %ld of %zu "
                  "within one renew period",
                  Percentile(figures.end_ms, 0.5), Percentile(figures.end_ms, 1.0),
                  within_renew, figures.end_ms.size());
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace campaign
