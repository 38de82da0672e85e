#include "platform/process.h"

#include <gtest/gtest.h>
#include <sched.h>
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

// A process of a pid namespace of its own (as in a container) has another id there, the one it
// names itself by: the first process of a new namespace is 1 there.
TEST(ProcessTest, OwnNamespaceIdIsTheIdAProcessHasInItsNamespace) {
  EXPECT_EQ(Platform::OwnNamespaceProcessId(Platform::CurrentProcessId()),
            Platform::CurrentProcessId());
  int ids[2];
  int gate[2];
  ASSERT_EQ(::pipe(ids), 0);
  ASSERT_EQ(::pipe(gate), 0);
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::close(gate[1]);
    pid_t inner = ::unshare(CLONE_NEWPID) == 0 ? ::fork() : -1;
    char c;
    if (inner == 0) ::_exit(::read(gate[0], &c, 1) < 0 ? 1 : 0);
    ::_exit(::write(ids[1], &inner, sizeof inner) == sizeof inner && inner > 0 &&
                    ::waitpid(inner, nullptr, 0) == inner
                ? 0
                : 1);
  }
  ::close(ids[1]);
  ::close(gate[0]);
  pid_t inner = -1;
  const bool told = ::read(ids[0], &inner, sizeof inner) == sizeof inner && inner > 0;
  const std::uint32_t own = told ? Platform::OwnNamespaceProcessId(std::uint32_t(inner)) : 0;
  ::close(gate[1]);
  ::close(ids[0]);
  ::waitpid(middle, nullptr, 0);
  if (!told) GTEST_SKIP() << "the system lets this process make no pid namespace";
  EXPECT_EQ(own, 1u);
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
