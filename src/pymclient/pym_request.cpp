#include "pymclient/pym_request.h"

#include "pymclient/pym_connection.h"

namespace {

// Request and reply buffers grow in 512-byte steps.
constexpr u32 kBufferStep = 512;

}  // namespace

PymRequest::PymRequest()
    : requestBytes_(kBufferStep),
      replyBytes_(kBufferStep),
      request_(&requestBytes_, false),
      reply_(&replyBytes_, false) {}

bool PymRequest::Transact(u32 opcode, ResultsLog* log, bool keepResultsLog,
                          PymTransactionCallback* callback) {
  if (request_.GetError() != TStream::kErrorNone) return false;
  request_.Rewind();
  if (!PymTransact(opcode, request_, reply_, callback, log, keepResultsLog)) return false;
  reply_.Rewind();
  return true;
}

bool PymRequest::Post(u32 opcode) {
  if (request_.GetError() != TStream::kErrorNone) return false;
  request_.Rewind();
  return PymPost(opcode, request_);
}
