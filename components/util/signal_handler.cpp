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
// A readable socket is emptied up to kBatchSize datagrams with one
// recvmmsg; the waits that follow hand them out one by one, in arrival
// order, each after the due events exactly as if it were still queued in
// the socket, and poll again only once the batch is used up.
//
// Datagrams come from any host that can reach the port; everything they
// can make the receiver log goes through a rate limiter.
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
#include "socket_ops.h"
#include "timeout_table.h"
#include "utilLib.h"

namespace {

const char kLogSource[] = "utilLib";

// Datagrams taken from the socket per recvmmsg.
constexpr size_t kBatchSize = 32;
// One byte more than a signal, so that MSG_TRUNC's full length is the only
// thing that tells an oversized datagram apart.
constexpr size_t kSlotSize = kSignalDatagramSize + 1;

// Datagrams received together, handed out one at a time.
class DatagramBatch {
 public:
  DatagramBatch()
      : data_(kBatchSize * kSlotSize),
        peers_(kBatchSize),
        iovecs_(kBatchSize),
        headers_(kBatchSize) {
    for (size_t i = 0; i < kBatchSize; ++i) {
      iovecs_[i].iov_base = data_.data() + i * kSlotSize;
      iovecs_[i].iov_len = kSlotSize;
      memset(&headers_[i], 0, sizeof(headers_[i]));
      headers_[i].msg_hdr.msg_name = peers_[i].Storage();
      headers_[i].msg_hdr.msg_iov = &iovecs_[i];
      headers_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  bool Empty() const { return next_ >= count_; }

  // Refills an empty batch without blocking.
  sockets::ReceiveResult Fill(int fd, std::string* error) {
    next_ = count_ = 0;
    // The kernel shortens each address length to the sender's.
    for (mmsghdr& header : headers_) header.msg_hdr.msg_namelen = sockets::Peer::kSize;
    for (;;) {
      // MSG_TRUNC makes each msg_len the datagram's full length.
      const int n = recvmmsg(fd, headers_.data(), kBatchSize,
                             MSG_DONTWAIT | MSG_TRUNC, nullptr);
      if (n > 0) {
        count_ = static_cast<size_t>(n);
        return sockets::ReceiveResult::kReceived;
      }
      if (n == 0) return sockets::ReceiveResult::kNothing;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return sockets::ReceiveResult::kNothing;
      if (error) *error = sockets::ErrorText("recvmmsg", errno);
      return sockets::ReceiveResult::kFailed;
    }
  }

  // The next datagram. REQUIRES: !Empty().
  const unsigned char* Take(size_t* length, const sockets::Peer** peer) {
    const size_t i = next_++;
    *length = headers_[i].msg_len;
    *peer = &peers_[i];
    return data_.data() + i * kSlotSize;
  }

 private:
  std::vector<unsigned char> data_;
  std::vector<sockets::Peer> peers_;
  std::vector<iovec> iovecs_;
  std::vector<mmsghdr> headers_;
  size_t next_ = 0;
  size_t count_ = 0;
};

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
  LogRateLimiter refusals;  // one kind: refused or failed receives
  DatagramBatch batch;
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

  void LogError(int line, const char* fmt, ...) KORB_PRINTF(3, 4);
  void Wake() {
    const uint64_t one = 1;
    if (wake >= 0 && write(wake, &one, sizeof(one)) < 0) {
      // The counter is already non-zero (EAGAIN): the waiter wakes anyway.
    }
  }

  bool Open(int identifier, const SignalReceiverOptions& options);
  void SizeReceiveBuffer(long bytes);
  void ArmTimer(int64_t deadline_us);
  // The next due event (0 when none), with its lateness counted.
  int TakeDue() {
    int64_t deadline = 0;
    const int64_t now = Clock::MonotonicMicros();
    const int k = table.TakeDue(now, &deadline);
    if (k != 0) metrics::TimeoutEventDue(k, now - deadline);
    return k;
  }
  // Returns 0 (info filled), -1 (failure) or 1 (nothing there after all).
  int Receive(CSignalInfo& info);
  int Decode(CSignalInfo& info);
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

int CSignalHandler::Impl::Receive(CSignalInfo& info) {
  if (!batch.Empty()) return Decode(info);
  std::string error;
  switch (batch.Fill(sock, &error)) {
    case sockets::ReceiveResult::kNothing:
      return 1;
    case sockets::ReceiveResult::kFailed:
      metrics::DatagramRefused(metrics::Refusal::kReceiveError);
      KORBLogLimited(logger, refusals, std::string(), __LINE__, kLogSource,
                     KORB_LOG_ERROR, "CSignalHandler: %s", error.c_str());
      return -1;
    case sockets::ReceiveResult::kReceived:
      break;
  }
  return Decode(info);
}

// The next datagram of the batch. REQUIRES: !batch.Empty().
int CSignalHandler::Impl::Decode(CSignalInfo& info) {
  size_t length = 0;
  const sockets::Peer* peer = nullptr;
  const unsigned char* data = batch.Take(&length, &peer);
  if (!info.Decode(data, length)) {
    metrics::DatagramRefused(metrics::Refusal::kLength);
    KORBLogLimited(logger, refusals, std::string(), __LINE__, kLogSource,
                   KORB_LOG_ERROR,
                   "CSignalHandler: refused signal datagram from %s: %zu "
                   "bytes instead of %zu",
                   peer->Text().c_str(), length, kSignalDatagramSize);
    return -1;
  }
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

int CSignalHandler::WaitForSignal(CSignalInfo& info, char* /*text*/) {
  Impl& d = *impl_;
  if (!d.ready) return -1;
  if (d.last_was_event) {
    d.last_was_event = false;
    if (!d.batch.Empty()) return d.Decode(info);
    pollfd pending = {d.sock, POLLIN, 0};
    if (poll(&pending, 1, 0) > 0 && pending.revents != 0) {
      const int result = d.Receive(info);
      if (result <= 0) return result;
    }
  }
  for (;;) {
    if (int k = d.TakeDue()) {
      d.last_was_event = true;
      return k;
    }
    if (!d.batch.Empty()) return d.Decode(info);
    int64_t deadline = 0;
    d.ArmTimer(d.table.EarliestDeadline(&deadline) ? deadline : 0);

    pollfd fds[3] = {{d.sock, POLLIN, 0}, {d.timer, POLLIN, 0},
                     {d.wake, POLLIN, 0}};
    const int n = poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      d.LogError(__LINE__, "CSignalHandler: %s",
                 sockets::ErrorText("poll", errno).c_str());
      return -1;
    }
    if (fds[1].revents != 0) DrainCounter(d.timer);
    if (fds[2].revents != 0) DrainCounter(d.wake);
    if (int k = d.TakeDue()) {
      d.last_was_event = true;
      return k;
    }
    if (fds[0].revents != 0) {
      const int result = d.Receive(info);
      if (result <= 0) return result;
    }
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
