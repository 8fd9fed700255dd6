// Small helpers shared by the utility library tests.
#pragma once

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestDatabase.h"
#include "utilLib.h"

namespace utiltest {

// A fresh directory, removed with everything in it at the end.
struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/korb_util_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// Sets KORB_TIME_SCALE and re-reads it; back to real time at the end.
struct ScopedTimeScale {
  explicit ScopedTimeScale(const char* scale) {
    setenv("KORB_TIME_SCALE", scale, 1);
    std::string error;
    EXPECT_TRUE(Clock::Init(&error)) << error;
  }
  ~ScopedTimeScale() {
    unsetenv("KORB_TIME_SCALE");
    std::string error;
    Clock::Init(&error);
  }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A UDP port on 127.0.0.1 that was free a moment ago.
inline int FreeUdpPort() { return korbtest::UdpListener().Port(); }

inline void SendRaw(int port, const std::string& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
}

}  // namespace utiltest
