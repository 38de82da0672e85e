#include "qel/lzss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "qel/file.h"
#include "qel/io_slave.h"
#include "support/scratch_folder.h"

namespace {

using Bytes = std::vector<u8>;

Bytes Compressed(const Bytes& src, int level = 9) {
  Bytes out(Qel::LZSSCompress::MaxCompressedSize(u32(src.size())) + 1);
  Qel::LZSSCompress codec;
  const u32 n =
      codec.CompressBlock(src.data(), u32(src.size()), out.data(), u32(out.size()), level);
  out.resize(n);
  return out;
}

bool StreamDecode(const Bytes& stream, Bytes* out) {
  Qel::LZSSCompress codec;
  Qel::IOSlaveMemory source(stream.data(), u32(stream.size()));
  Qel::IOSlaveMemory sink;
  const bool ok = codec.DecompressStream(sink, source, u32(stream.size()));
  out->assign(sink.Data(), sink.Data() + sink.Size());
  return ok;
}

Bytes RandomBytes(size_t n, u32 seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = u8(rng() % alphabet);
  return b;
}

Bytes AppendCopy(Bytes b, size_t from, size_t n) {
  for (size_t i = 0; i < n; ++i) b.push_back(b[from + i]);
  return b;
}

struct RoundTripCase {
  const char* name;
  Bytes data;
};

std::vector<RoundTripCase> RoundTripCases() {
  std::vector<RoundTripCase> cases;
  cases.push_back({"one byte", {0x42}});
  cases.push_back({"random", RandomBytes(70000, 1)});
  Bytes period;
  for (int i = 0; i < 30000; ++i) period.push_back(u8("abcdefg"[i % 7]));
  cases.push_back({"short period", period});
  cases.push_back({"repeated block", AppendCopy(RandomBytes(100, 10), 0, 20000)});
  // A repeat exactly one window back, and one just out of reach.
  cases.push_back({"window edge", AppendCopy(RandomBytes(4096, 3), 0, 18)});
  cases.push_back({"beyond window", AppendCopy(RandomBytes(4097, 4), 0, 18)});
  return cases;
}

TEST(LZSSCompressTest, RoundTripsEveryLevelThroughBlockAndStream) {
  Qel::LZSSCompress codec;
  for (const auto& c : RoundTripCases()) {
    for (int level = 0; level <= 9; ++level) {
      SCOPED_TRACE(std::string(c.name) + " level " + std::to_string(level));
      const Bytes packed = Compressed(c.data, level);
      ASSERT_FALSE(packed.empty());
      EXPECT_LE(packed.size(), Qel::LZSSCompress::MaxCompressedSize(u32(c.data.size())));
      Bytes out(c.data.size());
      EXPECT_EQ(
          codec.DecompressBlock(packed.data(), u32(packed.size()), out.data(), u32(out.size())),
          out.size());
      EXPECT_EQ(out, c.data);
      ASSERT_TRUE(StreamDecode(packed, &out));
      EXPECT_EQ(out, c.data);
    }
  }
}

TEST(LZSSCompressTest, KnownEncodings) {
  const struct {
    std::string text;
    Bytes stream;
  } cases[] = {
      {"", {}},
      {"aaaaaaaaaa", {0x01, 'a', 0x00, 0x06}},
      {"abcabcabcabc", {0x07, 'a', 'b', 'c', 0x02, 0x06}},
      {"abcdefghij", {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x03, 'i', 'j'}},
  };
  Qel::LZSSCompress codec;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Compressed(Bytes(c.text.begin(), c.text.end())), c.stream);
    std::string out(c.text.size(), '\0');
    EXPECT_EQ(
        codec.DecompressBlock(c.stream.data(), u32(c.stream.size()), out.data(), u32(out.size())),
        out.size());
    EXPECT_EQ(out, c.text);
    Bytes streamed;
    ASSERT_TRUE(StreamDecode(c.stream, &streamed));
    EXPECT_EQ(streamed, Bytes(c.text.begin(), c.text.end()));
  }
}

TEST(LZSSCompressTest, MatchFieldsUseTheWholeWindowAndLengthRange) {
  // 296 literals, then a match 296 back of length 5: d = 0x127 splits into 0x27 and nibble 1.
  Bytes src = RandomBytes(296, 5);
  Bytes stream;
  for (size_t i = 0; i < src.size(); ++i) {
    if (i % 8 == 0) stream.push_back(0xFF);
    stream.push_back(src[i]);
  }
  stream.insert(stream.end(), {0x00, 0x27, 0x12});
  src = AppendCopy(src, 0, 5);
  Qel::LZSSCompress codec;
  Bytes out(src.size());
  EXPECT_EQ(codec.DecompressBlock(stream.data(), u32(stream.size()), out.data(), u32(out.size())),
            out.size());
  EXPECT_EQ(out, src);

  // The encoder reaches exactly one window back, with the longest and shortest lengths.
  const Bytes edge = AppendCopy(AppendCopy(RandomBytes(4096, 3), 0, 18), 18, 3);
  // The last two items: distance 4096 with length 18, then with length 3.
  const Bytes packed = Compressed(edge);
  ASSERT_GE(packed.size(), 5u);
  EXPECT_EQ(Bytes(packed.end() - 4, packed.end()), (Bytes{0xFF, 0xFF, 0xFF, 0xF0}));
}

TEST(LZSSCompressTest, HostileStreamsFail) {
  Bytes longReach(17, 0x00);
  longReach.insert(longReach.end(), {0xFF, 1, 2, 3, 4, 5, 6, 7, 8});
  const struct {
    const char* name;
    Bytes stream;
    u32 expected;
  } cases[] = {
      {"match before start", {0x00, 0x00, 0x00}, 3},
      {"match before start in a long stream", longReach, 200},
      {"flag byte alone", {0x01}, 1},
      {"flag byte after a full group", {0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}, 8},
      {"half a match", {0x01, 'a', 0x00}, 4},
      {"literal past expected size", {0x03, 'a', 'b'}, 1},
      {"match past expected size", {0x01, 'a', 0x00, 0x06}, 9},
      {"bytes for an empty output", {0x01, 'a'}, 0},
  };
  Qel::LZSSCompress codec;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.expected + 16, 0xEE);
    EXPECT_EQ(codec.DecompressBlock(c.stream.data(), u32(c.stream.size()), out.data(), c.expected),
              Qel::Compress::kDecodeFailed);
    EXPECT_TRUE(std::all_of(out.begin() + c.expected, out.end(), [](u8 b) { return b == 0xEE; }));
    if (c.expected != 0 && std::string(c.name).find("past") == std::string::npos) {
      Bytes ignored;
      EXPECT_FALSE(StreamDecode(c.stream, &ignored));
    }
  }
  // A stream that ends early is not an error of the stream, only a short result.
  const Bytes tenA = {0x01, 'a', 0x00, 0x06};
  u8 out[11];
  EXPECT_EQ(codec.DecompressBlock(tenA.data(), 4, out, 11), 10u);
  EXPECT_EQ(codec.DecompressBlock(tenA.data(), 4, out, Qel::Compress::kDecodeFailed), 0u);
  EXPECT_EQ(codec.DecompressBlock(nullptr, 4, out, 11), Qel::Compress::kDecodeFailed);
}

TEST(LZSSCompressTest, CompressionNeverWritesPastCapacity) {
  Qel::LZSSCompress codec;
  for (const Bytes& src : {RandomBytes(100, 6), Bytes(200, 'x')}) {
    const size_t need = Compressed(src).size();
    for (size_t cap = 0; cap <= need; ++cap) {
      Bytes dst(need + 8, 0xEE);
      const u32 n = codec.CompressBlock(src.data(), u32(src.size()), dst.data(), u32(cap), 9);
      EXPECT_EQ(n, cap == need ? need : 0u) << "capacity " << cap;
      EXPECT_TRUE(std::all_of(dst.begin() + cap, dst.end(), [](u8 b) { return b == 0xEE; }));
    }
  }
  // What a packed script asks for: incompressible data does not fit in its length plus one.
  const Bytes noise = RandomBytes(1000, 7);
  Bytes dst(noise.size() + 1);
  EXPECT_EQ(codec.CompressBlock(noise.data(), 1000, dst.data(), 1001, 9), 0u);
  for (int level : {-1, 10}) {
    EXPECT_EQ(codec.CompressBlock(noise.data(), 1000, dst.data(), 1001, level), 0u);
  }
}

// Hands out at most `step` bytes per read, and accepts at most `limit` bytes in total.
class TrickleSlave : public Qel::IOSlave {
 public:
  TrickleSlave(const Bytes& data, u32 step, u32 limit) : data_(data), step_(step), limit_(limit) {}
  u32 Read(void* dst, u32 len) override {
    const u32 n = std::min({len, step_, u32(data_.size() - pos_)});
    std::copy_n(data_.begin() + pos_, n, static_cast<u8*>(dst));
    pos_ += n;
    return n;
  }
  u32 Write(const void*, u32 len) override {
    const u32 n = std::min(len, limit_ - written_);
    written_ += n;
    return n;
  }
  u64 Written() const { return written_; }

 private:
  const Bytes& data_;
  u32 step_, limit_, pos_ = 0, written_ = 0;
};

TEST(LZSSCompressTest, StreamDecodeAcrossReadsAndSinkFailures) {
  Bytes src = RandomBytes(300000, 8, 4);
  const Bytes packed = Compressed(src);
  Qel::LZSSCompress codec;
  for (u32 step : {1u, 7u, 1000000u}) {
    SCOPED_TRACE(step);
    TrickleSlave source(packed, step, 0);
    Qel::IOSlaveMemory sink;
    ASSERT_TRUE(codec.DecompressStream(sink, source, u32(packed.size())));
    EXPECT_TRUE(std::equal(src.begin(), src.end(), sink.Data(), sink.Data() + sink.Size()));
  }
  // Source shorter than announced.
  Qel::IOSlaveMemory shortSource(packed.data(), u32(packed.size()) - 1);
  Qel::IOSlaveMemory sink;
  EXPECT_FALSE(codec.DecompressStream(sink, shortSource, u32(packed.size())));
  // Sink that fills up.
  Qel::IOSlaveMemory source(packed.data(), u32(packed.size()));
  TrickleSlave fullSink(packed, 0, 100000);
  EXPECT_FALSE(codec.DecompressStream(fullSink, source, u32(packed.size())));
  // A file sink; a file open for reading only refuses the output.
  scratch::Folder dir;
  for (u32 mode :
       {u32(Qel::File::kModeWrite | Qel::File::kModeCreate), u32(Qel::File::kModeRead)}) {
    Qel::File file;
    ASSERT_EQ(file.Open(dir.At("out.bin").c_str(), mode), 0);
    Qel::IOSlaveFile sink(file);
    if (mode == Qel::File::kModeRead) {
      Bytes back(src.size() + 1);
      back.resize(sink.Read(back.data(), u32(back.size())));
      EXPECT_EQ(back, src);
    }
    Qel::IOSlaveMemory again(packed.data(), u32(packed.size()));
    EXPECT_EQ(codec.DecompressStream(sink, again, u32(packed.size())),
              mode != Qel::File::kModeRead);
  }
}

// Eight literals, then groups of eight longest matches: 144 bytes out per 17 in, without end.
class ExpandingSource : public Qel::IOSlave {
 public:
  u32 Read(void* dst, u32 len) override {
    u8* p = static_cast<u8*>(dst);
    for (u32 i = 0; i < len; ++i, ++pos_) {
      const u64 k = pos_ < 9 ? pos_ : (pos_ - 9) % 17;
      p[i] = pos_ < 9 ? u8(k == 0 ? 0xFF : k) : k == 0 ? 0x00 : k % 2 ? 0x07 : 0x0F;
    }
    return len;
  }
  u32 Write(const void*, u32) override { return 0; }

 private:
  u64 pos_ = 0;
};

TEST(LZSSCompressTest, StreamOutputIsCapped) {
  const u32 sourceLength = u32(9 + (Qel::LZSSCompress::kMaxStreamOutput / 144 + 2) * 17);
  ExpandingSource source;
  const Bytes none;
  TrickleSlave sink(none, 0, 0xFFFFFFFF);
  Qel::LZSSCompress codec;
  EXPECT_FALSE(codec.DecompressStream(sink, source, sourceLength));
  EXPECT_GT(sink.Written(), Qel::LZSSCompress::kMaxStreamOutput / 2);
  EXPECT_LE(sink.Written(), Qel::LZSSCompress::kMaxStreamOutput);
}

}  // namespace
