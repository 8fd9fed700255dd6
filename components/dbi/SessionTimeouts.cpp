#include "SessionTimeouts.h"

#include <ma_pvio.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "utilLib.h"

namespace dbi {

namespace {

MARIADB_PVIO* Transport(MYSQL* mysql) {
  MARIADB_PVIO* pvio = mysql == nullptr ? nullptr : mysql->net.pvio;
  if (pvio == nullptr || pvio->methods == nullptr || pvio->methods->set_timeout == nullptr ||
      pvio->methods->get_timeout == nullptr)
    return nullptr;
  return pvio;
}

int64_t NowMs() { return Clock::MonotonicMicros() / 1000; }

}  // namespace

std::string ArmKeepalive(MYSQL* mysql) {
  const my_socket fd = mysql_get_socket(mysql);
  if (fd < 0) return "the session has no socket";
  int domain = 0;
  socklen_t length = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
    return Format("reading the socket's family failed: %s", std::strerror(errno));
  if (domain != AF_INET && domain != AF_INET6) return "";
  const int on = 1;
  const int idle = kKeepaliveIdleSeconds;
  const int interval = kKeepaliveIntervalSeconds;
  // Probes until kDeadPeerSeconds have passed; the user time-out ends the
  // connection then, and also bounds data that the peer never
  // acknowledges.
  const int count = (kDeadPeerSeconds - kKeepaliveIdleSeconds) / kKeepaliveIntervalSeconds;
  const unsigned int user_timeout_ms = kDeadPeerSeconds * 1000U;
  struct Option {
    int level;
    int name;
    const void* value;
    socklen_t size;
    const char* label;
  };
  const Option options[] = {
      {SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on), "SO_KEEPALIVE"},
      {IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle), "TCP_KEEPIDLE"},
      {IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval), "TCP_KEEPINTVL"},
      {IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count), "TCP_KEEPCNT"},
      {IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof(user_timeout_ms),
       "TCP_USER_TIMEOUT"},
  };
  for (const Option& option : options)
    if (setsockopt(fd, option.level, option.name, option.value, option.size) != 0)
      return Format("setting %s failed: %s", option.label, std::strerror(errno));
  return "";
}

bool SetWaitLimit(MYSQL* mysql, unsigned int seconds) {
  MARIADB_PVIO* pvio = Transport(mysql);
  if (pvio == nullptr) return false;
  const int limit = static_cast<int>(seconds);
  return pvio->methods->set_timeout(pvio, PVIO_READ_TIMEOUT, limit) == 0 &&
         pvio->methods->set_timeout(pvio, PVIO_WRITE_TIMEOUT, limit) == 0;
}

PingResult PingWithin(MYSQL* mysql, unsigned int seconds) {
  MARIADB_PVIO* pvio = Transport(mysql);
  if (pvio == nullptr) return PingResult::kGone;
  const int read_limit = pvio->methods->get_timeout(pvio, PVIO_READ_TIMEOUT);
  const int write_limit = pvio->methods->get_timeout(pvio, PVIO_WRITE_TIMEOUT);
  const int limit = static_cast<int>(seconds);
  pvio->methods->set_timeout(pvio, PVIO_READ_TIMEOUT, limit);
  pvio->methods->set_timeout(pvio, PVIO_WRITE_TIMEOUT, limit);
  const int64_t started_ms = NowMs();
  const bool answered = mysql_ping(mysql) == 0;
  const int64_t waited_ms = NowMs() - started_ms;
  if (!answered)
    return waited_ms >= static_cast<int64_t>(seconds) * 900 ? PingResult::kSilent
                                                            : PingResult::kGone;
  pvio->methods->set_timeout(pvio, PVIO_READ_TIMEOUT, read_limit);
  pvio->methods->set_timeout(pvio, PVIO_WRITE_TIMEOUT, write_limit);
  return PingResult::kAlive;
}

}  // namespace dbi
