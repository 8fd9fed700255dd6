// GetNextScheduleTime around the due times of each schedule kind. The
// session clock is set with SET timestamp, so NOW() inside the function is
// the instant under test.
#include <string>

#include "TestDatabase.h"

namespace {

class ScheduleTimeTest : public korbtest::DbTest {
 protected:
  // The answer for schedule info `id` asked at local time `at` by a
  // schedule last submitted at `last` ("" for never).
  std::string Answer(int id, const std::string& last, const std::string& at) {
    return Scalar("SET timestamp = UNIX_TIMESTAMP('" + at + "'); SELECT GetNextScheduleTime(" +
                  std::to_string(id) + ", '" + last + "', 1, 1)");
  }
};

TEST_F(ScheduleTimeTest, OnceRunsAtItsTimeAndNeverAgain) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime) "
       "VALUES (1, 0, '2024-03-01 10:00:00')");
  EXPECT_EQ(Answer(1, "0000-00-00 00:00:00", "2024-03-01 09:59:59"), "2024-03-01 10:00:00|2");
  EXPECT_EQ(Answer(1, "0000-00-00 00:00:00", "2024-03-01 10:00:00"), "2024-03-01 10:00:00|0");
  // Missed while the scheduler was down: still posted once, late.
  EXPECT_EQ(Answer(1, "", "2024-03-05 12:00:00"), "2024-03-01 10:00:00|0");
  EXPECT_EQ(Answer(1, "2024-03-01 10:00:00", "2024-03-01 10:00:01"), "-1");
}

TEST_F(ScheduleTimeTest, EveryNMinutesCountsFromStartAndSkipsMissedRuns) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime, IntervalSeconds, "
       "EndTime) VALUES (1, 1, '2024-03-01 10:00:00', 300, NULL), "
       "(2, 1, '2024-03-01 10:00:00', 300, '2024-03-01 10:12:00')");
  EXPECT_EQ(Answer(1, "", "2024-03-01 09:00:00"), "2024-03-01 10:00:00|2");
  EXPECT_EQ(Answer(1, "", "2024-03-01 10:00:00"), "2024-03-01 10:00:00|0");
  EXPECT_EQ(Answer(1, "2024-03-01 10:00:00", "2024-03-01 10:04:59"), "2024-03-01 10:05:00|2");
  EXPECT_EQ(Answer(1, "2024-03-01 10:00:00", "2024-03-01 10:05:00"), "2024-03-01 10:05:00|1");
  EXPECT_EQ(Answer(1, "2024-03-01 10:05:00", "2024-03-01 10:05:01"), "2024-03-01 10:10:00|2");
  // Three runs missed: only the latest is posted.
  EXPECT_EQ(Answer(1, "2024-03-01 10:05:00", "2024-03-01 10:21:00"), "2024-03-01 10:20:00|1");
  // Across midnight at a month end.
  EXPECT_EQ(Answer(1, "2024-03-31 23:55:00", "2024-04-01 00:00:30"), "2024-04-01 00:00:00|1");

  EXPECT_EQ(Answer(2, "2024-03-01 10:05:00", "2024-03-01 10:11:00"), "2024-03-01 10:10:00|1");
  EXPECT_EQ(Answer(2, "2024-03-01 10:10:00", "2024-03-01 10:11:00"), "-1");
  EXPECT_EQ(Answer(2, "2024-03-01 10:10:00", "2024-03-02 10:00:00"), "-1");
}

TEST_F(ScheduleTimeTest, DailyAcrossMidnightAndMonthEnd) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime, TimeOfDay) VALUES "
       "(1, 2, '2024-01-01 00:00:00', '23:30:00'), (2, 2, '2024-01-01 00:00:00', '00:00:00'), "
       "(3, 2, '2024-06-10 12:00:00', '08:00:00')");
  EXPECT_EQ(Answer(1, "2024-02-28 23:30:00", "2024-02-29 23:29:59"), "2024-02-29 23:30:00|2");
  EXPECT_EQ(Answer(1, "2024-02-28 23:30:00", "2024-02-29 23:30:00"), "2024-02-29 23:30:00|1");
  EXPECT_EQ(Answer(1, "2024-02-29 23:30:00", "2024-02-29 23:45:00"), "2024-03-01 23:30:00|2");
  EXPECT_EQ(Answer(1, "2024-02-29 23:30:00", "2024-03-01 00:15:00"), "2024-03-01 23:30:00|2");

  EXPECT_EQ(Answer(2, "2024-01-31 00:00:00", "2024-01-31 23:59:59"), "2024-02-01 00:00:00|2");
  EXPECT_EQ(Answer(2, "2024-01-31 00:00:00", "2024-02-01 00:00:00"), "2024-02-01 00:00:00|1");
  EXPECT_EQ(Answer(2, "2024-12-31 00:00:00", "2025-01-01 00:00:05"), "2025-01-01 00:00:00|1");

  // The start day's time has already passed at the start: the first run is
  // the next day.
  EXPECT_EQ(Answer(3, "", "2024-06-10 13:00:00"), "2024-06-11 08:00:00|2");
}

TEST_F(ScheduleTimeTest, WeeklyOnGivenDays) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime, TimeOfDay, WeekDays) "
       "VALUES (1, 3, '2024-01-01 00:00:00', '08:00:00', 'Mon,Fri'), "
       "(2, 3, '2024-01-01 00:00:00', '08:00:00', '')");
  // 2024-03-01 is a Friday; the next Monday is in the next month.
  EXPECT_EQ(Answer(1, "2024-02-26 08:00:00", "2024-03-01 07:59:59"), "2024-03-01 08:00:00|2");
  EXPECT_EQ(Answer(1, "2024-02-26 08:00:00", "2024-03-01 08:00:00"), "2024-03-01 08:00:00|1");
  EXPECT_EQ(Answer(1, "2024-03-01 08:00:00", "2024-03-01 08:00:01"), "2024-03-04 08:00:00|2");
  // Sunday: the latest run was Friday's, already posted.
  EXPECT_EQ(Answer(1, "2024-03-01 08:00:00", "2024-03-03 09:00:00"), "2024-03-04 08:00:00|2");
  EXPECT_EQ(Answer(2, "", "2024-03-01 08:00:00"), "-1");
}

TEST_F(ScheduleTimeTest, UnknownScheduleAndUnreadableLastTimeAndCallRecord) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime, IntervalSeconds) "
       "VALUES (1, 1, '2024-03-01 10:00:00', 60)");
  EXPECT_EQ(Answer(42, "", "2024-03-01 10:00:00"), "-1");
  // A last time that is no date counts as never submitted.
  EXPECT_EQ(Answer(1, "garbage", "2024-03-01 10:00:30"), "2024-03-01 10:00:00|0");
  EXPECT_EQ(ProcedureCalls("GetNextScheduleTime"),
            (std::vector<std::string>{"GetNextScheduleTime(42, , 1, 1)",
                                      "GetNextScheduleTime(1, garbage, 1, 1)"}));
}

}  // namespace
