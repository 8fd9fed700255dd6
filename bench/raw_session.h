// A bare Connector/C session: the baseline that the daemon's database
// layer is measured against, and the bench's own set-up connection. The
// session settings are the daemon's, so both sides run the same
// statements under the same rules.
#pragma once

#include <string>
#include <vector>

typedef struct st_mysql MYSQL;

namespace bench {

class RawSession {
 public:
  RawSession() = default;
  ~RawSession();
  RawSession(const RawSession&) = delete;
  RawSession& operator=(const RawSession&) = delete;

  // Connects with the keys of `group` in option_file. False with error().
  bool Connect(const std::string& option_file, const std::string& group);
  void Close();
  // Runs one statement (or several, separated by ';') and discards every
  // result. False with error().
  bool Run(const std::string& sql);
  // First column of every row of the last result.
  std::vector<std::string> Column(const std::string& sql);
  std::string Scalar(const std::string& sql);
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what);
  MYSQL* mysql_ = nullptr;
  std::string error_;
};

// Runs sql on a fresh session and exits the program with a message when it
// fails: set-up errors make every figure after them meaningless.
void MustRun(RawSession& session, const std::string& sql);

}  // namespace bench
