// korb-signal: sends one scheduler signal datagram, or listens on a port
// and prints every datagram that arrives (a stand-in probe).
//
//   korb-signal send HOST PORT TYPE [SIGNALID [SOURCE [SUBTYPE]]]
//   korb-signal listen PORT [--count N] [--timeout SECONDS] [--bind ADDR]
//   korb-signal --help | --version
//
// listen prints "listening on udp port P" once bound, then one line per
// datagram: "type=T id=I source=S subtype=U from=ADDR:PORT", or
// "malformed datagram of N bytes from=ADDR:PORT". It ends after N
// well-formed datagrams or when the time-out passes. Exit codes: 0 done,
// 1 failure (or fewer than N datagrams before the time-out), 2 usage.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "korb_version.h"
#include "udp_listen_socket.h"
#include "utilLib.h"

namespace {

constexpr const char* kUsage =
    "usage: korb-signal send HOST PORT TYPE [SIGNALID [SOURCE [SUBTYPE]]]\n"
    "       korb-signal listen PORT [--count N] [--timeout SECONDS] "
    "[--bind ADDR]\n"
    "       korb-signal --help | --version\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Whole-text integer in [low, high]; anything else is refused.
bool ParseInt(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || parsed < low ||
      parsed > high)
    return false;
  *value = parsed;
  return true;
}

int Send(int argc, char** argv) {
  if (argc < 5 || argc > 8) return Usage();
  long port = 0;
  if (!ParseInt(argv[3], 1, 65535, &port)) return Usage();
  long fields[4] = {0, 0, 0, 0};  // type, signal ID, source, sub-type
  for (int i = 4; i < argc; ++i) {
    if (!ParseInt(argv[i], -999999999L, 999999999L, &fields[i - 4]))
      return Usage();
  }
  CSignalInfo info;
  info.SetSignalType(static_cast<int>(fields[0]));
  info.SetSignalID(static_cast<int>(fields[1]));
  info.SetSourceID(static_cast<int>(fields[2]));
  info.SetSubType(static_cast<int>(fields[3]));
  CUDPClient client(static_cast<int>(port), argv[2]);
  if (client.SendUDPSignal(info) != KORB_SUCCESS) {
    std::fprintf(stderr, "korb-signal: send to %s:%ld failed: %s\n", argv[2],
                 port, client.LastError().c_str());
    return 1;
  }
  return 0;
}

int Listen(int argc, char** argv) {
  if (argc < 3) return Usage();
  long port = 0;
  long count = -1;
  long timeout_s = -1;
  std::string bind_address = "0.0.0.0";
  if (!ParseInt(argv[2], 0, 65535, &port)) return Usage();
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    std::string option = argv[i];
    if (option == "--count") {
      if (!ParseInt(argv[i + 1], 1, 1000000000L, &count)) return Usage();
    } else if (option == "--timeout") {
      if (!ParseInt(argv[i + 1], 0, 1000000000L, &timeout_s)) return Usage();
    } else if (option == "--bind") {
      bind_address = argv[i + 1];
    } else {
      return Usage();
    }
  }

  UdpListenSocket socket;
  std::string error;
  if (!socket.Open(bind_address, static_cast<int>(port), &error)) {
    std::fprintf(stderr, "korb-signal: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on udp port %d\n", socket.Port());
  std::fflush(stdout);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
  long received = 0;
  while (count < 0 || received < count) {
    int wait_ms = -1;
    if (timeout_s >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) break;
      wait_ms = static_cast<int>(left.count());
    }
    std::vector<unsigned char> data;
    std::string sender;
    int got = socket.Receive(wait_ms, &data, &sender, &error);
    if (got < 0) {
      std::fprintf(stderr, "korb-signal: %s\n", error.c_str());
      return 1;
    }
    if (got == 0) break;
    CSignalInfo info;
    if (!info.Decode(data.data(), data.size())) {
      std::printf("malformed datagram of %zu bytes from=%s\n", data.size(),
                  sender.c_str());
    } else {
      std::printf("type=%s id=%s source=%s subtype=%s from=%s\n",
                  info.GetSignalType(), info.GetSignalID(),
                  info.GetSourceID(), info.GetSubType(), sender.c_str());
      ++received;
    }
    std::fflush(stdout);
  }
  return (count < 0 || received >= count) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("korb-signal %s\n", KORB_VERSION);
    return 0;
  }
  if (command == "send") return Send(argc, argv);
  if (command == "listen") return Listen(argc, argv);
  return Usage();
}
