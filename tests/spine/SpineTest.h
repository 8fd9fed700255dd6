// Fixture for the tests that run the scheduler binary: a reference
// database with a job handler row (start-up needs one) and helpers for the
// start-up and end sequences every test goes through.
#pragma once

#include <chrono>
#include <string>

#include "DBI.h"
#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace spinetest {

using namespace std::chrono_literals;

// Generous: the sanitizer builds start slowly.
constexpr auto kStartTimeout = 60s;
constexpr auto kEndTimeout = 30s;

// Logged by the automation schedule thread, which the main loop starts
// right before its first wait, after the signal receiver is bound.
inline const char kLoopRunning[] = "PostAutomationScheduleJobs:: -- Started --";
inline const char kUnloading[] = "Unloading the module...";
inline const char kUnloaded[] = "Unloaded the module succesfully...";

class SpineTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }

  void SetConfig(const std::string& key, const std::string& value) {
    Exec(Format("replace into configsettings (SettingKey, SettingValue) values (%s, %s)",
                SqlQuote(key).c_str(), SqlQuote(value).c_str()));
  }

  static void ExpectRunning(korbtest::DaemonProcess& daemon) {
    ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, kStartTimeout))
        << "stdout: " << daemon.Stdout() << "\nlog:\n" << korbtest::DaemonLog();
  }

  static int ExitCodeOf(korbtest::ChildProcess& process) {
    int code = -1;
    EXPECT_TRUE(process.WaitExit(kEndTimeout, &code)) << "still running; log:\n" << korbtest::DaemonLog();
    return code;
  }
};

}  // namespace spinetest
