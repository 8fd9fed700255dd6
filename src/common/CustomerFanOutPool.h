// The workers that run the customers of a main-loop fan-out side by side.
//
// A fixed set of threads, started on first use, takes tasks from one
// queue. A batch is handed in whole and RunAll returns once every task of
// it has ended, so a handler still ends only when every customer is done
// and the main loop still runs one handler at a time; batches of several
// callers (the main loop and the automation thread) share the workers.
// Each task is one customer: its statements run in their order on that
// customer's own session, on one worker.
//
// The number of workers is the main DSN group's korb-msp-workers (1 to
// 64, default 8), read when the pool starts. The workers live as long as
// the process and are never joined; between batches they wait on a
// condition variable and use no CPU.
//
// Thread-safe. A task must not throw (RunAll's caller wraps the work) and
// must not hand in a batch of its own: RunAll called from a worker runs
// the batch on that worker, one task after another.
#pragma once

#include <functional>
#include <vector>

class CustomerFanOutPool {
 public:
  static constexpr int kDefaultWorkers = 8;
  static constexpr int kMaxWorkers = 64;

  static CustomerFanOutPool& Instance();

  void RunAll(std::vector<std::function<void()>> tasks);

  int Workers() const { return workers_; }

  CustomerFanOutPool(const CustomerFanOutPool&) = delete;
  CustomerFanOutPool& operator=(const CustomerFanOutPool&) = delete;

 private:
  explicit CustomerFanOutPool(int workers);
  struct Queue;
  void Work();

  Queue* queue_;  // never destroyed: the workers outlive main
  int workers_;
};

// The korb-msp-workers value the pool uses (the default when the key is
// absent or out of range; a bad value is logged once at level 2).
int CustomerFanOutWorkers();
