#include "CustomerFanOutPool.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "ProcessState.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kWorkersKey[] = "korb-msp-workers";

thread_local bool t_onWorker = false;

// Counts down as the tasks of one batch end.
struct Batch {
  std::mutex mu;
  std::condition_variable done;
  size_t left = 0;
};

struct Task {
  std::function<void()> run;
  std::shared_ptr<Batch> batch;
};

void RunTask(Task& task) {
  task.run();
  std::lock_guard<std::mutex> lock(task.batch->mu);
  if (--task.batch->left == 0) task.batch->done.notify_all();
}

}  // namespace

struct CustomerFanOutPool::Queue {
  std::mutex mu;
  std::condition_variable ready;
  std::deque<Task> tasks;
};

int CustomerFanOutWorkers() {
  static const int workers = [] {
    long long value = CustomerFanOutPool::kDefaultWorkers;
    if (g_pDBI == nullptr) return CustomerFanOutPool::kDefaultWorkers;
    if (!g_pDBI->GetIntegerOption(kWorkersKey, value) || value < 1 ||
        value > CustomerFanOutPool::kMaxWorkers) {
      std::string raw;
      g_pDBI->GetOption(kWorkersKey, raw);
      KLOG(KORB_LOG_ERROR,
           "Option %s='%s' is not a number of workers from 1 to %d; the customer "
           "fan-outs use %d",
           kWorkersKey, raw.c_str(), CustomerFanOutPool::kMaxWorkers,
           CustomerFanOutPool::kDefaultWorkers);
      return CustomerFanOutPool::kDefaultWorkers;
    }
    return static_cast<int>(value);
  }();
  return workers;
}

CustomerFanOutPool& CustomerFanOutPool::Instance() {
  static auto* pool = new CustomerFanOutPool(CustomerFanOutWorkers());
  return *pool;
}

CustomerFanOutPool::CustomerFanOutPool(int workers) : queue_(new Queue()), workers_(0) {
  for (int i = 0; i < workers; ++i) {
    try {
      std::thread([this] { Work(); }).detach();
      ++workers_;
    } catch (const std::system_error& e) {
      KLOG(KORB_LOG_ERROR, "Customer fan-out: cannot start worker %d of %d: %s", i + 1, workers,
           e.what());
      break;
    }
  }
}

void CustomerFanOutPool::Work() {
  t_onWorker = true;
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(queue_->mu);
      queue_->ready.wait(lock, [this] { return !queue_->tasks.empty(); });
      task = std::move(queue_->tasks.front());
      queue_->tasks.pop_front();
    }
    metrics::FanOutWorkerBusy(true);
    RunTask(task);
    metrics::FanOutWorkerBusy(false);
  }
}

void CustomerFanOutPool::RunAll(std::vector<std::function<void()>> tasks) {
  if (tasks.empty()) return;
  auto batch = std::make_shared<Batch>();
  batch->left = tasks.size();
  if (t_onWorker || workers_ == 0) {
    // No worker to wait for without a deadlock, or none at all: here.
    for (auto& run : tasks) {
      Task task{std::move(run), batch};
      RunTask(task);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(queue_->mu);
    for (auto& run : tasks) queue_->tasks.push_back({std::move(run), batch});
  }
  queue_->ready.notify_all();
  std::unique_lock<std::mutex> lock(batch->mu);
  batch->done.wait(lock, [&] { return batch->left == 0; });
}
