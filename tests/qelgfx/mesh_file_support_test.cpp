#include "qelgfx/mesh_file_support.h"

#include <gtest/gtest.h>

#include <string>

#include "qel/file.h"
#include "qel/file_write.h"
#include "qel/memory_file.h"
#include "qelgfx/qirf_file.h"
#include "support/scratch_folder.h"

namespace {

using Qel::File;
using Qel::MemoryFile;
using Qel::MeshFileSupport;

class MeshFileSupportTest : public ::testing::Test {
 protected:
  // Writes through `body` into a fresh file and returns its bytes.
  template <typename Body>
  std::string Written(Body body) {
    File file;
    EXPECT_EQ(0, file.Open(folder_.At("out.bin").c_str(), File::kModeCreate));
    body(file);
    file.Close();
    return folder_.Read("out.bin");
  }

  scratch::Folder folder_;
};

TEST(MemoryFileTest, ShortReadsLeaveTargetsAndPositionAndStick) {
  const u8 bytes[] = {1, 0, 0, 0, 0x80, 0x3F, 9};
  MemoryFile memory(bytes, sizeof bytes);
  u32 value = 0;
  ASSERT_TRUE(memory.ReadU32(value));
  EXPECT_EQ(1u, value);
  f32 f = 7.0f;
  EXPECT_FALSE(memory.ReadF32(f));  // three bytes left
  EXPECT_EQ(7.0f, f);
  EXPECT_EQ(4u, memory.GetPosition());
  EXPECT_TRUE(memory.HasShortRead());
  u8 block[8] = {0xAA};
  EXPECT_FALSE(memory.Read(block, 4));
  EXPECT_EQ(0xAA, block[0]);
  EXPECT_FALSE(memory.Skip(4));
  EXPECT_EQ(4u, memory.GetPosition());
  u16 half = 0;
  EXPECT_TRUE(memory.ReadU16(half));  // later reads that fit still work; the flag stays
  EXPECT_EQ(0x3F80, half);
  EXPECT_TRUE(memory.HasShortRead());
  memory.Rewind(100);
  EXPECT_EQ(0u, memory.GetPosition());
  EXPECT_FALSE(memory.Seek(8));
  EXPECT_TRUE(memory.Seek(7));
  EXPECT_EQ(0u, memory.GetBytesLeft());
}

TEST_F(MeshFileSupportTest, MemoryFileLoadsAWholeFileOrNothing) {
  folder_.Put("data.bin", std::string("abc\0def", 7));
  MemoryFile memory;
  ASSERT_TRUE(memory.LoadFile(folder_.At("data.bin").c_str()));
  EXPECT_EQ(7u, memory.GetSize());
  EXPECT_FALSE(memory.LoadFile(folder_.At("missing.bin").c_str()));
  EXPECT_EQ(0u, memory.GetSize());
}

TEST_F(MeshFileSupportTest, PaddedStringsRoundTripAtEveryLengthAndOffset) {
  for (u32 offset = 0; offset < 4; ++offset) {
    for (u32 length = 0; length < 9; ++length) {
      SCOPED_TRACE("offset " + std::to_string(offset) + " length " + std::to_string(length));
      const std::string text(length, 'x');
      const std::string bytes = Written([&](File& f) {
        Qel::WriteBlock(f, "....", offset);
        ASSERT_TRUE(MeshFileSupport::WritePaddedString(f, text.c_str()));
        Qel::WriteTag(f, "NEXT");
      });
      // Count, text, NUL, then zeros to the next 4-byte boundary of the file.
      const size_t stringEnd = offset + 4 + length + 1;
      const size_t padded = (stringEnd + 3) / 4 * 4;
      ASSERT_EQ(padded + 4, bytes.size());
      EXPECT_EQ(padded - offset, MeshFileSupport::PaddedStringSize(length, offset));
      EXPECT_EQ(length + 1, u8(bytes[offset]));
      EXPECT_EQ(std::string(padded - stringEnd + 1, '\0'),
                bytes.substr(stringEnd - 1, padded - stringEnd + 1));
      EXPECT_EQ("NEXT", bytes.substr(padded));

      MemoryFile memory(bytes.data(), u32(bytes.size()));
      memory.Skip(offset);
      Qel::String back;
      ASSERT_TRUE(MeshFileSupport::ReadPaddedString(memory, back));
      EXPECT_EQ(text, back.Std());
      EXPECT_EQ(padded, memory.GetPosition());
    }
  }
}

TEST_F(MeshFileSupportTest, NullTextIsWrittenAsTheEmptyText) {
  const std::string bytes =
      Written([](File& f) { MeshFileSupport::WritePaddedString(f, nullptr); });
  EXPECT_EQ(std::string("\1\0\0\0\0\0\0\0", 8), bytes);
}

TEST(PaddedStringReadTest, RefusesBadCountsWithoutMoving) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"count 0", std::string("\0\0\0\0abcd", 8)},
      {"count past the end", std::string("\x09\0\0\0abcd", 8)},
      {"padding missing at the end", std::string("\x02\0\0\0a\0", 6)},
      {"count cut short", std::string("\x02\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFile memory(c.bytes.data(), u32(c.bytes.size()));
    Qel::String text("kept");
    EXPECT_FALSE(MeshFileSupport::ReadPaddedString(memory, text));
    EXPECT_EQ("kept", text.Std());
    EXPECT_EQ(0u, memory.GetPosition());
    EXPECT_TRUE(memory.HasShortRead());
  }
  // An embedded NUL ends the text; the count still decides where the next field starts.
  const std::string embedded("\x05\0\0\0ab\0d\0\0\0\0", 12);
  MemoryFile memory(embedded.data(), u32(embedded.size()));
  Qel::String text;
  ASSERT_TRUE(MeshFileSupport::ReadPaddedString(memory, text));
  EXPECT_EQ("ab", text.Std());
  EXPECT_EQ(12u, memory.GetPosition());
}

TEST_F(MeshFileSupportTest, SizeMarksCountWhatFollowsThePlaceholder) {
  const std::string bytes = Written([](File& f) {
    Qel::WriteTag(f, "OUTR");
    const u64 outer = MeshFileSupport::MarkSizePos(f);
    Qel::WriteU32(f, 100);
    const u64 inner = MeshFileSupport::MarkSizePos(f);
    ASSERT_TRUE(MeshFileSupport::WriteSizeAtMark(f, inner));  // nothing after it yet
    Qel::WriteF32(f, 1.0f);
    ASSERT_TRUE(MeshFileSupport::WriteSizeAtMark(f, outer));
    EXPECT_EQ(20u, f.GetPosition());  // back at the end
    EXPECT_FALSE(MeshFileSupport::WriteSizeAtMark(f, MeshFileSupport::kNoMark));
  });
  const std::string expected("OUTR\x0c\0\0\0\x64\0\0\0\0\0\0\0\0\0\x80\x3f", 20);
  EXPECT_EQ(expected, bytes);
  File closed;
  EXPECT_EQ(MeshFileSupport::kNoMark, MeshFileSupport::MarkSizePos(closed));
}

TEST_F(MeshFileSupportTest, WriteHeaderFramesATextureBody) {
  Qel::QIRFFile file;
  ASSERT_EQ(0, file.Open(folder_.At("sub/tex.texture").c_str()));
  {
    Qel::QIRFWriteHeader header(file, FourCC("FTMM"));
    EXPECT_TRUE(header.IsOk());
    Qel::WriteU32(file.GetFile(), 0xDEADBEEF);
  }
  file.Close();
  EXPECT_EQ(std::string("QIRF\x08\0\0\0MMTF\xEF\xBE\xAD\xDE", 16), folder_.Read("sub/tex.texture"));
}

TEST(QIRFWriteHeaderTest, ReportsAFileThatCannotBeWritten) {
  Qel::QIRFFile file;  // never opened
  Qel::QIRFWriteHeader header(file, FourCC("FTMM"));
  EXPECT_FALSE(header.IsOk());
  EXPECT_FALSE(header.Finish());
}

}  // namespace
