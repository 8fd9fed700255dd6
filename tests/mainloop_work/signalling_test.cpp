// Related-module signalling against the main database: listeners bound on
// loopback receive the datagrams of each step.
#include "ModuleSignalling.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Datagrams = std::vector<std::vector<std::string>>;

constexpr char kStart[] = "SignallingRelatedModules - START ";
constexpr char kEnd[] = "SignallingRelatedModules - END ";
constexpr char kNoJobs[] = "SignallingRelatedModules: No jobs to signal";
constexpr char kNoSyslog[] = "SignallingRelatedModules:: No newly syslog configured nodes to signal";
constexpr char kNoTraps[] = "SignallingRelatedModules:: No newly SnmpTraps configured nodes to signal";

class SignallingTest : public WorkTest {
 protected:
  void SetUp() override {
    WorkTest::SetUp();
    StartProcess();
  }
  // Sends are synchronous; the window only absorbs scheduling delays.
  static Datagrams Received(UdpListener& l) { return l.Drain(std::chrono::milliseconds(100)); }
  static Datagrams Signal(int type) { return {{std::to_string(type), "0", "0", "0"}}; }
};

TEST_F(SignallingTest, AnEmptyDatabaseLogsOneNoTargetLinePerStep) {
  SignallingRelatedModules(g_pDBI);
  // With a collection time the metering step looks for targets too.
  Exec("INSERT INTO configsettings VALUES ('SOFTWARE_METER_COLLECTION_TIME', '30')");
  SignallingRelatedModules(g_pDBI);
  const Texts steps = {kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoJobs, kNoSyslog, kNoTraps};
  Texts expected = {kStart};
  expected.insert(expected.end(), steps.begin(), steps.end());
  expected.insert(expected.end(), {kEnd, kStart});
  expected.insert(expected.end(), steps.begin(), steps.end());
  expected.insert(expected.end(), {kNoJobs, kEnd});
  EXPECT_EQ(Logged(0), expected);
}

TEST_F(SignallingTest, OnlyDueWaitingSignalRequiredJobsOnActiveProbesAreSignalled) {
  // Probe n (type n) runs process n on its own listener, serving task 1.
  UdpListener due, future, running, silentType, inactiveProbe;
  UdpListener* listeners[] = {&due, &future, &running, &silentType, &inactiveProbe};
  for (int n = 1; n <= 5; ++n) {
    Exec(Format("INSERT INTO probemaster (ProbeID, HostName, ProbeType, Status) "
                "VALUES (%d, '127.0.0.1', %d, %d);"
                "INSERT INTO kovaorbprocessmaster (ProbeType, ProcessNo, PortNumber) VALUES (%d, %d, %d);"
                "INSERT INTO processmapper (ProcessNo, TaskID) VALUES (%d, 1)",
                n, n, n == 5 ? 0 : 1, n, n, listeners[n - 1]->Port(), n));
  }
  Exec("INSERT INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType) VALUES (1, 3, 7, 33);"
       "INSERT INTO jobtypemaster (JobTypeID, IsSignalRequiredForJob) VALUES (100, 1), (200, 0);"
       "INSERT INTO jobdetails (JobID, JobTypeID, ScheduleTime, Status) VALUES "
       "(1, 100, NOW() - INTERVAL 1 MINUTE, 0), (2, 100, NOW() - INTERVAL 5 MINUTE, 0), "
       "(3, 100, NOW() + INTERVAL 1 HOUR, 0), (4, 100, NOW() - INTERVAL 1 MINUTE, 2), "
       "(5, 200, NOW() - INTERVAL 1 MINUTE, 0), (6, 100, NOW() - INTERVAL 1 MINUTE, 0);"
       // Jobs 1 and 2 both wait on probe 1.
       "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
       "VALUES (1, 3, 7, 1), (1, 3, 7, 2), (2, 3, 7, 3), (3, 3, 7, 4), (4, 3, 7, 5), (5, 3, 7, 6)");

  for (int run = 1; run <= 2; ++run) {  // nothing is marked: signalled again
    SignallingRelatedModules(g_pDBI);
    EXPECT_EQ(Received(due), Signal(33));
    for (UdpListener* none : {&future, &running, &silentType, &inactiveProbe}) {
      EXPECT_EQ(Received(*none), Datagrams{});
    }
  }
}

TEST_F(SignallingTest, InventoryAndPerformanceStepsSendTheRowTypeWhateverTheyLog) {
  UdpListener uncollected, inventoried, eventLog, poller12, poller11;
  struct Step {
    int taskType, signalType, shownType;
    UdpListener* listener;
  };
  const Step steps[] = {{1, 41, 3, &uncollected}, {2, 42, 8, &inventoried}, {7, 47, 8, &eventLog},
                        {9, 49, 49, &poller12},   {5, 45, 45, &poller11}};
  for (int i = 0; i < 5; ++i) {
    AddTarget(11 + i, steps[i].listener->Port(), 11 + i, steps[i].taskType, steps[i].signalType);
  }
  Exec("INSERT INTO inventorymaster (SystemID, InventoryDatacollectionStatus) VALUES (500, 0), (501, 1);"
       "INSERT INTO perfinstance_collectiondetails (SystemID, PollerID) VALUES (600, 12), (601, 11);"
       "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID, "
       "MonitoringID) VALUES (1, 1, 11, 500, 0), (1, 1, 11, 501, 0), (1, 2, 12, 501, 0), "
       "(1, 7, 13, 501, 0), (1, 9, 14, 0, 600), (1, 5, 15, 0, 601)");

  SignallingRelatedModules(g_pDBI);

  for (const Step& s : steps) {
    EXPECT_EQ(Received(*s.listener), Signal(s.signalType)) << "task type " << s.taskType;
    EXPECT_EQ(CountLogged(8, Format("SENDING SIGNAL TO HOST 127.0.0.1 PORT %d TYPE %d",
                                    s.listener->Port(), s.shownType)), 1) << s.taskType;
  }
}

TEST_F(SignallingTest, SyslogAndSnmpTrapInputsAreSignalledOnceUntilANewInputArrives) {
  UdpListener syslog[2], traps[2];
  AddTarget(21, syslog[0].Port(), 21, 10, 60);
  AddTarget(22, syslog[1].Port(), 21, 10, 60);
  AddTarget(23, traps[0].Port(), 22, 12, 61);
  AddTarget(24, traps[1].Port(), 22, 12, 61);
  Exec("INSERT INTO loganalyzer_otherinputsettings (SysLogCollect, SNMPTraps) VALUES "
       "('00000001', '1'), ('00000000', '0')");
  auto received = [](UdpListener (&pair)[2]) {
    Datagrams all = Received(pair[0]);
    for (auto& d : Received(pair[1])) all.push_back(d);
    return all;
  };

  // Two targets each, one signal per kind of input, carrying the row's
  // type while the log shows the fixed numbers 21 and 22.
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(received(syslog), Signal(60));
  EXPECT_EQ(received(traps), Signal(61));
  const Texts sent = Logged(8);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(sent[0].ends_with(" TYPE:SH_SYSLOG_MAP_UPDATE_SIGNAL:21")) << sent[0];
  EXPECT_TRUE(sent[1].ends_with(" TYPE:SH_SNMPTRAPS_MAP_UPDATE_SIGNAL:22")) << sent[1];
  EXPECT_EQ(Query("SELECT SysLog_SignalStatus, SNMPTraps_SignalStatus FROM loganalyzer_otherinputsettings "
                  "ORDER BY ID"), (Rows{{"1", "1"}, {"0", "0"}}));

  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(received(syslog), Datagrams{});
  EXPECT_EQ(received(traps), Datagrams{});

  Exec("INSERT INTO loganalyzer_otherinputsettings (SysLogCollect) VALUES ('00000010')");
  SignallingRelatedModules(g_pDBI);
  EXPECT_EQ(received(syslog), Signal(60));
  EXPECT_EQ(received(traps), Datagrams{});
}

TEST_F(SignallingTest, MeteringIsSignalledOnlyWithANumericCollectionTime) {
  UdpListener metering;
  AddTarget(31, metering.Port(), 31, 16, 70);
  Exec("INSERT INTO probescheduledetail (ProbeID, TaskTypeID, ProbeSchedulerID) VALUES (1, 16, 700);"
       "INSERT INTO softwaremeterdetail (SystemID, CollectionAttemptTime) "
       "VALUES (700, NOW() - INTERVAL 60 MINUTE)");
  SignallingRelatedModules(g_pDBI);  // no collection time
  EXPECT_EQ(Received(metering), Datagrams{});
  for (const std::string minutes : {"30 or 1=1", "90", "30"}) {
    Exec("REPLACE INTO configsettings VALUES ('SOFTWARE_METER_COLLECTION_TIME', '" + minutes + "')");
    // A bad value is read at every run and reported at the first only.
    for (int run = 0; run < (minutes == "30" ? 1 : 3); ++run) {
      SignallingRelatedModules(g_pDBI);
      EXPECT_EQ(Received(metering), minutes == "30" ? Signal(70) : Datagrams{}) << minutes;
    }
  }
  EXPECT_EQ(Logged(2), Texts{"SignallingRelatedModules: SOFTWARE_METER_COLLECTION_TIME '30 or 1=1' "
                             "is not a number so software metering is not signalled"});
}

}  // namespace
}  // namespace korbtest
