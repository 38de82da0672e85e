// A point-to-point message channel over the online transport: reliable, ordered delivery with
// acknowledgements, resends, a sending window and, in fragment mode, splitting and reassembly;
// keep-alives, a disconnect notice and keyed scrambling of reliable payloads. All work happens
// in Update and in the peer's receive handler, on the thread that drives the transport; time is
// the application clock, so tests run resends and time-outs in virtual time.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "online/tme_packet.h"
#include "online/tme_reassembly.h"
#include "qel/string.h"
#include "qel/types.h"

struct UdpPeer;

// Datagrams and packets the endpoint refused, by reason.
struct TMEDropCounters {
  u64 tooShort = 0;     // shorter than their header
  u64 oversized = 0;    // a fragment over kMaxFragmentData, a packet over TMEPacket::kMaxPayload
  u64 malformed = 0;    // a fragment index past the last possible, an unreliable payload of 2+
  u64 duplicates = 0;
  u64 heldFull = 0;     // early packets with no room to be held
  u64 badAcks = 0;      // acknowledgements of numbers never sent
};

class TMEEndpoint {
 public:
  static constexpr u32 kMaxFragmentData = 1197;
  static constexpr u32 kMaxInFlight = 60;
  static constexpr u32 kMaxHeld = 128;
  static constexpr u32 kMaxQueued = 1000;
  static constexpr u32 kMaxSends = 5;
  static constexpr f64 kAckDelay = 1.0;
  static constexpr f64 kKeepAliveInterval = 30.0;
  static constexpr f64 kReceiveTimeout = 300.0;
  // Deliveries after which an acknowledgement goes out at once rather than after kAckDelay, so
  // a one-way stream never stalls on a full sending window (half of it).
  static constexpr u32 kEarlyAckDeliveries = kMaxInFlight / 2;
  static constexpr u8 kFragmentLast = 0x80;

  // Seconds after the previous send, by send count, before a packet is resent (or, after the
  // last send, before the link is given up).
  static f64 ResendDelay(u8 sendCount);

  TMEEndpoint();
  virtual ~TMEEndpoint();
  TMEEndpoint(const TMEEndpoint&) = delete;
  TMEEndpoint& operator=(const TMEEndpoint&) = delete;

  virtual void Update();
  // Every delivered reliable packet, in order; the endpoint deletes it afterwards.
  virtual void HandlePacket(TMEPacket* packet) = 0;
  virtual void OnDisconnected() {}
  virtual void OnAcknowledged(u32 cookie) { (void)cookie; }

  // Takes the peer (registered with an open transport) and starts a fresh channel.
  void Connect(UdpPeer* peer);
  void Disconnect();
  bool IsConnected() const { return peer_ != nullptr; }

  // Queues a reliable message; on success the endpoint owns it and `packet` is empty. False,
  // with the caller still owning it, when not connected or more than kMaxQueued wait.
  bool QueueMessage(std::unique_ptr<TMEPacket>& packet);
  // A key shorter than 8 characters is refused and scrambling stays off.
  bool SetChannelKey(const Qel::String& key);
  // Eight bytes 1..255, made on first use.
  Qel::String GetSalt();

  // 0 sends whole packets; 1 fragments reliable ones.
  void SetMode(u32 mode) { mode_ = mode; }
  u32 GetMode() const { return mode_; }

  // The peer's receive handler: one datagram as it arrived.
  void ReceiveDatagram(const u8* data, u32 length);

  u32 GetInFlightCount() const { return u32(inFlight_.size()); }
  u32 GetQueuedCount() const { return u32(sendQueue_.size()); }
  u32 GetHeldCount() const { return u32(held_.size()); }
  bool HasQueued() const { return hasQueued_; }
  u8 GetNextSendSequence() const { return nextSendSequence_; }
  u8 GetExpectedSequence() const { return expectedSequence_; }
  const TMEReassembly& GetReassembly() const { return reassembly_; }
  const TMEDropCounters& GetDropCounters() const { return drops_; }
  // Packets in flight after the last send-queue pump of any endpoint.
  static u32 GetInFlightStatistic();

 private:
  using PacketPtr = std::unique_ptr<TMEPacket>;

  static void OnDatagram(uintptr_t context, const u8* data, u32 length);

  bool SendDatagrams(u8 sequence, const u8* payload, u32 length);
  bool SendPacket(TMEPacket& packet);
  void SendUnreliable(u32 payloadLength);
  void PumpSendQueue();
  void ApplyAcknowledgement(u8 ack);
  void HandleWhole(const u8* data, u32 length);
  void HandleReliable(PacketPtr packet);
  void NoteDuplicate(u8 sequence);
  void DeliverRun(PacketPtr packet);
  PacketPtr TakeHeld(u8 sequence);
  Qel::String CipherKey() const;

  u8 nextSendSequence_ = 1;
  u8 expectedSequence_ = 1;
  u8 lastReceivedSequence_ = 0;
  u8 lastAckSent_ = 0;
  u32 deliveriesSinceAck_ = 0;
  f64 lastSendTime_ = 0.0;
  f64 lastReceiveTime_ = 0.0;
  std::deque<PacketPtr> held_;
  std::deque<PacketPtr> inFlight_;
  std::deque<PacketPtr> sendQueue_;
  UdpPeer* peer_ = nullptr;
  u32 mode_ = 0;
  bool hasQueued_ = false;
  TMEReassembly reassembly_;
  Qel::String salt_;
  Qel::String channelKey_;
  u32 sendCipherState_ = 0;
  u32 receiveCipherState_ = 0;
  std::vector<u8> scratch_;
  TMEDropCounters drops_;
};
