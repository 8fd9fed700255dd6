// Option-file reading. The client library reads the same file itself when
// connecting; we read it too because it silently falls back to its default
// socket when the group is missing, and because the identity keys live
// there.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "DbiInternal.h"
#include "utilLib.h"

namespace dbi {

namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A value is either quoted (taken as is between the quotes) or runs to a
// '#' comment.
std::string ParseValue(const std::string& raw) {
  std::string value = Trim(raw);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'')) {
    const size_t close = value.find(value[0], 1);
    if (close != std::string::npos) return value.substr(1, close - 1);
  }
  const size_t hash = value.find('#');
  if (hash != std::string::npos) value = Trim(value.substr(0, hash));
  return value;
}

}  // namespace

std::string NormaliseKey(const std::string& key) {
  std::string out;
  for (char c : key)
    out += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool ReadOptionGroup(const std::string& path, const std::string& group,
                     OptionKeys* keys, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = Format("cannot read option file '%s': %s", path.c_str(), std::strerror(errno));
    return false;
  }
  bool found = false;
  bool inside = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';' || text[0] == '!') continue;
    if (text[0] == '[') {
      const size_t close = text.find(']');
      inside = close != std::string::npos && Trim(text.substr(1, close - 1)) == group;
      found = found || inside;
      continue;
    }
    if (!inside) continue;
    const size_t eq = text.find('=');
    const std::string key = NormaliseKey(Trim(text.substr(0, eq)));
    (*keys)[key] = eq == std::string::npos ? "" : ParseValue(text.substr(eq + 1));
  }
  if (!found) {
    *error = Format("group [%s] not found in option file '%s'", group.c_str(), path.c_str());
    return false;
  }
  return true;
}

std::string OptionFilePath() {
  const char* configured = std::getenv("KORB_DB_CONFIG");
  if (configured != nullptr && configured[0] != '\0') return configured;
  std::string install;
  if (GetInstallLocation(install) == 0) return "";
  return install + "/ConsoleManagement/config/korb-db.cnf";
}

}  // namespace dbi
