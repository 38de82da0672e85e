#include "core/diagnostics.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "qel/code_page.h"
#include "qel/types.h"

namespace {

constexpr size_t kFirstBufferSize = 4096;
constexpr size_t kLastBufferSize = 65536;

// Constant-initialised, so any static initialiser may write a line.
std::mutex g_lock;
int g_pipeFd = -1;  // the pipe taken at start-up, or -1
bool g_pipeSetUp = false;

// Writes everything, never letting a vanished reader kill the process with SIGPIPE: the signal
// is held back for this thread and a SIGPIPE caused by our own write is consumed.
void WriteAll(int fd, const char* data, size_t size) {
  sigset_t pipeOnly, oldMask, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &oldMask);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE);
  bool broken = false;
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = n < 0 && errno == EPIPE;
      break;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  if (broken && !wasPending) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

void ClosePipeAtExit() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_pipeFd >= 0) close(g_pipeFd);
  g_pipeFd = -1;
}

// Called with g_lock held.
void SetUpPipeLocked() {
  if (g_pipeSetUp) return;
  g_pipeSetUp = true;
  const std::string name = "/tmp/" + std::to_string(getpid()) + "cout";
  // Without a reader a FIFO refuses a non-blocking open, as a pipe without a server would.
  const int fd = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  // /tmp is shared: take only a FIFO of our own user, never a file someone planted there.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  g_pipeFd = fd;
  std::atexit(ClosePipeAtExit);
}

// Pipe set-up belongs to start-up; a line written from an earlier static initialiser sets it
// up first.
[[maybe_unused]] const bool kPipeSetUpAtStart = [] {
  std::lock_guard<std::mutex> hold(g_lock);
  SetUpPipeLocked();
  return true;
}();

std::string FromWide(const wchar_t* text) {
  std::u16string utf16;
  for (; *text; ++text) {
    u32 c = static_cast<u32>(*text);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      utf16 += static_cast<char16_t>(0xD800 + (c >> 10));
      utf16 += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      utf16 += static_cast<char16_t>(c);
    }
  }
  return Qel::Utf16ToUtf8(utf16);
}

}  // namespace

void WriteLogLine(const char* line) {
  std::string text = line ? line : "";
  text += '\n';
  std::lock_guard<std::mutex> hold(g_lock);
  SetUpPipeLocked();
  if (g_pipeFd >= 0) {
    const std::u16string wide = Qel::Utf8ToUtf16(text);
    std::string bytes(wide.size() * 2, '\0');
    for (size_t i = 0; i < wide.size(); ++i) ByteOrder::StoreLE16(bytes.data() + 2 * i, wide[i]);
    WriteAll(g_pipeFd, bytes.data(), bytes.size());
  } else {
    // Keep order with whatever the program has buffered for the same output.
    std::fflush(stdout);
    WriteAll(STDOUT_FILENO, text.data(), text.size());
  }
}

void LogPrintfA(const char* format, ...) {
  if (!format) return WriteLogLine("");
  std::vector<char> buf;
  for (size_t size = kFirstBufferSize;; size *= 2) {
    buf.assign(size, '\0');
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf.data(), size, format, args);
    va_end(args);
    if (n < 0) buf[0] = '\0';
    if (n < 0 || static_cast<size_t>(n) < size || size >= kLastBufferSize) break;
  }
  WriteLogLine(buf.data());
}

void LogPrintfW(const wchar_t* format, ...) {
  if (!format) return WriteLogLine("");
  std::vector<wchar_t> buf;
  for (size_t size = kFirstBufferSize;; size *= 2) {
    buf.assign(size, L'\0');
    va_list args;
    va_start(args, format);
    // Reports failure both for a text that does not fit and for one it cannot convert.
    const int n = std::vswprintf(buf.data(), size, format, args);
    va_end(args);
    if (n >= 0 || size >= kLastBufferSize) break;
  }
  buf.back() = L'\0';
  WriteLogLine(FromWide(buf.data()).c_str());
}

bool IsStdOutPipeActive() {
  std::lock_guard<std::mutex> hold(g_lock);
  SetUpPipeLocked();
  return g_pipeFd >= 0;
}
