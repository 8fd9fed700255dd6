// Why one system is or is not a target of one schedule's next posting, in
// the terms the schedule was set up with, and what the posting would
// write for it. Built from the daemon's own selection, road and duplicate
// check; only reads.
#pragma once

#include <string>

#include "DBI.h"
#include "report_doc.h"

struct SystemFacts {
  int id = 0;
  bool found = false;
  std::string name;
  std::string ip;
  std::string domain;
  std::string managed;          // inventorymaster.managenode as stored
  std::string collectionType;   // inventorymaster.DataCollectionType
};

SystemFacts ReadSystem(CDBI* db, int systemId);

// The verdict of one job type of a schedule for the system:
// {road, targeted, verdict, reason, ... details ..., outcome, duplicate_of,
// redo_of}. recurring: JobScheduledType 1 (else 0).
Doc SystemVerdict(CDBI* db, bool recurring, int jobTypeId, int schedularId,
                  const SystemFacts& system);
