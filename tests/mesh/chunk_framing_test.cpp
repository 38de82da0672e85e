#include <gtest/gtest.h>

#include <string>

#include "mesh/chunk_reader.h"
#include "mesh/chunk_writer.h"
#include "mesh/mesh_load_result.h"
#include "mesh/qirf_walk.h"
#include "platform/byte_order.h"
#include "qelgfx/mesh_file_support.h"
#include "support/scratch_folder.h"

namespace {

using Presence = ChunkReader::Presence;

// A small body in the shape of the mesh files: INFO, then CHNK holding a u32 and a nested MATL,
// then an optional ATCH.
std::string WriteSample(const scratch::Folder& folder, bool withAttachments) {
  Qel::File file;
  EXPECT_EQ(0, file.Open(folder.At("sample.im").c_str(), Qel::File::kModeCreate));
  ChunkWriter w(file);
  w.BeginFile("IDXM");
  w.BeginChunk("INFO", 103);
  w.WriteF32(1.5f);
  w.EndChunk();
  w.BeginChunk("CHNK", 100);
  w.WriteU32(7);
  w.BeginChunk("MATL", 103);
  w.WritePaddedString("m.onetex");
  w.EndChunk();
  w.EndChunk();
  if (withAttachments) {
    w.BeginChunk("ATCH", 100);
    w.WriteU32(0);
    w.EndChunk();
  }
  EXPECT_TRUE(w.EndFile());
  EXPECT_TRUE(w.IsOk());
  file.Close();
  return folder.Read("sample.im");
}

// Reads the sample grammar; the result is the load code.
u32 ReadSample(const std::string& bytes, bool* sawAttachments = nullptr,
               std::string* name = nullptr) {
  Qel::MemoryFile memory(bytes.data(), u32(bytes.size()));
  ChunkReader r(memory);
  if (u32 code = r.OpenBody("IDXM")) return code;
  ChunkHeader info, chunk, material, attachments;
  if (u32 code = r.EnterChunk("INFO", Presence::kMandatory, 100, 104, info)) return code;
  f32 position = 0;
  memory.ReadF32(position);
  if (u32 code = r.LeaveChunk(info)) return code;
  if (u32 code = r.EnterChunk("CHNK", Presence::kMandatory, 100, 100, chunk)) return code;
  u32 unused = 0;
  memory.ReadU32(unused);
  if (u32 code = r.EnterChunk("MATL", Presence::kMandatory, 102, 103, material)) return code;
  Qel::String text;
  Qel::MeshFileSupport::ReadPaddedString(memory, text);
  if (name) *name = text.Std();
  if (u32 code = r.LeaveChunk(material)) return code;
  if (u32 code = r.LeaveChunk(chunk)) return code;
  if (u32 code = r.EnterChunk("ATCH", Presence::kOptional, 100, 100, attachments)) return code;
  if (attachments.present) {
    memory.ReadU32(unused);
    if (u32 code = r.LeaveChunk(attachments)) return code;
  }
  if (sawAttachments) *sawAttachments = attachments.present;
  return r.CloseBody();
}

void PutU32(std::string& bytes, size_t at, u32 value) { ByteOrder::StoreLE32(&bytes[at], value); }

TEST(ChunkFramingTest, WritesPatchedSizesAndReadsThemBack) {
  scratch::Folder folder;
  const std::string bytes = WriteSample(folder, true);
  // Body length counts everything after its field; a chunk's size counts its version and body.
  std::string head = "QIRF";
  ByteOrder::AppendLE32(head, u32(bytes.size() - 8));
  head += "IDXMINFO";
  ByteOrder::AppendLE32(head, 8);
  ByteOrder::AppendLE32(head, 103);
  EXPECT_EQ(head, bytes.substr(0, 24));
  bool attachments = false;
  std::string name;
  EXPECT_EQ(RES_OK, ReadSample(bytes, &attachments, &name));
  EXPECT_EQ(std::pair(true, std::string("m.onetex")), std::pair(attachments, name));

  // Without the optional chunk the reader finds the body's end where ATCH would be.
  const std::string shorter = WriteSample(folder, false);
  EXPECT_EQ(RES_OK, ReadSample(shorter, &attachments));
  EXPECT_FALSE(attachments);

  u32 chunks = 0;
  EXPECT_TRUE(WalkQIRF(reinterpret_cast<const u8*>(bytes.data()), u32(bytes.size()),
                       [&](const QIRFWalkEntry&) { ++chunks; })
                  .ok);
  EXPECT_EQ(4u, chunks);

  // A chunk with only a version has size four.
  Qel::File file;
  ASSERT_EQ(0, file.Open(folder.At("v.im").c_str(), Qel::File::kModeCreate));
  ChunkWriter w(file);
  w.BeginFile("LODM");
  w.BeginChunk("INFO", 100);
  w.EndChunk();
  EXPECT_FALSE(w.EndChunk());  // nothing open: refused and remembered
  EXPECT_FALSE(w.EndFile());
  file.Close();
  EXPECT_EQ(4u, ByteOrder::LoadLE32(&folder.Read("v.im")[16]));
}

TEST(ChunkFramingTest, DamagedFilesGiveTheirCodes) {
  scratch::Folder folder;
  const std::string good = WriteSample(folder, true);
  // Offsets in the sample: INFO at 12, CHNK at 28 (size at 32), MATL at 44 (size at 48).
  struct Case {
    const char* name;
    std::string bytes;
    u32 code;
  };
  std::string backwards = good;
  PutU32(backwards, 32, 0xFFFFFFF0u);  // a negative size read as unsigned
  std::string pastParent = good;
  PutU32(pastParent, 48, ByteOrder::LoadLE32(&good[32]));  // MATL as long as its CHNK
  std::string noVersionRoom = good;
  PutU32(noVersionRoom, 16, 2);
  std::string longBody = good;
  PutU32(longBody, 4, u32(good.size()));
  std::string version = good;
  PutU32(version, 20, 105);
  std::string tag = good;
  tag[12] = 'X';
  std::string extraByte = good + '\0';
  PutU32(extraByte, 4, u32(extraByte.size() - 8));
  const Case cases[] = {
      {"fewer than four bytes", "QIR", RES_FILE_FORMAT_ERROR},
      {"wrong magic", "QIRX" + good.substr(4), RES_FILE_FORMAT_ERROR},
      {"wrong body tag", good.substr(0, 8) + "LODM" + good.substr(12), RES_FILE_FORMAT_ERROR},
      {"size pointing backwards", backwards, RES_FILE_FORMAT_ERROR},
      {"size past the parent", pastParent, RES_FILE_FORMAT_ERROR},
      {"size without room for the version", noVersionRoom, RES_FILE_FORMAT_ERROR},
      {"body length past the file", longBody, RES_FILE_FORMAT_ERROR},
      {"unaccepted version", version, RES_FILE_VERSION_ERROR},
      {"mandatory chunk missing", tag, RES_FILE_FORMAT_ERROR},
      {"one extra byte in the body", extraByte, RES_FILE_FORMAT_ERROR},
      {"truncated inside a chunk", good.substr(0, 40), RES_FILE_FORMAT_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.code, ReadSample(c.bytes));
  }

  // The walk stops where sizes break.
  const QIRFWalkResult walk = WalkQIRF(reinterpret_cast<const u8*>(pastParent.data()),
                                       u32(pastParent.size()), [](const QIRFWalkEntry&) {});
  EXPECT_FALSE(walk.ok);
  EXPECT_EQ(44u, walk.failOffset);
  EXPECT_EQ("chunk size 36 passes the end of its parent at 0x00000048", walk.reason);

  // A body that looks like chunks for a while is data; probing it must stay in bounds.
  const std::string probed(
      "QIRF4\0\0\0LODMCHNK("
      "\0\0\0\0\0MATLRF\x19\0\0\0QIRF\x10\0\0\0IDXMINFO\xa0\x0f\0\0d\0\0\0\0\0\0\0",
      60);
  const QIRFWalkResult data = WalkQIRF(reinterpret_cast<const u8*>(probed.data()),
                                       u32(probed.size()), [](const QIRFWalkEntry&) {});
  EXPECT_TRUE(data.ok) << data.reason;
  EXPECT_EQ(1u, data.chunkCount);
}

TEST(ChunkFramingTest, CountsAndOptionalChunksAgainstTheBytesLeft) {
  const std::string bytes("QIRF\x18\0\0\0IDXMINFO\x0c\0\0\0\x64\0\0\0\x02\0\0\0\0\0\0\0", 32);
  Qel::MemoryFile memory(bytes.data(), u32(bytes.size()));
  ChunkReader r(memory);
  ASSERT_EQ(RES_OK, r.OpenBody("IDXM"));
  ChunkHeader info;
  ASSERT_EQ(RES_OK, r.EnterChunk("INFO", Presence::kMandatory, 100, 100, info));
  EXPECT_EQ(8u, r.BytesLeft());
  EXPECT_TRUE(r.FitsRecords(2, 4));
  EXPECT_FALSE(r.FitsRecords(3, 4));
  EXPECT_FALSE(r.FitsRecords(0xFFFFFFFFu, 0xFFFFFFFFu));  // no wrap in the product
  EXPECT_TRUE(r.NextTagIs("\x02\0\0\0"));
  EXPECT_EQ(RES_FILE_FORMAT_ERROR, r.LeaveChunk(info));  // nothing read: not at the end

  // Two bytes left in the body: an optional chunk is absent, a mandatory one is a format error.
  const std::string nearEnd("QIRF\x06\0\0\0IDXM\0\0", 14);
  Qel::MemoryFile tail(nearEnd.data(), u32(nearEnd.size()));
  ChunkReader t(tail);
  ASSERT_EQ(RES_OK, t.OpenBody("IDXM"));
  EXPECT_EQ(RES_OK, t.EnterChunk("ATCH", Presence::kOptional, 100, 100, info));
  EXPECT_FALSE(info.present);
  EXPECT_EQ(12u, tail.GetPosition());
  EXPECT_EQ(RES_FILE_FORMAT_ERROR, t.EnterChunk("ATCH", Presence::kMandatory, 100, 100, info));
}

TEST(MeshLoadResultTest, NamesAndMessages) {
  EXPECT_STREQ("RES_FILE_FORMAT_ERROR", MeshLoadResultName(RES_FILE_FORMAT_ERROR));
  EXPECT_STREQ("File contains invalid data", MeshLoadResultMessage(RES_FILE_DATA_ERROR));
  EXPECT_STREQ("Unknown mesh load error", MeshLoadResultMessage(42));
}

}  // namespace
