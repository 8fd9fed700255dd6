// Related-module signalling against the main database: real listeners on
// loopback receive the datagrams of each step.
#include "ModuleSignalling.h"
#include "ProcessState.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using std::chrono::milliseconds;
using Texts = std::vector<std::string>;
using Datagrams = std::vector<std::vector<std::string>>;

constexpr char kStart[] = "SignallingRelatedModules - START ";
constexpr char kEnd[] = "SignallingRelatedModules - END ";
constexpr char kNoJobs[] = "SignallingRelatedModules: No jobs to signal";
constexpr char kNoSyslog[] = "SignallingRelatedModules:: No newly syslog configured nodes to signal";
constexpr char kNoSnmpTraps[] =
    "SignallingRelatedModules:: No newly SnmpTraps configured nodes to signal";

class SignallingTest : public WorkTest {
 protected:
  void SetUp() override {
    WorkTest::SetUp();
    StartProcess();
  }

  // Datagrams already sent to listener (sends are synchronous, so a short
  // window only guards against scheduling delays).
  static Datagrams Received(UdpListener& listener) { return listener.Drain(milliseconds(100)); }
  // A datagram of the given signal type with the other fields untouched.
  static std::vector<std::string> Signal(int type) { return {std::to_string(type), "0", "0", "0"}; }

  std::string Sending(int port, int shownType) {
    return "SENDING SIGNAL TO HOST 127.0.0.1 PORT " + std::to_string(port) + " TYPE " +
           std::to_string(shownType);
  }
};

TEST_F(SignallingTest, AnEmptyDatabaseLogsOneNoTargetLinePerStep) {
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(LogBetween(kStart, kEnd),
            (Texts{kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoSyslog, kNoSnmpTraps}));

  // The metering step joins in once its collection time exists.
  Exec("INSERT INTO configsettings VALUES ('SOFTWARE_METER_COLLECTION_TIME', '30')");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(LogBetween(kStart, kEnd, 2),
            (Texts{kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoSyslog, kNoSnmpTraps,
                   kNoJobs}));
}

TEST_F(SignallingTest, OnlyDueWaitingSignalRequiredJobsOnActiveProbesAreSignalled) {
  // Probe type N runs process N, which serves the one job task; each probe
  // type is one case with a listener of its own.
  UdpListener due, future, running, silentType, inactiveProbe;
  UdpListener* listeners[] = {&due, &future, &running, &silentType, &inactiveProbe};
  for (int n = 1; n <= 5; ++n) {
    AddProbe(n, n, n == 5 ? 0 : 1);
    AddProcess(n, n, listeners[n - 1]->Port());
    Exec("INSERT INTO processmapper (ProcessNo, TaskID) VALUES (" + std::to_string(n) + ", 1)");
  }
  Exec("INSERT INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) "
       "VALUES (1, 3, 7, 33, 1)");
  Exec("INSERT INTO jobtypemaster (JobTypeID, IsSignalRequiredForJob) VALUES (100, 1), (200, 0)");
  Exec("INSERT INTO jobdetails (JobID, JobTypeID, ScheduleTime, Status) VALUES "
       "(1, 100, NOW() - INTERVAL 1 MINUTE, 0), (2, 100, NOW() - INTERVAL 5 MINUTE, 0), "
       "(3, 100, NOW() + INTERVAL 1 HOUR, 0), (4, 100, NOW() - INTERVAL 1 MINUTE, 2), "
       "(5, 200, NOW() - INTERVAL 1 MINUTE, 0), (6, 100, NOW() - INTERVAL 1 MINUTE, 0)");
  // Jobs 1 and 2 both wait on probe 1: one signal for the two.
  Exec("INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
       "VALUES (1, 3, 7, 1), (1, 3, 7, 2), (2, 3, 7, 3), (3, 3, 7, 4), (4, 3, 7, 5), (5, 3, 7, 6)");

  SignallingRelatedModules(g_pDBI);

  EXPECT_EQ(Received(due), Datagrams{Signal(33)});
  for (UdpListener* none : {&future, &running, &silentType, &inactiveProbe}) {
    EXPECT_EQ(Received(*none), Datagrams{});
  }
  EXPECT_EQ(CountLogged(8, Sending(due.Port(), 33)), 1);

  // Nothing is marked: the next run signals the still-waiting job again.
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(Received(due), Datagrams{Signal(33)});
}

TEST_F(SignallingTest, InventoryAndPerformanceStepsSendTheRowTypeWhateverTheyLog) {
  UdpListener uncollected, inventoried, eventLog, poller12, poller11;
  AddProbe(1, 1);
  struct Step {
    int task, taskType, signalType;
    UdpListener* listener;
  };
  const Step steps[] = {{11, 1, 41, &uncollected}, {12, 2, 42, &inventoried},
                        {13, 7, 47, &eventLog},    {14, 9, 49, &poller12},
                        {15, 5, 45, &poller11}};
  for (const Step& s : steps) {
    AddProcess(1, s.task, s.listener->Port());
    AddTask(s.task, s.taskType, s.task, s.signalType, s.task);
  }
  Exec("INSERT INTO inventorymaster (SystemID, InventoryDatacollectionStatus) VALUES (500, 0), "
       "(501, 1);"
       "INSERT INTO perfinstance_collectiondetails (SystemID, PollerID) VALUES (600, 12), (601, 11);"
       "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID, "
       "MonitoringID) VALUES (1, 1, 11, 500, 0), (1, 1, 11, 501, 0), (1, 2, 12, 501, 0), "
       "(1, 7, 13, 501, 0), (1, 9, 14, 9000, 600), (1, 5, 15, 9001, 601)");

  SignallingRelatedModules(g_pDBI);

  for (const Step& s : steps) {
    EXPECT_EQ(Received(*s.listener), Datagrams{Signal(s.signalType)}) << "task type " << s.taskType;
  }
  // Inventory steps print fixed numbers; the performance steps the type sent.
  EXPECT_EQ(CountLogged(8, Sending(uncollected.Port(), 3)), 1);
  EXPECT_EQ(CountLogged(8, Sending(inventoried.Port(), 8)), 1);
  EXPECT_EQ(CountLogged(8, Sending(eventLog.Port(), 8)), 1);
  EXPECT_EQ(CountLogged(8, Sending(poller12.Port(), 49)), 1);
  EXPECT_EQ(CountLogged(8, Sending(poller11.Port(), 45)), 1);
}

TEST_F(SignallingTest, SyslogAndSnmpTrapInputsAreSignalledOnceUntilANewInputArrives) {
  UdpListener syslogA, syslogB, trapsA, trapsB;
  AddProbe(1, 1);
  AddProcess(1, 21, syslogA.Port());
  AddProcess(1, 22, syslogB.Port());
  AddProcess(1, 23, trapsA.Port());
  AddProcess(1, 24, trapsB.Port());
  AddTask(21, 10, 0, 60, 21);
  AddTask(22, 12, 0, 61, 23);
  Exec("INSERT INTO processmapper (ProcessNo, TaskID) VALUES (22, 21), (24, 22)");
  Exec("INSERT INTO loganalyzer_otherinputsettings (SysLogCollect, SNMPTraps) VALUES "
       "('00000001', '1'), ('00000000', '0')");

  auto received = [](UdpListener& a, UdpListener& b) {
    Datagrams all = Received(a);
    for (auto& d : Received(b)) all.push_back(d);
    return all;
  };

  SignallingRelatedModules(g_pDBI);
  // Two targets each, but one signal per kind of input, carrying the row's
  // type while the log shows the fixed numbers 21 and 22.
  EXPECT_EQ(received(syslogA, syslogB), Datagrams{Signal(60)});
  EXPECT_EQ(received(trapsA, trapsB), Datagrams{Signal(61)});
  EXPECT_EQ(LogTexts(8).size(), 2u);
  for (const std::string& line : LogTexts(8)) {
    EXPECT_TRUE(line.ends_with(" TYPE:SH_SYSLOG_MAP_UPDATE_SIGNAL:21") ||
                line.ends_with(" TYPE:SH_SNMPTRAPS_MAP_UPDATE_SIGNAL:22"))
        << line;
  }
  EXPECT_EQ(Query("SELECT SysLogCollect, SysLog_SignalStatus, SNMPTraps, SNMPTraps_SignalStatus "
                  "FROM loganalyzer_otherinputsettings ORDER BY ID"),
            (Rows{{"00000001", "1", "1", "1"}, {"00000000", "0", "0", "0"}}));

  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(received(syslogA, syslogB), Datagrams{});
  EXPECT_EQ(received(trapsA, trapsB), Datagrams{});
  EXPECT_EQ(CountLogged(16, kNoSyslog), 1);
  EXPECT_EQ(CountLogged(16, kNoSnmpTraps), 1);

  Exec("INSERT INTO loganalyzer_otherinputsettings (SysLogCollect, SNMPTraps) VALUES "
       "('00000010', '0')");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(received(syslogA, syslogB), Datagrams{Signal(60)});
  EXPECT_EQ(received(trapsA, trapsB), Datagrams{});
}

TEST_F(SignallingTest, MeteringIsSignalledOnlyWithANumericCollectionTime) {
  UdpListener metering;
  AddProbe(1, 1);
  AddProcess(1, 31, metering.Port());
  AddTask(31, 16, 0, 70, 31);
  Exec("INSERT INTO probescheduledetail (ProbeID, TaskTypeID, ProbeSchedulerID) VALUES (1, 16, 700);"
       "INSERT INTO softwaremeterdetail (SystemID, CollectionStatus, CollectionAttemptTime) "
       "VALUES (700, 0, NOW() - INTERVAL 60 MINUTE)");

  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(Received(metering), Datagrams{});

  Exec("INSERT INTO configsettings VALUES ('SOFTWARE_METER_COLLECTION_TIME', '30 or 1=1')");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(Received(metering), Datagrams{});
  EXPECT_EQ(CountLogged(2, "SignallingRelatedModules: SOFTWARE_METER_COLLECTION_TIME '30 or "
                           "1=1' is not a number so software metering is not signalled"),
            1);

  Exec("UPDATE configsettings SET SettingValue = '30'");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(Received(metering), Datagrams{Signal(70)});
  EXPECT_EQ(CountLogged(8, "Sending software metering signal: Host:127.0.0.1 Port:" +
                               std::to_string(metering.Port()) + " SignalType:70"),
            1);

  // Collections attempted more recently than the collection time wait.
  Exec("UPDATE configsettings SET SettingValue = '90'");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(Received(metering), Datagrams{});
}

}  // namespace
}  // namespace korbtest
