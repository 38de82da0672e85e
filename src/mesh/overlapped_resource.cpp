#include "mesh/overlapped_resource.h"

#include "mesh/overlapped_resource_system.h"
#include "qel/time.h"

OverlappedResource::OverlappedResource(const char* name)
    : name_(name && *name ? name : "unknown"), queuedAt_(Qel::Time::GetSeconds()) {}

OverlappedResource::~OverlappedResource() {
  if (OverlappedResourceSystem* system = system_.load()) system->Unbind(*this);
}

Overlapped::~Overlapped() {
  if (!request_) return;
  request_->abandon_.store(true);
  OverlappedResourceSystem::Complete(request_);
  DestroyRequest();
}

bool Overlapped::Poll() {
  if (!request_) return true;
  const i32 state = request_->GetState();
  const bool failed = state == OverlappedResource::kIdle && request_->WasAttempted();
  if (state != OverlappedResource::kComplete && !failed) return false;
  DestroyRequest();
  return true;
}

bool Overlapped::Complete() { return request_ && OverlappedResourceSystem::Complete(request_); }

void Overlapped::DestroyRequest() {
  delete request_;
  request_ = nullptr;
}
