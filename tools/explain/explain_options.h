// Command line of korb-explain.
#pragma once

#include <string>
#include <vector>

enum ExitCode {
  kExitDone = 0,
  kExitNotFound = 1,     // schedule, system or customer not found
  kExitUsage = 2,        // bad arguments or configuration
  kExitUnreachable = 3,  // database unreachable
};

struct ExplainOptions {
  enum class Command { kNone, kHelp, kVersion, kSchedule, kSystem, kDue, kCustomers, kLease };
  Command command = Command::kNone;
  int schedularId = 0;
  int systemId = 0;
  std::string customer;  // DSN group of a customer database; empty: main
  long limit = 50;       // target systems shown in detail; 0 = all
  bool json = false;
};

extern const char kExplainUsage[];

// False with *error set when the arguments are not a valid command line.
bool ParseExplainOptions(const std::vector<std::string>& args,
                         ExplainOptions* options, std::string* error);
