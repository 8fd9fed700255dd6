#include "SignalReceiverSettings.h"

#include <cstdio>

#include "ProcessState.h"

namespace {

constexpr char kAddressKey[] = "korb-signal-address";
constexpr char kReceiveBufferKey[] = "korb-signal-rcvbuf";
// More than any burst needs; the kernel would cap it anyway.
constexpr long long kMaxReceiveBuffer = 1LL << 30;

}  // namespace

bool ReadSignalReceiverSettings(const CDBI& db, SignalReceiverOptions* options) {
  db.GetOption(kAddressKey, options->address);
  long long bytes = options->receiveBufferBytes;
  if (!db.GetIntegerOption(kReceiveBufferKey, bytes) || bytes < 0 ||
      bytes > kMaxReceiveBuffer) {
    std::string text;
    db.GetOption(kReceiveBufferKey, text);
    const std::string message =
        Format("Option %s=%s is not a byte count from 0 to %lld", kReceiveBufferKey,
               text.c_str(), kMaxReceiveBuffer);
    KLOG(KORB_LOG_ERROR, "%s", message.c_str());
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
    return false;
  }
  options->receiveBufferBytes = static_cast<long>(bytes);
  return true;
}
