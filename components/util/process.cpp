// Process lookup by executable name, and the install location.
//
// A process's name is the base name of /proc/PID/exe, which holds the full
// name (/proc/PID/comm stops at 15 characters). After the binary has been
// replaced on disk the link reads "<path> (deleted)"; the suffix is not
// part of the name. When the link cannot be read (another user's process
// without privileges), argv[0] from /proc/PID/cmdline stands in.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "utilLib.h"

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsAllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
  return true;
}

// What can be read of the file; empty when it cannot be opened. A process
// that ends during the read makes read() fail (ESRCH): that ends the text
// here. (A stream would throw from its buffer on such an error.)
std::string ReadFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fd);
  return text;
}

// A zombie has ended and only waits to be reaped: it runs nothing.
bool IsLive(const std::string& pid_dir) {
  const std::string stat = ReadFile(pid_dir + "/stat");
  // The command name in parentheses may itself hold ") ", so the state
  // is the field after the last ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

std::string ExecutableName(const std::string& pid_dir) {
  std::string target(4096, '\0');
  const ssize_t n =
      readlink((pid_dir + "/exe").c_str(), target.data(), target.size());
  if (n > 0 && static_cast<size_t>(n) < target.size()) {
    target.resize(static_cast<size_t>(n));
    static const std::string kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() &&
        target.compare(target.size() - kDeleted.size(), kDeleted.size(),
                       kDeleted) == 0)
      target.resize(target.size() - kDeleted.size());
    return BaseName(target);
  }
  const std::string cmdline = ReadFile(pid_dir + "/cmdline");
  return BaseName(cmdline.substr(0, cmdline.find('\0')));
}

}  // namespace

int GetProcessID(const std::string& exeName, std::vector<uint32_t>& ids) {
  ids.clear();
  const std::string wanted = BaseName(exeName);
  if (wanted.empty()) return 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (const struct dirent* entry = readdir(proc)) {
    if (!IsAllDigits(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    // Processes may end between the listing and these reads; an unreadable
    // entry simply does not match.
    if (ExecutableName(dir) != wanted || !IsLive(dir)) continue;
    ids.push_back(static_cast<uint32_t>(strtoul(entry->d_name, nullptr, 10)));
  }
  closedir(proc);
  return static_cast<int>(ids.size());
}

int GetInstallLocation(std::string& location) {
  const char* env = getenv("KORB_INSTALL_DIR");
  location = env != nullptr ? env : "";
  return static_cast<int>(location.size());
}
