#include "RoleNotice.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

int RoleNoticeSignal() { return SIGRTMIN + 1; }

const char* RoleNoticeName(int value) {
  switch (static_cast<RoleNotice>(value)) {
    case RoleNotice::kStandby: return "standby";
    case RoleNotice::kActive: return "active";
  }
  return nullptr;
}

bool SendRoleNotice(int supervisorPid, RoleNotice role, std::string* error) {
  const char* asked = std::getenv("KORB_NOTIFY_SUPERVISOR");
  if (asked == nullptr || std::strcmp(asked, "1") != 0 || supervisorPid <= 0) return true;
  sigval value{};
  value.sival_int = static_cast<int>(role);
  if (sigqueue(supervisorPid, RoleNoticeSignal(), value) == 0) return true;
  *error = std::strerror(errno);
  return false;
}
