// A worker hands a call to the main thread and waits for it while the main thread services its
// queue: the round trip through the dispatcher against a bare std::condition_variable handshake
// between the same two threads. Each iteration is a batch of round trips; "round_trip" is the
// time of one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/tcx_dispatcher.h"

namespace {

constexpr int kBatch = 1000;

std::atomic<u64> g_calls{0};

void Job(intptr_t) { g_calls.fetch_add(1, std::memory_order_relaxed); }

int JobFunction(intptr_t argument) {
  Job(argument);
  return 0;
}

// Runs `round_trip` kBatch times on a worker thread per batch, then calls `finished`.
class BatchWorker {
 public:
  BatchWorker(std::function<void()> round_trip, std::function<void()> finished)
      : round_trip_(std::move(round_trip)), finished_(std::move(finished)), thread_([this] {
          for (int seen = 0;;) {
            batch_.wait(seen);
            seen = batch_.load();
            if (seen < 0) return;
            for (int i = 0; i < kBatch; ++i) round_trip_();
            done_.store(seen);
            finished_();
          }
        }) {}
  ~BatchWorker() {
    batch_.store(-1);
    batch_.notify_one();
    thread_.join();
  }
  int Begin() {
    const int next = batch_.load() + 1;
    batch_.store(next);
    batch_.notify_one();
    return next;
  }
  bool Finished(int batch) const { return done_.load() == batch; }

 private:
  std::function<void()> round_trip_;
  std::function<void()> finished_;
  std::atomic<int> batch_{0};
  std::atomic<int> done_{0};
  std::thread thread_;
};

void SetCounters(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["round_trip"] =
      benchmark::Counter(double(state.iterations() * kBatch),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DispatchToMainThread(benchmark::State& state) {
  SetMainThread();
  TCXDispatcher& dispatcher = GetDispatcher();
  const TCXCallback call(&JobFunction);
  BatchWorker worker(
      [&] {
        dispatcher.Dispatch(0, TCXDispatcher::kMainThreadOnly | TCXDispatcher::kExclusionB, call);
      },
      [] { MainThreadEvent().Set(); });
  for (auto _ : state) {
    const int batch = worker.Begin();
    while (!worker.Finished(batch)) {
      WaitForMainThreadWork(50);
      dispatcher.RunNextCall(0);
    }
  }
  SetCounters(state);
  ThreadMessage drained;
  while (TakeMainThreadMessage(&drained)) {
  }
}

void BM_ConditionVariableHandshake(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable to_main, to_worker;
  bool request = false, response = false, finished = false;
  BatchWorker worker(
      [&] {
        std::unique_lock<std::mutex> lock(mutex);
        request = true;
        to_main.notify_one();
        to_worker.wait(lock, [&] { return response; });
        response = false;
      },
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        to_main.notify_one();
      });
  for (auto _ : state) {
    const int batch = worker.Begin();
    std::unique_lock<std::mutex> lock(mutex);
    while (!worker.Finished(batch) || !finished) {
      to_main.wait(lock, [&] { return request || finished; });
      if (request) {
        request = false;
        Job(0);
        response = true;
        to_worker.notify_one();
      }
    }
    finished = false;
  }
  SetCounters(state);
}

BENCHMARK(BM_DispatchToMainThread)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConditionVariableHandshake)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
