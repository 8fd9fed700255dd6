-- Stored procedures called by the scheduler. Each records its call in
-- procedurecalllog (arguments joined by ', ', texts unquoted).
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';

DELIMITER $$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE Submitpatchdeployjobs(p_SiteID INT,
    p_JobTypeID INT,
    p_SystemID INT,
    p_RedoID INT,
    p_SchedularID INT,
    p_OperationID INT,
    p_ScheduleTime VARCHAR(255),
    p_TimeFormat INT,
    p_TaskID INT,
    p_ProfileID INT,
    p_Priority INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Submitpatchdeployjobs', CONCAT_WS(', ', p_SiteID, p_JobTypeID, p_SystemID, p_RedoID, p_SchedularID, p_OperationID, IFNULL(p_ScheduleTime, ''), p_TimeFormat, p_TaskID, p_ProfileID, p_Priority), NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE submitschedulejobs()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('submitschedulejobs', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE Load_Distribution(p_TaskTypeID INT,
    p_Period INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Load_Distribution', CONCAT_WS(', ', p_TaskTypeID, p_Period), NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE pm_submitschedulejobs()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('pm_submitschedulejobs', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE PopulateAgentUpgradedetails()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('PopulateAgentUpgradedetails', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE Postpatchdeploy()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('Postpatchdeploy', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE PopulateJobsforCategory(p_TaskCategoryID INT,
    p_Flag INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('PopulateJobsforCategory', CONCAT_WS(', ', p_TaskCategoryID, p_Flag), NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE postsoftwaredeploymentjob()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('postsoftwaredeploymentjob', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE populateuserformpublishinfo()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('populateuserformpublishinfo', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE AutomationTaskAuditProcess(p_AuditType INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('AutomationTaskAuditProcess', CONCAT_WS(', ', p_AuditType), NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE MasteragentPatchDownload()
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('MasteragentPatchDownload', '', NOW(3));
END$$

-- Records its call; its work in the database comes later.
CREATE PROCEDURE postpatchinternaldeployjob(p_SiteID INT,
    p_PatchID INT,
    p_SystemID INT,
    p_ProfileID INT,
    p_JobName VARCHAR(255),
    p_Priority INT)
MODIFIES SQL DATA
BEGIN
  INSERT INTO procedurecalllog (ProcName, Args, CalledAt)
  VALUES ('postpatchinternaldeployjob', CONCAT_WS(', ', p_SiteID, p_PatchID, p_SystemID, p_ProfileID, IFNULL(p_JobName, ''), p_Priority), NOW(3));
END$$

DELIMITER ;
