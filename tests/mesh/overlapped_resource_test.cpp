#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "mesh/overlapped_resource_system.h"
#include "qel/thread.h"
#include "support/thread_watchdog.h"

namespace {

// Holds serving threads until opened; a watchdog limit keeps a broken build from hanging.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!cond_.wait_for(hold, watchdog::kLimit, [this] { return open_; })) {
      std::fputs("watchdog: a gate was never opened\n", stderr);
      std::abort();
    }
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    cond_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

struct Job {
  Gate* gate = nullptr;
  bool serveResult = true;
  bool finishResult = true;
  std::atomic<int> serves{0};
  std::atomic<int> finishes{0};
  std::atomic<bool> serving{false};
  std::atomic<u32> serveThread{0};
  std::atomic<int>* concurrent = nullptr;  // serving at once, and the most seen
  std::atomic<int>* mostConcurrent = nullptr;

  uintptr_t Word() { return reinterpret_cast<uintptr_t>(this); }
};

bool ServeJob(uintptr_t word) {
  Job& job = *reinterpret_cast<Job*>(word);
  job.serveThread = Qel::Thread::CurrentId();
  if (job.concurrent) {
    const int now = ++*job.concurrent;
    int most = job.mostConcurrent->load();
    while (now > most && !job.mostConcurrent->compare_exchange_weak(most, now)) {
    }
  }
  job.serving = true;
  if (job.gate) job.gate->Wait();
  if (job.concurrent) --*job.concurrent;
  ++job.serves;
  return job.serveResult;
}

bool FinishJob(uintptr_t word) {
  Job& job = *reinterpret_cast<Job*>(word);
  ++job.finishes;
  return job.finishResult;
}

class OverlappedTest : public ::testing::Test {
 protected:
  bool QueueJob(Overlapped& handle, Job& job, OverlappedResourceSystem* system = nullptr) {
    return OverlappedResourceSystem::Queue(system ? system : system_.get(), handle, "job",
                                           job.Word(), ServeJob, FinishJob);
  }
  // Queues a job that keeps the worker serving until `gate` opens.
  void OccupyWorker(Overlapped& handle, Job& job, Gate& gate) {
    job.gate = &gate;
    ASSERT_TRUE(QueueJob(handle, job));
    ASSERT_TRUE(watchdog::Eventually([&] { return job.serving.load(); }));
  }

  std::unique_ptr<OverlappedResourceSystem> system_ = std::make_unique<OverlappedResourceSystem>();
};

TEST_F(OverlappedTest, CompletingQueuedRequestsOnTheOwnersThread) {
  EXPECT_EQ(system_.get(), OverlappedResourceSystem::GetGlobal());
  Gate gate;
  Job blocker;
  Overlapped blocking;
  OccupyWorker(blocking, blocker, gate);

  // Still queued: taken out, served and finished here, its work count taken back.
  Job job;
  Overlapped handle;
  ASSERT_TRUE(QueueJob(handle, job));
  EXPECT_EQ(1, system_->GetWorkCount());
  EXPECT_TRUE(handle.Complete());
  EXPECT_EQ(Qel::Thread::CurrentId(), job.serveThread.load());
  EXPECT_EQ(0u, system_->GetQueuedCount());
  EXPECT_EQ(0, system_->GetWorkCount());
  // A second completion is true without serving again.
  EXPECT_TRUE(handle.Complete());
  EXPECT_EQ(std::pair(1, 1), std::pair(job.serves.load(), job.finishes.load()));
  EXPECT_TRUE(handle.Poll());
  EXPECT_EQ(nullptr, handle.GetRequest());

  // A handle destroyed before its request was served: neither Serve nor Finish runs.
  Job dropped;
  {
    Overlapped gone;
    ASSERT_TRUE(QueueJob(gone, dropped));
  }
  EXPECT_EQ(std::pair(0, 0), std::pair(dropped.serves.load(), dropped.finishes.load()));
  EXPECT_EQ(0u, system_->GetQueuedCount());
  EXPECT_EQ(0, system_->GetWorkCount());

  // Completing while the worker serves waits for it.
  std::atomic<bool> result{false};
  watchdog::Task owner([&] { result = blocking.Complete(); });
  gate.Open();
  owner.Join();
  EXPECT_TRUE(result.load());
  EXPECT_EQ(std::pair(1, 1), std::pair(blocker.serves.load(), blocker.finishes.load()));
  EXPECT_NE(Qel::Thread::CurrentId(), blocker.serveThread.load());
}

TEST_F(OverlappedTest, AFullQueueRefusesWithoutSignallingAndTheOwnerServes) {
  Gate gate;
  Job blocker;
  Overlapped blocking;
  OccupyWorker(blocking, blocker, gate);
  std::vector<Job> jobs(OverlappedResourceSystem::kQueueCapacity + 1);
  std::vector<Overlapped> handles(jobs.size());
  for (size_t i = 0; i + 1 < jobs.size(); ++i) ASSERT_TRUE(QueueJob(handles[i], jobs[i]));
  EXPECT_FALSE(QueueJob(handles.back(), jobs.back()));
  EXPECT_EQ(OverlappedResource::kIdle, handles.back().GetRequest()->GetState());
  EXPECT_FALSE(handles.back().Poll());  // not done: it was never served
  EXPECT_EQ(i32(OverlappedResourceSystem::kQueueCapacity), system_->GetWorkCount());
  EXPECT_TRUE(handles.back().Complete());
  EXPECT_EQ(1, jobs.back().serves.load());
  handles.clear();  // gives every queued request up
  for (size_t i = 0; i + 1 < jobs.size(); ++i) ASSERT_EQ(0, jobs[i].serves.load());
  EXPECT_EQ(0, system_->GetWorkCount());
  gate.Open();
}

TEST_F(OverlappedTest, NineAndMoreSimultaneousCompletes) {
  Gate workerGate;
  Job blocker;
  Overlapped blocking;
  OccupyWorker(blocking, blocker, workerGate);
  Gate ownersGate;
  std::atomic<int> concurrent{0};
  std::atomic<int> mostConcurrent{0};
  constexpr int kOwners = 12;
  std::vector<Job> jobs(kOwners);
  std::vector<Overlapped> handles(kOwners);
  for (int i = 0; i < kOwners; ++i) {
    jobs[i].gate = &ownersGate;
    jobs[i].concurrent = &concurrent;
    jobs[i].mostConcurrent = &mostConcurrent;
    ASSERT_TRUE(QueueJob(handles[i], jobs[i]));
  }
  std::atomic<int> completed{0};
  {
    std::vector<std::unique_ptr<watchdog::Task>> owners;
    for (int i = 0; i < kOwners; ++i) {
      owners.push_back(std::make_unique<watchdog::Task>([&, i] {
        if (handles[i].Complete()) ++completed;
      }));
    }
    // Eight serve on their owners' threads; the others wait for a slot, holding no lock.
    ASSERT_TRUE(watchdog::Eventually([&] { return concurrent.load() == 8; }));
    EXPECT_EQ(8u, system_->GetSlotsInUse());
    ownersGate.Open();
  }
  EXPECT_EQ(kOwners, completed.load());
  EXPECT_EQ(8, mostConcurrent.load());
  EXPECT_EQ(0u, system_->GetSlotsInUse());
  workerGate.Open();
}

TEST_F(OverlappedTest, FailuresEndInStateZero) {
  struct Case {
    bool serveResult;
    bool finishResult;
  };
  for (const Case& c : {Case{false, true}, Case{true, false}}) {
    Job job;
    job.serveResult = c.serveResult;
    job.finishResult = c.finishResult;
    Overlapped handle;
    QueueJob(handle, job);
    EXPECT_FALSE(handle.Complete());
    EXPECT_EQ(OverlappedResource::kIdle, handle.GetRequest()->GetState());
    EXPECT_FALSE(handle.Complete());  // a failed request is not served again
    EXPECT_EQ(1, job.serves.load());
    EXPECT_TRUE(handle.Poll());
  }
}

TEST_F(OverlappedTest, OwnersServeWhenTheWorkerIsGoneOrThereIsNoSystem) {
  Gate gate;
  Job blocker;
  Overlapped blocking;
  OccupyWorker(blocking, blocker, gate);
  Job queued;
  Overlapped handle;
  ASSERT_TRUE(QueueJob(handle, queued));
  watchdog::Task shutdown([&] { system_.reset(); });
  // The worker ends once it has served the blocker, leaving the other request queued.
  ASSERT_TRUE(watchdog::Eventually([] { return !OverlappedResourceSystem::GetGlobal(); }));
  gate.Open();
  shutdown.Join();
  EXPECT_EQ(OverlappedResource::kWithdrawn, handle.GetRequest()->GetState());
  EXPECT_TRUE(handle.Complete());
  EXPECT_EQ(Qel::Thread::CurrentId(), queued.serveThread.load());
  EXPECT_TRUE(blocking.Complete());  // served by the worker before it ended; finished here
  EXPECT_EQ(1, blocker.finishes.load());

  Job alone;
  Overlapped solo;
  EXPECT_FALSE(
      OverlappedResourceSystem::Queue(nullptr, solo, nullptr, alone.Word(), ServeJob, FinishJob));
  EXPECT_EQ("unknown", solo.GetRequest()->GetName().Std());
  EXPECT_TRUE(solo.Complete());
  EXPECT_EQ(1, alone.serves.load());
}

// Sixteen owners queue, complete, poll and give up requests at once while the worker serves.
TEST_F(OverlappedTest, SixteenThreadsQueueCompleteAndDestroy) {
  std::atomic<int> wrong{0};
  {
    std::vector<std::unique_ptr<watchdog::Task>> owners;
    for (int t = 0; t < 16; ++t) {
      owners.push_back(std::make_unique<watchdog::Task>([&, t] {
        for (int i = 0; i < 60; ++i) {
          Job job;
          {
            Overlapped handle;
            QueueJob(handle, job);
            switch ((i + t) % 3) {
              case 0:
                if (!handle.Complete() || job.serves != 1 || job.finishes != 1) ++wrong;
                break;
              case 1:
                if (!watchdog::Eventually([&] {
                      return handle.GetRequest()->GetState() != OverlappedResource::kQueued &&
                             handle.GetRequest()->GetState() != OverlappedResource::kServing;
                    })) {
                  ++wrong;
                }
                if (!handle.Complete() || handle.Poll() != true) ++wrong;
                break;
              default:
                break;  // given up at once
            }
          }
          if (job.serves > 1 || job.finishes > job.serves) ++wrong;
        }
      }));
    }
  }
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(0u, system_->GetQueuedCount());
  EXPECT_EQ(0u, system_->GetActiveCount());
  EXPECT_EQ(0, system_->GetWorkCount());
}

}  // namespace
