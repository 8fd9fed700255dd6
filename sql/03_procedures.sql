-- Stored procedures called by the scheduler.
--
-- Each records its call in procedurecalllog first (arguments joined by
-- ', ', texts unquoted), then does the least work that makes the suite's
-- flow true: due jobs are handed to probes, patch deploy jobs are written,
-- internal deploy jobs are posted and followed up. Procedures for which no
-- table of this schema fits only record their call; their comment says so.
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';

DELIMITER $$

-- ---------------------------------------------------------------------------
-- Job distribution
-- ---------------------------------------------------------------------------

-- Probe schedule category of a job type: jobtypemaster.TaskCategoryID, or
-- 8 (patch jobs) / 7 (all other jobs) when it is not set.
CREATE FUNCTION JobTaskCategory(p_JobTypeID INT)
RETURNS INT
NOT DETERMINISTIC
READS SQL DATA
BEGIN
  DECLARE v_Category INT DEFAULT NULL;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_Category = NULL;
  SELECT TaskCategoryID INTO v_Category FROM jobtypemaster WHERE JobTypeID = p_JobTypeID;
  RETURN IFNULL(v_Category, IF(p_JobTypeID IN (10025, 10027, 10037), 8, 7));
END$$

-- Hands every waiting job (status 0) whose schedule time falls within
-- p_LookAheadSeconds from now, and that no probe has yet, to an active
-- probe: one probescheduledetail row of task type 3 per job, with the
-- job's category and, as MonitoringID, its system's data collection type.
-- Jobs go round the active probes in ProbeID order, continuing where the
-- previous hand-out stopped, so consecutive calls spread too. Not called
-- by the scheduler itself; a named lock keeps two concurrent callers from
-- handing out the same job twice.
CREATE PROCEDURE AssignWaitingJobsToProbes(p_LookAheadSeconds INT)
MODIFIES SQL DATA
BEGIN
  DECLARE v_Lock VARCHAR(128) DEFAULT CONCAT(IFNULL(DATABASE(), ''), '.job-distribution');
  DECLARE v_Probes, v_Offset INT;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    DO RELEASE_LOCK(v_Lock);
    RESIGNAL;
  END;

  IF IFNULL(GET_LOCK(v_Lock, 30), 0) <> 1 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'job distribution is busy';
  END IF;

  SELECT COUNT(*) INTO v_Probes FROM probemaster WHERE Status = 1;
  IF v_Probes > 0 THEN
    SELECT COUNT(*) MOD v_Probes INTO v_Offset FROM probescheduledetail WHERE TaskTypeID = 3;
    INSERT INTO probescheduledetail
        (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID, MonitoringID, AssignedTime)
    SELECT p.ProbeID, 3, j.Category, j.JobID, j.Monitoring, NOW()
      FROM (SELECT jd.JobID,
                   JobTaskCategory(jd.JobTypeID) AS Category,
                   IFNULL((SELECT MAX(im.DataCollectionType) FROM inventorymaster im
                            WHERE im.SystemID = jd.SystemID AND im.SiteID = jd.SiteID), 0)
                     AS Monitoring,
                   ROW_NUMBER() OVER (ORDER BY jd.JobID) - 1 AS Position
              FROM jobdetails jd
             WHERE jd.Status = 0
               AND jd.ScheduleTime <= NOW() + INTERVAL GREATEST(IFNULL(p_LookAheadSeconds, 0), 0) SECOND
               AND NOT EXISTS (SELECT 1 FROM probescheduledetail psd
                                WHERE psd.ProbeSchedulerID = jd.JobID AND psd.TaskTypeID = 3)) j
      JOIN (SELECT ProbeID, ROW_NUMBER() OVER (ORDER BY ProbeID) - 1 AS Position
              FROM probemaster WHERE Status = 1) p
        ON p.Position = (j.Position + v_Offset) MOD v_Probes;
  END IF;

  DO RELEASE_LOCK(v_Lock);
END$$

-- Submits due jobs to the probes: every waiting job whose schedule time
-- has come gets its probe.
CREATE PROCEDURE submitschedulejobs()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('submitschedulejobs', '', NOW(3));
  CALL AssignWaitingJobsToProbes(0);
END$$

-- Distributes the tasks of one task type over the probes, looking
-- p_Period seconds ahead (the period after which the scheduler calls again,
-- so a job falling due before the next call already has its probe). Task
-- type 3 (jobs) is handed out as submitschedulejobs does; the other task
-- types (inventory, performance, metering, ping ...) have no work table
-- here, so for them the call is only recorded.
CREATE PROCEDURE Load_Distribution(p_TaskTypeID INT, p_Period INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Load_Distribution', CONCAT_WS(', ', IFNULL(p_TaskTypeID, ''), IFNULL(p_Period, '')), NOW(3));
  IF p_TaskTypeID = 3 THEN
    CALL AssignWaitingJobsToProbes(p_Period);
  END IF;
END$$

-- Records its call only: populating the jobs of a category (automation
-- tasks, 7; patch tasks, 8) from their definitions has no table here, and
-- the jobs that exist are handed out by Load_Distribution.
CREATE PROCEDURE PopulateJobsforCategory(p_TaskCategoryID INT, p_Flag INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('PopulateJobsforCategory', CONCAT_WS(', ', IFNULL(p_TaskCategoryID, ''), IFNULL(p_Flag, '')), NOW(3));
END$$

-- ---------------------------------------------------------------------------
-- Patch deploy jobs
-- ---------------------------------------------------------------------------

-- Writes one patch deploy job row with the values received. The schedule
-- time follows the rules of the scheduler's own job insert: '0' is now; a
-- text with a '-' after its first character stands for the schedule's
-- stored ScheduledTime; otherwise format 0 is '%m/%d/%Y %h:%i:%s %p' and
-- format 1 a plain date-time. A time that cannot be read becomes now, so
-- the job is never left without one. Duplicate rule as for the direct
-- insert: when the system already has an open job of the type (any status
-- but -1, 1, -2), the new row is written closed (status 1) with the reason.
CREATE PROCEDURE Submitpatchdeployjobs(p_SiteID INT,
                                       p_JobTypeID INT,
                                       p_SystemID INT,
                                       p_RedoID INT,
                                       p_SchedularID INT,
                                       p_OperationID INT,
                                       p_ScheduleTime VARCHAR(1024),
                                       p_TimeFormat INT,
                                       p_TaskID INT,
                                       p_ProfileID INT,
                                       p_Priority INT)
MODIFIES SQL DATA
BEGIN
  DECLARE v_Lock VARCHAR(128) DEFAULT CONCAT(IFNULL(DATABASE(), ''), '.deploy-submission');
  DECLARE v_Now DATETIME DEFAULT NOW();
  DECLARE v_Time DATETIME DEFAULT NULL;
  DECLARE v_Mode INT DEFAULT p_TimeFormat;
  DECLARE v_Open INT DEFAULT 0;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_Time = NULL;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    DO RELEASE_LOCK(v_Lock);
    RESIGNAL;
  END;

  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Submitpatchdeployjobs',
          CONCAT_WS(', ', IFNULL(p_SiteID, ''), IFNULL(p_JobTypeID, ''), IFNULL(p_SystemID, ''),
                    IFNULL(p_RedoID, ''), IFNULL(p_SchedularID, ''), IFNULL(p_OperationID, ''),
                    IFNULL(p_ScheduleTime, ''), IFNULL(p_TimeFormat, ''), IFNULL(p_TaskID, ''),
                    IFNULL(p_ProfileID, ''), IFNULL(p_Priority, '')),
          NOW(3));

  IF p_ScheduleTime = '0' THEN
    SET v_Time = v_Now;
  ELSE
    IF LOCATE('-', p_ScheduleTime) > 1 THEN
      SET v_Mode = 2;
      SELECT ScheduledTime INTO v_Time FROM jobsmaster WHERE SchedularID = p_SchedularID;
    END IF;
    IF v_Time IS NULL THEN
      BEGIN
        DECLARE CONTINUE HANDLER FOR SQLEXCEPTION, SQLWARNING SET v_Time = NULL;
        SET v_Time = CASE v_Mode
                       WHEN 0 THEN STR_TO_DATE(p_ScheduleTime, '%m/%d/%Y %h:%i:%s %p')
                       ELSE CAST(p_ScheduleTime AS DATETIME)
                     END;
      END;
    END IF;
  END IF;
  IF v_Time IS NULL OR YEAR(v_Time) = 0 THEN
    SET v_Time = v_Now;
  END IF;

  -- Count and insert under one lock, so two threads submitting for the
  -- same system cannot both see it free.
  IF IFNULL(GET_LOCK(v_Lock, 30), 0) <> 1 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'deploy job submission is busy';
  END IF;
  SELECT COUNT(*) INTO v_Open FROM jobdetails
   WHERE SystemID = p_SystemID AND JobTypeID = p_JobTypeID AND Status NOT IN (-1, 1, -2);
  IF v_Open < 1 THEN
    INSERT INTO jobdetails (SiteID, SchedularID, OperationID, JobTypeID, JobCategoryID, JobPriority,
                            SystemID, ScheduleTime, SubmissionTime, RedoID, TaskID, ProfileID)
    VALUES (p_SiteID, p_SchedularID, p_OperationID, p_JobTypeID, 0, p_Priority,
            p_SystemID, v_Time, v_Now, p_RedoID, p_TaskID, p_ProfileID);
  ELSE
    INSERT INTO jobdetails (SiteID, SchedularID, OperationID, JobTypeID, JobCategoryID, JobPriority,
                            SystemID, ScheduleTime, SubmissionTime, FinishedTime, RedoID, Status,
                            StatusDescription, TaskID, ProfileID)
    VALUES (p_SiteID, p_SchedularID, p_OperationID, p_JobTypeID, 0, p_Priority,
            p_SystemID, v_Time, v_Now, v_Now, p_RedoID, 1,
            'The Patch Deploy job for the system is already scheduled.', p_TaskID, p_ProfileID);
  END IF;
  DO RELEASE_LOCK(v_Lock);
END$$

-- Posts one patch of one system as an internal deploy job: a waiting job
-- row of type 10025 named p_JobName, due now, and the patch_jobdetails row
-- moves from internal status 3 or 11 to 4 (posted), remembering the job.
-- Both happen or neither; a patch that is no longer in 3 or 11 (posted by
-- an earlier call) gets no second job.
CREATE PROCEDURE postpatchinternaldeployjob(p_SiteID INT,
                                            p_PatchID INT,
                                            p_SystemID INT,
                                            p_ProfileID INT,
                                            p_JobName VARCHAR(255),
                                            p_Priority INT)
MODIFIES SQL DATA
BEGIN
  DECLARE v_Row INT DEFAULT NULL;
  DECLARE v_Job INT;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_Row = NULL;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    ROLLBACK;
    RESIGNAL;
  END;

  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('postpatchinternaldeployjob',
          CONCAT_WS(', ', IFNULL(p_SiteID, ''), IFNULL(p_PatchID, ''), IFNULL(p_SystemID, ''),
                    IFNULL(p_ProfileID, ''), IFNULL(p_JobName, ''), IFNULL(p_Priority, '')),
          NOW(3));

  START TRANSACTION;
  SELECT ID INTO v_Row FROM patch_jobdetails
   WHERE SiteID = p_SiteID AND SystemID = p_SystemID AND PatchID = p_PatchID
     AND InternalStatus IN (3, 11)
   ORDER BY ID LIMIT 1
   FOR UPDATE;
  IF v_Row IS NOT NULL THEN
    INSERT INTO jobdetails (SiteID, SchedularID, OperationID, JobTypeID, JobCategoryID, JobPriority,
                            SystemID, ScheduleTime, SubmissionTime, RedoID, TaskID, JobName, ProfileID)
    VALUES (p_SiteID, 0, 0, 10025, 0, IFNULL(p_Priority, 0),
            p_SystemID, NOW(), NOW(), 0, 0, p_JobName, IFNULL(p_ProfileID, 0));
    SET v_Job = LAST_INSERT_ID();
    UPDATE patch_jobdetails
       SET InternalStatus = 4, Status = 'Internal patch deploy job is posted.', JobID = v_Job,
           Time = DATE_FORMAT(NOW(), '%Y/%m/%d %H:%i:%s')
     WHERE ID = v_Row;
  END IF;
  COMMIT;
END$$

-- Follows up posted internal deploy jobs (internal status 4): a closed job
-- (status 1) leaves its patch deployed (6); a failed or excluded job (-1,
-- -6) leaves it failed (-6), which the scheduler's deploy retry moves back
-- to 3 after the profile's wait. Time records the change, from which that
-- wait is counted.
CREATE PROCEDURE Postpatchdeploy()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Postpatchdeploy', '', NOW(3));

  UPDATE patch_jobdetails pjd
    JOIN jobdetails jd ON jd.JobID = pjd.JobID
     SET pjd.InternalStatus = 6, pjd.Status = 'Patch deployed.',
         pjd.Time = DATE_FORMAT(NOW(), '%Y/%m/%d %H:%i:%s')
   WHERE pjd.InternalStatus = 4 AND jd.Status = 1;

  UPDATE patch_jobdetails pjd
    JOIN jobdetails jd ON jd.JobID = pjd.JobID
     SET pjd.InternalStatus = -6, pjd.Status = 'Patch deploy failed. It will be retried.',
         pjd.Time = DATE_FORMAT(NOW(), '%Y/%m/%d %H:%i:%s')
   WHERE pjd.InternalStatus = 4 AND jd.Status IN (-1, -6);
END$$

-- Asks each master agent for the patches its systems wait for: one
-- swinformer row (status 0, not downloaded) per site, master agent and
-- patch of a patch_jobdetails row marked for master agent download that is
-- still to be deployed (internal status 2, 3 or 11, at most 3 retries) and
-- not yet asked for. The agents set status 1 once they hold the files.
CREATE PROCEDURE MasteragentPatchDownload()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('MasteragentPatchDownload', '', NOW(3));

  INSERT INTO swinformer (SiteID, MasterAgentID, PatchID, Status, PostedTime)
  SELECT DISTINCT pjd.SiteID, ma.MasterAgentID, pjd.PatchID, 0, NOW()
    FROM patch_jobdetails pjd
    JOIN mappedagents ma ON ma.SiteID = pjd.SiteID AND ma.SystemID = pjd.SystemID
   WHERE pjd.IsMasterAgentDownload = 1
     AND pjd.InternalStatus IN (2, 3, 11)
     AND pjd.Retries <= 3
     AND NOT EXISTS (SELECT 1 FROM swinformer sw
                      WHERE sw.SiteID = pjd.SiteID AND sw.MasterAgentID = ma.MasterAgentID
                        AND sw.PatchID = pjd.PatchID);
END$$

-- Records its call only: the SSH patch management schedules it would
-- submit have no table here.
CREATE PROCEDURE pm_submitschedulejobs()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('pm_submitschedulejobs', '', NOW(3));
END$$

-- ---------------------------------------------------------------------------
-- Procedures whose work has no table here
-- ---------------------------------------------------------------------------

-- Records its call only: agent upgrade details have no table here.
CREATE PROCEDURE PopulateAgentUpgradedetails()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('PopulateAgentUpgradedetails', '', NOW(3));
END$$

-- Records its call only: software deployments have no table here.
CREATE PROCEDURE postsoftwaredeploymentjob()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('postsoftwaredeploymentjob', '', NOW(3));
END$$

-- Records its call only: user form publishing has no table here.
CREATE PROCEDURE populateuserformpublishinfo()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('populateuserformpublishinfo', '', NOW(3));
END$$

-- Records its call only: the automation task audit (1 automation tasks,
-- 2 patch jobs) has no audit table here.
CREATE PROCEDURE AutomationTaskAuditProcess(p_AuditType INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('AutomationTaskAuditProcess', IFNULL(p_AuditType, ''), NOW(3));
END$$

DELIMITER ;
