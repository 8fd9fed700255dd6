// The log file: level filter, line form, rotation, and failures that must
// not reach the caller.
#include <unistd.h>

#include <regex>
#include <thread>

#include "UtilTestHelpers.h"

using utiltest::ReadFile;
using utiltest::ReadLines;
using utiltest::TempDir;

namespace {

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

TEST(LoggerTest, LineFormAndLevelFilter) {
  TempDir dir;
  CLogger logger;
  // The directory is created, nested levels included.
  const std::string logdir = dir.path() + "/ConsoleManagement/log/";
  ASSERT_EQ(logger.InitKORBLog(logdir, "KORB_ProbeScheduler.log", 500000, 3),
            1);
  EXPECT_EQ(logger.GetLogPath(), logdir + "KORB_ProbeScheduler.log");

  for (int level : {2, 4, 8, 16})
    logger.KORBLog(12, "KORB_ProbeScheduler", level, "default level %d", level);
  logger.SetMaxLogLevel(1);
  for (int level : {2, 4})
    logger.KORBLog(13, "KORB_PatchScheduler", level, "level one %d", level);
  logger.SetMaxLogLevel(4);
  logger.KORBLog(14, "KORB_PatchScheduler", 16, "trace %s", "on");

  const auto lines = ReadLines(logger.GetLogPath());
  ASSERT_EQ(lines.size(), 5u) << ReadFile(logger.GetLogPath());
  const std::regex form(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\w+)\] \[(\d+)\] (\w+):(\d+) (.*))");
  const char* expected[][4] = {
      {"ERROR", "KORB_ProbeScheduler", "12", "default level 2"},
      {"WARNING", "KORB_ProbeScheduler", "12", "default level 4"},
      {"INFO", "KORB_ProbeScheduler", "12", "default level 8"},
      {"ERROR", "KORB_PatchScheduler", "13", "level one 2"},
      {"TRACE", "KORB_PatchScheduler", "14", "trace on"},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, form)) << lines[i];
    EXPECT_EQ(m[1], expected[i][0]);
    EXPECT_EQ(m[2], std::to_string(getpid()));  // written on the main thread
    EXPECT_EQ(m[3], expected[i][1]);
    EXPECT_EQ(m[4], expected[i][2]);
    EXPECT_EQ(m[5], expected[i][3]);
  }
}

TEST(LoggerTest, RotationKeepsThePreviousFileWhole) {
  TempDir dir;
  CLogger logger;
  ASSERT_EQ(logger.InitKORBLog(dir.path(), "rot.log", 1000, 3), 1);
  for (int i = 0; i < 100; ++i)
    logger.KORBLog(1, "src", KORB_LOG_INFO, "line %03d", i);

  const std::string path = dir.path() + "/rot.log";
  const auto current = ReadLines(path);
  const auto previous = ReadLines(path + ".1");
  ASSERT_FALSE(current.empty());
  ASSERT_FALSE(previous.empty());
  EXPECT_LE(ReadFile(path).size(), 1000u);
  EXPECT_LE(ReadFile(path + ".1").size(), 1000u);
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));

  // The two files hold the most recent lines without a gap.
  std::vector<std::string> all = previous;
  all.insert(all.end(), current.begin(), current.end());
  const int first = 100 - static_cast<int>(all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string tail = Format("line %03d", first + static_cast<int>(i));
    EXPECT_EQ(all[i].substr(all[i].size() - tail.size()), tail);
  }

  // A larger limit set later stops the rotation.
  logger.SetMaxLogSize(1000000);
  const auto before = ReadLines(path).size();
  for (int i = 0; i < 50; ++i) logger.KORBLog(1, "src", 8, "more %d", i);
  EXPECT_EQ(ReadLines(path).size(), before + 50);
}

TEST(LoggerTest, UnwritableDirectoryAndFullDiskAreReportedOnce) {
  TempDir dir;
  const std::string file = dir.path() + "/plainfile";
  { std::ofstream(file) << "x"; }

  testing::internal::CaptureStderr();
  CLogger nowhere;
  EXPECT_EQ(nowhere.InitKORBLog(file + "/log", "a.log", 1000, 3), -1);
  for (int i = 0; i < 20; ++i) nowhere.KORBLog(1, "src", 2, "lost %d", i);

  std::filesystem::create_symlink("/dev/full", dir.path() + "/full.log");
  CLogger full;
  EXPECT_EQ(full.InitKORBLog(dir.path(), "full.log", 1000000, 3), 1);
  for (int i = 0; i < 20; ++i) full.KORBLog(1, "src", 2, "lost %d", i);
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(CountOf(err, "cannot open " + file + "/log/a.log"), 1) << err;
  EXPECT_EQ(CountOf(err, "cannot write"), 1) << err;
}

TEST(LoggerTest, ConcurrentLinesNeverInterleave) {
  TempDir dir;
  CLogger logger;
  ASSERT_EQ(logger.InitKORBLog(dir.path(), "mt.log", 10000000, 3), 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < 250; ++i)
        logger.KORBLog(i, "src", KORB_LOG_WARNING, "thread %d line %d", t, i);
    });
  for (auto& th : threads) th.join();

  const auto lines = ReadLines(dir.path() + "/mt.log");
  ASSERT_EQ(lines.size(), 1000u);
  const std::regex form(
      R"(\S+ \S+ \[WARNING\] \[\d+\] src:(\d+) thread (\d) line (\d+))");
  int per_thread[4] = {0, 0, 0, 0};
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    EXPECT_EQ(m[1], m[3]);
    ++per_thread[std::stoi(m[2])];
  }
  for (int n : per_thread) EXPECT_EQ(n, 250);
}

}  // namespace
