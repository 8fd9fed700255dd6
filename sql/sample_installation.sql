-- A small single-site installation for the demo, loaded on top of the
-- numbered files into `orb`.
--
-- Site 1 with two probes on this machine whose suite processes listen for
-- UDP signals on 127.0.0.1 ports 47001 and 47002; the job handler on 47100.
-- 36 managed systems (101-136). Schedules:
--   1 patch scan, every 2 minutes (falls due at once on first start)
--   2 patch deploy, daily at 00:00 (due at once: today's run has not happened)
--   3 CAB file download, weekly on every day at 00:00 (due at once)
--   4 on-demand patch scan of systems 101-104, due at load time
-- and two patches ready to be posted as internal deploy jobs.
-- Every run of the scan posts jobs for the systems of domain corp.example
-- and systems 101-103, except 105; while earlier scan jobs are still open
-- the new ones are written closed as duplicates.
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';

INSERT INTO configsettings (SettingKey, SettingValue) VALUES
  ('PATCH_SCAN_STATUS', '1'),
  ('LOG_LEVEL', '4'),
  ('LOG_SIZE', '5000000'),
  ('SOFTWARE_METER_STATUS', '0'),
  ('ENABLE_REVERSE_PING', '1'),
  ('AGENT_DOWN_STATUS_UPDATE_FACTOR', '2');

INSERT INTO jobhandlermaster (HostName, PortNumber) VALUES ('127.0.0.1', 47100);
INSERT INTO updateagentdetails (ClientVersion) VALUES ('7.6.0.1');

-- Probes and the process each runs. Probe types differ so that each probe
-- has its own port; distribution alternates jobs between the two.
INSERT INTO probemaster (ProbeID, ProbeName, HostName, ProbeType, Status, SiteID) VALUES
  (1, 'Probe A', '127.0.0.1', 1, 1, 1),
  (2, 'Probe B', '127.0.0.1', 2, 1, 1);
INSERT INTO kovaorbprocessmaster (ProbeType, ProcessNo, ProcessName, PortNumber) VALUES
  (1, 1, 'Job executor A', 47001),
  (2, 1, 'Job executor B', 47002);
-- Jobs (task type 3) of both categories are signalled with type 3.
INSERT INTO tasklist (TaskID, TaskName, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) VALUES
  (1, 'Patch jobs', 3, 8, 3, 1),
  (2, 'Automation jobs', 3, 7, 3, 1);
INSERT INTO processmapper (ProcessNo, TaskID) VALUES (1, 1), (1, 2);
INSERT INTO jobtypemaster (JobTypeID, JobTypeName, IsSignalRequiredForJob, TaskCategoryID) VALUES
  (10025, 'Patch deploy', 1, 8),
  (10027, 'Patch scan', 1, 8),
  (10037, 'CAB file download', 1, 8);

-- Systems 101-136: every third one a data collection type 4 (agent)
-- system, the rest type 1; 101-118 in corp.example, the rest in
-- lab.example; 131-136 are VPN clients.
INSERT INTO inventorymaster (SystemID, SiteID, SystemName, ipaddress, domainname, managenode,
                             DataCollectionType, isVPNClient, configpoll, SystemStatus)
WITH RECURSIVE n (i) AS (SELECT 101 UNION ALL SELECT i + 1 FROM n WHERE i < 136)
SELECT i, 1, CONCAT('host-', i), CONCAT('10.0.0.', i - 100),
       IF(i <= 118, 'corp.example', 'lab.example'), 1,
       IF(i MOD 3 = 0, 4, 1), IF(i > 130, 1, 0), 0, 1
  FROM n;
INSERT INTO orbtaskagentdetails (SystemID, SiteID, LastResponseTime)
SELECT SystemID, 1, NOW() FROM inventorymaster WHERE DataCollectionType = 4;
INSERT INTO pingcollectiondetails (SystemID, SiteID, LastResponseTime, PingCollectionPollInterval,
                                   PingCollectionAttemptTime)
SELECT SystemID, 1, NOW(), 300, NOW() FROM inventorymaster WHERE isVPNClient = 1;
-- Location 1 (the deploy targets): systems 119-124.
INSERT INTO locationviewdetails (LocationID, SystemID)
SELECT 1, SystemID FROM inventorymaster WHERE SystemID BETWEEN 119 AND 124;

-- Profiles. 10 scan profile: includes profile 11, excludes profile 12.
-- 20 deploy profile: includes profile 21 (location 1), retries 3 times
-- after 2 minutes.
INSERT INTO orbprofilemaster (ProfileID, ProfileName, SiteID) VALUES
  (1, 'Default global patch profile', 1),
  (10, 'Weekly server scan', 1),
  (11, 'Corp servers', 1),
  (12, 'Scan exclusions', 1),
  (20, 'Deploy to lab location', 1),
  (21, 'Lab location', 1);
INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues, SiteID) VALUES
  (1, 85, '2', 1),
  (1, 86, '1', 1),
  (10, 69, '11', 1),
  (10, 70, '12', 1),
  (11, 60, '101,102,103', 1),
  (11, 58, 'corp.example', 1),
  (12, 48, '105', 1),
  (20, 69, '21', 1),
  (20, 76, '3', 1),
  (20, 77, '2', 1),
  (21, 59, '1', 1);

-- Schedule timing (see schedularinfo in 01_schema.sql).
INSERT INTO schedularinfo (SchedularInfoID, SiteID, RecurrenceType, StartTime, IntervalSeconds,
                           TimeOfDay, WeekDays) VALUES
  (1, 1, 1, '2024-01-01 00:00:00', 120, NULL, NULL),
  (2, 1, 2, '2024-01-01 00:00:00', NULL, '00:00:00', NULL),
  (3, 1, 3, '2024-01-01 00:00:00', NULL, '00:00:00', 'Sun,Mon,Tue,Wed,Thu,Fri,Sat');

INSERT INTO jobsmaster (SchedularID, SchedularName, SiteID, JobScheduledType, ScheduledTime,
                        JobPriority, SchedularInfoID) VALUES
  (1, 'Patch scan every 2 minutes', 1, 1, NOW(), 5000, 1),
  (2, 'Nightly patch deploy', 1, 1, NOW(), 5000, 2),
  (3, 'Weekly CAB file download', 1, 1, NOW(), 3000, 3),
  (4, 'On-demand patch scan', 1, 0, NOW(), 100, 0);
INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) VALUES
  (1, 0, 10027, 0),
  (2, 0, 10025, 0),
  (3, 0, 10037, 0),
  (4, 101, 10027, 1),
  (4, 102, 10027, 2),
  (4, 103, 10027, 3),
  (4, 104, 10027, 4);
-- Scan profile, plain (not TPPM) scan, deploy profile. The on-demand scan
-- is a plain scan too: with that marker (value 0) as its only parameter it
-- still targets its jobsmasterdetail systems, and its open jobs on systems
-- 101-104 make the recurring scan's jobs there closed duplicates (and the
-- other way round), so no system holds two open scans.
INSERT INTO jobsmasterlookup (SiteID, SchedularID, JobParamID, JobParamValue) VALUES
  (1, 1, 91, '10'),
  (1, 1, 564, '0'),
  (1, 2, 89, '20'),
  (1, 4, 564, '0');

-- Two patches ready on the patch side for agentless systems 119 and 120.
INSERT INTO patch_details (SiteID, PatchID, PatchName, UpdateClassification) VALUES
  (1, 5001, 'Security update 5001', 'Security Updates'),
  (1, 5002, 'Critical update 5002', 'Critical Updates');
INSERT INTO patch_jobdetails (SiteID, SystemID, PatchID, ProfileID, InternalStatus, Status,
                              Retries, Priority, Time, IsMasterAgentDownload) VALUES
  (1, 119, 5001, 20, 3, 'Patch deploy job is posted.', 0, 1,
   DATE_FORMAT(NOW(), '%Y/%m/%d %H:%i:%s'), 0),
  (1, 120, 5002, 20, 3, 'Patch deploy job is posted.', 0, 2,
   DATE_FORMAT(NOW(), '%Y/%m/%d %H:%i:%s'), 0);
