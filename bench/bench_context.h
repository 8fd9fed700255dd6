// What every benchmark of one run shares: where the database and the
// install folder are, the built daemon, the size of the run, the report.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DBI.h"
#include "report.h"
#include "utilLib.h"

namespace bench {

struct Context {
  std::string option_file;  // $KORB_DB_CONFIG, group "orb" reaches database orb as root
  std::string install_dir;  // $KORB_INSTALL_DIR
  std::string daemon;       // the built KORB_ProbeScheduler
  bool quick = false;       // small cases: checks that the suite works
  bool full = false;        // adds the largest cases
  std::vector<int> posting_sizes;  // replaces the posting sizes when not empty
  int replay_max = 0;              // postings above this size get no replay (0: all do)
  int drain_fill = 8000;           // datagrams queued per signal drain round
  Report* report = nullptr;
  CLogger* logger = nullptr;  // the daemon code's log, at the default level
};

// The main database object of the daemon code that runs in this process,
// made on first use (g_pDBI). Exits the program when it cannot connect.
CDBI* MainDatabase(const Context& context);

double SecondsSince(double start);
double NowSeconds();  // steady clock

}  // namespace bench
