// Time bounds of a session's socket, so that a server that stops answering
// without closing the connection (a partition, a host that died) cannot
// hold a thread for the whole statement time-out.
//
// - Connecting (TCP connect, handshake, authentication, session set-up)
//   waits at most kCheckTimeoutSeconds for each answer.
// - A statement waits up to the statement time-out for its answer, as a
//   slow statement on a live server must be allowed to; meanwhile TCP
//   keepalives find a peer that is gone: after kKeepaliveIdleSeconds of
//   silence probes go out, and a peer that has answered nothing for
//   kDeadPeerSeconds (probes or data) ends the connection.
// - A ping (the check of a kept session before reuse) waits at most
//   kCheckTimeoutSeconds.
//
// The wait limits of a connected session live in the client library's
// transport object (ma_pvio.h, installed with Connector/C for its
// plugins); the options of the same name only act at connect time.
//
// Thread safety: each function works on one session, which the caller
// uses alone. Nothing here logs; failures come back as text.
#pragma once

#include <mysql.h>

#include <string>

namespace dbi {

constexpr unsigned int kCheckTimeoutSeconds = 5;
constexpr int kKeepaliveIdleSeconds = 10;
constexpr int kKeepaliveIntervalSeconds = 5;
constexpr int kDeadPeerSeconds = 30;

// Turns on TCP keepalives and the dead-peer bound on a TCP session (a Unix
// socket session needs none: its peer is on this host). "" on success,
// else what failed and why.
std::string ArmKeepalive(MYSQL* mysql);

// Every later read and write of the session waits at most seconds. False
// when the session has no transport to set.
bool SetWaitLimit(MYSQL* mysql, unsigned int seconds);

enum class PingResult {
  kAlive,
  kGone,    // an error or a closed connection
  kSilent,  // no answer within the bound
};

// COM_PING with each wait bounded by seconds; the session's own limits
// are restored afterwards.
PingResult PingWithin(MYSQL* mysql, unsigned int seconds);

}  // namespace dbi
