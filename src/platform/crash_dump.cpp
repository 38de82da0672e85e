#include "platform/crash_dump.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace Platform {
namespace {

constexpr size_t kNameSize = 260;  // names are cut to 259 characters
constexpr unsigned kMaxNameIndex = 100000;
constexpr int kMaxFrames = 64;

// A tiny append-only text buffer; nothing here may allocate or call into stdio.
class Text {
 public:
  void Add(const char* s) {
    while (*s && used_ < sizeof(buf_)) buf_[used_++] = *s++;
  }
  void AddDecimal(long long v) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) Add("-");
    while (n) AddChar(digits[--n]);
  }
  void AddHex(uintptr_t v) {
    Add("0x");
    for (int shift = static_cast<int>(sizeof(v) * 8) - 4; shift >= 0; shift -= 4) {
      AddChar("0123456789abcdef"[(v >> shift) & 0xF]);
    }
  }
  void AddChar(char c) {
    if (used_ < sizeof(buf_)) buf_[used_++] = c;
  }
  void WriteTo(int fd) const {
    size_t done = 0;
    while (done < used_) {
      const ssize_t n = write(fd, buf_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  char buf_[512];
  size_t used_ = 0;
};

const char* SignalName(int sig) {
  switch (sig) {
    case 0:
      return "none";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGSYS:
      return "SIGSYS";
    default:
      return "other";
  }
}

// The name tried at `index`: 0 is the name itself, then 2, 3, ... before the last dot.
bool FormatNumberedName(const char* name, unsigned index, char* out) {
  size_t len = 0;
  size_t dot = static_cast<size_t>(-1);
  for (; name[len]; ++len) {
    if (name[len] == '.') dot = len;
  }
  const size_t stem = index == 0 || dot == static_cast<size_t>(-1) ? len : dot;
  size_t used = 0;
  auto put = [&](char c) {
    if (used + 1 < kNameSize) out[used++] = c;
  };
  for (size_t i = 0; i < stem; ++i) put(name[i]);
  if (index != 0) {
    put('_');
    char digits[12];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + index % 10);
      index /= 10;
    } while (index);
    while (n) put(digits[--n]);
    for (size_t i = stem; i < len; ++i) put(name[i]);
  }
  out[used] = '\0';
  return used > 0;
}

}  // namespace

void PrepareBacktrace() {
  // The first capture loads the unwinder, which allocates; do it while that is still safe.
  void* frames[2];
  backtrace(frames, 2);
}

int CreateFirstFreeFile(const char* name) {
  if (!name) return -1;
  char path[kNameSize];
  for (unsigned index = 0; index < kMaxNameIndex; index = index == 0 ? 2 : index + 1) {
    if (!FormatNumberedName(name, index, path)) return -1;
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  return -1;
}

void WriteCrashReport(int fd, const CrashFacts& facts) {
  Text t;
  t.Add("Crash report\nBuild: ");
  t.AddDecimal(facts.build);
  t.Add("\nProcess: ");
  t.AddDecimal(getpid());
  t.Add("\nThread: ");
  t.AddDecimal(static_cast<long long>(syscall(SYS_gettid)));
  t.Add("\nSignal: ");
  t.AddDecimal(facts.signal);
  t.Add(" (");
  t.Add(SignalName(facts.signal));
  t.Add(")\nCode: ");
  t.AddDecimal(facts.code);
  t.Add("\nAddress: ");
  t.AddHex(reinterpret_cast<uintptr_t>(facts.address));
  t.Add("\nBacktrace:\n");
  t.WriteTo(fd);
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  if (count > 0) backtrace_symbols_fd(frames, count, fd);
}

}  // namespace Platform
