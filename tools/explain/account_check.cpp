// The account's grants, read with SHOW GRANTS and judged one by one.
#include "account_check.h"

#include <cctype>
#include <string>
#include <vector>

#include "ProcessState.h"

namespace {

constexpr char kCurrentUserQuery[] = "select current_user() as outputvalue";
constexpr char kRoutineAccessQuery[] =
    "select SQL_DATA_ACCESS as outputvalue from information_schema.ROUTINES "
    "where ROUTINE_SCHEMA = %s and ROUTINE_NAME = %s";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// The privileges of "GRANT a, b (col), c ON ...", without column lists.
std::vector<std::string> Privileges(const std::string& list) {
  std::vector<std::string> out;
  std::string current;
  int depth = 0;
  for (char c : list) {
    if (c == '(') ++depth;
    if (depth == 0 && c == ',') {
      out.push_back(Trim(current));
      current.clear();
    } else if (depth == 0) {
      current += c;
    }
    if (c == ')') --depth;
  }
  out.push_back(Trim(current));
  return out;
}

std::string Unquote(const std::string& name) {
  std::string out;
  for (char c : name)
    if (c != '`') out += c;
  return out;
}

// EXECUTE on one routine that only reads ("FUNCTION `orb`.`Name`").
bool ReadOnlyRoutine(CDBI* db, const std::string& object) {
  size_t space = object.find(' ');
  size_t dot = object.find("`.`");
  if (space == std::string::npos || dot == std::string::npos) return false;
  std::string schema = Unquote(object.substr(space + 1, dot - space));
  std::string name = Unquote(object.substr(dot + 2));
  std::string access;
  db->getValueFromQuery(Format(kRoutineAccessQuery, SqlQuote(schema).c_str(),
                               SqlQuote(name).c_str()),
                        access);
  return access == "READS SQL DATA" || access == "NO SQL" ||
         access == "CONTAINS SQL";
}

// True when the grant line allows only reading.
bool ReadOnlyGrant(CDBI* db, const std::string& line) {
  const std::string upper = Upper(line);
  if (upper.rfind("GRANT ", 0) != 0) return false;
  size_t on = upper.find(" ON ");
  size_t to = upper.find(" TO ", on == std::string::npos ? 0 : on);
  if (on == std::string::npos || to == std::string::npos) return false;  // roles, proxies
  if (upper.find(" WITH GRANT OPTION") != std::string::npos) return false;
  const std::string object = line.substr(on + 4, to - on - 4);
  for (const std::string& privilege : Privileges(upper.substr(6, on - 6))) {
    if (privilege == "SELECT" || privilege == "USAGE" || privilege == "SHOW VIEW")
      continue;
    if (privilege == "EXECUTE" && ReadOnlyRoutine(db, object)) continue;
    return false;
  }
  return true;
}

}  // namespace

Doc CheckAccount(CDBI* db) {
  Doc account = Doc::Object();
  std::string user;
  DBRows rows;
  bool read = db->getValueFromQuery(kCurrentUserQuery, user) == 1;
  // SHOW GRANTS names its one column after the account.
  read = read && db->getRows("show grants", {"Grants for " + user}, rows) == 1;
  account.Set("user", user);
  if (!read) {
    account.Set("can_write", Doc());
    account.Set("write_grants", Doc::Array());
    return account;
  }
  Doc writes = Doc::Array();
  for (const DBRow& row : rows) {
    if (row.empty() || ReadOnlyGrant(db, row[0])) continue;
    // Never show a password hash.
    std::string grant = row[0];
    size_t identified = Upper(grant).find(" IDENTIFIED ");
    if (identified != std::string::npos) grant = grant.substr(0, identified);
    writes.Add(Doc::Text(grant));
  }
  account.Set("can_write", !writes.items().empty());
  account.Set("write_grants", std::move(writes));
  return account;
}
