// The statements by which the patch jobs threads find their schedules;
// the explain tool reads them with the same ones, so that what it shows is
// what the threads see.
#pragma once

// The scheduled patch jobs thread's schedules. Arguments: the date format of LastSubmittedTime, three job types, the
// scheduled type and the site.
inline constexpr char kScheduledPatchSchedulesQuery[] =
    "select distinct j.SchedularID as SchedularID, j1.JobTypeID as "
    "JobTypeID, DATE_FORMAT(j.LastSubmittedTime, '%s') as LastSubmittedTime, "
    "j.SchedularInfoID as SchedularInfoID from jobsmaster j, jobsmasterdetail "
    "j1 where (j1.jobtypeid = %d or j1.jobtypeid = %d or j1.jobtypeid = %d) "
    "and (j1.schedularid=j.schedularid) and j.JobScheduledType = %d and "
    "j.SiteID = %d order by j.scheduledtime,j.LastSubmittedTime";

// The statement by which the on-demand patch jobs thread finds its due
// schedules. Arguments: the date format of ScheduledTime, the four job
// types and the site.
inline constexpr char kOnDemandPatchSchedulesQuery[] =
    "select distinct j.SchedularID as SchedularID, j1.JobTypeID as "
    "JobTypeID, DATE_FORMAT(j.ScheduledTime, '%s') as ScheduledTime, "
    "j.JobPriority as Priority from jobsmaster j, jobsmasterdetail j1 "
    "where(j1.JobTypeID = %d or j1.JobTypeID = %d or j1.JobTypeID = %d or "
    "j1.JobTypeID = %d) and j.JobScheduledType = 0 and j1.SchedularID = "
    "j.SchedularID and j.lastsubmittedtime = '0000-00-00 00:00:00' and "
    "j.ScheduledTime <= now() and j.siteID = %d order by j.JobPriority";
