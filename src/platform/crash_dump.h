// Writing a crash report from inside a signal handler. Everything here is async-signal-safe once
// PrepareBacktrace has run on a normal path.
#pragma once

namespace Platform {

// What a report says about the fault; signal 0 stands for a report asked for without a fault.
struct CrashFacts {
  int signal;
  int code;
  const void* address;
  unsigned build;
};

// Loads what the stack capture needs, so a later capture inside a handler allocates nothing.
void PrepareBacktrace();

// Creates a new file in the current folder under `name`, else under the first free name made
// by putting "_2.", "_3.", ... in place of the last dot ("_2" appended when there is no dot).
// The search is atomic (exclusive create), gives up on any error other than an existing name,
// and ends after a bounded number of names. Returns the open descriptor or -1.
int CreateFirstFreeFile(const char* name);

// Writes the facts, the process and thread ids and a backtrace of the calling thread.
void WriteCrashReport(int fd, const CrashFacts& facts);

}  // namespace Platform
