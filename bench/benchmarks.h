// The benchmarks korb-bench runs by name.
#pragma once

#include "bench_context.h"

namespace bench {

// Scan and deploy postings of 1,000 / 10,000 (/ 50,000) targets against a
// raw replay of the statements they sent.
void RunPostingBench(const Context& context);
// A procedure fan-out pass over 50 customers against a raw connect, call,
// close loop; the same pass with 5 customers that never answer.
void RunFanOutBench(const Context& context);
// Send-to-handler latency and drain rate against a bare recvfrom loop;
// datagrams lost at 50,000/s by the real daemon while a posting runs.
void RunSignalBench(const Context& context);
// The idle daemon's CPU per scaled hour and resident set over a scaled day.
void RunIdleBench(const Context& context);

}  // namespace bench
