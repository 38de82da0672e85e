// The online transport: one non-blocking IPv4 datagram socket and the peers it knows. Waiting
// datagrams go to the handler of the peer that sent them; datagrams of strangers are dropped
// unless a stranger handler adopts them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/chunked_list.h"
#include "platform/datagram_socket.h"
#include "qel/string.h"
#include "qel/types.h"

class UdpSocket;

using UdpReceiveHandler = void (*)(uintptr_t context, const u8* data, u32 length);

struct UdpPeer {
  Platform::DatagramAddress address;
  UdpReceiveHandler handler = nullptr;
  uintptr_t context = 0;
  // The transport the peer is registered with; null while it is registered nowhere.
  UdpSocket* socket = nullptr;
};

// Counts of what one transport did, for tests and diagnostics.
struct UdpCounters {
  u64 datagramsReceived = 0;
  u64 datagramsSent = 0;
  u64 bytes = 0;               // both directions
  u64 droppedEmpty = 0;        // datagrams without a byte
  u64 droppedOversized = 0;    // datagrams longer than the receive buffer
  u64 droppedStrangers = 0;    // from an address that is no peer
};

class UdpSocket {
 public:
  using StrangerHandler = UdpPeer* (*)(uintptr_t context, const Platform::DatagramAddress& from);

  // The largest datagram the transport reads; longer ones are dropped, never cut.
  static constexpr u32 kReceiveBufferSize = 100000;
  static constexpr int kSocketBufferBytes = 0x40000;
  static constexpr u32 kReceiveAllLimit = 32;
  // Wall-clock seconds one ReceiveAll may spend reading: long enough to empty the kernel buffer
  // of a flood, short enough that the update it runs in stays an update.
  static constexpr f64 kReceiveAllBudget = 0.005;

  UdpSocket();
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // The address Open binds to (network order); any address until set. Tests bind the loopback.
  void SetBindHost(u32 host) { bindHost_ = host; }

  // Opens a new socket, closing an open one first; the peers stay registered. 0 on success,
  // -1 when the socket could not be made (the transport is closed then).
  int Open();
  // Closes the socket and empties the peer list; the records are the caller's.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int GetHandle() const { return fd_; }
  // The port the socket is bound to, in host order; 0 while closed.
  u16 GetLocalPort() const;

  // Reads one datagram and dispatches it. False when nothing was read or the socket is closed.
  bool ReceiveOne();
  // Reads until the socket is empty, kReceiveAllLimit datagrams went to peers, or the budget's
  // seconds passed. Datagrams dropped unread by anyone (strangers', empty, cut) do not count
  // against the limit: a flood of them would otherwise keep the peers' own from being read.
  void ReceiveAll();
  void SetReceiveBudget(f64 seconds) { receiveBudget_ = seconds; }

  void AddPeer(UdpPeer* peer);
  void RemovePeer(UdpPeer* peer);
  u32 GetPeerCount() const { return peers_.Count(); }

  // Resolves host and port (host order) into a peer record of the transport's own and
  // registers it, replacing the record bound before. Null when the name does not resolve.
  UdpPeer* BindPeer(const Qel::String& host, u16 port);
  // Removes and frees the bound record, if any.
  void UnbindPeer();
  UdpPeer* GetBoundPeer() const { return bound_.get(); }

  void SetStrangerHandler(StrangerHandler handler, uintptr_t context) {
    strangerHandler_ = handler;
    strangerContext_ = context;
  }

  // The count sent, or -1. Callers treat anything but the full length as a failed send.
  int SendTo(UdpPeer* peer, const void* data, u32 length);

  const UdpCounters& GetCounters() const { return counters_; }

 private:
  enum class Read { kNothing, kDelivered, kDropped };
  Read ReadOne();
  void Deliver(UdpPeer* peer, u32 length);

  ChunkedList<UdpPeer*, 13> peers_;
  int fd_ = -1;
  u32 bindHost_ = 0;
  StrangerHandler strangerHandler_ = nullptr;
  uintptr_t strangerContext_ = 0;
  std::unique_ptr<UdpPeer> bound_;
  std::vector<u8> buffer_;
  f64 receiveBudget_ = kReceiveAllBudget;
  UdpCounters counters_;
};
