// Where the process that holds a lock file serves: its process id and loopback port, written into
// the very file it holds locked. Whoever can open the file finds the holder through it, also where
// every other trace of it is out of sight: another pid namespace, another folder of named objects,
// another path to the same folder.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

struct ServingNote {
  std::uint32_t process = 0;
  std::uint16_t port = 0;
};

// Replaces the content of the open file `fd` with the note, one line "<process> <port>\n". False,
// errno set, when it could not be written whole.
bool WriteServingNote(int fd, const ServingNote& note);
// Empties the file: nobody serves through it any more.
void ClearServingNote(int fd);

enum class NoteRead { kFound, kNone, kUnreadable };
// The note in the file at `path`. kNone when there is none (no such file, an empty one, or text
// that is no note); kUnreadable, with the reason in `*error`, when the file cannot be read.
NoteRead ReadServingNote(const std::string& path, ServingNote& note, std::string* error);

// Whether another process holds an exclusive whole-file lock (flock) on the file at `path`; asked
// of the lock itself, which every pid namespace sees alike. False when the file cannot be opened.
bool IsFileLockHeld(const std::string& path);

// The process that holds a whole-file lock (flock) on the file at `path`, from the system's lock
// table; 0 when the table does not say (another pid namespace shows none) or nobody holds one.
std::uint32_t FileLockHolder(const std::string& path);
// The same for a file this process has open.
std::uint32_t FileLockHolder(int fd);

}  // namespace Platform
