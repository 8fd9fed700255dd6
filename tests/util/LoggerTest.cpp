// The log file: line form, level filter, rotation under concurrent
// writers, and failures that must not reach the caller.
#include <unistd.h>

#include <regex>
#include <thread>

#include "UtilTestHelpers.h"

using utiltest::ReadFile;
using utiltest::ReadLines;
using utiltest::TempDir;

namespace {

TEST(LoggerTest, LineFormAndLevelFilter) {
  TempDir dir;
  CLogger logger;
  const std::string logdir = dir.path + "/ConsoleManagement/log/";  // created
  ASSERT_EQ(logger.InitKORBLog(logdir, "KORB_ProbeScheduler.log", 500000, 3), 1);
  for (int level : {2, 4, 8, 16})
    logger.KORBLog(12, "KORB_ProbeScheduler", level, "default %d", level);
  logger.SetMaxLogLevel(1);
  logger.KORBLog(13, "KORB_PatchScheduler", 4, "dropped");
  logger.KORBLog(13, "KORB_PatchScheduler", 2, "errors only");
  logger.SetMaxLogLevel(4);
  logger.KORBLog(14, "KORB_PatchScheduler", 16, "trace");

  const auto lines = ReadLines(logdir + "KORB_ProbeScheduler.log");
  const std::string tid = " [" + std::to_string(getpid()) + "] ";  // main thread
  const std::vector<std::string> expected = {
      "[ERROR]" + tid + "KORB_ProbeScheduler:12 default 2",
      "[WARNING]" + tid + "KORB_ProbeScheduler:12 default 4",
      "[INFO]" + tid + "KORB_ProbeScheduler:12 default 8",
      "[ERROR]" + tid + "KORB_PatchScheduler:13 errors only",
      "[TRACE]" + tid + "KORB_PatchScheduler:14 trace"};
  ASSERT_EQ(lines.size(), expected.size());
  const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i].substr(0, 24), stamp)) << lines[i];
    EXPECT_EQ(lines[i].substr(24), expected[i]);
  }
}

TEST(LoggerTest, UnwritableDirectoryAndFullDiskAreReportedOnce) {
  TempDir dir;
  const std::string file = dir.path + "/plainfile";
  std::ofstream(file) << "x";
  std::filesystem::create_symlink("/dev/full", dir.path + "/full.log");

  testing::internal::CaptureStderr();
  CLogger nowhere, full;
  EXPECT_EQ(nowhere.InitKORBLog(file + "/log", "a.log", 1000, 3), -1);
  EXPECT_EQ(full.InitKORBLog(dir.path, "full.log", 1000000, 3), 1);
  for (int i = 0; i < 20; ++i) {
    nowhere.KORBLog(1, "src", 2, "lost %d", i);
    full.KORBLog(1, "src", 2, "lost %d", i);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(utiltest::CountOf(err, file + "/log/a.log"), 1) << err;
  EXPECT_EQ(utiltest::CountOf(err, "No space left on device"), 1) << err;
}

// Lines written as groups land in the same files, in the same order and
// split at the same rotations, as the same lines written one by one; a
// line for another logger within a group goes out on its own.
TEST(LoggerTest, GroupedLinesRotateWhereSingleLinesWould) {
  TempDir dir;
  CLogger single, grouped, other;
  ASSERT_EQ(single.InitKORBLog(dir.path, "single.log", 2000, 3), 1);
  ASSERT_EQ(grouped.InitKORBLog(dir.path, "grouped.log", 2000, 3), 1);
  ASSERT_EQ(other.InitKORBLog(dir.path, "other.log", 100000, 3), 1);
  const auto lines_of = [](CLogger& logger, int group) {
    for (int i = 0; i < 3; ++i)
      logger.KORBLog(group, "src", 8, "group %d line %d %s", group, i,
                     std::string(static_cast<size_t>(group * 7 % 40), 'x').c_str());
    logger.KORBLog(group, "src", 16, "trace %d, filtered", group);
  };
  for (int group = 0; group < 40; ++group) {
    lines_of(single, group);
    CLogger::LineGroup held(&grouped);
    lines_of(grouped, group);
    other.KORBLog(group, "src", 8, "other %d", group);
  }
  const auto stripped = [&](const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& line : ReadLines(dir.path + "/" + name)) out.push_back(line.substr(24));
    return out;
  };
  for (const char* suffix : {"", ".1"}) {
    const auto expected = stripped(std::string("single.log") + suffix);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(stripped(std::string("grouped.log") + suffix), expected) << suffix;
  }
  EXPECT_EQ(ReadLines(dir.path + "/other.log").size(), 40u);
}

TEST(LoggerTest, ConcurrentLinesRotateWholeAndNeverInterleave) {
  TempDir dir;
  CLogger logger;
  ASSERT_EQ(logger.InitKORBLog(dir.path, "mt.log", 20000, 3), 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < 250; ++i) logger.KORBLog(i, "src", 4, "thread %d line %d", t, i);
    });
  for (auto& th : threads) th.join();

  // The previous file and the current one hold the latest lines of each
  // thread still in them, each line whole, without a gap.
  const std::string path = dir.path + "/mt.log";
  EXPECT_LE(ReadFile(path).size(), 20000u);
  EXPECT_LE(ReadFile(path + ".1").size(), 20000u);
  auto lines = ReadLines(path + ".1");
  for (const auto& line : ReadLines(path)) lines.push_back(line);
  const std::regex form(R"(.{23} \[WARNING\] \[\d+\] src:(\d+) thread (\d) line (\d+))");
  std::vector<int> next(4, -1);
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    EXPECT_EQ(m[1], m[3]);
    const size_t t = std::stoul(m[2]);
    const int i = std::stoi(m[3]);
    if (next[t] >= 0) {
      EXPECT_EQ(i, next[t]) << line;
    }
    next[t] = i + 1;
  }
  EXPECT_GT(lines.size(), 250u);
  for (int last : next) EXPECT_TRUE(last == -1 || last == 250) << last;
}

}  // namespace
