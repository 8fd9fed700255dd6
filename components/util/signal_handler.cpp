// The signal receiver: UDP datagrams and periodic timeout events through
// one blocking wait.
//
// WaitForSignal polls three descriptors with no time-out: the UDP socket,
// a timerfd armed on CLOCK_MONOTONIC at the earliest deadline (absolute,
// so re-arming never shifts a deadline), and an eventfd that ResetEvent
// and DisableTimeoutEvent write from other threads so the waiter
// re-reads the deadline table. Nothing wakes it otherwise, so an idle
// process sleeps in poll(). The timer is set again only when the earliest
// deadline has changed, which a stream of datagrams does not do.
//
// Every wait first empties the socket (recvmmsg, up to kMaxDrainRounds
// batches) into the receiver's own queue, where a run of identical
// datagrams becomes one entry; the waits then hand the entries out one by
// one, in arrival order, each after the due events exactly as if it were
// still queued in the socket. A signal identical to the one handed out
// last is held, with the queue behind it, until the hold after the
// caller's return has passed; the timer covers the end of the hold.
//
// Datagrams come from any host that can reach the port unless an allow
// list is set; everything they can make the receiver log goes through a
// rate limiter, with one key per kind (wrong length, failed receive,
// refused sender) so one kind cannot hide another.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scheduler_metrics.h"
#include "signal_queue.h"
#include "socket_ops.h"
#include "timeout_table.h"
#include "utilLib.h"

namespace {

const char kLogSource[] = "utilLib";

// Batches taken per wait at most: a flood faster than that stays in the
// kernel until the next wait.
constexpr int kMaxDrainRounds = 128;

void DrainCounter(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof(value)) > 0) {
  }
}

}  // namespace

struct CSignalHandler::Impl {
  Impl(const std::vector<int>& periods, CLogger* log)
      : table(periods, Clock::Scale(), Clock::MonotonicMicros()),
        logger(log) {}

  TimeoutTable table;
  CLogger* logger;
  LogRateLimiter refusals;  // keys: "length", "receive_error", "sender <address>"
  signalqueue::DatagramBatch batch;
  signalqueue::PendingQueue queue;
  std::vector<AddressPrefix> allow;
  int64_t hold_us = 0;
  int64_t armed_deadline_us = -1;  // what the timer is set to; 0 disarmed
  int sock = -1;
  int timer = -1;
  int wake = -1;
  int port = -1;
  bool ready = false;
  // Set when the last wait returned an event: the next wait then serves a
  // waiting datagram first, so a loop that is always behind on its events
  // still hears its signals (an end signal above all).
  bool last_was_event = false;
  // The signal handed out last, and when an identical one may follow.
  unsigned char last_signal[kSignalDatagramSize] = {};
  bool have_last_signal = false;
  bool last_was_signal = false;
  int64_t hold_until_us = 0;
  uint64_t repeats = 0;
  ReceiveFailure failure = ReceiveFailure::kReceiveError;

  void LogError(int line, const char* fmt, ...) KORB_PRINTF(3, 4);
  void Wake() {
    const uint64_t one = 1;
    if (wake >= 0 && write(wake, &one, sizeof(one)) < 0) {
      // The counter is already non-zero (EAGAIN): the waiter wakes anyway.
    }
  }

  bool Open(int identifier, const SignalReceiverOptions& options);
  void SizeReceiveBuffer(long bytes);
  void WarnWhenOpen(const std::string& address);
  void ArmTimer(int64_t deadline_us);
  // The next due event (0 when none), with its lateness counted.
  int TakeDue() {
    int64_t deadline = 0;
    const int64_t now = Clock::MonotonicMicros();
    const int k = table.TakeDue(now, &deadline);
    if (k != 0) metrics::TimeoutEventDue(k, now - deadline);
    return k;
  }
  // Moves what the socket holds into the queue.
  void Drain();
  void Take(const signalqueue::DatagramBatch& taken);
  // The queue's first entry as a wait result: 0 (info filled), -1, or
  // kNothing when the queue is empty or its first signal is held (then
  // *held_until is the end of the hold).
  static constexpr int kNothing = 1;
  int HandOut(CSignalInfo& info, int64_t now, int64_t* held_until);
};

void CSignalHandler::Impl::LogError(int line, const char* fmt, ...) {
  if (logger == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  const std::string message = FormatV(fmt, ap);
  va_end(ap);
  logger->KORBLog(line, kLogSource, KORB_LOG_ERROR, "%s", message.c_str());
}

bool CSignalHandler::Impl::Open(int identifier,
                                const SignalReceiverOptions& options) {
  if (identifier < 1 || identifier > 65535) {
    LogError(__LINE__, "CSignalHandler: identifier %d is not a UDP port",
             identifier);
    return false;
  }
  const char* env = getenv("KORB_SIGNAL_BIND");
  std::string address = env != nullptr && env[0] != '\0' ? env : options.address;
  if (address.empty()) address = "0.0.0.0";
  std::string error;
  sock = sockets::CreateUdpSocket(AF_INET, true, &error);
  if (sock < 0 || !sockets::BindIPv4(sock, address, identifier, &error)) {
    LogError(__LINE__, "CSignalHandler: cannot listen for signals: %s",
             error.c_str());
    return false;
  }
  port = sockets::LocalPort(sock);
  allow = options.allow;
  if (!allow.empty()) {
    // The supervisor sends its end signal from this host: to the bound
    // address, or to 127.0.0.1 when the receiver listens on all of them.
    std::vector<AddressPrefix> own;
    if (ParseAddressPrefixes(address == "0.0.0.0" ? "127.0.0.1" : address, &own, nullptr))
      allow.insert(allow.end(), own.begin(), own.end());
  }
  hold_us = options.repeatHoldMs > 0
                ? static_cast<int64_t>(Clock::ScaledMs(options.repeatHoldMs)) * 1000
                : 0;
  WarnWhenOpen(address);
  SizeReceiveBuffer(options.receiveBufferBytes);
  timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer < 0) {
    LogError(__LINE__, "CSignalHandler: %s",
             sockets::ErrorText("timerfd_create", errno).c_str());
    return false;
  }
  wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    LogError(__LINE__, "CSignalHandler: %s",
             sockets::ErrorText("eventfd", errno).c_str());
    return false;
  }
  return true;
}

// A buffer smaller than asked is no reason to stop: signals still arrive,
// a burst may just lose some. The log says what the kernel granted.
void CSignalHandler::Impl::SizeReceiveBuffer(long bytes) {
  if (bytes <= 0) return;
  long granted = 0;
  std::string error;
  if (!sockets::SetReceiveBuffer(sock, bytes, &granted, &error)) {
    LogError(__LINE__, "CSignalHandler: receive buffer of %ld bytes: %s",
             bytes, error.c_str());
    return;
  }
  if (logger == nullptr) return;
  // The kernel reports twice the size it was set to (its bookkeeping
  // counts), so a granted figure below twice the request means it capped it.
  if (granted / 2 < bytes) {
    logger->KORBLog(__LINE__, kLogSource, KORB_LOG_WARNING,
                    "CSignalHandler: receive buffer of %ld bytes asked, the "
                    "kernel granted %ld (its figure, twice the data it holds); "
                    "raise net.core.rmem_max to allow more",
                    bytes, granted);
  } else {
    logger->KORBLog(__LINE__, kLogSource, KORB_LOG_INFO,
                    "CSignalHandler: receive buffer of %ld bytes asked, the "
                    "kernel granted %ld (its figure, twice the data it holds)",
                    bytes, granted);
  }
}

// A receiver that any host can reach and that takes every sender says so
// once: any such host can end the process with one datagram.
void CSignalHandler::Impl::WarnWhenOpen(const std::string& address) {
  if (logger == nullptr || !allow.empty()) return;
  in_addr bound;
  if (inet_pton(AF_INET, address.c_str(), &bound) == 1 &&
      (ntohl(bound.s_addr) >> 24) == 127)
    return;
  logger->KORBLog(__LINE__, kLogSource, KORB_LOG_WARNING,
                  "CSignalHandler: signals on %s:%d are taken from every sender that reaches "
                  "the port; korb-signal-allow limits the senders",
                  address.c_str(), port);
}

// deadline_us 0 disarms the timer.
void CSignalHandler::Impl::ArmTimer(int64_t deadline_us) {
  if (deadline_us == armed_deadline_us) return;
  armed_deadline_us = deadline_us;
  itimerspec timer_value;
  memset(&timer_value, 0, sizeof(timer_value));
  if (deadline_us > 0) {
    timer_value.it_value.tv_sec = static_cast<time_t>(deadline_us / 1000000);
    timer_value.it_value.tv_nsec = static_cast<long>(deadline_us % 1000000) * 1000;
  }
  // Cannot fail with a valid descriptor and normalised value.
  timerfd_settime(timer, TFD_TIMER_ABSTIME, &timer_value, nullptr);
}

void CSignalHandler::Impl::Drain() {
  for (int round = 0; round < kMaxDrainRounds; ++round) {
    const size_t room = queue.Room();
    if (room == 0) return;
    std::string error;
    switch (batch.Fill(sock, room, &error)) {
      case sockets::ReceiveResult::kNothing:
        return;
      case sockets::ReceiveResult::kFailed:
        metrics::DatagramRefused(metrics::Refusal::kReceiveError);
        KORBLogLimited(logger, refusals, "receive_error", __LINE__, kLogSource, KORB_LOG_ERROR,
                       "CSignalHandler: %s", error.c_str());
        queue.PushFailed();
        return;
      case sockets::ReceiveResult::kReceived:
        break;
    }
    Take(batch);
    // A short batch means the socket is empty.
    if (batch.Count() < room && batch.Count() < signalqueue::kBatchSize) return;
  }
}

// The sender is checked before anything else is looked at.
void CSignalHandler::Impl::Take(const signalqueue::DatagramBatch& taken) {
  for (size_t i = 0; i < taken.Count(); ++i) {
    const sockets::Peer& sender = taken.Sender(i);
    if (!sender.AllowedBy(allow)) {
      metrics::DatagramRefused(metrics::Refusal::kNotAllowed);
      const std::string address = sender.AddressText();
      KORBLogLimited(logger, refusals, "sender " + address, __LINE__, kLogSource,
                     KORB_LOG_WARNING,
                     "CSignalHandler: refused signal datagram from %s: the sender is not in "
                     "korb-signal-allow",
                     sender.Text().c_str());
      continue;
    }
    if (taken.Length(i) != kSignalDatagramSize) {
      metrics::DatagramRefused(metrics::Refusal::kLength);
      KORBLogLimited(logger, refusals, "length", __LINE__, kLogSource, KORB_LOG_ERROR,
                     "CSignalHandler: refused signal datagram from %s: %zu "
                     "bytes instead of %zu",
                     sender.Text().c_str(), taken.Length(i), kSignalDatagramSize);
      queue.PushRefused();
      continue;
    }
    queue.PushSignal(taken.Data(i));
  }
}

int CSignalHandler::Impl::HandOut(CSignalInfo& info, int64_t now, int64_t* held_until) {
  if (queue.Empty()) return kNothing;
  const signalqueue::Entry& entry = queue.Front();
  switch (entry.kind) {
    case signalqueue::Entry::Kind::kRefused:
      failure = ReceiveFailure::kLength;
      queue.Pop();
      return -1;
    case signalqueue::Entry::Kind::kFailed:
      failure = ReceiveFailure::kReceiveError;
      queue.Pop();
      return -1;
    case signalqueue::Entry::Kind::kSignal:
      break;
  }
  if (have_last_signal && now < hold_until_us &&
      memcmp(entry.bytes, last_signal, kSignalDatagramSize) == 0) {
    *held_until = hold_until_us;
    return kNothing;
  }
  info.Decode(entry.bytes, kSignalDatagramSize);
  repeats = entry.count - 1;
  memcpy(last_signal, entry.bytes, kSignalDatagramSize);
  have_last_signal = true;
  last_was_signal = true;
  queue.Pop();
  return 0;
}

CSignalHandler::CSignalHandler(int identifier, const std::vector<int>* periods,
                               CLogger* logger,
                               const SignalReceiverOptions& options)
    : impl_(std::make_unique<Impl>(
          periods != nullptr ? *periods : std::vector<int>(), logger)) {
  impl_->ready = impl_->Open(identifier, options);
}

CSignalHandler::~CSignalHandler() {
  sockets::Close(impl_->sock);
  if (impl_->timer >= 0) close(impl_->timer);
  if (impl_->wake >= 0) close(impl_->wake);
}

CSignalHandler::operator EObjectStatus() const {
  return impl_->ready ? OBJECT_READY : OBJECT_NOT_READY;
}

int CSignalHandler::Port() const { return impl_->ready ? impl_->port : -1; }

uint64_t CSignalHandler::LastSignalRepeats() const { return impl_->repeats; }

ReceiveFailure CSignalHandler::LastFailure() const { return impl_->failure; }

int CSignalHandler::WaitForSignal(CSignalInfo& info, char* /*text*/) {
  Impl& d = *impl_;
  if (!d.ready) return -1;
  if (d.last_was_signal) {
    // The handler of the last signal has just finished: an identical one
    // waits from here.
    d.last_was_signal = false;
    d.hold_until_us = Clock::MonotonicMicros() + d.hold_us;
  }
  bool datagram_first = d.last_was_event;
  d.last_was_event = false;
  for (;;) {
    d.Drain();
    int64_t held_until = 0;
    if (datagram_first) {
      datagram_first = false;
      const int result = d.HandOut(info, Clock::MonotonicMicros(), &held_until);
      if (result != Impl::kNothing) return result;
    }
    if (int k = d.TakeDue()) {
      d.last_was_event = true;
      return k;
    }
    const int result = d.HandOut(info, Clock::MonotonicMicros(), &held_until);
    if (result != Impl::kNothing) return result;

    int64_t deadline = 0;
    bool timed = d.table.EarliestDeadline(&deadline);
    if (held_until > 0 && (!timed || held_until < deadline)) {
      deadline = held_until;
      timed = true;
    }
    d.ArmTimer(timed ? deadline : 0);
    // A full queue takes nothing more from the socket (which would stay
    // readable) until an entry has been handed out.
    pollfd fds[3] = {{d.queue.Room() > 0 ? d.sock : -1, POLLIN, 0}, {d.timer, POLLIN, 0},
                     {d.wake, POLLIN, 0}};
    const int n = poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      d.LogError(__LINE__, "CSignalHandler: %s",
                 sockets::ErrorText("poll", errno).c_str());
      d.failure = ReceiveFailure::kReceiveError;
      return -1;
    }
    if (fds[1].revents != 0) DrainCounter(d.timer);
    if (fds[2].revents != 0) DrainCounter(d.wake);
  }
}

int CSignalHandler::ResetEvent(int k) {
  if (!impl_->table.Reset(k, Clock::MonotonicMicros())) return -1;
  impl_->Wake();
  return 1;
}

int CSignalHandler::DisableTimeoutEvent(int k) {
  if (!impl_->table.Disable(k)) return -1;
  impl_->Wake();
  return 1;
}
