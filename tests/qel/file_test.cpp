#include "qel/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "qel/file_facts.h"
#include "qel/memory_file.h"
#include "qel/qel_test_folder.h"

namespace {

namespace fs = std::filesystem;
using Qel::File;
using Qel::String;
using qel_test::Names;

class FileTest : public qel_test::QelTestFolder {
 protected:
  static std::string ReadAll(File& f) {
    std::string s(64, '\0');
    s.resize(f.Read(s.data(), 64));
    return s;
  }
};

TEST_F(FileTest, ResolvesEveryComponentWithoutRegardToCase) {
  Put("Foo/BaR/x.TXT", "mixed");
  Put("dup/a.txt", "");
  Put("dup/A.txt", "");
  File f;
  ASSERT_EQ(f.Open(P("foo/bar/X.txt").c_str(), File::kModeRead), 0);
  EXPECT_EQ(ReadAll(f), "mixed");
  EXPECT_EQ(f.GetPathText(), P("Foo/BaR/x.TXT"));
  EXPECT_TRUE(File::Exists(P("FOO\\bar\\x.txt").c_str()));
  EXPECT_TRUE(File::IsFolder(P("FOO/bar").c_str()));
  EXPECT_FALSE(File::IsFolder(P("foo/bar/x.txt").c_str()));
  EXPECT_FALSE(File::Exists(P("foo/bar/y.txt").c_str()));
  EXPECT_EQ(File::Resolve(P("foo/Missing/X.txt").c_str()), P("Foo/Missing/X.txt"));
  EXPECT_EQ(File::Resolve(P("foo//bar/").c_str()), P("Foo/BaR/"));
  // The exact name wins; without one, the byte-wise first candidate, whatever the disk order.
  EXPECT_EQ(File::Resolve(P("dup/a.txt").c_str()), P("dup/a.txt"));
  EXPECT_EQ(File::Resolve(P("DUP/a.TXT").c_str()), P("dup/A.txt"));
  // Only the last name differs; a climb resolves on both sides of it.
  EXPECT_EQ(File::Resolve(P("Foo/BaR/X.txt").c_str()), P("Foo/BaR/x.TXT"));
  EXPECT_EQ(File::Resolve(P("foo/../FOO/bar/x.txt").c_str()), P("Foo/../Foo/BaR/x.TXT"));
  EXPECT_EQ(File::Resolve(P("Foo/BaR/../bar/x.txt").c_str()), P("Foo/BaR/../BaR/x.TXT"));
}

TEST_F(FileTest, StampsTellAReplacedFileAndNameNothingMissing) {
  Put("a.txt", "one");
  Put("b.txt", "two");
  File::Stamp before;
  File::Stamp again;
  ASSERT_TRUE(File::GetStamp(P("a.txt").c_str(), &before));
  ASSERT_TRUE(File::GetStamp(P("a.txt").c_str(), &again));
  EXPECT_EQ(before, again);
  EXPECT_EQ(before.size, 3u);
  ASSERT_EQ(::rename(P("b.txt").c_str(), P("a.txt").c_str()), 0);
  ASSERT_TRUE(File::GetStamp(P("a.txt").c_str(), &again));
  EXPECT_NE(before, again);
  EXPECT_FALSE(File::GetStamp(P("b.txt").c_str(), &again));
  EXPECT_FALSE(File::GetStamp(P("A.TXT").c_str(), &again)) << "the path as written";
}

TEST_F(FileTest, OpenModes) {
  Put("old.txt", "hello world");
  File f;
  for (u32 mode : {0x10u, 0x20u}) {
    ASSERT_EQ(f.Open(P("old.txt").c_str(), mode), 0);
    EXPECT_EQ(f.Write("x", 1), 0u);  // read-only
    EXPECT_EQ(ReadAll(f), "hello world");
  }
  ASSERT_EQ(f.Open(P("old.txt").c_str(), 0x1), 0);
  EXPECT_EQ(f.Write("HE", 2), 2u);
  f.Close();
  EXPECT_EQ(Slurp("old.txt"), "HEllo world");
  ASSERT_EQ(f.Open(P("old.txt").c_str(), 0x101), 0);
  f.Close();
  EXPECT_EQ(Slurp("old.txt"), "");

  EXPECT_EQ(f.Open(P("none.txt").c_str(), 0x1), ENOENT);  // write alone never creates
  EXPECT_NE(f.Open(P("sub/new.txt").c_str(), 0x101), 0);  // no parents without 0x200
  EXPECT_EQ(Dir(""), Names{"old.txt"});

  ASSERT_EQ(f.Open(P("rw.bin").c_str(), 0x121), 0);
  EXPECT_EQ(f.Write("abcdef", 6), 6u);
  ASSERT_TRUE(f.Seek(2, 0));
  EXPECT_EQ(ReadAll(f), "cdef");
  EXPECT_EQ(f.GetMode(), 0x121u);
}

TEST_F(FileTest, BadRequestsFailCleanly) {
  Put("folder/f.txt", "x");
  ASSERT_TRUE(File::SetCwd(root_.c_str()));
  File f;
  EXPECT_EQ(f.Open(P("folder/f.txt").c_str(), 0), EINVAL);
  EXPECT_EQ(f.Open(P("folder/f.txt").c_str(), 0x1000), EINVAL);
  EXPECT_EQ(f.Open(nullptr, 0x10), EINVAL);
  EXPECT_NE(f.Open("", 0x10), 0);
  EXPECT_EQ(f.Open(P("folder").c_str(), 0x10), EISDIR);
  EXPECT_NE(f.Open(P("folder/f.txt/x").c_str(), 0x301), 0);
  // A drive form names nothing: no file named after it appears in the working folder.
  EXPECT_NE(f.Open("C:\\x.txt", 0x301), 0);
  EXPECT_FALSE(File::MakeTree("D:\\dir"));
  EXPECT_FALSE(File::Exists("C:\\"));
  EXPECT_EQ(File::Resolve("C:\\Some\\Path"), "C:\\Some\\Path");
  EXPECT_EQ(Dir(""), Names{"folder"});

  // A failed open closes what was open; a closed file does nothing.
  ASSERT_EQ(f.Open("folder/f.txt", 0x10), 0);
  EXPECT_NE(f.Open("missing", 0x10), 0);
  EXPECT_EQ(f.GetHandle(), -1);
  EXPECT_TRUE(f.GetPathText().IsEmpty());
  char c;
  EXPECT_EQ(f.Read(&c, 1) + f.Write(&c, 1) + f.GetPosition() + f.GetLength(), 0u);
  EXPECT_FALSE(f.Seek(0, 0));
  EXPECT_TRUE(f.IsEof());
  String line("stale");
  EXPECT_FALSE(f.ReadLine(line));
  EXPECT_TRUE(line.IsEmpty());
}

TEST_F(FileTest, PositionsAreSixtyFourBit) {
  const u64 far = (u64(5) << 30) + 3;
  File f;
  ASSERT_EQ(f.Open(P("big.bin").c_str(), 0x121), 0);
  EXPECT_TRUE(f.IsEof());
  ASSERT_TRUE(f.Seek(static_cast<i64>(far), 0));  // sparse: nothing is written up to here
  ASSERT_EQ(f.Write("z", 1), 1u);
  EXPECT_EQ(f.GetLength(), far + 1);
  EXPECT_TRUE(f.IsEof());
  ASSERT_TRUE(f.Seek(-1, 2));
  EXPECT_EQ(f.GetPosition(), far);
  EXPECT_FALSE(f.IsEof());
  EXPECT_FALSE(f.Seek(-i64(far) - 1, 1));  // before the start
  EXPECT_FALSE(f.Seek(0, 3));              // no such origin
  EXPECT_EQ(f.GetPosition(), far);
  EXPECT_EQ(ReadAll(f), "z");
  EXPECT_TRUE(f.IsEof());
}

TEST_F(FileTest, ReadLineKeepsLineEnds) {
  const std::string longLine(1500, 'L');
  const std::string nul("n\0l\n", 4);
  const struct {
    std::string text;
    Names lines;
  } cases[] = {{"a\r\nb\nc", {"a\r\n", "b\n", "c"}},
               {"\n\n", {"\n", "\n"}},
               {"", {}},
               {"cr\ronly", {"cr\ronly"}},
               {longLine + "\r\nx\n", {longLine + "\r\n", "x\n"}},
               {nul + "z", {nul, "z"}}};
  for (const auto& c : cases) {
    Put("lines.txt", c.text);
    File f;
    ASSERT_EQ(f.Open(P("lines.txt").c_str(), 0x10), 0);
    Names got;
    for (String line; f.ReadLine(line);) got.push_back(line.Std());
    EXPECT_EQ(got, c.lines);
    EXPECT_TRUE(f.IsEof());
  }
  // Reads after a line start right behind it.
  File f;
  ASSERT_EQ(f.Open(P("lines.txt").c_str(), 0x10), 0);
  String line;
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(f.GetPosition(), 4u);
  EXPECT_EQ(ReadAll(f), "z");
}

TEST_F(FileTest, ReadLineFromAPipeConsumesOnlyTheLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "p1\np2", 5), 5);
  File f;
  ASSERT_EQ(f.Open(("/proc/self/fd/" + std::to_string(fds[0])).c_str(),
                   File::kModeRead | File::kModeAnyKind),
            0);
  ::close(fds[0]);
  ::close(fds[1]);
  String line;
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, "p1\n");
  EXPECT_FALSE(f.IsEof());
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, "p2");
  EXPECT_FALSE(f.ReadLine(line));
  EXPECT_TRUE(f.IsEof());
}

// A named pipe where a file belongs: every read of it must fail at once, not wait for a writer.
TEST_F(FileTest, ReadsRefuseWhatIsNoRegularFileWithoutWaiting) {
  ASSERT_EQ(::mkfifo(P("pipe").c_str(), 0600), 0);
  auto reads = std::async(std::launch::async, [&] {
    std::vector<int> codes;
    File f;
    codes.push_back(f.Open(P("pipe").c_str(), File::kModeRead));
    codes.push_back(f.Open(P("PIPE").c_str(), File::kModeReadShared));
    codes.push_back(f.Open("/dev/zero", File::kModeRead));
    Qel::MemoryFile memory;
    codes.push_back(memory.LoadFile(P("pipe").c_str()) ? 0 : -1);
    std::string bytes;
    codes.push_back(Qel::ReadWholeFile(P("pipe").c_str(), 1024, &bytes) ? 0 : -1);
    return codes;
  });
  if (reads.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Lets the stuck open go before the test fails.
    const int writer = ::open(P("pipe").c_str(), O_WRONLY);
    if (writer >= 0) ::close(writer);
    FAIL() << "a read of a named pipe waited for a writer";
  }
  EXPECT_EQ(reads.get(), (std::vector<int>{ENXIO, ENXIO, ENXIO, -1, -1}));
  // Writing to a device is still allowed, and so is a regular file read through a link.
  Put("real.txt", "x");
  fs::create_symlink(P("real.txt"), P("link.txt"));
  File f;
  EXPECT_EQ(f.Open(P("link.txt").c_str(), File::kModeRead), 0);
  EXPECT_EQ(f.Open("/dev/null", File::kModeWrite), 0);
}

TEST_F(FileTest, PruneAndUnlinkNeverFollowLinks) {
  Put("out/keep.txt", "keep");
  Put("Tree/inner/deep/f.txt", "x");
  fs::create_directory_symlink(P("out"), P("Tree/inner/link"));
  fs::create_symlink(P("out/keep.txt"), P("Tree/filelink"));
  fs::create_symlink(P("gone"), P("Tree/dangling"));
  fs::create_directory_symlink(P("out"), P("alias"));
  fs::create_directory_symlink(P("out"), P("alias2"));

  EXPECT_TRUE(File::Prune(P("tree").c_str()));
  EXPECT_TRUE(File::Prune(P("ALIAS").c_str()));  // the link itself goes
  EXPECT_TRUE(File::Unlink(P("Alias2").c_str()));
  EXPECT_FALSE(File::Prune(P("out/keep.txt").c_str()));  // a file is not a tree
  EXPECT_FALSE(File::Unlink(P("out").c_str()));          // a folder is not a file
  EXPECT_FALSE(File::Prune(P("missing").c_str()));
  EXPECT_FALSE(File::Unlink(P("missing").c_str()));
  EXPECT_EQ(Dir(""), Names{"out"});
  EXPECT_EQ(Slurp("out/keep.txt"), "keep");
  EXPECT_TRUE(File::Unlink(P("OUT/KEEP.txt").c_str()));
  EXPECT_TRUE(Dir("out").empty());
}

TEST_F(FileTest, RenameNeverReplacesAnotherEntry) {
  Put("Src/a.txt", "a");
  Put("Src/b.txt", "b");
  Put("Dst/keep", "");
  EXPECT_FALSE(File::Rename(P("src/a.txt").c_str(), P("src/b.txt").c_str()));
  EXPECT_FALSE(File::Rename(P("src/a.txt").c_str(), P("src/B.TXT").c_str()));
  EXPECT_EQ(Slurp("Src/b.txt"), "b");
  // Folders resolve; the new name keeps its case; a change of case alone renames the entry.
  EXPECT_TRUE(File::Rename(P("SRC/A.txt").c_str(), P("dst/Moved.TXT").c_str()));
  EXPECT_TRUE(File::Rename(P("dst/moved.txt").c_str(), P("dst/Moved.TXT").c_str()));
  EXPECT_EQ(Dir("Dst"), (Names{"Moved.TXT", "keep"}));
  EXPECT_TRUE(File::Rename(P("Dst/Moved.TXT").c_str(), P("DST/moved.txt").c_str()));
  EXPECT_EQ(Dir("Dst"), (Names{"keep", "moved.txt"}));
  EXPECT_TRUE(File::Rename(P("src").c_str(), P("Renamed").c_str()));
  EXPECT_EQ(Slurp("Renamed/b.txt"), "b");

  EXPECT_FALSE(File::Rename(P("missing").c_str(), P("x").c_str()));
  EXPECT_FALSE(File::Rename(P("Renamed").c_str(), "C:\\x"));
  EXPECT_FALSE(File::Rename(P("Renamed").c_str(), P("nofolder/x").c_str()));
  EXPECT_FALSE(File::Rename(P("Renamed").c_str(), nullptr));
  EXPECT_EQ(Dir(""), (Names{"Dst", "Renamed"}));
}

TEST_F(FileTest, SubstitutionsRedirectLeadingComponentsAndOpenInFolder) {
  Put("Inst/Scripts/lib/Main.gs", "main");
  const std::string scripts = P("Inst/Scripts/");
  File::Subst("scripts", scripts.c_str());
  File::Subst("builtin\\1", P("b1").c_str());
  File::Subst("builtin", P("b").c_str());
  File::Subst("pack", P("pack.qa").c_str(), false);

  EXPECT_EQ(File::ResolveSubst("SCRIPTS\\lib/x.gs"), scripts + "lib/x.gs");
  EXPECT_EQ(File::ResolveSubst("scripts"), scripts);
  EXPECT_EQ(File::ResolveSubst("scriptsX/a"), "scriptsX/a");  // whole components only
  EXPECT_EQ(File::ResolveSubst("a/scripts/b"), "a/scripts/b");
  EXPECT_EQ(File::ResolveSubst("BUILTIN/1/x"), P("b1") + "/x");  // the longest name wins
  EXPECT_EQ(File::ResolveSubst("builtin\\2\\x"), P("b") + "/2/x");
  String target;
  bool isFolder = true;
  ASSERT_TRUE(File::LookupSubst("Pack", &target, &isFolder));
  EXPECT_EQ(target, P("pack.qa"));
  EXPECT_FALSE(isFolder);

  File f;
  ASSERT_EQ(f.Open("Scripts/LIB/main.GS", 0x10), 0);
  EXPECT_EQ(ReadAll(f), "main");
  ASSERT_EQ(f.OpenInFolder("SCRIPTS", "lib\\main.gs", 0x10), 0);
  EXPECT_EQ(f.GetPathText(), scripts + "lib/Main.gs");
  // A plain folder, or none: the working folder.
  ASSERT_EQ(f.OpenInFolder(Qel::PString(P("inst/scripts").c_str()), "/lib/main.gs", 0x10), 0);
  EXPECT_EQ(ReadAll(f), "main");
  ASSERT_TRUE(File::SetCwd(P("inst/scripts").c_str()));
  ASSERT_EQ(f.OpenInFolder(Qel::PString(), "lib/main.gs", 0x10), 0);
  EXPECT_EQ(f.GetPathText(), scripts + "lib/Main.gs");
  EXPECT_EQ(f.OpenInFolder("scripts", nullptr, 0x10), EINVAL);
  EXPECT_EQ(File::InFolder("builtin\\1", "\\x"), "builtin/1/x");

  File::Subst("BUILTIN", P("c").c_str());  // registering again replaces
  EXPECT_EQ(File::ResolveSubst("builtin/2"), P("c") + "/2");
  File::Subst("scripts", nullptr);
  File::Subst("Builtin\\1", "");
  File::Subst("builtin", nullptr);
  File::Subst("pack", nullptr);
  File::Subst("", P("x").c_str());
  EXPECT_FALSE(File::Exists("scripts/lib/main.gs"));
  for (const char* name : {"scripts", "builtin/1", "builtin", "pack", ""}) {
    EXPECT_FALSE(File::LookupSubst(name, nullptr, nullptr)) << name;
  }
}

TEST_F(FileTest, SubstitutionTableIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      const std::string name = "vol" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        File::Subst(Qel::PString(name.c_str()), P(name).c_str());
        EXPECT_EQ(File::ResolveSubst((name + "/f").c_str()), P(name) + "/f");
        File::Subst(Qel::PString(name.c_str()), nullptr);
      }
    });
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace
