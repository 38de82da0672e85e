#include "core/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "core/file_stream.h"
#include "core/sub_file_stream.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"
#include "qel/file.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "support/scratch_folder.h"

namespace {

std::vector<u8> Pattern(size_t n) {
  std::vector<u8> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = u8(i % 251 + i / 251);
  return bytes;
}

u32 WordAt(const u8* b, size_t at) { return ByteOrder::LoadLE32(b + at); }
u32 WordAt(const std::vector<u8>& b, size_t at) { return WordAt(b.data(), at); }

// Read-only bytes in memory that record every raw call, to show which reach the underlying stream.
class CountingStream : public TStream {
 public:
  explicit CountingStream(std::vector<u8> bytes) : bytes(std::move(bytes)) {}
  using TStream::MoveTo;

  void Reset() override {}
  u32 Tell() const override { return pos - BufferedCount(); }
  bool IsOpen() const override { return true; }
  u32 Write(const void*, u32) override { return 0; }
  u32 Read(void* dst, u32 n) override {
    DropReadAhead();
    reads.push_back(n);
    const u32 got = std::min<u32>(n, u32(bytes.size()) - pos);
    std::memcpy(dst, bytes.data() + pos, got);
    pos += got;
    return got;
  }
  void Seek(i64 offset, u32 origin) override {
    ++seeks;
    const i64 base = origin == 0 ? 0 : origin == 1 ? i64(Tell()) : i64(bytes.size());
    pos = u32(std::clamp<i64>(base + offset, 0, i64(bytes.size())));
    EmptyReadBuffer();
  }
  bool IsEof() const override { return Tell() >= bytes.size(); }

  std::vector<u8> bytes;
  u32 pos = 0;
  std::vector<u32> reads;
  int seeks = 0;
};

void SkipWords(TStream& s, int words) {
  u32 word;
  for (int i = 0; i < words; ++i) s.ReadU32(word);
}

// A TBuffer holding bytes, positioned at 0.
struct MemStream {
  explicit MemStream(const std::vector<u8>& bytes = {}) {
    stream.WriteBytes(bytes.data(), u32(bytes.size()));
    stream.Rewind();
  }
  const u8* Data() const { return buffer.GetData(); }
  Qel::DynamicBuffer buffer;
  TBuffer stream{&buffer, false};
};

TEST(StreamBufferedRead, RefillsKeepHistoryAndLargeReadsGoDirect) {
  const std::vector<u8> data = Pattern(20000);
  CountingStream seq(data);
  for (u32 at = 0; at < 10000; at += 4) {
    u32 word = 0;
    ASSERT_TRUE(seq.ReadU32(word));
    ASSERT_EQ(word, WordAt(data, at)) << at;
  }
  EXPECT_EQ(seq.reads, (std::vector<u32>{4096, 4080, 4080}));

  struct Case {
    int wordsFirst;
    u32 n;
    std::vector<u32> raw;
  };
  for (const Case& c : {Case{0, 4079, {4096}}, Case{0, 4080, {4080}}, Case{1, 9000, {4908}}}) {
    CountingStream s(data);
    SkipWords(s, c.wordsFirst);
    s.reads.clear();
    std::vector<u8> got(c.n);
    ASSERT_EQ(s.ReadBytes(got.data(), c.n), c.n);
    EXPECT_EQ(s.reads, c.raw) << c.n;
    const u32 from = 4 * c.wordsFirst;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + from)) << c.n;
    EXPECT_EQ(s.Tell(), from + c.n);
  }
}

TEST(StreamBufferedRead, HistoryStaysTrueAfterShortReadsAndWrites) {
  const std::vector<u8> data = Pattern(8192);
  CountingStream shortEnd(std::vector<u8>(data.begin(), data.begin() + 100));
  SkipWords(shortEnd, 24);
  u64 wide = 0;
  EXPECT_FALSE(shortEnd.ReadU64(wide, 9));
  EXPECT_EQ(wide, 9u);
  shortEnd.MoveTo(96);
  u32 word = 0;
  EXPECT_TRUE(shortEnd.ReadU32(word));
  EXPECT_EQ(word, WordAt(data, 96));

  // A write after a partial read lands at the logical position, not behind the read-ahead.
  MemStream m(data);
  SkipWords(m.stream, 1);
  m.stream.WriteU32(7);
  EXPECT_EQ(WordAt(m.Data(), 4), 7u);
  EXPECT_TRUE(m.stream.ReadU32(word));
  EXPECT_EQ(word, WordAt(data, 8));
  EXPECT_EQ(m.stream.GetLength(), 8192u);
  EXPECT_EQ(m.stream.Tell(), 12u);
}

TEST(StreamErrors, FirstErrorSticksUntilFileCloseOrReset) {
  MemStream m({1, 2});
  u32 word = 0;
  EXPECT_FALSE(m.stream.ReadU32(word, 77));
  EXPECT_EQ(word, 77u);
  EXPECT_EQ(m.stream.GetError(), TStream::kErrorShortRead);
  m.stream.Seek(0, 9);
  m.stream.WriteString(Qel::String(std::string(70000, 'x')));
  EXPECT_EQ(m.stream.GetError(), TStream::kErrorShortRead);

  TFile none;
  EXPECT_EQ(none.Write("ab", 2), 0u);
  EXPECT_EQ(none.GetError(), TStream::kErrorIo);
  none.Close();
  EXPECT_EQ(none.GetError(), TStream::kErrorNone);
  EXPECT_FALSE(none.ReadU32(word, 5));
  EXPECT_EQ(none.GetError(), TStream::kErrorIo);
}

// Interned texts are stored with their NUL, plain ones without; either form reads as either.
TEST(StreamStrings, LengthLimitAndCrossReading) {
  struct Case {
    bool interned;
    u32 length;
    u32 word;
    u32 error;
  };
  for (const Case& c : {Case{true, 510, 511, 0}, Case{false, 511, 511, 0},  // the stack buffer
                        Case{true, 65534, 65535, 0}, Case{true, 65535, 0, 3},
                        Case{false, 65535, 65535, 0}, Case{false, 65536, 0, 3}}) {
    SCOPED_TRACE(testing::Message() << c.interned << " " << c.length);
    std::string text(c.length, 'a');
    for (u32 i = 0; i < c.length; ++i) text[i] = char('a' + i % 26);
    MemStream m;
    if (c.interned) m.stream.WritePString(Qel::PString(text));
    if (!c.interned) m.stream.WriteString(Qel::String(text));
    m.stream.WriteU32(0xCAFE);
    EXPECT_EQ(m.buffer.GetDataSize(), 8 + c.word);
    EXPECT_EQ(WordAt(m.Data(), 0), c.word);
    EXPECT_EQ(m.stream.GetError(), c.error);
    if (c.error) continue;
    m.stream.Rewind();
    Qel::String plain;
    Qel::PString pooled;
    EXPECT_TRUE(c.interned ? m.stream.ReadString(plain) : m.stream.ReadPString(pooled));
    EXPECT_EQ(c.interned ? plain.Std() : std::string(pooled.View()), text);
    u32 tail = 0;
    EXPECT_TRUE(m.stream.ReadU32(tail));
    EXPECT_EQ(tail, 0xCAFEu);
  }
}

TEST(StreamStrings, BadLengthsGiveEmptyTextAndAnError) {
  MemStream empty;
  empty.stream.WritePString(Qel::PString());
  EXPECT_EQ(std::vector<u8>(empty.Data(), empty.Data() + 4), (std::vector<u8>{0, 0, 0, 0}));

  struct Case {
    std::vector<u8> bytes;
    u32 error;
    bool tailReadable;
  };
  std::vector<u8> skipped = {0, 0, 1, 0};  // 65536, its bytes, then a word
  skipped.resize(4 + 65536, 'z');
  skipped.insert(skipped.end(), {0x78, 0x56, 0x34, 0x12});
  const std::vector<Case> cases = {
      {skipped, 3, true},
      {{0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, 3, false},
      {{10, 0, 0, 0, 'a', 'b'}, 4, false},
      {{10, 0}, 4, false},
  };
  for (const Case& c : cases) {
    for (bool interned : {true, false}) {
      MemStream m(c.bytes);
      Qel::PString pooled("old");
      Qel::String plain("old");
      const bool ok = interned ? m.stream.ReadPString(pooled) : m.stream.ReadString(plain);
      EXPECT_FALSE(ok);
      EXPECT_TRUE(interned ? pooled.IsEmpty() : plain.IsEmpty());
      EXPECT_EQ(m.stream.GetError(), c.error) << c.bytes.size();
      u32 tail = 0;
      EXPECT_EQ(m.stream.ReadU32(tail), c.tailReadable);
      if (c.tailReadable) {
        EXPECT_EQ(tail, 0x12345678u);
      }
    }
  }
}

TEST(SubFileStream, WindowClampsReadsSeeksAndWrites) {
  const std::vector<u8> data = Pattern(300);
  MemStream parent(data);
  parent.stream.Seek(100, 0);
  TSubFile sub(parent.stream, 100, 200);
  EXPECT_EQ(sub.GetLength(), 100u);
  std::vector<u8> got(150);
  EXPECT_EQ(sub.ReadBytes(got.data(), 150), 100u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 100, data.begin() + 100));
  EXPECT_TRUE(sub.IsEof());

  struct Case {
    i64 offset;
    u32 origin;
    u32 tell;
  };
  for (const Case& c : {Case{-10, 2, 90}, Case{-1000, 1, 0}, Case{1000, 0, 100}, Case{5, 0, 5}}) {
    sub.Seek(c.offset, c.origin);
    EXPECT_EQ(sub.Tell(), c.tell) << c.offset;
    EXPECT_EQ(parent.stream.Tell(), 100 + c.tell) << c.offset;
  }
  u8 byte = 0;
  EXPECT_TRUE(sub.ReadU8(byte));
  EXPECT_EQ(byte, data[105]);

  sub.Seek(90, 0);
  const std::vector<u8> ones(20, 0xEE);
  EXPECT_EQ(sub.WriteBytes(ones.data(), 20), 10u);
  EXPECT_EQ(sub.GetError(), TStream::kErrorIo);
  EXPECT_EQ(sub.Tell(), 100u);
  EXPECT_EQ(parent.Data()[199], 0xEE);
  EXPECT_EQ(parent.Data()[200], data[200]);

  // A window past the parent's data delivers what exists; a parent outside is moved to start.
  MemStream small(std::vector<u8>(data.begin(), data.begin() + 150));
  TSubFile beyond(small.stream, 100, 200);
  EXPECT_EQ(beyond.ReadBytes(got.data(), 100), 50u);
  EXPECT_EQ(beyond.Tell(), 50u);
  EXPECT_EQ(got[0], data[100]);
}

TEST(StreamBlocks, MarkersAndPatchesReturnToPosition) {
  const std::vector<u8> data = Pattern(10);
  MemStream m(data);
  m.stream.Seek(0, 2);
  const u32 marker = m.stream.BeginBlock();
  EXPECT_EQ(marker, 10u);
  EXPECT_EQ(WordAt(m.Data(), 10), TStream::kBlockMarker);
  m.stream.WriteBytes(data.data(), 10);
  m.stream.WriteBytes(data.data(), 10);
  m.stream.EndBlock(marker);
  EXPECT_EQ(WordAt(m.Data(), 10), 20u);
  EXPECT_EQ(m.stream.Tell(), 34u);

  // Patching while reading: the next values still come from the logical position.
  m.stream.Seek(0, 0);
  u32 word = 0;
  m.stream.ReadU32(word);
  m.stream.WriteU32At(20, 0x01020304);
  EXPECT_EQ(m.stream.Tell(), 4u);
  EXPECT_TRUE(m.stream.ReadU32(word));
  EXPECT_EQ(word, WordAt(data, 4));
  EXPECT_EQ(WordAt(m.Data(), 20), 0x01020304u);
  EXPECT_EQ(m.stream.GetError(), 0u);
}

class FileStream : public ::testing::Test {
 protected:
  void WriteFile(const std::vector<u8>& bytes) {
    TFile out;
    ASSERT_EQ(out.Open(path_.c_str(), 0x101), 0);
    out.WriteBytes(bytes.data(), u32(bytes.size()));
    EXPECT_EQ(out.GetError(), 0u);
  }

  scratch::Folder dir_;
  const std::string path_ = dir_.At("data.bin");
};

TEST_F(FileStream, ReadsBackWithDirectReadsAndEndOfFile) {
  const std::vector<u8> data = Pattern(9000);
  WriteFile(data);
  TFile in;
  ASSERT_EQ(in.Open(path_.c_str(), 0x10), 0);
  u32 word = 0;
  EXPECT_TRUE(in.ReadU32(word));
  EXPECT_EQ(word, WordAt(data, 0));
  EXPECT_EQ(in.GetLength(), 9000u);
  EXPECT_EQ(in.Tell(), 4u);
  std::vector<u8> got(8994);
  EXPECT_EQ(in.ReadBytes(got.data(), 8994), 8994u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 4));
  EXPECT_FALSE(in.IsEof());
  // The end of the file is a short read of the value, not an input/output failure.
  EXPECT_FALSE(in.ReadU32(word, 3));
  EXPECT_EQ(in.GetError(), TStream::kErrorShortRead);
  EXPECT_TRUE(in.IsEof());
  in.Seek(-5, 0);
  EXPECT_EQ(in.GetError(), TStream::kErrorShortRead) << "the first error stays";
  in.Reset();  // empties the file and clears the error
  EXPECT_EQ(in.GetError(), 0u);
  EXPECT_EQ(in.GetLength(), 0u);
  in.Close();
  EXPECT_EQ(scratch::ReadAll(path_), "");

  EXPECT_NE(in.Open(dir_.At("missing").c_str(), 0x10), 0);
  EXPECT_FALSE(in.IsOpen());
}

TEST_F(FileStream, CloseOfBorrowedFileLeavesItAtLogicalPosition) {
  WriteFile(Pattern(5000));
  Qel::File engine;
  ASSERT_EQ(engine.Open(path_.c_str(), 0x10), 0);
  {
    TFile borrowed(&engine, false);
    SkipWords(borrowed, 3);
    EXPECT_EQ(engine.GetPosition(), 4096u);
    borrowed.Close();
  }
  EXPECT_TRUE(engine.IsOpen());
  EXPECT_EQ(engine.GetPosition(), 12u);
}

TEST(BufferStream, SeekClampsAndOverlongWriteFails) {
  MemStream m(Pattern(20000));
  m.stream.Seek(4, 2);
  EXPECT_EQ(m.stream.Tell(), 19996u);
  m.stream.Seek(-50, 0);
  EXPECT_EQ(m.stream.Tell(), 0u);
  m.stream.Seek(i64(1) << 40, 0);
  EXPECT_EQ(m.stream.Tell(), m.buffer.GetAllocatedLength());
  EXPECT_EQ(m.stream.GetError(), 0u);

  MemStream tiny({1});
  tiny.stream.Seek(1, 0);
  const u8 byte = 0;
  EXPECT_EQ(tiny.stream.Write(&byte, 0xFFFFFFFFu), 0u);
  EXPECT_EQ(tiny.stream.GetError(), TStream::kErrorTooLong);
}

}  // namespace
