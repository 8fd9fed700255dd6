// Datagrams as any host that reaches the signal port may send them.
//
// Each input goes three ways: straight into the record decoding, twice
// through a real loopback socket into the receiver, which must refuse
// exactly the inputs that are not 64 bytes long (each copy) and otherwise
// hand over the fields as sent, once, with the second copy merged into
// it; and as the text of an allow list. The field readings the main loop
// makes run on every record. A mismatch aborts, so libFuzzer keeps the
// input as a crash.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "utilLib.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "signal datagram fuzzer: %s\n", what);
    std::abort();
  }
}

// A field's text as the record must give it: its bytes up to the first
// NUL, or all 16.
std::string ExpectedField(const uint8_t* field) {
  size_t length = 0;
  while (length < kSignalFieldSize && field[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

void CheckRecord(const CSignalInfo& info, const uint8_t* data) {
  const char* fields[] = {info.GetSignalType(), info.GetSignalID(), info.GetSourceID(),
                          info.GetSubType()};
  for (size_t i = 0; i < 4; ++i) {
    Check(ExpectedField(data + i * kSignalFieldSize) == fields[i], "field text differs");
    // The readings the dispatch makes; an int reading stays within the
    // long one's sign and saturates rather than wraps.
    const long value = ToLong(fields[i]);
    const int narrow = ToInt(fields[i]);
    Check((value >= 0) == (narrow >= 0), "int reading changed sign");
    Check(value == narrow || narrow == INT32_MAX || narrow == INT32_MIN,
          "int reading wrapped");
  }
  // What is sent again carries the same texts.
  unsigned char wire[kSignalDatagramSize];
  info.Encode(wire);
  CSignalInfo again;
  Check(again.Decode(wire, sizeof(wire)), "encoded record refused");
  Check(strcmp(again.GetSignalType(), info.GetSignalType()) == 0 &&
            strcmp(again.GetSignalID(), info.GetSignalID()) == 0 &&
            strcmp(again.GetSourceID(), info.GetSourceID()) == 0 &&
            strcmp(again.GetSubType(), info.GetSubType()) == 0,
        "record changed on its way out and back");
}

// The receiver on a loopback port of its own, and a socket that sends to
// it. Made once: libFuzzer runs every input in one process.
struct Loopback {
  Loopback() {
    // The receiver's lines go to $KORB_FUZZ_LOG_DIR (scripts/fuzz.sh
    // gives each run a scratch folder), else nowhere.
    if (const char* dir = getenv("KORB_FUZZ_LOG_DIR"))
      logger.InitKORBLog(dir, "fuzz.log", 1000000, 3);
    unsetenv("KORB_SIGNAL_BIND");
    SignalReceiverOptions options;
    options.address = "127.0.0.1";
    // Every input may repeat the one before it; no hold, so none waits.
    options.repeatHoldMs = 0;
    std::string error;
    Check(ParseAddressPrefixes("127.0.0.1/32 ::1", &options.allow, &error), "allow list refused");
    for (int attempt = 0; attempt < 20 && handler == nullptr; ++attempt) {
      auto candidate = std::make_unique<CSignalHandler>(FreePort(), &no_events, &logger, options);
      if (static_cast<EObjectStatus>(*candidate) == OBJECT_READY) handler = std::move(candidate);
    }
    Check(handler != nullptr, "receiver not ready");
    sender = socket(AF_INET, SOCK_DGRAM, 0);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(handler->Port()));
  }

  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
  }

  const std::vector<int> no_events = std::vector<int>(17, 0);
  CLogger logger;
  std::unique_ptr<CSignalHandler> handler;
  int sender = -1;
  sockaddr_in to{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Loopback loopback;

  CSignalInfo direct;
  const bool decoded = direct.Decode(data, size);
  Check(decoded == (size == kSignalDatagramSize), "decoding refused the wrong lengths");
  if (decoded) CheckRecord(direct, data);

  // The input as an allow list: parsed or refused, never more prefixes
  // than items, every prefix within its family's length.
  std::vector<AddressPrefix> prefixes;
  std::string error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (ParseAddressPrefixes(text, &prefixes, &error)) {
    Check(prefixes.size() <= size, "more prefixes than bytes");
    for (const AddressPrefix& prefix : prefixes)
      Check(prefix.bits >= 0 && prefix.bits <= (prefix.ipv6 ? 128 : 32), "prefix length");
  } else {
    Check(!error.empty() && prefixes.empty(), "refused list without a reason, or filled");
  }

  // Loopback delivery is done when sendto returns, so the waits below
  // find both copies without blocking on anything else.
  if (size > 65507) return 0;  // not a UDP datagram
  for (int copy = 0; copy < 2; ++copy)
    if (sendto(loopback.sender, data, size, 0, reinterpret_cast<const sockaddr*>(&loopback.to),
               sizeof(loopback.to)) != static_cast<ssize_t>(size))
      return 0;
  CSignalInfo received;
  const int result = loopback.handler->WaitForSignal(received, nullptr);
  if (size == kSignalDatagramSize) {
    Check(result == 0, "a 64-byte datagram was refused");
    Check(loopback.handler->LastSignalRepeats() == 1, "the identical copy was not merged");
    CheckRecord(received, data);
  } else {
    Check(result == -1, "a datagram of another length was not refused");
    Check(loopback.handler->WaitForSignal(received, nullptr) == -1, "second copy not refused");
    Check(loopback.handler->LastFailure() == ReceiveFailure::kLength, "refusal of a length");
  }
  return 0;
}
