-- Reference schema of the suite database.
--
-- Loaded into the main database `orb` and into every customer database, so
-- nothing here names a database. The server must run with
-- lower_case_table_names=1 (the daemon writes JobDetails, InventoryMaster,
-- Orbprofilevalues, ... in mixed case); every table name here is lower case.
--
-- Runs under the daemon's own session mode: zero dates must stay allowed
-- (jobsmaster.LastSubmittedTime '0000-00-00 00:00:00' means "never submitted").
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';
SET NAMES utf8mb4;

-- ---------------------------------------------------------------------------
-- Installation, customers, configuration
-- ---------------------------------------------------------------------------

CREATE TABLE configsettings (
  SettingKey   VARCHAR(128)  NOT NULL PRIMARY KEY,
  SettingValue VARCHAR(1024) NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- MSP server installations list their customers in the main database.
CREATE TABLE customermaster (
  CustomerID     INT          NOT NULL PRIMARY KEY,
  CustomerName   VARCHAR(255) NULL,
  DSNName        VARCHAR(255) NULL,
  DBName         VARCHAR(255) NULL,
  CustomerStatus INT          NOT NULL DEFAULT 0,
  AddOnID        INT          NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE customerdetails (
  ID             INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  CustomerID     INT NOT NULL,
  SiteID         INT NOT NULL DEFAULT 1,
  IsVirtualProbe INT NOT NULL DEFAULT 0,
  KEY ix_customer (CustomerID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Where the job handler listens for SH_PATCH_DOWNLOAD_SIGNAL; the first row
-- counts.
CREATE TABLE jobhandlermaster (
  ID         INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
  HostName   VARCHAR(255) NOT NULL,
  PortNumber INT          NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE updateagentdetails (
  ID            INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ClientVersion VARCHAR(64)  NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Probes, suite processes and the tasks they serve
-- ---------------------------------------------------------------------------

CREATE TABLE probemaster (
  ProbeID   INT          NOT NULL PRIMARY KEY,
  ProbeName VARCHAR(255) NULL,
  HostName  VARCHAR(255) NOT NULL,
  ProbeType INT          NOT NULL DEFAULT 1,
  Status    INT          NOT NULL DEFAULT 1,
  SiteID    INT          NOT NULL DEFAULT 1
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Suite processes per probe type: a probe of that type runs process
-- ProcessNo listening on UDP PortNumber.
CREATE TABLE kovaorbprocessmaster (
  ID          INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProbeType   INT          NOT NULL,
  ProcessNo   INT          NOT NULL,
  ProcessName VARCHAR(255) NULL,
  PortNumber  INT          NOT NULL,
  KEY ix_process (ProcessNo, ProbeType)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE tasklist (
  TaskID         INT          NOT NULL PRIMARY KEY,
  TaskName       VARCHAR(255) NULL,
  TaskTypeID     INT          NOT NULL,
  TaskCategoryID INT          NOT NULL DEFAULT 0,
  SignalType     INT          NOT NULL,
  ProcessNo      INT          NOT NULL DEFAULT 0,
  KEY ix_type (TaskTypeID, TaskCategoryID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Which process serves which task.
CREATE TABLE processmapper (
  ID        INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProcessNo INT NOT NULL,
  TaskID    INT NOT NULL,
  KEY ix_task (TaskID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- TaskCategoryID is the probe schedule category that the distribution
-- gives jobs of this type; NULL means 8 for the patch job types (10025,
-- 10027, 10037) and 7 for all others.
CREATE TABLE jobtypemaster (
  JobTypeID              INT          NOT NULL PRIMARY KEY,
  JobTypeName            VARCHAR(255) NULL,
  IsSignalRequiredForJob INT          NOT NULL DEFAULT 1,
  TaskCategoryID         INT          NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Work handed to a probe. For task type 3 (jobs) ProbeSchedulerID is a
-- jobdetails.JobID and MonitoringID the data collection type of the job's
-- system; for inventory task types ProbeSchedulerID is a SystemID.
CREATE TABLE probescheduledetail (
  ID               INT      NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProbeID          INT      NOT NULL,
  TaskTypeID       INT      NOT NULL,
  TaskCategoryID   INT      NOT NULL DEFAULT 0,
  ProbeSchedulerID INT      NOT NULL,
  MonitoringID     INT      NOT NULL DEFAULT 0,
  AssignedTime     DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
  KEY ix_scheduler (ProbeSchedulerID, TaskTypeID),
  KEY ix_probe (ProbeID, TaskTypeID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Agents of the task agent service and when they last answered.
CREATE TABLE orbtaskagentdetails (
  ID               INT      NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID         INT      NOT NULL,
  SiteID           INT      NOT NULL DEFAULT 1,
  LastResponseTime DATETIME NULL,
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Managed systems, reachability, data points
-- ---------------------------------------------------------------------------

CREATE TABLE inventorymaster (
  ID                            INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID                      INT           NOT NULL,
  SiteID                        INT           NOT NULL DEFAULT 1,
  SystemName                    VARCHAR(255)  NULL,
  ipaddress                     VARCHAR(64)   NULL,
  domainname                    VARCHAR(255)  NULL,
  managenode                    INT           NOT NULL DEFAULT 1,
  DataCollectionType            INT           NOT NULL DEFAULT 1,
  isVPNClient                   INT           NOT NULL DEFAULT 0,
  configpoll                    INT           NOT NULL DEFAULT 0,
  SystemStatus                  INT           NOT NULL DEFAULT 1,
  ErrorDescription              VARCHAR(1024) NULL,
  InventoryDatacollectionStatus INT           NOT NULL DEFAULT 0,
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Written by CDBI::RecordInventoryMasterOperation (2 marked unreachable,
-- 5 reverse-ping time-out).
CREATE TABLE inventorymasteroperations (
  OperationID   INT         NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID        INT         NOT NULL,
  SystemID      BIGINT      NOT NULL,
  OperationCode INT         NOT NULL,
  OperationTime DATETIME(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE pingcollectiondetails (
  ID                         INT      NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID                   INT      NOT NULL,
  SiteID                     INT      NOT NULL DEFAULT 1,
  LastResponseTime           DATETIME NULL,
  PingCollectionPollInterval INT      NOT NULL DEFAULT 60,
  PingCollectionAttemptTime  DATETIME NULL,
  ReversePingStatus          INT      NOT NULL DEFAULT 0,
  IsNodeDead                 INT      NOT NULL DEFAULT 0,
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE datamaster (
  DataID         INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID         INT NOT NULL DEFAULT 1,
  MonitoringID   INT NOT NULL,
  ParamID        INT NOT NULL,
  IsCustomPoller INT NOT NULL DEFAULT 0,
  KEY ix_monitoring (MonitoringID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE coredatapoints (
  ID         INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  DataID     INT           NOT NULL,
  Data       DECIMAL(20,2) NULL,
  TimePeriod DATETIME      NULL,
  Day        INT           NULL,
  KEY ix_data (DataID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE perfinstance_collectiondetails (
  ID       INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID INT NOT NULL,
  SiteID   INT NOT NULL DEFAULT 1,
  PollerID INT NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE loganalyzer_otherinputsettings (
  ID                     INT         NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID               INT         NULL,
  SiteID                 INT         NOT NULL DEFAULT 1,
  SysLogCollect          VARCHAR(16) NOT NULL DEFAULT '00000000',
  SysLog_SignalStatus    INT         NOT NULL DEFAULT 0,
  SNMPTraps              VARCHAR(16) NOT NULL DEFAULT '0',
  SNMPTraps_SignalStatus INT         NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE softwaremeterdetail (
  ID                    INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SystemID              INT           NOT NULL,
  SiteID                INT           NOT NULL DEFAULT 1,
  CollectionStatus      INT           NOT NULL DEFAULT 0,
  StatusDescription     VARCHAR(1024) NULL,
  CollectionAttemptTime DATETIME      NULL,
  KEY ix_system (SystemID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Profiles and target selection
-- ---------------------------------------------------------------------------

CREATE TABLE orbprofilemaster (
  ProfileID   INT          NOT NULL PRIMARY KEY,
  ProfileName VARCHAR(255) NOT NULL,
  SiteID      INT          NOT NULL DEFAULT 1
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One value text per profile and column (69 inclusion list, 70 exclusion
-- list, 60/59/58 included systems/locations/domain, 48/47/46 excluded ones,
-- 76/77 deploy retry limit/wait, 85/86 CAB retry limit/delay). The index
-- keeps joins on one column's rows: the patch deploy retry compares values
-- of column 76 as numbers, and strict mode would fail that update if it
-- ever compared a list such as '12,15'.
CREATE TABLE orbprofilevalues (
  ID            INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProfileID     INT           NOT NULL,
  ColumnID      INT           NOT NULL,
  ProfileValues VARCHAR(4000) NULL,
  SiteID        INT           NOT NULL DEFAULT 1,
  KEY ix_profile (ProfileID, ColumnID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE ipbreakdownlist (
  ID        INT         NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProfileID INT         NOT NULL,
  IPAddress VARCHAR(64) NOT NULL,
  KEY ix_profile (ProfileID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE locationviewdetails (
  ID         INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  LocationID INT NOT NULL,
  SystemID   INT NOT NULL,
  KEY ix_location (LocationID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Schedules and jobs
-- ---------------------------------------------------------------------------

-- When a recurring schedule runs (read by GetNextScheduleTime):
--   RecurrenceType 0 once, at StartTime;
--                  1 every IntervalSeconds (every N minutes is N*60),
--                    counted from StartTime;
--                  2 daily at TimeOfDay;
--                  3 weekly at TimeOfDay on the days in WeekDays.
-- Runs before StartTime or after EndTime (when set) do not happen.
CREATE TABLE schedularinfo (
  SchedularInfoID INT      NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID          INT      NOT NULL DEFAULT 1,
  RecurrenceType  INT      NOT NULL,
  StartTime       DATETIME NOT NULL,
  EndTime         DATETIME NULL,
  IntervalSeconds INT      NULL,
  TimeOfDay       TIME     NULL,
  WeekDays        SET('Sun','Mon','Tue','Wed','Thu','Fri','Sat') NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- JobScheduledType 1 recurring (timing in schedularinfo), 0 on demand (runs
-- once at ScheduledTime). LastSubmittedTime '0000-00-00 00:00:00' means not
-- yet submitted.
CREATE TABLE jobsmaster (
  SchedularID       INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SchedularName     VARCHAR(255) NULL,
  SiteID            INT          NOT NULL DEFAULT 1,
  JobScheduledType  INT          NOT NULL DEFAULT 1,
  ScheduledTime     DATETIME     NULL,
  LastSubmittedTime DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  JobPriority       INT          NOT NULL DEFAULT 5000,
  SchedularInfoID   INT          NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE jobsmasterdetail (
  ID          INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SchedularID INT NOT NULL,
  SystemID    INT NOT NULL DEFAULT 0,
  JobTypeID   INT NOT NULL,
  TaskID      INT NOT NULL DEFAULT 0,
  KEY ix_schedule (SchedularID, SystemID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Schedule parameters: 91 scan profile, 89 deploy profile, 564 TPPM scan
-- flag; any parameter of an on-demand schedule gives its target mode.
CREATE TABLE jobsmasterlookup (
  ID            INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID        INT           NOT NULL DEFAULT 1,
  SchedularID   INT           NOT NULL,
  JobParamID    INT           NOT NULL,
  JobParamValue VARCHAR(1024) NULL,
  KEY ix_schedule (SchedularID, JobParamID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One unit of work for one system. Status 0 waiting (default), 2/3
-- unfinished, 1 closed, -1 failed, -2 not to be repeated, -3 pending redo,
-- -6 excluded. JobName marks internal patch deploy jobs; ProfileID is the
-- deploy profile of patch deploy jobs.
--
-- Indexes. A posting runs several statements per target system, so each of
-- them must reach only that system's rows whatever the statistics say:
--   ix_system   the open-job counts of one system and type (with the
--               schedule and site for the count joined through the schedule
--               parameters) are answered from the index alone;
--   ix_schedule leads with the schedule for the per-schedule statements,
--               and carries system and site, so that a join that starts
--               from the schedule parameters still reaches one system's
--               rows: no index lets a per-system statement read every job
--               of a schedule;
--   ix_operation makes the per-pass max(operationid) one index read.
CREATE TABLE jobdetails (
  JobID             INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID            INT           NOT NULL DEFAULT 1,
  SchedularID       INT           NOT NULL DEFAULT 0,
  OperationID       INT           NOT NULL DEFAULT 0,
  JobTypeID         INT           NOT NULL,
  JobCategoryID     INT           NOT NULL DEFAULT 0,
  JobPriority       INT           NOT NULL DEFAULT 0,
  SystemID          INT           NOT NULL DEFAULT 0,
  ScheduleTime      DATETIME      NULL,
  SubmissionTime    DATETIME      NULL,
  FinishedTime      DATETIME      NULL,
  RedoID            INT           NOT NULL DEFAULT 0,
  Status            INT           NOT NULL DEFAULT 0,
  StatusDescription VARCHAR(1024) NULL,
  TaskID            INT           NOT NULL DEFAULT 0,
  RetryCount        INT           NOT NULL DEFAULT 0,
  JobName           VARCHAR(255)  NULL,
  ProfileID         INT           NOT NULL DEFAULT 0,
  KEY ix_system (SystemID, JobTypeID, Status, SchedularID, SiteID),
  KEY ix_schedule (SchedularID, JobTypeID, SystemID, SiteID, Status),
  KEY ix_due (Status, ScheduleTime),
  KEY ix_operation (OperationID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Patch management
-- ---------------------------------------------------------------------------

CREATE TABLE patch_details (
  ID                   INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID               INT          NOT NULL DEFAULT 1,
  PatchID              INT          NOT NULL,
  PatchName            VARCHAR(255) NULL,
  UpdateClassification VARCHAR(64)  NULL,
  KEY ix_patch (SiteID, PatchID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per site, system and patch to deploy. InternalStatus: 2 being
-- downloaded, 3 ready to post, 11 to post again, 4 posted as an internal
-- deploy job (JobID), 5/7/8/9/10 in progress on the patch side, 6 deployed,
-- -6 failed and waiting for a retry. Status is the text shown to users;
-- Time is text in the form '%Y/%m/%d %H:%i:%s' (the time of the last state
-- change).
CREATE TABLE patch_jobdetails (
  ID                    INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID                INT           NOT NULL DEFAULT 1,
  SystemID              INT           NOT NULL,
  PatchID               INT           NOT NULL,
  ProfileID             INT           NOT NULL DEFAULT 0,
  InternalStatus        INT           NOT NULL DEFAULT 2,
  Status                VARCHAR(1024) NULL,
  Retries               INT           NOT NULL DEFAULT 0,
  Priority              INT           NOT NULL DEFAULT 0,
  Time                  TEXT          NULL,
  IsMasterAgentDownload INT           NOT NULL DEFAULT 0,
  JobID                 INT           NOT NULL DEFAULT 0,
  KEY ix_system (SiteID, SystemID, PatchID),
  KEY ix_state (InternalStatus)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE patch_downloads (
  ID               INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID           INT           NOT NULL DEFAULT 1,
  PatchID          INT           NOT NULL,
  DownloadLocation VARCHAR(2048) NULL,
  KEY ix_patch (PatchID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE patch_summary (
  ID           INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID       INT           NOT NULL DEFAULT 1,
  SystemID     INT           NOT NULL,
  LastScanned  DATETIME      NULL,
  NextScan     INT           NOT NULL DEFAULT 0,
  ScanType     INT           NOT NULL DEFAULT 0,
  ScanResult   VARCHAR(1024) NULL,
  ScheduleTime DATETIME      NULL,
  AgentVersion VARCHAR(255)  NULL,
  Profileid    INT           NOT NULL DEFAULT 0,
  Status       INT           NOT NULL DEFAULT 0,
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE tppm_patch_summary LIKE patch_summary;

-- Data collectors serving systems, and the patch files each collector has
-- been told about (Status 1 downloaded).
CREATE TABLE dcsystemmapping (
  ID             INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID         INT NOT NULL DEFAULT 1,
  SystemID       INT NOT NULL,
  DCID           INT NOT NULL,
  IsCustomPoller INT NOT NULL DEFAULT 0,
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE dcinformer (
  ID         INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID     INT           NOT NULL DEFAULT 1,
  DCID       INT           NOT NULL,
  SoftwareID INT           NOT NULL,
  FileName   VARCHAR(1024) NULL,
  SiteStatus INT           NOT NULL DEFAULT 0,
  Status     INT           NOT NULL DEFAULT 0,
  PostedTime DATETIME      NULL,
  Type       INT           NOT NULL DEFAULT 0,
  KEY ix_software (SoftwareID, DCID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Master agents and the systems they serve; swinformer holds the patch
-- downloads each master agent has been asked for (Status 1 downloaded).
CREATE TABLE mappedagents (
  ID            INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID        INT NOT NULL DEFAULT 1,
  SystemID      INT NOT NULL,
  MasterAgentID INT NOT NULL,
  KEY ix_agent (MasterAgentID, SiteID),
  KEY ix_system (SystemID, SiteID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE swinformer (
  ID            INT      NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SiteID        INT      NOT NULL DEFAULT 1,
  MasterAgentID INT      NOT NULL,
  PatchID       INT      NOT NULL,
  Status        INT      NOT NULL DEFAULT 0,
  PostedTime    DATETIME NULL,
  KEY ix_agent (MasterAgentID, SiteID, PatchID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Call record of the stored procedures and GetNextScheduleTime
-- ---------------------------------------------------------------------------

-- Args: the arguments as the call text gives them, joined by ', ', text
-- arguments without quotes.
CREATE TABLE procedurecalllog (
  CallID   INT         NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ProcName VARCHAR(64) NOT NULL,
  Args     TEXT        NULL,
  CalledAt DATETIME(3) NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
