// Takes several semaphores and locks at once, or none of them: a thread never holds part of the
// set while it waits for the rest, so two MultiLocks over overlapping sets cannot deadlock.
#pragma once

#include <initializer_list>
#include <vector>

#include "qel/critical_section.h"
#include "qel/semaphore.h"
#include "qel/types.h"
#include "qel/wevent.h"

namespace Qel {

class MultiLock {
 public:
  MultiLock(std::initializer_list<Semaphore*> semaphores,
            std::initializer_list<RecursiveLock*> locks);
  // Unlocks the locks still held. Semaphore counts taken are consumed, as a wait consumes them.
  ~MultiLock();
  MultiLock(const MultiLock&) = delete;
  MultiLock& operator=(const MultiLock&) = delete;

  // Takes one count of every semaphore and every lock, all in one step; false when timeoutMs
  // passed first, and then nothing is held.
  bool Lock(u32 timeoutMs = kInfinite);
  // Unlocks one of the locks taken (for a caller that gives them back one by one).
  void Unlock(RecursiveLock& lock);
  bool IsHeld(const RecursiveLock& lock) const;

 private:
  std::vector<Semaphore*> semaphores_;
  std::vector<RecursiveLock*> locks_;
  std::vector<bool> held_;
};

}  // namespace Qel
