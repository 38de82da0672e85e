#include "platform/serving_note.h"

#include <gtest/gtest.h>

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

}  // namespace
