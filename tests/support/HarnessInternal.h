// Pieces shared by the harness files: child processes and root
// connections to the private server. Not for tests.
#pragma once

#include <string>
#include <vector>

#include "TestDatabase.h"

namespace korbtest::internal {

// The daemon's session mode: procedures keep the mode they were created
// under, and test data is written the way the daemon reads it.
extern const char* const kSessionMode;

// Starts argv[0] (looked up in PATH) with stdin from stdin_fd, else
// stdin_path (empty: /dev/null), and stdout+stderr appended to output_path.
// new_session keeps a terminal's Ctrl-C from the child. Throws.
int Spawn(const std::vector<std::string>& argv, const std::string& stdin_path,
          const std::string& output_path, bool new_session, int stdin_fd = -1);
int WaitChild(int pid);  // the wait status
// Runs a program to its end; throws with the output's tail unless it exits 0.
void RunOrThrow(const std::vector<std::string>& argv,
                const std::string& stdin_path, const std::string& output_path);
std::string ReadFile(const std::string& path);
std::string Tail(const std::string& path);  // for error messages

struct SqlResult {
  bool ok = false;
  std::string error;   // "message (errno N)" when !ok
  Rows rows;           // of the last result set; NULL as "NULL"
};

// Runs sql (several statements allowed) as root in `database` (empty: none).
SqlResult RunSql(const std::string& socket, const std::string& sql,
                 const std::string& database);

// Creates `database` afresh and loads sql/[0-9][0-9]_*.sql in name order
// with the command-line client (for DELIMITER); throws its complaint.
void LoadSchema(const std::string& socket, const std::string& database,
                const std::string& scratch_dir);

}  // namespace korbtest::internal
