#include "scripthost/delayed_init.h"

#include <algorithm>

void DelayedInitClient::RunPendingStages() {
  if ((initFlags & kStage1Done) == 0) InitStage1();
  if ((initFlags & kStage2Done) == 0) InitStage2();
  if ((initFlags & kStage3Done) == 0) InitStage3();
  if (manager_ != nullptr) manager_->Dequeue(this);
}

DelayedInitManager::~DelayedInitManager() {
  for (DelayedInitClient* client : queue_) {
    client->initFlags &= u8(~DelayedInitClient::kQueued);
    client->manager_ = nullptr;
  }
}

void DelayedInitManager::Enqueue(DelayedInitClient* client) {
  if ((client->initFlags & DelayedInitClient::kQueued) != 0 ||
      (client->initFlags & DelayedInitClient::kAllStages) == DelayedInitClient::kAllStages) {
    return;
  }
  client->initFlags |= DelayedInitClient::kQueued;
  client->manager_ = this;
  queue_.push_back(client);
}

void DelayedInitManager::Dequeue(DelayedInitClient* client) {
  if ((client->initFlags & DelayedInitClient::kQueued) == 0 || client->manager_ != this) return;
  client->initFlags &= u8(~DelayedInitClient::kQueued);
  client->manager_ = nullptr;
  std::erase(queue_, client);
}

void DelayedInitManager::RunQueue() {
  // A stage may queue or end other clients: take one at a time from the front.
  while (!queue_.empty()) queue_.front()->RunPendingStages();
}
