// The one mutex and condition variable that semaphores and MultiLocks wait on.
#pragma once

#include <condition_variable>
#include <mutex>

namespace Qel::WaitHub {

std::mutex& Mutex();
std::condition_variable& Condition();

}  // namespace Qel::WaitHub
