// Named messages between objects, and the pipes through which a recipient reaches its peers.
#pragma once

#include <vector>

#include "qel/critical_section.h"
#include "qel/pstring.h"
#include "qel/types.h"

class NuMessageData {
 public:
  explicit NuMessageData(const Qel::PString& name, u32 data = 0) : name_(name), data_(data) {}
  virtual ~NuMessageData() = default;

  const Qel::PString& GetName() const { return name_; }
  u32 GetData() const { return data_; }

 private:
  Qel::PString name_;
  u32 data_;
};

class NuMessageRecipient;

// One connection in a recipient's list: messages the owning recipient sends reach the peer. The
// pipe object belongs to whoever opened it (normally the peer) and must stay alive while it is
// open; destroying it detaches it without a message.
class NuMessagePipe {
 public:
  NuMessagePipe() = default;
  NuMessagePipe(const NuMessagePipe&) = delete;
  NuMessagePipe& operator=(const NuMessagePipe&) = delete;
  ~NuMessagePipe();

  // Closes the pipe if it was open, then links it at the end of owner's list.
  void Open(NuMessageRecipient& owner, NuMessageRecipient* peer, u32 data = 0);
  // Detaches the pipe and clears its peer; a peer that was set receives "pipe-closed" with the
  // pipe's data word.
  void Close();

  bool IsOpen() const { return list_ != nullptr; }
  NuMessageRecipient* GetPeer() const { return peer_; }
  u32 GetData() const { return data_; }

 private:
  friend class NuMessageRecipient;

  // Detaches from the list; returns the peer it had.
  NuMessageRecipient* Detach();

  NuMessagePipe* prev_ = nullptr;
  NuMessagePipe* next_ = nullptr;
  NuMessageRecipient* list_ = nullptr;
  NuMessageRecipient* peer_ = nullptr;
  u32 data_ = 0;
};

class NuMessageRecipient {
 public:
  NuMessageRecipient() = default;
  NuMessageRecipient(const NuMessageRecipient&) = delete;
  NuMessageRecipient& operator=(const NuMessageRecipient&) = delete;
  // Closes every pipe of the list.
  virtual ~NuMessageRecipient();

  virtual NuMessageRecipient* GetForwardTarget() { return nullptr; }
  // Forwards to the forward target; 1 without one.
  virtual int ReceiveMessage(const NuMessageData& message);
  virtual NuMessageRecipient* GetAlternateTarget() { return nullptr; }

  // Delivers the message to the peer of every open pipe, in list order. A pipe closed by a peer
  // during delivery gets nothing more.
  void SendToPeers(const NuMessageData& message);
  u32 CountPipes();

 protected:
  void CloseAllPipes();

 private:
  friend class NuMessagePipe;

  bool IsLinked(const NuMessagePipe* pipe) const;

  Qel::CriticalSection pipesLock_;
  NuMessagePipe* first_ = nullptr;
  NuMessagePipe* last_ = nullptr;
};
