// The benchmarks korb-bench runs by name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench_context.h"
#include "raw_session.h"

class CDBI;

namespace bench {

// Scan and deploy postings of 1,000 / 10,000 (/ 50,000) targets against a
// raw replay of the statements they sent.
void RunPostingBench(const Context& context);
// A procedure fan-out pass over 50 customers against a raw connect, call,
// close loop; the same pass with 5 customers that never answer.
void RunFanOutBench(const Context& context);
// An event-17 signalling pass and a procedure fan-out pass over 100
// (quick) or 1,000 customers on the fan-out pool against a raw loop of the
// same statements on kept sessions.
void RunMspPassBench(const Context& context);
// Send-to-handler latency and drain rate against a bare recvfrom loop;
// datagrams lost at 50,000/s by the real daemon while a posting runs.
void RunSignalBench(const Context& context);
// The idle daemon's CPU per scaled hour and resident set over a scaled day.
void RunIdleBench(const Context& context);
// A scan posting with the scheduler lease on (one fenced transaction per
// target) against the raw replay of the unfenced posting's statements and
// against the unfenced posting. Leaves the lease on in this process: run it
// last.
void RunFencingBench(const Context& context);

// The statements post(db) sends, from the server's general log.
std::vector<std::string> CaptureStatements(RawSession& admin, CDBI* db,
                                           const std::function<void(CDBI*)>& post);
// Seconds to run every statement once on a bare session.
double Replay(const Context& context, const std::vector<std::string>& statements);

}  // namespace bench
