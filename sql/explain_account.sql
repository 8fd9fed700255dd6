-- The account korb-explain reads with: it may read the scheduler's
-- database and run the three schedule functions that only read, and
-- nothing else. GetNextScheduleTime is left out on purpose: it records
-- its calls. Change the password (ALTER USER) and put it into
-- /etc/korb/korb-explain.cnf. On a managed-service installation grant
-- SELECT on every customer database too, and give each customer a group
-- in that file. SELECT on the main database covers the scheduler's own
-- lease table (korb_scheduler_lease), which `korb-explain lease` reads.
CREATE USER IF NOT EXISTS 'korb_explain'@'localhost' IDENTIFIED BY 'change-me';
GRANT SELECT ON orb.* TO 'korb_explain'@'localhost';
GRANT EXECUTE ON FUNCTION orb.ParseScheduleTime TO 'korb_explain'@'localhost';
GRANT EXECUTE ON FUNCTION orb.ScheduleRunNotAfter TO 'korb_explain'@'localhost';
GRANT EXECUTE ON FUNCTION orb.ScheduleRunAfter TO 'korb_explain'@'localhost';
