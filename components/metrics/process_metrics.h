// Figures every exporting process shows: the process_* set (CPU seconds,
// resident and virtual memory, open and maximum descriptors, start time)
// and <prefix>_build_info{version="..."} 1.
#pragma once

#include <string>

#include "metric_types.h"

namespace metrics {

void RegisterProcessMetrics(Registry& registry);
void RegisterBuildInfo(Registry& registry, const std::string& prefix);

}  // namespace metrics
