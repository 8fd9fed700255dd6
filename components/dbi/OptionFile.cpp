// Option-file reading. The client library reads the same file itself when
// connecting; we read it too because it silently falls back to its default
// socket when the group is missing, and because the identity keys live
// there.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
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

// What stat says of a file: when none of it changed, neither did the
// bytes, except for a write within the file system's time-stamp tick of
// the stat (see Settled).
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

struct ParsedFile {
  FileStamp stamp;
  bool settled = false;  // stamp alone proves the bytes unchanged
  std::string text;
  std::map<std::string, OptionKeys> groups;  // every group, keys merged
};

int64_t Nanos(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

bool Stamp(const std::string& path, FileStamp* stamp, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = Format("cannot read option file '%s': %s", path.c_str(), std::strerror(errno));
    return false;
  }
  *stamp = {st.st_dev, st.st_ino, st.st_size, Nanos(st.st_mtim), Nanos(st.st_ctim)};
  return true;
}

// Time stamps come from a clock that ticks every few milliseconds, so a
// file written again in place within the tick of its last change keeps
// its stamp. A file whose last change lies at least a second before the
// moment we read it cannot change unseen any more; until then its bytes
// are compared.
bool Settled(const FileStamp& stamp, int64_t read_at_ns) {
  return read_at_ns - std::max(stamp.mtime_ns, stamp.ctime_ns) >= 1000000000;
}

int64_t RealtimeNanos() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanos(now);
}

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

// The last file parsed, with its stamp: the fan-out makes an object per
// customer and pass, and each reads its group.
std::mutex g_parsed_mu;
std::unordered_map<std::string, std::shared_ptr<const ParsedFile>>& ParsedFiles() {
  static auto* files = new std::unordered_map<std::string, std::shared_ptr<const ParsedFile>>();
  return *files;  // never destroyed: threads may outlive main
}

}  // namespace

bool ReadOptionGroup(const std::string& path, const std::string& group,
                     OptionKeys* keys, std::string* error) {
  // Every customer object of every pass reads its group: the stamp of an
  // unchanged file is all it costs.
  FileStamp stamp;
  if (!Stamp(path, &stamp, error)) return false;
  std::shared_ptr<const ParsedFile> parsed;
  {
    std::lock_guard<std::mutex> lock(g_parsed_mu);
    auto it = ParsedFiles().find(path);
    if (it != ParsedFiles().end() && it->second->settled && it->second->stamp == stamp)
      parsed = it->second;
  }
  if (!parsed) {
    const int64_t read_at_ns = RealtimeNanos();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      *error = Format("cannot read option file '%s': %s", path.c_str(), std::strerror(errno));
      return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();  // an empty file leaves failbit on bytes, and no text
    std::string text = std::move(bytes).str();
    // The stamp again after the read: a file replaced meanwhile is read
    // again at the next call.
    FileStamp after;
    std::string ignored;
    const bool unchanged = Stamp(path, &after, &ignored) && after == stamp;
    {
      std::lock_guard<std::mutex> lock(g_parsed_mu);
      auto it = ParsedFiles().find(path);
      if (it != ParsedFiles().end() && it->second->text == text) parsed = it->second;
    }
    if (!parsed || !unchanged || parsed->stamp != stamp || !parsed->settled) {
      auto fresh = std::make_shared<ParsedFile>(parsed ? *parsed : Parse(std::move(text)));
      fresh->stamp = stamp;
      fresh->settled = unchanged && Settled(stamp, read_at_ns);
      parsed = fresh;
      std::lock_guard<std::mutex> lock(g_parsed_mu);
      ParsedFiles()[path] = parsed;
    }
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
