// Pieces shared by the harness files: child processes and root
// connections to the private server. Not for tests.
#pragma once

#include <string>
#include <vector>

#include "TestDatabase.h"

namespace korbtest::internal {

// The session mode the daemon runs with; the harness uses it too, so that
// procedures are created under it (they keep their creation mode) and test
// data is written the way the daemon would read it.
extern const char* const kSessionMode;

// Starts argv[0] (looked up in PATH) with stdin from stdin_path (or
// /dev/null when empty) and stdout+stderr appended to output_path. With
// new_session the child leads a session of its own, so that a terminal's
// Ctrl-C reaches only the test. A stdin_fd of 0 or more is used as stdin
// instead of stdin_path. Throws std::runtime_error.
int Spawn(const std::vector<std::string>& argv, const std::string& stdin_path,
          const std::string& output_path, bool new_session, int stdin_fd = -1);
// Waits for a child; returns its wait status.
int WaitChild(int pid);
// Runs a program to its end; throws with the output's tail unless it exits 0.
void RunOrThrow(const std::vector<std::string>& argv,
                const std::string& stdin_path, const std::string& output_path);
// The last lines of a file, for error messages.
std::string Tail(const std::string& path, size_t max_chars = 2000);

struct SqlResult {
  bool ok = false;
  std::string error;   // "message (errno N)" when !ok
  Rows rows;           // of the last result set; NULL as "NULL"
  std::vector<std::string> columns;
};

// Runs sql as root on the server's socket in `database` (empty: none).
// Several statements separated by ';' are allowed.
SqlResult RunSql(const std::string& socket, const std::string& sql,
                 const std::string& database);

// Creates `database` afresh and loads every sql/[0-9][0-9]_*.sql file into
// it, in name order, with the command-line client (so DELIMITER works).
// Throws std::runtime_error with the client's complaint.
void LoadSchema(const std::string& socket, const std::string& database,
                const std::string& scratch_dir);

}  // namespace korbtest::internal
