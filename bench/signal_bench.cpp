// The signal path. Latency from send to handler: the daemon's receiver
// (CSignalHandler, plus the receipt line the loop logs for each signal)
// against a bare recvfrom loop, one datagram in flight at a time. Drain
// rate and loss: the real daemon as a child process against the bare
// loop, counted by the kernel's receive queue and drop counter of each
// socket.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "PatchPosting.h"
#include "ProcessState.h"
#include "benchmarks.h"
#include "daemon_child.h"
#include "posting_install.h"
#include "udp_bench_socket.h"

namespace bench {

namespace {

constexpr int kStopId = 999999999;
// SH_PATCH_DOWNLOAD_SUCCESS: a known type whose handling is a log line
// and an event.
constexpr int kCheapType = 17;
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

double NowMicros() { return NowSeconds() * 1e6; }

// One round of ping-pongs: the receiver stamps each arrival, the sender
// waits for it before the next send.
struct PingRound {
  explicit PingRound(int count) : arrived(static_cast<size_t>(count) + 1) {}
  std::vector<double> arrived;
  std::mutex mutex;
  std::condition_variable cv;
  int handled = 0;
  void Arrived(long id) {
    if (id < 0 || id >= static_cast<long>(arrived.size())) return;
    arrived[static_cast<size_t>(id)] = NowMicros();
    {
      std::lock_guard<std::mutex> lock(mutex);
      handled = static_cast<int>(id) + 1;
    }
    cv.notify_one();
  }
  // False when datagram i did not arrive within a second (lost).
  bool AwaitArrival(int i) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(1), [&] { return handled >= i + 1; });
  }
};

// Latencies in microseconds. The receiver's socket is bound before the
// call; receive_loop runs on its own thread until it sees kStopId.
template <typename ReceiveLoop>
Series PingLatencies(int port, int count, ReceiveLoop receive_loop) {
  PingRound round(count);
  std::thread receiver([&] { receive_loop(round); });
  UdpSender sender(port);
  Series latencies;
  for (int i = 0; i < count; ++i) {
    const double sent = NowMicros();
    sender.Send(SignalDatagram(kCheapType, i));
    if (round.AwaitArrival(i)) latencies.Add(round.arrived[static_cast<size_t>(i)] - sent);
  }
  sender.Send(SignalDatagram(kCheapType, kStopId));
  receiver.join();
  return latencies;
}

void DaemonReceiverLoop(CSignalHandler& handler, PingRound& round) {
  for (;;) {
    CSignalInfo info;
    if (handler.WaitForSignal(info) != 0) continue;
    const long id = ToLong(info.GetSignalID());
    if (id == kStopId) return;
    KLOG(KORB_LOG_INFO, "NETWORK SIGNAL RECEIVED. Type %d", ToInt(info.GetSignalType()));
    round.Arrived(id);
  }
}

void BareReceiverLoop(BareReceiver& socket, PingRound& round) {
  for (;;) {
    const long id = socket.Receive();
    if (id == kStopId) return;
    round.Arrived(id);
  }
}

// Waits until the socket's receive queue is empty; false after 60 s.
bool WaitDrained(int port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  UdpSocketState state;
  while (ReadUdpSocket(port, &state) && state.rx_queue > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

long Drops(int port) {
  UdpSocketState state;
  ReadUdpSocket(port, &state);
  return state.drops;
}

// Datagrams drained per second: `fill` datagrams are queued while the
// receiver is held (pause), then it is let go (resume) and timed until
// its queue is empty. Sender speed plays no part. *queued gets how many
// the socket held (the fill less what it dropped).
template <typename Pause, typename Resume>
double DrainRate(int port, int fill, long* queued, Pause pause, Resume resume) {
  pause();
  const long drops = Drops(port);
  UdpSender sender(port);
  const std::string datagram = SignalDatagram(kCheapType, 0);
  for (int i = 0; i < fill; ++i) sender.Send(datagram);
  *queued = fill - (Drops(port) - drops);
  const double start = NowSeconds();
  resume();
  WaitDrained(port);
  return static_cast<double>(*queued) / SecondsSince(start);
}

// Datagrams lost while `rate` per second are sent for `seconds`; *sent
// gets how many were sent.
long LossAtRate(int port, int rate, double seconds, long* sent) {
  const long drops = Drops(port);
  UdpSender sender(port);
  const std::string datagram = SignalDatagram(kCheapType, 0);
  const int per_ms = rate / 1000;
  auto next = std::chrono::steady_clock::now();
  *sent = 0;
  for (int ms = 0; ms < static_cast<int>(seconds * 1000); ++ms) {
    for (int i = 0; i < per_ms; ++i) *sent += sender.Send(datagram);
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
  }
  WaitDrained(port);
  return Drops(port) - drops;
}

// Runs measure() while a scan posting of `targets` systems keeps the
// machine busy.
template <typename Measure>
long DuringPosting(const Context& context, int targets, Measure measure) {
  RawSession admin;
  if (!admin.Connect(context.option_file, "orb")) return -1;
  PreparePostingInstallation(admin, targets);
  CDBI* db = MainDatabase(context);
  std::thread posting([db] { PostScanJob(kScanSchedule, "0", 1, 5000, db); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long result = measure();
  posting.join();
  return result;
}

}  // namespace

void RunSignalBench(const Context& context) {
  Report& report = *context.report;
  const int pings = context.quick ? 200 : 2000;
  const int rounds = context.quick ? 2 : 5;

  Figure p50("signals.latency.p50", "us", "bare recvfrom");
  Figure p99("signals.latency.p99", "us", "bare recvfrom");
  p99.SetGoal(Goal::kRatioAtMost, 1.5);
  for (int round = 0; round < rounds; ++round) {
    const int port = FreeUdpPort();
    const std::vector<int> periods(17, 86400);
    CSignalHandler handler(port, &periods, g_pLogger);
    const Series daemon =
        PingLatencies(port, pings, [&handler](PingRound& r) { DaemonReceiverLoop(handler, r); });
    const int bare_port = FreeUdpPort();
    BareReceiver bare(bare_port, kReceiveBuffer);
    const Series base =
        PingLatencies(bare_port, pings, [&bare](PingRound& r) { BareReceiverLoop(bare, r); });
    p50.measured.Add(daemon.Percentile(50));
    p99.measured.Add(daemon.Percentile(99));
    p50.base.Add(base.Percentile(50));
    p99.base.Add(base.Percentile(99));
  }
  report.Add(p50);
  report.Add(p99);

  // The real daemon from here on.
  const int port = FreeUdpPort();
  DaemonChild daemon(context, port, 1);
  // A 4 MiB receive buffer holds about 10,000 of these datagrams; the
  // default 8,000 leave room to spare. The more a round drains, the less
  // its fixed costs weigh (the receiver's wake-up, the 1 ms steps of
  // WaitDrained). Whatever a smaller buffer drops is left out of the count.
  const int fill = context.drain_fill;
  long fewest_queued = fill;
  Figure drain("signals.drain", "datagrams/s", "bare recvfrom");
  drain.SetGoal(Goal::kValueAtLeast, 100000);
  for (int round = 0; round < rounds * 2; ++round) {
    long queued = 0;
    drain.measured.Add(DrainRate(
        port, fill, &queued, [&] { kill(daemon.Pid(), SIGSTOP); },
        [&] { kill(daemon.Pid(), SIGCONT); }));
    fewest_queued = std::min(fewest_queued, queued);
    const int bare_port = FreeUdpPort();
    BareReceiver bare(bare_port, kReceiveBuffer);
    std::thread receiver;
    drain.base.Add(DrainRate(
        bare_port, fill, &queued, [] {},
        [&] {
          receiver = std::thread([&bare] {
            while (bare.Receive() != kStopId) {
            }
          });
        }));
    fewest_queued = std::min(fewest_queued, queued);
    UdpSender(bare_port).Send(SignalDatagram(kCheapType, kStopId));
    receiver.join();
  }
  drain.note = Format("%d datagrams sent per round, at least %ld of them queued", fill,
                      fewest_queued);
  report.Add(drain);

  // 50,000/s while a posting keeps the database and both CPUs busy.
  const int targets = context.quick ? 300 : 3000;
  const double seconds = context.quick ? 0.5 : 2;
  Figure loss("signals.lost-at-50k/s-posting", "datagrams", "bare recvfrom");
  loss.SetGoal(Goal::kValueAtMost, 0);
  long sent = 0;
  for (int round = 0; round < (context.quick ? 1 : 3); ++round) {
    loss.measured.Add(static_cast<double>(
        DuringPosting(context, targets, [&] { return LossAtRate(port, 50000, seconds, &sent); })));
    const int bare_port = FreeUdpPort();
    BareReceiver bare(bare_port, kReceiveBuffer);
    std::thread receiver([&bare] {
      while (bare.Receive() != kStopId) {
      }
    });
    long bare_sent = 0;
    loss.base.Add(static_cast<double>(DuringPosting(
        context, targets, [&] { return LossAtRate(bare_port, 50000, seconds, &bare_sent); })));
    UdpSender(bare_port).Send(SignalDatagram(kCheapType, kStopId));
    receiver.join();
  }
  loss.note = Format("%ld sent per round", sent);
  report.Add(loss);
  if (!daemon.Running()) {
    report.Say("signals: the daemon ended during the run; its log's last lines:");
    std::ifstream log(context.install_dir + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i)
      report.Say(lines[i]);
  }
}

}  // namespace bench
