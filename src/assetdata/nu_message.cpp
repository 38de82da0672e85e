#include "assetdata/nu_message.h"

namespace {

const Qel::PString& PipeClosedName() {
  static const Qel::PString name("pipe-closed");
  return name;
}

}  // namespace

NuMessagePipe::~NuMessagePipe() { Detach(); }

void NuMessagePipe::Open(NuMessageRecipient& owner, NuMessageRecipient* peer, u32 data) {
  Close();
  Qel::SingleLock lock(owner.pipesLock_);
  peer_ = peer;
  data_ = data;
  list_ = &owner;
  prev_ = owner.last_;
  next_ = nullptr;
  if (owner.last_) {
    owner.last_->next_ = this;
  } else {
    owner.first_ = this;
  }
  owner.last_ = this;
}

NuMessageRecipient* NuMessagePipe::Detach() {
  NuMessageRecipient* owner = list_;
  if (owner) {
    Qel::SingleLock lock(owner->pipesLock_);
    (prev_ ? prev_->next_ : owner->first_) = next_;
    (next_ ? next_->prev_ : owner->last_) = prev_;
    prev_ = next_ = nullptr;
    list_ = nullptr;
  }
  NuMessageRecipient* peer = peer_;
  peer_ = nullptr;
  return peer;
}

void NuMessagePipe::Close() {
  NuMessageRecipient* peer = Detach();
  if (peer) peer->ReceiveMessage(NuMessageData(PipeClosedName(), data_));
}

NuMessageRecipient::~NuMessageRecipient() { CloseAllPipes(); }

int NuMessageRecipient::ReceiveMessage(const NuMessageData& message) {
  NuMessageRecipient* target = GetForwardTarget();
  return target ? target->ReceiveMessage(message) : 1;
}

bool NuMessageRecipient::IsLinked(const NuMessagePipe* pipe) const {
  for (const NuMessagePipe* p = first_; p; p = p->next_) {
    if (p == pipe) return true;
  }
  return false;
}

void NuMessageRecipient::SendToPeers(const NuMessageData& message) {
  Qel::SingleLock lock(pipesLock_);
  // A peer may close its own or another pipe while it handles the message, so the walk goes over
  // a snapshot and skips every pipe that is no longer linked.
  std::vector<NuMessagePipe*> pipes;
  for (NuMessagePipe* p = first_; p; p = p->next_) pipes.push_back(p);
  for (NuMessagePipe* pipe : pipes) {
    if (!IsLinked(pipe) || !pipe->peer_) continue;
    pipe->peer_->ReceiveMessage(message);
  }
}

u32 NuMessageRecipient::CountPipes() {
  Qel::SingleLock lock(pipesLock_);
  u32 count = 0;
  for (const NuMessagePipe* p = first_; p; p = p->next_) ++count;
  return count;
}

void NuMessageRecipient::CloseAllPipes() {
  for (;;) {
    NuMessagePipe* pipe;
    {
      Qel::SingleLock lock(pipesLock_);
      pipe = first_;
    }
    if (!pipe) return;
    pipe->Close();
  }
}
