// The statement by which the scheduled patch jobs thread finds its
// schedules; the explain tool reads them with the same one, so that what
// it shows is what the thread sees.
#pragma once

// Arguments: the date format of LastSubmittedTime, three job types, the
// scheduled type and the site.
inline constexpr char kScheduledPatchSchedulesQuery[] =
    "select distinct j.SchedularID as SchedularID, j1.JobTypeID as "
    "JobTypeID, DATE_FORMAT(j.LastSubmittedTime, '%s') as LastSubmittedTime, "
    "j.SchedularInfoID as SchedularInfoID from jobsmaster j, jobsmasterdetail "
    "j1 where (j1.jobtypeid = %d or j1.jobtypeid = %d or j1.jobtypeid = %d) "
    "and (j1.schedularid=j.schedularid) and j.JobScheduledType = %d and "
    "j.SiteID = %d order by j.scheduledtime,j.LastSubmittedTime";
