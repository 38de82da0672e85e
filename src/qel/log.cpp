#include "qel/log.h"
#include "platform/ascii_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Qel {
namespace {

struct Sink {
  std::mutex mutex;
  FILE* file = nullptr;  // null: discard
  bool owned = false;    // opened by us, closed when replaced
  // Rotation and repeat collapsing; off (0) for every sink but a rotating file.
  std::string path;
  u64 maxBytes = 0;
  u64 size = 0;
  std::string lastLine;
  u64 repeats = 0;
  std::chrono::steady_clock::time_point lastWritten;
};

constexpr auto kRepeatWindow = std::chrono::minutes(1);

// Never destroyed, so that clients stay usable from other static destructors.
Sink& GetSink() {
  static Sink* sink = new Sink;
  return *sink;
}

void ReplaceSinkLocked(Sink& sink, FILE* file, bool owned) {
  if (sink.file != nullptr && sink.owned) std::fclose(sink.file);
  sink.file = file;
  sink.owned = owned;
  sink.maxBytes = 0;
  sink.lastLine.clear();
  sink.repeats = 0;
}

void PutLineLocked(Sink& sink, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), sink.file);
  if (text.empty() || text.back() != '\n') {
    std::fputc('\n', sink.file);
    sink.size += 1;
  }
  sink.size += text.size();
  std::fflush(sink.file);
}

// Opens a log to append to. A rotating log is the process's own file: anything else in its place
// is refused, without waiting (a pipe would hold the process at its first line for ever).
FILE* OpenToAppend(const std::string& path, bool fileOnly) {
  if (!fileOnly) return std::fopen(path.c_str(), "a");
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "a") : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

// Starts a new file once the current one is full; the full one is kept as "<path>.1".
void RotateLocked(Sink& sink) {
  if (sink.maxBytes == 0 || sink.size < sink.maxBytes) return;
  std::fclose(sink.file);
  std::rename(sink.path.c_str(), (sink.path + ".1").c_str());
  sink.file = OpenToAppend(sink.path, true);
  sink.size = 0;
  if (sink.file == nullptr) sink.owned = false;
}

bool OpenSinkFile(const std::string& path, bool fileOnly) {
  Sink& sink = GetSink();
  std::lock_guard<std::mutex> guard(sink.mutex);
  if (path == "/dev/null") {
    ReplaceSinkLocked(sink, nullptr, false);
    return true;
  }
  FILE* file = path.empty() ? nullptr : OpenToAppend(path, fileOnly);
  ReplaceSinkLocked(sink, file, file != nullptr);
  return file != nullptr;
}

// Splits option text at white space outside double quotes; the quotes themselves are dropped.
std::vector<std::string> SplitOptions(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false, any = false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      if (any) out.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) out.push_back(cur);
  return out;
}

}  // namespace

Log& Log::Get(const char* name) {
  static std::mutex* mutex = new std::mutex;
  static auto* clients = new std::map<std::string, std::unique_ptr<Log>, std::less<>>;
  const std::string_view key = name != nullptr ? name : "";
  std::lock_guard<std::mutex> guard(*mutex);
  auto it = clients->find(key);
  if (it == clients->end()) {
    it = clients->emplace(std::string(key), std::unique_ptr<Log>(new Log(std::string(key)))).first;
  }
  return *it->second;
}

bool Log::Init(const char* options) {
  enum class Choice { kDiscard, kStdOut, kFile };
  Choice choice = Choice::kDiscard;
  std::string path;
  if (options != nullptr) {
    constexpr std::string_view kFile = "-LogFile=";
    for (const std::string& opt : SplitOptions(options)) {
      if (opt.size() == 10 && StartsWithIgnoreCase(opt, "-LogStdOut")) {
        choice = Choice::kStdOut;
      } else if (StartsWithIgnoreCase(opt, kFile)) {
        choice = Choice::kFile;
        path = opt.substr(kFile.size());
      }
    }
  }
  switch (choice) {
    case Choice::kStdOut:
      SetToStdOut(true);
      return true;
    case Choice::kFile:
      return OpenSinkFile(path, false);
    case Choice::kDiscard:
      break;
  }
  SetToStdOut(false);
  return true;
}

void Log::SetToStdOut(bool on) {
  Sink& sink = GetSink();
  std::lock_guard<std::mutex> guard(sink.mutex);
  ReplaceSinkLocked(sink, on ? stdout : nullptr, false);
}

void Log::SetToStdErr() {
  Sink& sink = GetSink();
  std::lock_guard<std::mutex> guard(sink.mutex);
  ReplaceSinkLocked(sink, stderr, false);
}

bool Log::SetToFile(const char* path) { return OpenSinkFile(path != nullptr ? path : "", false); }

bool Log::SetToRotatingFile(const char* path, u64 maxBytes) {
  if (path == nullptr || !OpenSinkFile(path, true)) return false;
  Sink& sink = GetSink();
  std::lock_guard<std::mutex> guard(sink.mutex);
  if (sink.file == nullptr) return true;
  sink.path = path;
  sink.maxBytes = maxBytes;
  std::fseek(sink.file, 0, SEEK_END);
  const long size = std::ftell(sink.file);
  sink.size = size > 0 ? u64(size) : 0;
  return true;
}

void Log::Write(i32 level, std::string_view text) {
  if (level > GetLevel()) return;
  Sink& sink = GetSink();
  std::lock_guard<std::mutex> guard(sink.mutex);
  if (sink.file == nullptr) return;
  if (sink.maxBytes == 0) {
    PutLineLocked(sink, text);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (text == sink.lastLine && now - sink.lastWritten < kRepeatWindow) {
    ++sink.repeats;
    return;
  }
  if (sink.repeats != 0) {
    PutLineLocked(sink, "(last line repeated " + std::to_string(sink.repeats) + " times)");
    sink.repeats = 0;
  }
  RotateLocked(sink);
  if (sink.file == nullptr) return;
  PutLineLocked(sink, text);
  sink.lastLine.assign(text);
  sink.lastWritten = now;
}

void Log::Printf(i32 level, const char* format, ...) {
  if (format == nullptr || level > GetLevel()) return;
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    // The format could not be applied; writing nothing beats writing half a message.
    va_end(again);
    return;
  }
  if (size_t(needed) < sizeof small) {
    va_end(again);
    Write(level, std::string_view(small, size_t(needed)));
    return;
  }
  std::string big(size_t(needed) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  big.resize(size_t(needed));
  Write(level, big);
}

}  // namespace Qel
