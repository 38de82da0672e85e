#include "platform/serving_note.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/scratch_folder.h"

namespace {

using Platform::NoteRead;

// What a reader makes of a lock file's content: only a whole first line of two numbers in range
// names a holder; whatever else a crash, an older build or a hand left there names none.
TEST(ServingNote, OnlyAWholeNoteNamesTheHolder) {
  scratch::Folder t;
  const std::string path = t.At("store.lock");
  const struct {
    const char* content;
    NoteRead read;
    Platform::ServingNote note;
  } rows[] = {
      {"1234 40000\n", NoteRead::kFound, {1234, 40000}},
      {"1234 40000\nleft by an older note\n", NoteRead::kFound, {1234, 40000}},
      {"", NoteRead::kNone, {}},
      {"1234 40000", NoteRead::kNone, {}},  // cut short before its end
      {"1234\n", NoteRead::kNone, {}},
      {"1234 0\n", NoteRead::kNone, {}},
      {"1234 65536\n", NoteRead::kNone, {}},
      {"0 40000\n", NoteRead::kNone, {}},
      {" 1234 40000\n", NoteRead::kNone, {}},
      {"-5 40000\n", NoteRead::kNone, {}},
      {"pid port\n", NoteRead::kNone, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    std::ofstream(path, std::ios::trunc) << row.content;
    Platform::ServingNote note{7, 7};
    EXPECT_EQ(Platform::ReadServingNote(path, note, nullptr), row.read);
    EXPECT_EQ(note.process, row.note.process);
    EXPECT_EQ(note.port, row.note.port);
  }
  Platform::ServingNote note;
  EXPECT_EQ(Platform::ReadServingNote(t.At("missing"), note, nullptr), NoteRead::kNone);
  std::string error;
  ASSERT_TRUE(std::filesystem::create_directory(t.At("folder")));
  EXPECT_EQ(Platform::ReadServingNote(t.At("folder"), note, &error), NoteRead::kUnreadable);
  EXPECT_EQ(error, "cannot read " + t.At("folder") + ": Is a directory");
}

// The holder writes over a longer note of a holder before it, and empties the file as it goes; a
// lock is seen as held by another process only while one is, and the question leaves it free.
TEST(ServingNote, WrittenOverAndClearedWhileTheLockIsSeenHeld) {
  scratch::Folder t;
  const std::string path = t.At("store.lock");
  std::ofstream(path) << "1234567 65535\n";
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(Platform::IsFileLockHeld(path));
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_TRUE(Platform::WriteServingNote(fd, {42, 8}));
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "42 8\n");
  const pid_t child = fork();
  if (child == 0) _exit(Platform::IsFileLockHeld(path) ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Platform::FileLockHolder(path), u_int32_t(getpid()));
  Platform::ClearServingNote(fd);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  close(fd);
  EXPECT_FALSE(Platform::IsFileLockHeld(path));
  EXPECT_EQ(Platform::FileLockHolder(path), 0u);
}

}  // namespace
