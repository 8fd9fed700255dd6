// Whether any statement of the calling thread failed since the watch was
// made: the check that keeps a failed read from being taken for an empty
// answer. One per posting (or per decision); used on one thread only.
#pragma once

#include <cstdint>
#include <string>

#include "DBI.h"
#include "utilLib.h"

class StatementWatch {
 public:
  StatementWatch() : start_(CDBI::FailuresOfThisThread().count) {}
  bool Failed() const { return CDBI::FailuresOfThisThread().count != start_; }
  // The last failed statement and why: "<reason>. Statement: <text>".
  std::string What() const {
    const CDBI::StatementFailures& failures = CDBI::FailuresOfThisThread();
    return Format("%s. Statement: %s", failures.reason.c_str(), failures.statement.c_str());
  }

 private:
  uint64_t start_;
};
