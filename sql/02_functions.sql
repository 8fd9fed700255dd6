-- Database functions called by the scheduler.
--
-- Schedule timing lives in schedularinfo (see 01_schema.sql). Times are the
-- server's local date-times, like every date-time the daemon writes.
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';

DELIMITER $$

-- Parses a '%Y-%m-%d %H:%i:%s' text; NULL for NULL, empty, zero dates and
-- anything unparsable. Strict mode turns a failed conversion inside a
-- routine into an error, hence the handler.
CREATE FUNCTION ParseScheduleTime(p_Text VARCHAR(255))
RETURNS DATETIME
DETERMINISTIC
NO SQL
BEGIN
  DECLARE v_Time DATETIME DEFAULT NULL;
  BEGIN
    DECLARE CONTINUE HANDLER FOR SQLEXCEPTION, SQLWARNING SET v_Time = NULL;
    SET v_Time = STR_TO_DATE(p_Text, '%Y-%m-%d %H:%i:%s');
  END;
  IF v_Time IS NOT NULL AND YEAR(v_Time) = 0 THEN
    SET v_Time = NULL;
  END IF;
  RETURN v_Time;
END$$

-- True when a weekly schedule runs on the day of p_Time.
CREATE FUNCTION ScheduleRunsOnDay(p_WeekDays VARCHAR(64), p_Time DATETIME)
RETURNS INT
DETERMINISTIC
NO SQL
BEGIN
  RETURN FIND_IN_SET(ELT(DAYOFWEEK(p_Time), 'Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'),
                     IFNULL(p_WeekDays, '')) > 0;
END$$

-- Latest run of the schedule at or before p_At, or NULL.
CREATE FUNCTION ScheduleRunNotAfter(p_SchedularInfoID INT, p_At DATETIME)
RETURNS DATETIME
NOT DETERMINISTIC
READS SQL DATA
BEGIN
  DECLARE v_Type INT;
  DECLARE v_Start, v_End, v_At, v_Run DATETIME;
  DECLARE v_Interval INT;
  DECLARE v_TimeOfDay TIME;
  DECLARE v_WeekDays VARCHAR(64);
  DECLARE v_Day INT DEFAULT 0;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_Type = NULL;

  SELECT RecurrenceType, StartTime, EndTime, IntervalSeconds,
         IFNULL(TimeOfDay, TIME(StartTime)), WeekDays
    INTO v_Type, v_Start, v_End, v_Interval, v_TimeOfDay, v_WeekDays
    FROM schedularinfo WHERE SchedularInfoID = p_SchedularInfoID;

  -- A run after the end time never happens, but the last run before it may
  -- still be due.
  SET v_At = IF(v_End IS NOT NULL AND v_End < p_At, v_End, p_At);
  IF v_Type IS NULL OR v_At < v_Start THEN
    RETURN NULL;
  END IF;

  CASE v_Type
    WHEN 0 THEN
      SET v_Run = v_Start;
    WHEN 1 THEN
      IF v_Interval IS NULL OR v_Interval <= 0 THEN
        RETURN NULL;
      END IF;
      SET v_Run = v_Start + INTERVAL
          (TIMESTAMPDIFF(SECOND, v_Start, v_At) DIV v_Interval) * v_Interval SECOND;
    WHEN 2 THEN
      SET v_Run = TIMESTAMP(DATE(v_At), v_TimeOfDay);
      IF v_Run > v_At THEN
        SET v_Run = v_Run - INTERVAL 1 DAY;
      END IF;
    WHEN 3 THEN
      SET v_Run = NULL;
      WHILE v_Run IS NULL AND v_Day <= 7 DO
        SET v_Run = TIMESTAMP(DATE(v_At) - INTERVAL v_Day DAY, v_TimeOfDay);
        IF v_Run > v_At OR NOT ScheduleRunsOnDay(v_WeekDays, v_Run) THEN
          SET v_Run = NULL;
        END IF;
        SET v_Day = v_Day + 1;
      END WHILE;
    ELSE
      SET v_Run = NULL;
  END CASE;

  IF v_Run < v_Start THEN
    RETURN NULL;
  END IF;
  RETURN v_Run;
END$$

-- Earliest run of the schedule after p_After, or NULL.
CREATE FUNCTION ScheduleRunAfter(p_SchedularInfoID INT, p_After DATETIME)
RETURNS DATETIME
NOT DETERMINISTIC
READS SQL DATA
BEGIN
  DECLARE v_Type INT;
  DECLARE v_Start, v_End, v_Run DATETIME;
  DECLARE v_Interval INT;
  DECLARE v_TimeOfDay TIME;
  DECLARE v_WeekDays VARCHAR(64);
  DECLARE v_Day INT DEFAULT 0;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_Type = NULL;

  SELECT RecurrenceType, StartTime, EndTime, IntervalSeconds,
         IFNULL(TimeOfDay, TIME(StartTime)), WeekDays
    INTO v_Type, v_Start, v_End, v_Interval, v_TimeOfDay, v_WeekDays
    FROM schedularinfo WHERE SchedularInfoID = p_SchedularInfoID;
  IF v_Type IS NULL THEN
    RETURN NULL;
  END IF;

  IF v_Type = 0 THEN
    SET v_Run = IF(v_Start > p_After, v_Start, NULL);
  ELSEIF v_Type = 1 THEN
    IF v_Interval IS NULL OR v_Interval <= 0 THEN
      RETURN NULL;
    END IF;
    IF p_After < v_Start THEN
      SET v_Run = v_Start;
    ELSE
      SET v_Run = v_Start + INTERVAL
          (TIMESTAMPDIFF(SECOND, v_Start, p_After) DIV v_Interval + 1) * v_Interval SECOND;
    END IF;
  ELSEIF v_Type IN (2, 3) THEN
    -- Runs on days before the start day cannot count, so begin there.
    WHILE v_Run IS NULL AND v_Day <= 8 DO
      SET v_Run = TIMESTAMP(DATE(GREATEST(p_After, v_Start)) + INTERVAL v_Day DAY, v_TimeOfDay);
      IF v_Run <= p_After OR v_Run < v_Start
         OR (v_Type = 3 AND NOT ScheduleRunsOnDay(v_WeekDays, v_Run)) THEN
        SET v_Run = NULL;
      END IF;
      SET v_Day = v_Day + 1;
    END WHILE;
  END IF;

  IF v_End IS NOT NULL AND v_Run > v_End THEN
    RETURN NULL;
  END IF;
  RETURN v_Run;
END$$

-- Next run of a recurring schedule, as the scheduled patch jobs thread asks
-- for it: '-1' when the schedule has no further run, otherwise
-- '<%Y-%m-%d %H:%i:%s>|<flag>' where flag 0 means the schedule's first run
-- is due now, 1 a later run is due now, 2 the time given is still to come.
-- A run is due when it lies at or before now and after the last submitted
-- time; of several missed runs only the latest is given, so a schedule that
-- was not served for a while is posted once, not once per missed run. The
-- last submitted time is NULL, empty or zero for a schedule never
-- submitted. p_Mode and p_SiteID are only recorded (the scheduler always
-- passes mode 1; the schedule-info ID alone identifies the timing).
-- Records its call in procedurecalllog.
CREATE FUNCTION GetNextScheduleTime(p_SchedularInfoID INT,
                                    p_LastSubmittedTime VARCHAR(255),
                                    p_Mode INT,
                                    p_SiteID INT)
RETURNS VARCHAR(64)
NOT DETERMINISTIC
MODIFIES SQL DATA
BEGIN
  DECLARE v_Now DATETIME DEFAULT NOW();
  DECLARE v_Last DATETIME DEFAULT ParseScheduleTime(p_LastSubmittedTime);
  DECLARE v_Due, v_Next DATETIME;

  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('GetNextScheduleTime',
          CONCAT_WS(', ', IFNULL(p_SchedularInfoID, ''), IFNULL(p_LastSubmittedTime, ''),
                    IFNULL(p_Mode, ''), IFNULL(p_SiteID, '')),
          NOW(3));

  SET v_Due = ScheduleRunNotAfter(p_SchedularInfoID, v_Now);
  IF v_Due IS NOT NULL AND (v_Last IS NULL OR v_Due > v_Last) THEN
    RETURN CONCAT(DATE_FORMAT(v_Due, '%Y-%m-%d %H:%i:%s'), '|', IF(v_Last IS NULL, 0, 1));
  END IF;

  SET v_Next = ScheduleRunAfter(p_SchedularInfoID, IF(v_Last > v_Now, v_Last, v_Now));
  IF v_Next IS NULL THEN
    RETURN '-1';
  END IF;
  RETURN CONCAT(DATE_FORMAT(v_Next, '%Y-%m-%d %H:%i:%s'), '|2');
END$$

DELIMITER ;
