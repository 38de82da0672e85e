// The library image as its format defines it, for every sample program, and the writer's
// failures: a buffer out of storage, a short file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gscommon/library_format.h"
#include "gscompiler/declare_fixture.h"
#include "platform/byte_order.h"
#include "support/file_size_limit.h"

namespace {

namespace fs = std::filesystem;
using GSLibraryFormat::LibraryImage;

class LibraryWriterTest : public gs_test::DeclareFixture {
 protected:
  void SetUp() override {
    DeclareFixture::SetUp();
    for (const auto& entry : fs::directory_iterator(KESTRO_TEST_DATA_DIR "/gs_samples")) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      Put(entry.path().filename().string(), text.str());
    }
  }
  // Compiles through the driver and reads back the file it wrote.
  std::string CompileFile(const std::string& source) {
    GSCompileLog log;
    EXPECT_EQ(CompileLibraryFile(source.c_str(), nullptr, nullptr, &log), 0) << source;
    while (const char* m = log.Take()) ADD_FAILURE() << m;
    return Slurp(source.substr(0, source.size() - 3) + ".gsl");
  }
  static LibraryImage Read(const std::string& bytes) {
    LibraryImage library;
    std::string error;
    EXPECT_TRUE(GSLibraryFormat::ReadLibraryImage(reinterpret_cast<const u8*>(bytes.data()),
                                                  u32(bytes.size()), &library, &error))
        << error;
    return library;
  }
};

TEST_F(LibraryWriterTest, SamplesFollowTheFormat) {
  // Each sample with the number of units compiled with it: itself, then its includes once each.
  const std::pair<const char*, size_t> samples[] = {{"shapes.gs", 1},  {"game.gs", 2},
                                                    {"chain_a.gs", 3}, {"chain_b.gs", 2},
                                                    {"chain_c.gs", 1}, {"text.gs", 1}};
  for (const auto& [name, units] : samples) {
    SCOPED_TRACE(name);
    const std::string bytes = CompileFile(name);
    ASSERT_GT(bytes.size(), 24u);
    const u8* data = reinterpret_cast<const u8*>(bytes.data());
    EXPECT_EQ(bytes.substr(4, 4), "\x5D\x57\x62\xF7");
    EXPECT_EQ(ByteOrder::LoadLE32(data + 8), 0x3F828F5Cu);
    EXPECT_EQ(ByteOrder::LoadLE32(data), bytes.size()) << "the image length is the file size";
    // The reader checks every back-patched length, every tag in order and that section 6 ends
    // the image.
    const LibraryImage library = Read(bytes);
    EXPECT_EQ(library.name, name);
    EXPECT_EQ(library.stringSectionEnd % 4, 0u);
    ASSERT_EQ(library.units.size(), units);
    EXPECT_EQ(library.units[0], std::make_pair(library.sourceId, library.nameId));
    const std::set<std::pair<u32, u32>> distinct(library.units.begin(), library.units.end());
    EXPECT_EQ(distinct.size(), units);
    for (const auto& [unit, className] : library.classReferences) {
      EXPECT_LT(unit, units);
      EXPECT_NE(library.String(className), "?");
    }
  }
}

// Names of every length mod 4 leave section 3 aligned; the name changes only nameId, a changed
// character only sourceId.
TEST_F(LibraryWriterTest, IdsAndAlignmentFollowNameAndText) {
  const std::string text = "class A { public string s = \"xyz\"; };\n";
  std::set<u32> sourceIds, nameIds;
  for (const char* name : {"a.gs", "ab.gs", "abc.gs", "abcd.gs"}) {
    Put(name, text);
    const LibraryImage library = Read(CompileFile(name));
    EXPECT_EQ(library.stringSectionEnd % 4, 0u) << name;
    sourceIds.insert(library.sourceId);
    nameIds.insert(library.nameId);
  }
  EXPECT_EQ(sourceIds.size(), 1u);
  EXPECT_EQ(nameIds.size(), 4u);
  Put("a.gs", text + " ");
  EXPECT_EQ(sourceIds.count(Read(CompileFile("a.gs")).sourceId), 0u);
}

TEST_F(LibraryWriterTest, EmptyStringSectionIsTwelveBytes) {
  GSCompilerState state;
  state.Reset();
  Utils::ByteBuffer out;
  GSCompiler::WriteStringSection(out, state);
  ASSERT_EQ(out.Size(), 12u);
  EXPECT_EQ(ByteOrder::LoadLE32(out.Data()), 12u);
  EXPECT_EQ(ByteOrder::LoadLE32(out.Data() + 4), GSLibraryFormat::kStringSection);
  EXPECT_EQ(ByteOrder::LoadLE32(out.Data() + 8), 0u);
}

// The pool numbers texts by first use and keeps each once, however many there are and however
// they share prefixes; the section gives each number back its own text.
TEST_F(LibraryWriterTest, StringPoolNumbersEachTextOnce) {
  GSCompilerState state;
  state.Reset();
  std::vector<std::string> texts = {"", "a", "ab", "a\x01"};
  for (int i = 0; i < 5000; ++i) texts.push_back("C" + std::to_string(i) + "::f(int)");
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(GSCompiler::InternString(state, texts[i].c_str()), i) << texts[i];
    }
  }
  EXPECT_EQ(GSCompiler::InternString(state, nullptr), 0u) << "null is the empty text";
  Utils::ByteBuffer out;
  GSCompiler::WriteStringSection(out, state);
  const u8* data = out.Data();
  ASSERT_EQ(ByteOrder::LoadLE32(data + 8), texts.size());
  const char* first = reinterpret_cast<const char*>(data + 12 + 4 * texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(first + ByteOrder::LoadLE32(data + 12 + 4 * i), texts[i]);
  }
}

// A buffer that cannot grow and a file that cannot be written whole both fail, and no partial
// library stays behind: the one there before stays whole.
TEST_F(LibraryWriterTest, FailedWritesKeepTheLibraryThereBefore) {
  ASSERT_EQ(Compile({{"shapes.gs", Slurp("shapes.gs")}}), 0);
  Utils::ByteBuffer grown;
  Utils::ByteBuffer dead(std::move(grown));
  EXPECT_FALSE(GSCompiler::GslWriter(grown, *state_, nullptr, "shapes.gs"));

  GSCompileLog log;
  {
    FileSizeLimit limit(100);
    EXPECT_EQ(CompileLibraryFile("text.gs", nullptr, nullptr, &log), 1);
  }
  EXPECT_STREQ(log.Take(), "Could not write file text.gsl.");
  EXPECT_FALSE(Has("text.gsl"));

  ASSERT_EQ(CompileLibraryFile("text.gs", nullptr, nullptr, &log), 0);
  const std::string before = Slurp("text.gsl");
  {
    FileSizeLimit limit(100);
    EXPECT_EQ(CompileLibraryFile("text.gs", nullptr, nullptr, &log), 1);
  }
  EXPECT_STREQ(log.Take(), "Could not write file text.gsl.");
  EXPECT_EQ(Slurp("text.gsl"), before);
}

}  // namespace
