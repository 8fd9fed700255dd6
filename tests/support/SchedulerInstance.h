// One scheduler instance of a test that runs several: an install folder
// and a lock folder of its own under the test's install folder, so that to
// the scheduler it is a host of its own.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "DaemonProcess.h"

namespace korbtest {

struct SchedulerInstance {
  std::string dir;
  std::unique_ptr<DaemonProcess> process;

  std::string Log() const;
  bool LogHas(const std::string& text) const;
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
};

// Makes <root>/<name> and its lock folder and starts the daemon there;
// options.env gains KORB_INSTALL_DIR and KORB_LOCK_DIR.
void StartSchedulerInstance(SchedulerInstance& instance, const std::string& root,
                            const std::string& name, DaemonOptions options);

}  // namespace korbtest
