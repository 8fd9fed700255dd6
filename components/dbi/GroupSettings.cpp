#include "GroupSettings.h"

#include <algorithm>
#include <cstdlib>

#include "DBI.h"
#include "utilLib.h"

namespace dbi {

namespace {

constexpr char kPrefix[] = "korb-";
// Keys ending so hold text (an address, a file name, an allow list), not
// integers.
constexpr const char* kTextSuffixes[] = {"-address", "-web-config", "-allow"};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct IntegerKey {
  const char* key;
  long long low;
  long long high;
  int GroupSettings::*int_field;
  unsigned int GroupSettings::*unsigned_field;
};

constexpr long long kIntMin = -2147483647LL - 1;
constexpr long long kIntMax = 2147483647LL;

const IntegerKey kKnownKeys[] = {
    {"korb-msp-flag", kIntMin, kIntMax, &GroupSettings::msp_flag, nullptr},
    {"korb-site-id", kIntMin, kIntMax, &GroupSettings::site_id, nullptr},
    {"korb-probe-id", kIntMin, kIntMax, &GroupSettings::probe_id, nullptr},
    {"korb-install-type", kIntMin, kIntMax, &GroupSettings::install_type, nullptr},
    {"korb-addon-selector", kIntMin, kIntMax, &GroupSettings::addon_selector, nullptr},
    {"korb-statement-timeout", 1, 86400, nullptr, &GroupSettings::statement_timeout_s},
    {"korb-reconnect-window", 0, 3600, nullptr, &GroupSettings::reconnect_window_s},
};

}  // namespace

std::string ReadGroupSettings(const OptionKeys& keys, GroupSettings* settings) {
  // Keys of other parts of the daemon are only checked for being integers
  // here; their owners check their ranges.
  for (const auto& [key, value] : keys) {
    if (key.rfind(kPrefix, 0) != 0 ||
        std::any_of(std::begin(kTextSuffixes), std::end(kTextSuffixes),
                    [&key](const char* suffix) { return EndsWith(key, suffix); }))
      continue;
    if (!IsInteger(value))
      return Format("option %s=%s is not an integer", key.c_str(), value.c_str());
  }
  for (const IntegerKey& known : kKnownKeys) {
    auto it = keys.find(known.key);
    if (it == keys.end()) continue;
    const long long number = std::strtoll(it->second.c_str(), nullptr, 10);
    if (number < known.low || number > known.high)
      return Format("option %s=%s is out of range (%lld to %lld)", known.key,
                    it->second.c_str(), known.low, known.high);
    if (known.int_field != nullptr) settings->*known.int_field = static_cast<int>(number);
    if (known.unsigned_field != nullptr)
      settings->*known.unsigned_field = static_cast<unsigned int>(number);
  }
  return "";
}

std::string SessionIdentity(const std::string& option_file, const std::string& dsn,
                            const std::string& database, const OptionKeys& keys) {
  std::string identity = option_file + '\n' + dsn + '\n' + database + '\n';
  for (const auto& [key, value] : keys) identity += key + '=' + value + '\n';
  return identity;
}

}  // namespace dbi
