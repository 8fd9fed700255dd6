// The daemon's own keys of an option-file group (korb-*), checked.
#pragma once

#include <string>

#include "DbiInternal.h"

namespace dbi {

struct GroupSettings {
  int msp_flag = 0;
  int site_id = 1;
  int probe_id = 1;
  int install_type = 1;
  int addon_selector = 0;
  // Read and write time-out of a statement, real seconds.
  unsigned int statement_timeout_s = 600;
  // How long a lost connection is tried again, scaled seconds.
  unsigned int reconnect_window_s = 10;
};

// Fills *settings from keys. Every korb-* key holds an integer, except
// those named korb-*-address, which hold text; the two time keys have a
// range. Returns "" or, for the first key that breaks this, a text naming
// key and value (settings then hold what was read before it).
std::string ReadGroupSettings(const OptionKeys& keys, GroupSettings* settings);

// Identity of the sessions that an object of these settings opens: the
// same text means a session of one object serves the other.
std::string SessionIdentity(const std::string& option_file, const std::string& dsn,
                            const std::string& database, const OptionKeys& keys);

}  // namespace dbi
