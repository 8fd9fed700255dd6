#include "SignalReceiverSettings.h"

#include <cstdio>

#include "ProcessState.h"

namespace {

constexpr char kAddressKey[] = "korb-signal-address";
constexpr char kReceiveBufferKey[] = "korb-signal-rcvbuf";
constexpr char kAllowKey[] = "korb-signal-allow";
// More than any burst needs; the kernel would cap it anyway.
constexpr long long kMaxReceiveBuffer = 1LL << 30;

// A start refused for a setting says so in the log and on the console.
bool Refuse(const std::string& message) {
  KLOG(KORB_LOG_ERROR, "%s", message.c_str());
  std::printf("%s\n", message.c_str());
  std::fflush(stdout);
  return false;
}

}  // namespace

bool ReadSignalReceiverSettings(const CDBI& db, SignalReceiverOptions* options) {
  db.GetOption(kAddressKey, options->address);
  std::string allow;
  std::string error;
  if (db.GetOption(kAllowKey, allow) &&
      !ParseAddressPrefixes(allow, &options->allow, &error)) {
    return Refuse(Format("Option %s=%s is not a list of addresses and prefixes: %s", kAllowKey,
                         allow.c_str(), error.c_str()));
  }
  long long bytes = options->receiveBufferBytes;
  if (!db.GetIntegerOption(kReceiveBufferKey, bytes) || bytes < 0 ||
      bytes > kMaxReceiveBuffer) {
    std::string text;
    db.GetOption(kReceiveBufferKey, text);
    return Refuse(Format("Option %s=%s is not a byte count from 0 to %lld", kReceiveBufferKey,
                         text.c_str(), kMaxReceiveBuffer));
  }
  options->receiveBufferBytes = static_cast<long>(bytes);
  return true;
}
