// Option-file reading. The client library reads the same file itself when
// connecting; we read it too because it silently falls back to its default
// socket when the group is missing, and because the identity keys live
// there.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

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

namespace {

struct ParsedFile {
  std::string text;
  std::map<std::string, OptionKeys> groups;  // every group, keys merged
};

ParsedFile Parse(std::string text) {
  ParsedFile parsed;
  OptionKeys* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '!') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      current = close == std::string::npos ? nullptr
                                           : &parsed.groups[Trim(line.substr(1, close - 1))];
      continue;
    }
    if (current == nullptr) continue;
    const size_t eq = line.find('=');
    const std::string key = NormaliseKey(Trim(line.substr(0, eq)));
    (*current)[key] = eq == std::string::npos ? "" : ParseValue(line.substr(eq + 1));
  }
  parsed.text = std::move(text);
  return parsed;
}

// The last file parsed, for the next read of the same bytes: the fan-out
// makes an object per customer and pass, and each reads its group.
std::mutex g_parsed_mu;
std::unordered_map<std::string, std::shared_ptr<const ParsedFile>>& ParsedFiles() {
  static auto* files = new std::unordered_map<std::string, std::shared_ptr<const ParsedFile>>();
  return *files;  // never destroyed: threads may outlive main
}

}  // namespace

bool ReadOptionGroup(const std::string& path, const std::string& group,
                     OptionKeys* keys, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = Format("cannot read option file '%s': %s", path.c_str(), std::strerror(errno));
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();  // an empty file leaves failbit on bytes, and no text
  std::string text = std::move(bytes).str();
  std::shared_ptr<const ParsedFile> parsed;
  {
    std::lock_guard<std::mutex> lock(g_parsed_mu);
    auto it = ParsedFiles().find(path);
    if (it != ParsedFiles().end() && it->second->text == text) parsed = it->second;
  }
  if (!parsed) {
    parsed = std::make_shared<const ParsedFile>(Parse(std::move(text)));
    std::lock_guard<std::mutex> lock(g_parsed_mu);
    ParsedFiles()[path] = parsed;
  }
  auto found = parsed->groups.find(group);
  if (found == parsed->groups.end()) {
    *error = Format("group [%s] not found in option file '%s'", group.c_str(), path.c_str());
    return false;
  }
  for (const auto& [key, value] : found->second) (*keys)[key] = value;
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
