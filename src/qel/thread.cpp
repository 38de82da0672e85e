#include "qel/thread.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace Qel {
namespace {

std::atomic<u32> g_nextThreadId{1};
thread_local u32 t_threadId = 0;

u32 AllocateThreadId() {
  u32 id = g_nextThreadId.fetch_add(1);
  while (id == 0) id = g_nextThreadId.fetch_add(1);
  return id;
}

}  // namespace

u32 Thread::CurrentId() {
  if (t_threadId == 0) t_threadId = AllocateThreadId();
  return t_threadId;
}

Thread::Thread() = default;

Thread::Thread(Body body) : body_(std::move(body)) {}

Thread::~Thread() {
  RequestEnd();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Run() would go on using a destroyed object; stop loudly instead.
    std::fputs("Qel::Thread destroyed by its own thread\n", stderr);
    std::abort();
  }
  finishedCond_.wait(lock, [this] { return finished_; });
  thread_.join();
}

i32 Thread::Run() { return body_ ? body_(*this) : 0; }

void Thread::Main(u32 id) {
  t_threadId = id;
  const i32 code = Run();
  exitCode_.store(code);
  std::lock_guard<std::mutex> guard(mutex_);
  running_.store(false);
  finished_ = true;
  finishedCond_.notify_all();
}

bool Thread::Start() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (started_) return false;
  const u32 id = AllocateThreadId();
  id_.store(id);
  running_.store(true);
  try {
    thread_ = std::thread([this, id] { Main(id); });
  } catch (const std::system_error&) {
    id_.store(0);
    running_.store(false);
    return false;
  }
  started_ = true;
  return true;
}

bool Thread::Join(u32 timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_) return true;
  if (!finished_) {
    if (thread_.get_id() == std::this_thread::get_id()) return false;
    const auto done = [this] { return finished_; };
    if (timeoutMs == kInfinite) {
      finishedCond_.wait(lock, done);
    } else if (!finishedCond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
      return false;
    }
  }
  // Main() touches nothing of ours after setting finished_, so joining here is brief.
  if (thread_.joinable()) thread_.join();
  return true;
}

void Sleep(u32 ms) {
  if (ms == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

}  // namespace Qel
