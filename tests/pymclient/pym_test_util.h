// The client suites' fixture: a temporary installation with a scripted daemon published for it
// and the client open.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "qel/dynamic_buffer.h"
#include "support/fake_pym_server.h"
#include "support/scratch_folder.h"

namespace pym_test {

using Bytes = std::vector<u8>;

// A memory stream holding `bytes`, positioned at its start.
struct Buf {
  explicit Buf(const Bytes& bytes = {}) {
    if (!bytes.empty()) s.Write(bytes.data(), u32(bytes.size()));
    s.Seek(0, 0);
  }
  TBuffer s{new Qel::DynamicBuffer(), true};
};

inline Bytes Contents(TBuffer& b) {
  const Qel::DynamicBuffer& d = *b.GetBuffer();
  return Bytes(d.GetData(), d.GetData() + d.GetDataSize());
}

class ScriptedDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    InitNetworking();
    ASSERT_FALSE(root_.empty());
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.c_str())));
    database_ = GetDatabasePath().CStr();
    server_ = std::make_unique<FakePymServer>(database_);
    ASSERT_TRUE(server_->Start());
    options_.mayStartDaemon = 0;
    if (!open_) return;
    ASSERT_TRUE(server_->Publish());
    ASSERT_TRUE(PymOpenDatabase(options_));
  }
  void TearDown() override {
    PymCloseDatabase();
    PymDisconnect(true);
    server_.reset();
    ClearInstallPaths();
  }
  // Answers every `opcode` request with `body`; other transactions get an empty reply.
  void ReplyWith(u32 opcode, Bytes body) {
    server_->SetHandler([opcode, body](FakePymServer& s, const FakePymServer::Frame& f) {
      return f.opcode == opcode && s.SendReply(f.id, body);
    });
  }

  // The frame of the opcode that arrived first, or a frame with opcode ~0.
  FakePymServer::Frame FrameOf(u32 opcode) {
    for (const auto& f : server_->GetFrames()) {
      if (f.opcode == opcode) return f;
    }
    return FakePymServer::Frame{~0u, 0, {}};
  }

  bool Transact(u32 opcode, const Bytes& request, Bytes* reply = nullptr, ResultsLog* log = nullptr,
                bool keep = false, PymTransactionCallback* callback = nullptr) {
    Buf req(request);
    Buf rep;
    const bool ok = PymTransact(opcode, req.s, rep.s, callback, log, keep);
    if (reply) *reply = Contents(rep.s);
    return ok;
  }

  bool open_ = true;  // publish the scripted daemon and open the client in SetUp
  scratch::Folder folder_;
  std::string root_ = folder_.path();
  std::string database_;
  std::unique_ptr<FakePymServer> server_;
  PymClientOptions options_;
};

}  // namespace pym_test
