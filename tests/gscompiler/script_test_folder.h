// A fresh working folder per test, and hand-made packed sources. The helpers use the standard
// library and the codec directly, so they share no faults with the source-file code.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gscompiler/gs_source_file.h"
#include "platform/byte_order.h"
#include "qel/lzss.h"
#include "qel/types.h"
#include "support/scratch_folder.h"

namespace gs_test {

namespace fs = std::filesystem;

class ScriptTestFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    root_ = folder_.path();
    cwd_ = fs::current_path();
    fs::current_path(root_);
    GSSourceFile::SetPendingPrefix(Qel::PString());
  }
  void TearDown() override {
    GSSourceFile::SetPendingPrefix(Qel::PString());
    fs::current_path(cwd_);
  }

  std::string P(const std::string& rel) const { return folder_.At(rel); }
  void Put(const std::string& rel, const std::string& content) const { folder_.Put(rel, content); }
  std::string Slurp(const std::string& rel) const { return folder_.Read(rel); }
  bool Has(const std::string& rel) const { return fs::exists(fs::symlink_status(P(rel))); }

  scratch::Folder folder_;
  std::string root_;
  fs::path cwd_;
};

// The packed body: u32 length then the compressed text, before scrambling.
inline std::string PlainBody(const std::string& text) {
  std::vector<u8> out(Qel::LZSSCompress::MaxCompressedSize(u32(text.size())) + 1);
  Qel::LZSSCompress codec;
  const u32 n = codec.CompressBlock(text.data(), u32(text.size()), out.data(), u32(out.size()), 9);
  std::string body;
  ByteOrder::AppendLE32(body, u32(text.size()));
  body.append(reinterpret_cast<const char*>(out.data()), n);
  return body;
}

inline std::string Scrambled(std::string body) {
  for (size_t i = 0; i < body.size(); ++i) body[i] ^= char(GSSourceFile::kKey[i % 32]);
  return body;
}

// A whole ".gse" file around the given (already scrambled) packed bytes.
inline std::string GseFile(const std::string& packed, u32 announced, u32 format = 1) {
  std::string file;
  ByteOrder::AppendLE32(file, format);
  ByteOrder::AppendLE32(file, 0);
  ByteOrder::AppendLE32(file, announced);
  ByteOrder::AppendLE32(file, 0);
  return file + packed;
}

inline std::string GseOf(const std::string& text) {
  const std::string packed = Scrambled(PlainBody(text));
  return GseFile(packed, u32(packed.size()));
}

}  // namespace gs_test
