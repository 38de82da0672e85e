// A database task: a long job against the daemon that reports into its own results log, and the
// thread that runs it. The task owns its thread.
#pragma once

#include <atomic>
#include <memory>

#include "assetdata/results_log.h"
#include "qel/string.h"
#include "qel/thread.h"
#include "qel/types.h"

class PymTaskThread;

class PymTask : public ResultsLog {
 public:
  PymTask();
  // Asks a running thread to stop and waits for it without limit.
  ~PymTask() override;

  // Hooks a task's owner may show; they do nothing here.
  virtual void OnProgress(f32 progress) { (void)progress; }
  virtual void OnBegin() {}
  virtual void OnDetail(u32 value) { (void)value; }
  virtual void OnStatusText(const Qel::String& text) { (void)text; }
  // Called on the task's thread when its work has ended.
  virtual void OnFinished() {}
  virtual int GetTaskState() { return 0; }

  bool IsStopRequested() const { return stopRequested_.load() != 0; }
  void RequestStop() { stopRequested_.store(1); }
  bool IsRunning() const { return running_.load() != 0; }
  void SetRunning(bool on) { running_.store(on ? 1 : 0); }
  // The task takes ownership of the thread.
  void AttachThread(std::unique_ptr<PymTaskThread> thread);
  PymTaskThread* GetThread() const { return thread_.get(); }

 private:
  std::atomic<u8> stopRequested_{0};
  std::atomic<u8> running_{0};
  std::unique_ptr<PymTaskThread> thread_;
};

class PymTaskThread : public Qel::Thread {
 public:
  PymTaskThread() = default;

  // The work body; empty here.
  virtual void Execute() {}
  // True when at least 100 MiB are free for the caller on the volume of `path`.
  virtual bool HasFreeDiskSpace(const char* path);

  void SetTask(PymTask* task) { task_ = task; }
  PymTask* GetTask() const { return task_; }
  // The thread that runs the work body now; 0 outside it.
  u32 GetWorkingThreadId() const { return workingThreadId_.load(); }

 protected:
  // Runs the body unless told to end, then tells the task that it has finished.
  i32 Run() override;
  void SetWorkingThreadId(u32 id) { workingThreadId_.store(id); }

 private:
  PymTask* task_ = nullptr;
  std::atomic<u32> workingThreadId_{0};
};

// The smallest free space that HasFreeDiskSpace accepts.
inline constexpr u64 kMinimumFreeDiskSpace = 104857600;
// The rule of HasFreeDiskSpace over a count of free bytes.
inline bool IsEnoughFreeSpace(u64 freeBytes) { return freeBytes >= kMinimumFreeDiskSpace; }
