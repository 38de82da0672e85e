// Moving exactly n bytes over a connected stream socket. A signal that interrupts a call does
// not end the transfer; a peer that has gone away gives a failed call, never SIGPIPE.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace Platform {

// Sends all `size` bytes of `data`, then all `moreSize` bytes of `more` (a frame's header and
// body go out in one call where the socket takes them). False when the socket failed.
bool SendAll(int fd, const void* data, std::size_t size, const void* more = nullptr,
             std::size_t moreSize = 0);

enum class SendResult { kSent, kTimedOut, kFailed };
// SendAll that gives up at `deadline` (time_point::max(): never). On kTimedOut or kFailed
// `*partial` (when given) tells whether part of the bytes went out, which leaves the stream out
// of step.
SendResult SendAllBy(int fd, const void* data, std::size_t size, const void* more,
                     std::size_t moreSize, std::chrono::steady_clock::time_point deadline,
                     bool* partial);

// Receives exactly `size` bytes. False when the socket failed or the peer closed first; then
// `*peerClosed` (when given) tells an orderly close from a failure.
bool ReceiveAll(int fd, void* data, std::size_t size, bool* peerClosed = nullptr);

// One receive of at most `size` bytes: the count received, 0 when the peer closed, -1 on failure.
ssize_t ReceiveSome(int fd, void* data, std::size_t size);

enum class AskResult { kAnswered, kRefused, kSilent };
// One question to whoever listens on the loopback port: connects, sends `request` and receives
// exactly `answerSize` bytes, each step within `limitMs`, then closes. kRefused when nobody
// listens there; kSilent when the listener took the connection but did not answer whole in time
// (a process that is busy or stopped, or one that closed the connection instead).
AskResult AskLoopback(std::uint16_t port, const void* request, std::size_t requestSize,
                      void* answer, std::size_t answerSize, std::uint32_t limitMs);

}  // namespace Platform
