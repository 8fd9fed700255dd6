#include "SupervisorReadiness.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ProcessState.h"

void NotifySupervisorReady(int supervisorPid) {
  const char* asked = std::getenv("KORB_NOTIFY_SUPERVISOR");
  if (asked == nullptr || std::strcmp(asked, "1") != 0 || supervisorPid <= 0)
    return;
  if (kill(supervisorPid, SIGUSR1) != 0) {
    KLOG(KORB_LOG_ERROR, "Start-up notice to the supervisor (pid %d) failed: %s",
         supervisorPid, std::strerror(errno));
    return;
  }
  KLOG(KORB_LOG_TRACE, "Start-up notice sent to the supervisor (pid %d)",
       supervisorPid);
}
