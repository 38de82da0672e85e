#include "core/whole_file_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "support/file_size_limit.h"
#include "support/scratch_folder.h"

namespace {

const std::string kOld = "the old content, whole";

class WholeFileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.At("target.bin"), std::ios::binary) << kOld;
  }
  std::string Target() const { return dir_.At("target.bin"); }
  std::string Content() const { return dir_.Read("target.bin"); }
  // Only the target: no temporary file stayed behind.
  void ExpectOnlyTarget() const {
    EXPECT_EQ(dir_.Names(), std::set<std::string>{"target.bin"});
  }

  scratch::Folder dir_;
};

TEST_F(WholeFileWriterTest, ReplacesTheFileWholeOrLeavesItAlone) {
  const std::string big(3000, 'z');
  struct Row {
    const char* what;
    rlim_t limit;  // the file-size limit, 0 for none
    std::string first;
    std::string second;
    WriteResult result;
  };
  const Row rows[] = {
      {"a full disk part way", 100, big.substr(0, 50), big, WriteResult::kWriteFailed},
      {"a full disk at once", 10, big, "", WriteResult::kWriteFailed},
      {"room for all", 0, big.substr(0, 50), "", WriteResult::kWritten},
      {"an empty file", 0, "", "", WriteResult::kWritten},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::ofstream(Target(), std::ios::binary | std::ios::trunc) << kOld;
    WriteResult result;
    {
      FileSizeLimit limit(row.limit != 0 ? row.limit : RLIM_INFINITY);
      result = WriteWholeFile(Target().c_str(), {{row.first.data(), row.first.size()},
                                                 {row.second.data(), row.second.size()}});
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(Content(), row.result == WriteResult::kWritten ? row.first + row.second : kOld);
    ExpectOnlyTarget();
  }
  EXPECT_EQ(WriteWholeFile(dir_.At("no/such/folder/f.bin").c_str(), {{big.data(), 10}}),
            WriteResult::kOpenFailed);
  EXPECT_EQ(WriteWholeFile("", {{big.data(), 10}}), WriteResult::kOpenFailed);
  ExpectOnlyTarget();
}

TEST_F(WholeFileWriterTest, StreamedWritesCountOnlyOnCommit) {
  {
    WholeFileWriter writer(Target().c_str());
    ASSERT_TRUE(writer.IsOpen());
    EXPECT_TRUE(writer.Write("new", 3));
    EXPECT_EQ(Content(), kOld) << "a reader sees the old file until the commit";
  }  // dropped without a commit
  EXPECT_EQ(Content(), kOld);
  ExpectOnlyTarget();

  {
    WholeFileWriter writer(Target().c_str());
    const std::string big(5000, 'b');
    FileSizeLimit limit(1000);
    EXPECT_FALSE(writer.Write(big.data(), big.size()));
    EXPECT_FALSE(writer.Write("x", 1)) << "writes after a short one are refused";
    EXPECT_FALSE(writer.Commit());
  }
  EXPECT_EQ(Content(), kOld);
  ExpectOnlyTarget();

  WholeFileWriter writer(Target().c_str());
  // A writer that seeks back to patch what it wrote, as chunked formats do.
  ASSERT_TRUE(writer.Write("xxxx-tail", 9));
  ASSERT_TRUE(writer.File().Seek(0, 0));
  ASSERT_TRUE(writer.Write("head", 4));
  EXPECT_TRUE(writer.Commit());
  EXPECT_EQ(Content(), "head-tail");
  ExpectOnlyTarget();
}

// A writer killed part way (a crash, a power cut as the process sees it) leaves the old file
// whole; the next save still succeeds.
TEST_F(WholeFileWriterTest, KillMidWriteKeepsTheOldFile) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    WholeFileWriter writer(Target().c_str());
    const std::string block(64 * 1024, 'n');
    const char note = writer.IsOpen() && writer.Write(block.data(), block.size()) ? 'w' : 'f';
    if (::write(ready[1], &note, 1) != 1) ::_exit(2);
    for (;;) {
      if (!writer.Write(block.data(), 16)) ::_exit(3);
      ::usleep(1000);
    }
  }
  ::close(ready[1]);
  char note = 0;
  const ssize_t got = ::read(ready[0], &note, 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(got, 1);
  ASSERT_EQ(note, 'w') << "the child could not start writing";
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Content(), kOld);

  EXPECT_EQ(WriteWholeFile(Target().c_str(), {{"after", 5}}), WriteResult::kWritten);
  EXPECT_EQ(Content(), "after");
}

}  // namespace
