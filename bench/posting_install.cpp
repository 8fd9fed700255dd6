#include "posting_install.h"

#include "utilLib.h"

namespace bench {

void PreparePostingInstallation(RawSession& admin, int targets) {
  MustRun(admin,
          "truncate table inventorymaster; truncate table jobdetails; truncate table jobsmaster;"
          "truncate table jobsmasterlookup; truncate table orbprofilevalues;"
          "truncate table patch_summary; truncate table tppm_patch_summary;"
          "truncate table procedurecalllog; truncate table jobsmasterdetail;"
          "truncate table jobhandlermaster");
  MustRun(admin, Format("insert into inventorymaster (SystemID, DataCollectionType) "
                        "select seq, 1 from seq_1_to_%d", targets));
  MustRun(admin, Format("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
                        "select 1000 + (seq - 1) div 500, 60, group_concat(seq order by seq) "
                        "from seq_1_to_%d group by 1000 + (seq - 1) div 500", targets));
  const std::string profiles = admin.Scalar(
      "select group_concat(ProfileID order by ProfileID) from orbprofilevalues "
      "where ColumnID = 60");
  MustRun(admin, Format("insert into jobsmaster (SchedularID, SchedularName) values "
                        "(%d, 'bench scan'), (%d, 'bench deploy');"
                        "insert into jobsmasterlookup (SchedularID, JobParamID, JobParamValue) "
                        "values (%d, 91, '901'), (%d, 564, '0'), (%d, 89, '902');"
                        "insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
                        "values (901, 69, '%s'), (902, 69, '%s');"
                        // every eleventh deploy job signals the job handler: a port
                        // nobody listens on
                        "insert into jobhandlermaster (HostName, PortNumber) "
                        "values ('127.0.0.1', 9)",
                        kScanSchedule, kDeploySchedule, kScanSchedule, kScanSchedule,
                        kDeploySchedule, profiles.c_str(), profiles.c_str()));
}

}  // namespace bench
