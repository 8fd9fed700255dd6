// Role notices of a scheduler instance to a supervisor that asked for
// notices (KORB_NOTIFY_SUPERVISOR=1, as korb-supervisor sets it): whether
// the instance stands by or is active under the scheduler lease. Each
// notice is a queued real-time signal (RoleNoticeSignal()) whose value is
// the role, sent once per change of role, so the supervisor learns of
// every change as it happens and in the order it happened (queued signals
// of one number arrive in order and are never merged). An instance with
// the lease off sends none.
//
// Thread-safe: sigqueue() only.
#pragma once

#include <string>

// SIGRTMIN + 1: apart from the progress notices (LoopProgressSignal()).
int RoleNoticeSignal();

enum class RoleNotice : int { kStandby = 1, kActive = 2 };

// The role a notice's value names; nullptr for a value that names none.
const char* RoleNoticeName(int value);

// Sends role to supervisorPid when the environment asks for notices (true
// without sending otherwise). False with *error when the send failed.
bool SendRoleNotice(int supervisorPid, RoleNotice role, std::string* error);
