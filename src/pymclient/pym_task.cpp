#include "pymclient/pym_task.h"

#include <sys/statvfs.h>

PymTask::PymTask() = default;

PymTask::~PymTask() {
  if (thread_ != nullptr) {
    RequestStop();
    thread_->Join();
    thread_.reset();
  }
}

void PymTask::AttachThread(std::unique_ptr<PymTaskThread> thread) { thread_ = std::move(thread); }

bool PymTaskThread::HasFreeDiskSpace(const char* path) {
  struct statvfs info {};
  if (path == nullptr || statvfs(path, &info) != 0) return false;
  return IsEnoughFreeSpace(u64(info.f_bavail) * u64(info.f_frsize));
}

i32 PymTaskThread::Run() {
  if (!IsEndRequested()) {
    SetWorkingThreadId(Qel::Thread::CurrentId());
    Execute();
    SetWorkingThreadId(0);
  }
  if (task_ != nullptr) {
    task_->OnFinished();
    task_->SetRunning(false);
  }
  return 0;
}
