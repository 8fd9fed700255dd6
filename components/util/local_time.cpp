// Local-time texts for the database (real time, never scaled).
#include <ctime>

#include "utilLib.h"

std::string FormatLocalTime(int64_t seconds, const char* fmt) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return std::string();
  char buf[128];
  // The format is the caller's by design; strftime cannot be told to
  // check it here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const size_t n = strftime(buf, sizeof(buf), fmt, &local);
#pragma GCC diagnostic pop
  return std::string(buf, n);
}

int GetCurrentTime_24HourFormat(std::string& text) {
  text = FormatLocalTime(static_cast<int64_t>(time(nullptr)),
                         "%Y-%m-%d %H:%M:%S");
  return static_cast<int>(text.size());
}
