#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

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
  scratch::Folder dir;
  dir.Put("plain", "not a program");
  dir.Put("ok", "#!/bin/sh\nexit 0\n");
  ::chmod(dir.At("ok").c_str(), 0755);
  for (const std::string& program : {std::string(), dir.At("missing"), dir.At("plain")}) {
    EXPECT_EQ(Platform::SpawnDetached(program, {}, "", true), 0u) << program;
  }
  EXPECT_EQ(Platform::SpawnDetached(dir.At("ok"), {}, dir.At("no-such-folder"), true), 0u);
}

}  // namespace
