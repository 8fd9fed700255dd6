#include "supervisor_options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "DbiInternal.h"
#include "child_process.h"
#include "utilLib.h"

namespace supervisor {

const char* const kUsage =
    "usage: korb-supervisor [--scheduler PATH] [--identifier PORT]\n"
    "         [--signal-host HOST] [--min-backoff-ms MS] [--max-backoff-ms MS]\n"
    "         [--healthy-run-ms MS] [--stop-timeout-ms MS]\n"
    "         [--metrics-address ADDRESS] [--metrics-port PORT]\n"
    "       korb-supervisor --help | --version\n"
    "  PATH defaults to $KORB_SCHEDULER_PATH, then KORB_ProbeScheduler beside\n"
    "  this program, then the installed one; PORT to $KORB_SIGNAL_IDENTIFIER.\n"
    "  The stop timeout runs from the end signal to SIGKILL; by default the\n"
    "  scheduler's grace period plus 30000, at least 90000. The end signal goes\n"
    "  by default where the scheduler listens (its KORB_SIGNAL_BIND or\n"
    "  korb-signal-address; 127.0.0.1 when it listens on all interfaces).\n";

const char* const kStopWaitVariable = "KORB_SUPERVISOR_STOP_WAIT_MS";

namespace {

bool ParseLong(const std::string& text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || parsed < low ||
      parsed > high)
    return false;
  *value = parsed;
  return true;
}

constexpr long kMinStopTimeoutMs = 90000;
// As the scheduler bounds it (about 49 days).
constexpr long kMaxGraceSeconds = 4294967;
constexpr long kDefaultGraceSeconds = 60;

}  // namespace

StopPath StopPathFor(const Options& options) {
  dbi::OptionKeys keys;
  std::string ignored;
  const char* dsn = std::getenv("KORB_DSN");
  const std::string path = dbi::OptionFilePath();
  if (!path.empty())
    dbi::ReadOptionGroup(path, dsn != nullptr && dsn[0] != '\0' ? dsn : "orb", &keys, &ignored);
  auto key = [&keys](const char* name) {
    auto it = keys.find(name);
    return it == keys.end() ? std::string() : it->second;
  };

  StopPath stop;
  stop.signal_host = options.signal_host;
  if (stop.signal_host.empty()) {
    const char* bind = std::getenv("KORB_SIGNAL_BIND");
    stop.signal_host = bind != nullptr ? bind : key("korb-signal-address");
    if (stop.signal_host.empty() || stop.signal_host == "0.0.0.0") stop.signal_host = "127.0.0.1";
  }

  stop.stop_timeout_ms = options.stop_timeout_ms;
  if (stop.stop_timeout_ms < 0) {
    long grace_s = kDefaultGraceSeconds;
    // The scheduler falls back and bounds the same way.
    if (!ParseLong(key("korb-grace-period"), 0, LONG_MAX, &grace_s)) grace_s = kDefaultGraceSeconds;
    grace_s = std::min(grace_s, kMaxGraceSeconds);
    const long long grace_ms = static_cast<long long>(Clock::ScaledMs(static_cast<uint64_t>(grace_s) * 1000));
    stop.stop_timeout_ms = static_cast<long>(std::max<long long>(kMinStopTimeoutMs,
                                                                 grace_ms + kStopMarginMs));
  }
  return stop;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  std::string identifier;
  if (const char* env = std::getenv("KORB_SCHEDULER_PATH"); env != nullptr)
    options->scheduler_path = env;
  if (const char* env = std::getenv("KORB_SIGNAL_IDENTIFIER"); env != nullptr)
    identifier = env;

  struct Numeric {
    const char* name;
    long* target;
  };
  const Numeric numerics[] = {
      {"--min-backoff-ms", &options->min_backoff_ms},
      {"--max-backoff-ms", &options->max_backoff_ms},
      {"--healthy-run-ms", &options->healthy_run_ms},
      {"--stop-timeout-ms", &options->stop_timeout_ms},
  };
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    if (i + 1 >= argc) {
      *error = "missing value after " + name;
      return false;
    }
    const std::string value = argv[i + 1];
    if (name == "--scheduler") {
      options->scheduler_path = value;
    } else if (name == "--identifier") {
      identifier = value;
    } else if (name == "--signal-host") {
      options->signal_host = value;
    } else if (name == "--metrics-address") {
      options->metrics_address = value;
    } else if (name == "--metrics-port") {
      long port = 0;
      if (!ParseLong(value, 0, 65535, &port)) {
        *error = "bad value for " + name + ": " + value;
        return false;
      }
      options->metrics_port = static_cast<int>(port);
    } else {
      bool known = false;
      for (const Numeric& numeric : numerics) {
        if (name != numeric.name) continue;
        known = true;
        if (!ParseLong(value, 0, 86400000L, numeric.target)) {
          *error = "bad value for " + name + ": " + value;
          return false;
        }
      }
      if (!known) {
        *error = "unknown option " + name;
        return false;
      }
    }
  }

  long port = 0;
  if (!ParseLong(identifier, 1, 65535, &port)) {
    *error = "the signal identifier must be a port number 1..65535, got '" +
             identifier + "'";
    return false;
  }
  options->identifier = static_cast<int>(port);
  if (options->scheduler_path.empty()) {
    // Beside this program in a build tree; in an installed tree the
    // scheduler sits in its own libexec folder.
    const std::string own = OwnExecutableDirectory();
    options->scheduler_path = own + "/KORB_ProbeScheduler";
    const std::string installed =
        std::filesystem::path(own + "/" KORB_INSTALLED_SCHEDULER_DIR "/KORB_ProbeScheduler")
            .lexically_normal()
            .string();
    if (access(options->scheduler_path.c_str(), X_OK) != 0 &&
        access(installed.c_str(), X_OK) == 0)
      options->scheduler_path = installed;
  }
  if (options->max_backoff_ms < options->min_backoff_ms)
    options->max_backoff_ms = options->min_backoff_ms;
  return true;
}

}  // namespace supervisor
