// Maintenance handlers of the main loop's timeout events 4, 6, 9, 10, 11
// and 13, each in its main and (where it has one) MSP form.
#pragma once

void PopulateAgentUpgradeDetailsEvent();   // event 4
void CleanupProbeScheduleEvent();          // event 6
void PatchDeployRetryEvent();              // event 9
void SoftwareDeploymentEvent();            // event 10
void SoftwareMeteringEvent();              // event 11
void JobPopulateEvent();                   // event 13
