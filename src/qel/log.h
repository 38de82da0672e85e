// The engine log: named clients writing whole lines to one process-wide sink.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "qel/types.h"

namespace Qel {

// A log client. Get() hands out one client per name for the life of the process. Every client
// writes to the same sink, which discards by default ("/dev/null") and may be the standard
// output or a file. Each message becomes one line, written whole under the sink's lock.
class Log {
 public:
  // Message levels; a client writes a message whose level is at most its own level.
  static constexpr i32 kError = 0;
  static constexpr i32 kWarning = 1;
  static constexpr i32 kMessage = 2;
  static constexpr i32 kDebug = 3;

  // The client of that name (a null name is ""); the same object on every call.
  static Log& Get(const char* name);

  // Reads the sink from engine option text: "-LogStdOut" selects the standard output,
  // "-LogFile=<path>" a file (appended to; "/dev/null" discards; a path with spaces goes in
  // double quotes). Names are matched case-insensitively, other options are ignored and the
  // last sink option wins; with none the sink discards. False when the file cannot be opened,
  // in which case the sink discards.
  static bool Init(const char* options);
  // Standard output when true, discard when false.
  static void SetToStdOut(bool on);
  // Standard error, for a tool whose standard output is its answer.
  static void SetToStdErr();
  // Appends to `path`; false (and the sink discards) when it cannot be opened.
  static bool SetToFile(const char* path);
  // Like SetToFile, for a long-running process: once the file holds `maxBytes` it becomes
  // "<path>.1" (replacing the one before) and a new file is begun, and a line that repeats the
  // one before within a minute is counted instead of written ("(last line repeated n times)").
  // Only a regular file is written: anything else at `path` is refused, as one that cannot be
  // opened is.
  static bool SetToRotatingFile(const char* path, u64 maxBytes);

  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  const std::string& GetName() const { return name_; }
  void SetLevel(i32 level) { level_.store(level); }
  i32 GetLevel() const { return level_.load(); }

  // A line break is added unless the text ends with one.
  void Write(i32 level, std::string_view text);
  void Printf(i32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  explicit Log(std::string name) : name_(std::move(name)) {}

  const std::string name_;
  std::atomic<i32> level_{kDebug};
};

}  // namespace Qel
