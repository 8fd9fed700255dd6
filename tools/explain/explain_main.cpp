// korb-explain: answers, before the scheduler acts and without writing
// anything, which systems a schedule would post to and why, which
// schedules would post to one system and why, which schedules are due, and
// which customers an MSP installation serves, and who holds the scheduler
// lease. It
// calls the scheduler's own target selection and duplicate check, in
// database sessions that are read-only.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "account_check.h"
#include "explain_database.h"
#include "explain_options.h"
#include "explain_reports.h"
#include "korb_version.h"

namespace {

int Fail(ExitCode code, const std::string& message) {
  std::cerr << "korb-explain: " << message << '\n';
  return code;
}

int Run(const ExplainOptions& options) {
  using Command = ExplainOptions::Command;
  ExplainDatabase databases;
  std::string message;
  ExitCode code = databases.OpenMain(&message);
  if (code != kExitDone) return Fail(code, message);
  if (!options.customer.empty()) {
    code = databases.OpenCustomer(options.customer, &message);
    if (code != kExitDone) return Fail(code, message);
  }

  Doc body;
  switch (options.command) {
    case Command::kSchedule:
      code = ExplainSchedule(databases.Target(), options.schedularId,
                             options.limit, &body, &message);
      break;
    case Command::kSystem:
      code = ExplainSystem(databases.Target(), options.systemId, &body,
                           &message);
      break;
    case Command::kDue:
      code = ExplainDue(databases.Target(), &body, &message);
      // The lease is the main database's, also for a customer's schedules.
      if (code == kExitDone) body.Set("scheduler_lease", LeaseSummary(databases.Main()));
      break;
    case Command::kLease:
      code = ExplainLease(databases.Main(), &body, &message);
      break;
    case Command::kCustomers:
      code = ExplainCustomers(databases, &body, &message);
      break;
    default:
      return Fail(kExitUsage, "no command given");
  }
  if (code != kExitDone) return Fail(code, message);
  if (databases.Target()->m_bConnectionError)
    return Fail(kExitUnreachable, "the database connection was lost");

  Doc account = CheckAccount(databases.Target());
  for (const auto& [key, value] : account.members())
    if (key == "can_write" && value.Plain() != "no")
      std::cerr << "korb-explain: warning: the database account "
                << account.members().front().second.Plain()
                << (value.kind() == Doc::Kind::kNull
                        ? " may be able to write (its grants could not be read)"
                        : " can write; give the tool a SELECT-only account "
                          "(see korb-explain --help)")
                << '\n';

  Doc report = Doc::Object();
  report.Set("command", options.command == Command::kSchedule ? "schedule"
                        : options.command == Command::kSystem ? "system"
                        : options.command == Command::kDue    ? "due"
                        : options.command == Command::kLease  ? "lease"
                                                              : "customers");
  Doc readFrom = databases.Describe();
  readFrom.Set("account", std::move(account));
  report.Set("read_from", std::move(readFrom));
  for (const auto& [key, value] : body.members()) report.Set(key, value);
  if (options.json)
    report.WriteJson(std::cout);
  else
    report.WriteText(std::cout);
  std::cout.flush();
  return std::cout ? kExitDone : Fail(kExitUsage, "cannot write the report");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  ExplainOptions options;
  std::string error;
  if (!ParseExplainOptions(args, &options, &error)) {
    std::cerr << "korb-explain: " << error << '\n' << kExplainUsage;
    return kExitUsage;
  }
  if (options.command == ExplainOptions::Command::kHelp) {
    std::cout << kExplainUsage;
    return kExitDone;
  }
  if (options.command == ExplainOptions::Command::kVersion) {
    std::cout << "korb-explain " << KORB_VERSION << '\n';
    return kExitDone;
  }
  return Run(options);
}
