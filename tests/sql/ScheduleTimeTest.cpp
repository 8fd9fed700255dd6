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

TEST_F(ScheduleTimeTest, DueTimesOfEachScheduleKind) {
  Exec("INSERT INTO schedularinfo (SchedularInfoID, RecurrenceType, StartTime, EndTime, "
       "IntervalSeconds, TimeOfDay, WeekDays) VALUES "
       "(1, 0, '2024-03-01 10:00:00', NULL, NULL, NULL, NULL), "
       "(2, 1, '2024-03-01 10:00:00', NULL, 300, NULL, NULL), "
       "(3, 1, '2024-03-01 10:00:00', '2024-03-01 10:12:00', 300, NULL, NULL), "
       "(4, 2, '2024-01-01 00:00:00', NULL, NULL, '23:30:00', NULL), "
       "(5, 2, '2024-01-01 00:00:00', NULL, NULL, '00:00:00', NULL), "
       "(6, 2, '2024-06-10 12:00:00', NULL, NULL, '08:00:00', NULL), "
       "(7, 3, '2024-01-01 00:00:00', NULL, NULL, '08:00:00', 'Mon,Fri'), "
       "(8, 3, '2024-01-01 00:00:00', NULL, NULL, '08:00:00', '')");
  const std::string never = "0000-00-00 00:00:00";
  const struct {
    int id;
    std::string last, at, answer;
  } cases[] = {
      // Once: at its time, late after a downtime, then never again.
      {1, never, "2024-03-01 09:59:59", "2024-03-01 10:00:00|2"},
      {1, never, "2024-03-01 10:00:00", "2024-03-01 10:00:00|0"},
      {1, "", "2024-03-05 12:00:00", "2024-03-01 10:00:00|0"},
      {1, "2024-03-01 10:00:00", "2024-03-01 10:00:01", "-1"},
      // Every 5 minutes from the start; of missed runs only the latest.
      {2, "", "2024-03-01 10:00:00", "2024-03-01 10:00:00|0"},
      {2, "2024-03-01 10:00:00", "2024-03-01 10:05:00", "2024-03-01 10:05:00|1"},
      {2, "2024-03-01 10:05:00", "2024-03-01 10:05:01", "2024-03-01 10:10:00|2"},
      {2, "2024-03-01 10:05:00", "2024-03-01 10:21:00", "2024-03-01 10:20:00|1"},
      {2, "2024-03-31 23:55:00", "2024-04-01 00:00:30", "2024-04-01 00:00:00|1"},
      {2, "garbage", "2024-03-01 10:00:30", "2024-03-01 10:00:00|0"},  // as never
      {3, "2024-03-01 10:05:00", "2024-03-01 10:11:00", "2024-03-01 10:10:00|1"},
      {3, "2024-03-01 10:10:00", "2024-03-01 10:11:00", "-1"},  // ended
      // Daily, across midnight, month and year ends.
      {4, "2024-02-28 23:30:00", "2024-02-29 23:30:00", "2024-02-29 23:30:00|1"},
      {4, "2024-02-29 23:30:00", "2024-03-01 00:15:00", "2024-03-01 23:30:00|2"},
      {5, "2024-01-31 00:00:00", "2024-02-01 00:00:00", "2024-02-01 00:00:00|1"},
      {5, "2024-12-31 00:00:00", "2025-01-01 00:00:05", "2025-01-01 00:00:00|1"},
      {6, "", "2024-06-10 13:00:00", "2024-06-11 08:00:00|2"},  // passed on day one
      // Weekly: 2024-03-01 is a Friday, the next Monday in the next month.
      {7, "2024-02-26 08:00:00", "2024-03-01 08:00:00", "2024-03-01 08:00:00|1"},
      {7, "2024-03-01 08:00:00", "2024-03-01 08:00:01", "2024-03-04 08:00:00|2"},
      {7, "2024-03-01 08:00:00", "2024-03-03 09:00:00", "2024-03-04 08:00:00|2"},
      {8, "", "2024-03-01 08:00:00", "-1"},
      {42, "", "2024-03-01 10:00:00", "-1"},  // unknown
  };
  for (const auto& c : cases)
    EXPECT_EQ(Answer(c.id, c.last, c.at), c.answer) << c.id << ", " << c.last << " at " << c.at;
}

}  // namespace
