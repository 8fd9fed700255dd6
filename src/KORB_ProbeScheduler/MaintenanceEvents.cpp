// Placeholder so the tree links while this module is being written.
#include "MaintenanceEvents.h"
void PopulateAgentUpgradeDetailsEvent() {}
void CleanupProbeScheduleEvent() {}
void PatchDeployRetryEvent() {}
void SoftwareDeploymentEvent() {}
void SoftwareMeteringEvent() {}
void JobPopulateEvent() {}
