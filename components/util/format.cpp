// Text formatting and atoi-style number conversions.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "utilLib.h"

std::string FormatV(const char* fmt, va_list ap) {
  // One pass for the usual text (statements, log lines): measuring first
  // with a null buffer costs the C library as much as the formatting
  // itself. Longer texts are formatted again at their full size.
  char buffer[2048];
  va_list probe;
  va_copy(probe, ap);
  const int needed = vsnprintf(buffer, sizeof(buffer), fmt, probe);
  va_end(probe);
  if (needed <= 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof(buffer))
    return std::string(buffer, static_cast<size_t>(needed));
  std::string out(static_cast<size_t>(needed), '\0');
  // The string owns needed + 1 bytes, the terminator included.
  vsnprintf(out.data(), out.size() + 1, fmt, ap);
  return out;
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = FormatV(fmt, ap);
  va_end(ap);
  return out;
}

long ToLong(const std::string& text) {
  // strtol saturates on overflow where atol would be undefined.
  errno = 0;
  return strtol(text.c_str(), nullptr, 10);
}

int ToInt(const std::string& text) {
  const long value = ToLong(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

float ToFloat(const std::string& text) {
  return strtof(text.c_str(), nullptr);
}
