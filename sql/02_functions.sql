-- Database functions called by the scheduler.
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';

DELIMITER $$

-- Next run of a recurring schedule: '-1' (no further run) or 'time|flag'.
-- Records its call; for now it always answers '-1' (its computation from
-- the schedule timing comes later).
CREATE FUNCTION GetNextScheduleTime(p_SchedularInfoID INT,
                                    p_LastSubmittedTime VARCHAR(64),
                                    p_Mode INT,
                                    p_SiteID INT)
RETURNS VARCHAR(64)
NOT DETERMINISTIC
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('GetNextScheduleTime',
          CONCAT_WS(', ', p_SchedularInfoID, IFNULL(p_LastSubmittedTime, ''), p_Mode, p_SiteID),
          NOW(3));
  RETURN '-1';
END$$

DELIMITER ;
