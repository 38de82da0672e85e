#include "online/udp_socket.h"

#include <arpa/inet.h>

#include "core/networking.h"
#include "qel/time.h"

UdpSocket::UdpSocket() = default;

UdpSocket::~UdpSocket() {
  Close();
}

int UdpSocket::Open() {
  // A second Open must not leave the first descriptor behind.
  Platform::CloseDatagramSocket(fd_);
  fd_ = Platform::OpenDatagramSocket(Platform::DatagramAddress{bindHost_, 0}, kSocketBufferBytes);
  return fd_ >= 0 ? 0 : -1;
}

void UdpSocket::Close() {
  Platform::CloseDatagramSocket(fd_);
  fd_ = -1;
  for (UdpPeer* peer : peers_) peer->socket = nullptr;
  peers_.FreeBlocks();
}

u16 UdpSocket::GetLocalPort() const {
  if (fd_ < 0) return 0;
  return ntohs(Platform::DatagramLocalAddress(fd_).port);
}

bool UdpSocket::ReceiveOne() {
  return ReadOne() != Read::kNothing;
}

UdpSocket::Read UdpSocket::ReadOne() {
  if (fd_ < 0) return Read::kNothing;
  if (buffer_.empty()) buffer_.resize(kReceiveBufferSize);
  const Platform::DatagramRead read = Platform::ReceiveDatagram(fd_, buffer_.data(), buffer_.size());
  if (read.status != Platform::DatagramRead::kReceived) return Read::kNothing;
  // An empty or cut datagram was read off the socket but carries nothing to hand on.
  if (read.length == 0) {
    ++counters_.droppedEmpty;
    return Read::kDropped;
  }
  if (read.Truncated(buffer_.size())) {
    ++counters_.droppedOversized;
    return Read::kDropped;
  }
  const u32 length = u32(read.length);
  for (UdpPeer* peer : peers_) {
    if (peer->address == read.from) {
      Deliver(peer, length);
      return Read::kDelivered;
    }
  }
  if (strangerHandler_ != nullptr) {
    if (UdpPeer* adopted = strangerHandler_(strangerContext_, read.from)) {
      Deliver(adopted, length);
      return Read::kDelivered;
    }
  }
  ++counters_.droppedStrangers;
  return Read::kDropped;
}

void UdpSocket::Deliver(UdpPeer* peer, u32 length) {
  ++counters_.datagramsReceived;
  counters_.bytes += length;
  if (peer->handler != nullptr) peer->handler(peer->context, buffer_.data(), length);
}

void UdpSocket::ReceiveAll() {
  const f64 end = Qel::Time::Seconds() + receiveBudget_;
  for (u32 delivered = 0; delivered < kReceiveAllLimit;) {
    const Read read = ReadOne();
    if (read == Read::kNothing) return;
    if (read == Read::kDelivered) ++delivered;
    if (Qel::Time::Seconds() > end) return;
  }
}

void UdpSocket::AddPeer(UdpPeer* peer) {
  peers_.PushBack(peer);
  peer->socket = this;
}

void UdpSocket::RemovePeer(UdpPeer* peer) {
  auto it = peers_.Find(peer);
  if (it.IsEnd()) return;
  peers_.Erase(it);
  peer->socket = nullptr;
}

UdpPeer* UdpSocket::BindPeer(const Qel::String& host, u16 port) {
  UnbindPeer();
  sockaddr_in address{};
  if (!ResolveHost(host, port, &address)) return nullptr;
  bound_ = std::make_unique<UdpPeer>();
  bound_->address = Platform::DatagramAddress{address.sin_addr.s_addr, address.sin_port};
  AddPeer(bound_.get());
  return bound_.get();
}

void UdpSocket::UnbindPeer() {
  if (!bound_) return;
  RemovePeer(bound_.get());
  bound_.reset();
}

int UdpSocket::SendTo(UdpPeer* peer, const void* data, u32 length) {
  if (fd_ < 0 || peer == nullptr) return -1;
  const ssize_t sent = Platform::SendDatagram(fd_, data, length, peer->address);
  if (sent < 0) return -1;
  ++counters_.datagramsSent;
  counters_.bytes += u64(sent);
  return int(sent);
}
