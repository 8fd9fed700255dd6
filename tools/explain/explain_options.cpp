#include "explain_options.h"

#include "DBI.h"

const char kExplainUsage[] =
    "usage: korb-explain [--json] schedule ID [--customer DSN] [--limit N]\n"
    "       korb-explain [--json] system ID [--customer DSN]\n"
    "       korb-explain [--json] due [--customer DSN]\n"
    "       korb-explain [--json] customers\n"
    "       korb-explain [--json] lease\n"
    "       korb-explain --help | --version\n"
    "\n"
    "Explains, without writing anything, what the scheduler would do:\n"
    "  schedule   the schedule's profile lists, refused items, target query,\n"
    "             target systems (first N in detail, default 50, 0 = all)\n"
    "             and what posting would write for each, and its next run\n"
    "  system     for one system, every patch schedule: would its next\n"
    "             posting target the system, why (which list, profile,\n"
    "             column and value), what it would write, and the system's\n"
    "             open and last jobs of the schedule\n"
    "  due        every schedule the patch threads look at, its next run and\n"
    "             whether it is due now\n"
    "  customers  the customers an MSP installation serves, their DSN\n"
    "             groups and whether each can be reached\n"
    "  lease      the scheduler lease of the main database: holder, epoch,\n"
    "             granted, renewed and expiry times (the database's clock);\n"
    "             due shows it in one line too\n"
    "--customer DSN works on that customer's database instead of the main one.\n"
    "Reads its own option file ($KORB_EXPLAIN_CONFIG, else $KORB_DB_CONFIG,\n"
    "else " KORB_EXPLAIN_DEFAULT_CONFIG " when it exists, else the\n"
    "scheduler's under $KORB_INSTALL_DIR) and DSN group ($KORB_DSN); warns\n"
    "when that account could write.\n"
    "Exit codes: 0 done, 1 schedule, system or customer not found, 2 bad\n"
    "arguments or\n"
    "configuration, 3 database unreachable.\n";

namespace {

bool ParsePositive(const std::string& text, long long high, long long* value) {
  if (!IsInteger(text) || text[0] == '-') return false;
  long long parsed = std::stoll(text);
  if (parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParseExplainOptions(const std::vector<std::string>& args,
                         ExplainOptions* options, std::string* error) {
  using Command = ExplainOptions::Command;
  std::vector<std::string> words;
  bool limitGiven = false;
  bool customerGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options->json = true;
    } else if (arg == "--help" || arg == "-h") {
      options->command = Command::kHelp;
      return true;
    } else if (arg == "--version") {
      options->command = Command::kVersion;
      return true;
    } else if (arg == "--customer" || arg == "--limit") {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      const std::string& value = args[++i];
      if (arg == "--customer") {
        if (value.empty()) {
          *error = "--customer needs a DSN group name";
          return false;
        }
        options->customer = value;
        customerGiven = true;
      } else {
        long long limit = 0;
        if (!ParsePositive(value, 1000000000LL, &limit)) {
          *error = "--limit must be a whole number 0 or above, not '" + value + "'";
          return false;
        }
        options->limit = static_cast<long>(limit);
        limitGiven = true;
      }
    } else if (arg.size() > 1 && arg[0] == '-' && !IsInteger(arg)) {
      *error = "unknown option " + arg;
      return false;
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = words[0];
  if (command == "schedule" || command == "system") {
    long long id = 0;
    if (words.size() != 2 || !ParsePositive(words[1], 2147483647LL, &id)) {
      *error = command + " needs one " + command + " ID (a whole number)";
      return false;
    }
    if (command == "schedule") {
      options->command = Command::kSchedule;
      options->schedularId = static_cast<int>(id);
    } else {
      options->command = Command::kSystem;
      options->systemId = static_cast<int>(id);
    }
  } else if (command == "due" || command == "customers" || command == "lease") {
    if (words.size() != 1) {
      *error = command + " takes no further arguments";
      return false;
    }
    options->command = command == "due"         ? Command::kDue
                       : command == "customers" ? Command::kCustomers
                                                : Command::kLease;
  } else {
    *error = "unknown command '" + command + "'";
    return false;
  }
  if (limitGiven && options->command != Command::kSchedule) {
    *error = "--limit applies to schedule only";
    return false;
  }
  if (customerGiven &&
      (options->command == Command::kCustomers || options->command == Command::kLease)) {
    *error = command + " takes no --customer";
    return false;
  }
  return true;
}
