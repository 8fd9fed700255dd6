#include "SchedulerInstance.h"

#include <sys/stat.h>

#include "HarnessInternal.h"
#include "TestDatabase.h"

namespace korbtest {

std::string SchedulerInstance::Log() const {
  return internal::ReadFile(dir + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
}

bool SchedulerInstance::LogHas(const std::string& text) const {
  return Log().find(text) != std::string::npos;
}

bool SchedulerInstance::WaitForLog(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return LogHas(text); }, timeout);
}

void StartSchedulerInstance(SchedulerInstance& instance, const std::string& root,
                            const std::string& name, DaemonOptions options) {
  instance.dir = root + "/" + name;
  mkdir(instance.dir.c_str(), 0755);
  mkdir((instance.dir + "/lock").c_str(), 0755);
  options.env["KORB_INSTALL_DIR"] = instance.dir;
  options.env["KORB_LOCK_DIR"] = instance.dir + "/lock";
  instance.process = std::make_unique<DaemonProcess>(options);
}

}  // namespace korbtest
