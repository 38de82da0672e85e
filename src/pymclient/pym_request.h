// One request's payload and reply buffers, and the sending of them. Every request function of the
// catalogue writes its payload into Out(), sends, and reads the reply from In().
#pragma once

#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "qel/types.h"

class PymTransactionCallback;
class ResultsLog;

class PymRequest {
 public:
  PymRequest();
  PymRequest(const PymRequest&) = delete;
  PymRequest& operator=(const PymRequest&) = delete;

  TBuffer& Out() { return request_; }
  TBuffer& In() { return reply_; }

  // Sends the payload as a transaction and leaves the reply rewound for reading. False when the
  // transaction failed, and also, without sending anything, when the payload could not be written
  // whole: a text over the stream's limit goes out as length 0, which would ask the daemon
  // something the caller never meant.
  bool Transact(u32 opcode, ResultsLog* log = nullptr, bool keepResultsLog = false,
                PymTransactionCallback* callback = nullptr);
  // One-way; false when the payload was not written whole or the frame was not sent.
  bool Post(u32 opcode);

 private:
  Qel::DynamicBuffer requestBytes_;
  Qel::DynamicBuffer replyBytes_;
  TBuffer request_;
  TBuffer reply_;
};
