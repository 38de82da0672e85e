#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

using TempDir = scratch::Folder;

void WriteScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

TEST(ProcessTest, AliveForRunningProcessesOnly) {
  EXPECT_TRUE(Platform::IsProcessAlive(Platform::CurrentProcessId()));
  EXPECT_FALSE(Platform::IsProcessAlive(0));
  EXPECT_FALSE(Platform::IsProcessAlive(0xFFFFFFFFu));

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  // Ended but not reaped: the zombie counts as ended.
  ASSERT_TRUE(
      watchdog::Eventually([&] { return !Platform::IsProcessAlive(std::uint32_t(child)); }));
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_FALSE(Platform::IsProcessAlive(std::uint32_t(child)));
}

TEST(ProcessTest, SpawnDetachedFailsForWhatCannotRun) {
  TempDir dir;
  EXPECT_EQ(Platform::SpawnDetached("", {}, "", true), 0u);
  EXPECT_EQ(Platform::SpawnDetached(dir.path() + "/missing", {}, "", true), 0u);
  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "not a program";
  EXPECT_EQ(Platform::SpawnDetached(plain, {}, "", true), 0u);
  const std::string script = dir.path() + "/ok";
  WriteScript(script, "exit 0\n");
  EXPECT_EQ(Platform::SpawnDetached(script, {}, dir.path() + "/no-such-folder", true), 0u);
}

}  // namespace
