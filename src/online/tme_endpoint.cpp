#include "online/tme_endpoint.h"

#include <algorithm>

#include "core/app_globals.h"
#include "online/tme_cipher.h"
#include "online/tme_sequence.h"
#include "online/udp_socket.h"

namespace {

u32 g_inFlightStatistic = 0;

// Seconds before a resend, by send count.
constexpr f64 kResendDelays[6] = {2.0, 2.0, 4.0, 16.0, 32.0, 64.0};

constexpr u32 kHeaderBytes = 2;
constexpr u32 kFragmentHeaderBytes = 3;
constexpr u8 kDisconnectNotice = 0;

}  // namespace

f64 TMEEndpoint::ResendDelay(u8 sendCount) {
  return kResendDelays[std::min<u8>(sendCount, 5)];
}

u32 TMEEndpoint::GetInFlightStatistic() {
  return g_inFlightStatistic;
}

TMEEndpoint::TMEEndpoint() = default;

TMEEndpoint::~TMEEndpoint() {
  Disconnect();
}

void TMEEndpoint::Connect(UdpPeer* peer) {
  Disconnect();
  const f64 now = GetApplicationTime();
  lastSendTime_ = lastReceiveTime_ = now;
  nextSendSequence_ = expectedSequence_ = 1;
  lastReceivedSequence_ = lastAckSent_ = 0;
  deliveriesSinceAck_ = 0;
  hasQueued_ = false;
  salt_ = Qel::String();
  channelKey_ = Qel::String();
  sendCipherState_ = receiveCipherState_ = 0;
  peer_ = peer;
  if (peer_ != nullptr) {
    peer_->handler = &TMEEndpoint::OnDatagram;
    peer_->context = reinterpret_cast<uintptr_t>(this);
  }
}

void TMEEndpoint::Disconnect() {
  if (peer_ != nullptr) {
    PumpSendQueue();
    SendUnreliable(1);
    peer_->handler = nullptr;
    peer_->context = 0;
    peer_ = nullptr;
  }
  held_.clear();
  inFlight_.clear();
  sendQueue_.clear();
  reassembly_.Clear();
  OnDisconnected();
}

bool TMEEndpoint::QueueMessage(std::unique_ptr<TMEPacket>& packet) {
  if (peer_ == nullptr || !packet || sendQueue_.size() > kMaxQueued) return false;
  if (channelKey_.Length() != 0) {
    Tme::Scramble(CipherKey(), sendCipherState_, packet->GetPayload(), packet->GetPayloadLength());
  }
  sendQueue_.push_back(std::move(packet));
  return true;
}

bool TMEEndpoint::SetChannelKey(const Qel::String& key) {
  sendCipherState_ = receiveCipherState_ = 0;
  if (key.Length() < 8) {
    channelKey_ = Qel::String();
    return false;
  }
  channelKey_ = key;
  return true;
}

Qel::String TMEEndpoint::GetSalt() {
  if (salt_.Length() == 0) {
    char bytes[8];
    // The salt travels as text, so none of its bytes may be 0: 1..255.
    for (char& b : bytes) b = char(u8(1 + RandomInt(254)));
    salt_ = Qel::String(bytes, sizeof bytes);
  }
  return salt_;
}

Qel::String TMEEndpoint::CipherKey() const {
  Qel::String key = salt_;
  key.Append(channelKey_.CStr(), channelKey_.Length());
  return key;
}

bool TMEEndpoint::SendDatagrams(u8 sequence, const u8* payload, u32 length) {
  if (peer_ == nullptr || peer_->socket == nullptr) return false;
  UdpSocket& socket = *peer_->socket;
  if (sequence == 0 || mode_ == 0) {
    scratch_.resize(kHeaderBytes + length);
    scratch_[0] = sequence;
    scratch_[1] = lastReceivedSequence_;
    std::copy(payload, payload + length, scratch_.begin() + kHeaderBytes);
    return socket.SendTo(peer_, scratch_.data(), u32(scratch_.size())) == int(scratch_.size());
  }
  if (mode_ != 1) return false;
  const u32 count = std::max<u32>(1, (length + kMaxFragmentData - 1) / kMaxFragmentData);
  if (count > TMEPacket::kMaxFragments) return false;
  u32 offset = 0;
  for (u32 i = 0; i < count; ++i) {
    const u32 take = (length - offset) / (count - i);
    scratch_.resize(kFragmentHeaderBytes + take);
    scratch_[0] = sequence;
    scratch_[1] = lastReceivedSequence_;
    scratch_[2] = u8(i | (i == count - 1 ? kFragmentLast : 0));
    std::copy(payload + offset, payload + offset + take, scratch_.begin() + kFragmentHeaderBytes);
    if (socket.SendTo(peer_, scratch_.data(), u32(scratch_.size())) != int(scratch_.size()))
      return false;
    offset += take;
  }
  return true;
}

bool TMEEndpoint::SendPacket(TMEPacket& packet) {
  if (peer_ == nullptr) return false;
  const f64 now = GetApplicationTime();
  ++packet.sendCount;
  packet.lastSendTime = now;
  packet.acknowledgement = lastReceivedSequence_;
  if (!SendDatagrams(packet.sequence, packet.GetPayload(), packet.GetPayloadLength())) return false;
  lastSendTime_ = now;
  lastAckSent_ = lastReceivedSequence_;
  deliveriesSinceAck_ = 0;
  return true;
}

void TMEEndpoint::SendUnreliable(u32 payloadLength) {
  // Keep-alives are empty; the disconnect notice is the single byte 0.
  TMEPacket packet;
  if (payloadLength == 1) packet.WriteU8(kDisconnectNotice);
  SendPacket(packet);
}

void TMEEndpoint::PumpSendQueue() {
  while (inFlight_.size() < kMaxInFlight && !sendQueue_.empty()) {
    PacketPtr packet = std::move(sendQueue_.front());
    sendQueue_.pop_front();
    packet->sequence = nextSendSequence_;
    nextSendSequence_ = Tme::NextSequence(nextSendSequence_);
    const bool sent = SendPacket(*packet);
    inFlight_.push_back(std::move(packet));
    if (!sent) break;
  }
  g_inFlightStatistic = u32(inFlight_.size());
  hasQueued_ = !sendQueue_.empty();
}

void TMEEndpoint::Update() {
  if (peer_ == nullptr) return;
  const f64 now = GetApplicationTime();
  for (PacketPtr& packet : inFlight_) {
    if (packet->lastSendTime < now - ResendDelay(packet->sendCount)) {
      if (packet->sendCount < kMaxSends) {
        SendPacket(*packet);
      } else {
        Disconnect();
      }
      return;
    }
  }
  PumpSendQueue();
  const bool ackOwed = lastReceivedSequence_ != lastAckSent_;
  if ((ackOwed && (now - lastSendTime_ > kAckDelay || deliveriesSinceAck_ >= kEarlyAckDeliveries)) ||
      now - lastSendTime_ > kKeepAliveInterval) {
    SendUnreliable(0);
    return;
  }
  if (now - lastReceiveTime_ > kReceiveTimeout) Disconnect();
}

void TMEEndpoint::OnDatagram(uintptr_t context, const u8* data, u32 length) {
  reinterpret_cast<TMEEndpoint*>(context)->ReceiveDatagram(data, length);
}

void TMEEndpoint::ReceiveDatagram(const u8* data, u32 length) {
  if (peer_ == nullptr) return;
  if (mode_ == 0 || (mode_ == 1 && length >= 1 && data[0] == 0)) {
    HandleWhole(data, length);
    return;
  }
  if (mode_ != 1) return;
  if (length < kFragmentHeaderBytes) {
    ++drops_.tooShort;
    return;
  }
  const u8 sequence = data[0];
  const u8 index = data[2] & u8(~kFragmentLast);
  const u32 dataLength = length - kFragmentHeaderBytes;
  if (dataLength > kMaxFragmentData) {
    ++drops_.oversized;
    return;
  }
  if (index >= TMEPacket::kMaxFragments) {
    ++drops_.malformed;
    return;
  }
  ApplyAcknowledgement(data[1]);
  if (peer_ == nullptr) return;
  if (Tme::IsBefore(sequence, expectedSequence_)) {
    NoteDuplicate(sequence);
    return;
  }
  for (const PacketPtr& held : held_) {
    if (held->sequence == sequence) return;
  }
  PacketPtr packet = reassembly_.Add(sequence, index, (data[2] & kFragmentLast) != 0,
                                     data + kFragmentHeaderBytes, dataLength, expectedSequence_);
  if (!packet) return;
  packet->sequence = sequence;
  HandleReliable(std::move(packet));
}

void TMEEndpoint::HandleWhole(const u8* data, u32 length) {
  if (length < kHeaderBytes) {
    ++drops_.tooShort;
    return;
  }
  const u32 payloadLength = length - kHeaderBytes;
  if (payloadLength > TMEPacket::kMaxPayload) {
    ++drops_.oversized;
    return;
  }
  const u8 sequence = data[0];
  ApplyAcknowledgement(data[1]);
  if (peer_ == nullptr) return;
  if (sequence == 0) {
    if (payloadLength == 0) {
      lastReceiveTime_ = GetApplicationTime();
    } else if (payloadLength == 1) {
      Disconnect();
    } else {
      ++drops_.malformed;
    }
    return;
  }
  PacketPtr packet = std::make_unique<TMEPacket>(data + kHeaderBytes, payloadLength);
  packet->sequence = sequence;
  packet->acknowledgement = data[1];
  HandleReliable(std::move(packet));
}

void TMEEndpoint::ApplyAcknowledgement(u8 ack) {
  if (ack == 0) return;
  // A number never sent acknowledges nothing; taking it would release packets still unseen.
  if (!Tme::IsBefore(ack, nextSendSequence_)) {
    ++drops_.badAcks;
    return;
  }
  std::vector<u32> cookies;
  for (size_t i = inFlight_.size(); i-- > 0;) {
    if (!Tme::IsAtOrBefore(inFlight_[i]->sequence, ack)) continue;
    if (inFlight_[i]->ackCookie != 0) cookies.push_back(inFlight_[i]->ackCookie);
    inFlight_.erase(inFlight_.begin() + std::ptrdiff_t(i));
  }
  // Called after the list is settled: a callback may queue or disconnect.
  for (u32 cookie : cookies) OnAcknowledged(cookie);
}

void TMEEndpoint::HandleReliable(PacketPtr packet) {
  const u8 sequence = packet->sequence;
  if (sequence == expectedSequence_) {
    DeliverRun(std::move(packet));
    return;
  }
  if (Tme::IsBefore(sequence, expectedSequence_)) {
    NoteDuplicate(sequence);
    return;
  }
  if (held_.size() >= kMaxHeld) {
    ++drops_.heldFull;
    return;
  }
  for (const PacketPtr& held : held_) {
    if (held->sequence == sequence) return;
  }
  held_.push_back(std::move(packet));
}

void TMEEndpoint::NoteDuplicate(u8 sequence) {
  ++drops_.duplicates;
  // Our acknowledgement of it may have been lost: send one again after the usual delay.
  if (Tme::IsAtOrBefore(sequence, lastAckSent_)) lastAckSent_ = 0;
}

void TMEEndpoint::DeliverRun(PacketPtr packet) {
  while (packet) {
    if (lastReceivedSequence_ == lastAckSent_) lastSendTime_ = GetApplicationTime();
    lastReceivedSequence_ = packet->sequence;
    ++deliveriesSinceAck_;
    if (channelKey_.Length() != 0) {
      Tme::Unscramble(CipherKey(), receiveCipherState_, packet->GetPayload(),
                      packet->GetPayloadLength());
    }
    packet->Rewind();
    HandlePacket(packet.get());
    packet.reset();
    if (peer_ == nullptr) return;
    expectedSequence_ = Tme::NextSequence(expectedSequence_);
    // Half the number space ahead is stale and must not complete with old fragments.
    u8 stale = u8(expectedSequence_ + 127);
    if (stale == 0) stale = 1;
    reassembly_.Erase(stale);
    TakeHeld(stale);
    packet = TakeHeld(expectedSequence_);
  }
  lastReceiveTime_ = GetApplicationTime();
}

TMEEndpoint::PacketPtr TMEEndpoint::TakeHeld(u8 sequence) {
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if ((*it)->sequence == sequence) {
      PacketPtr packet = std::move(*it);
      held_.erase(it);
      return packet;
    }
  }
  return nullptr;
}
