#include "gscompiler/compile_environment.h"

#include <utility>

CompileEnvironment& CompileEnvironment::OfThisThread() {
  thread_local CompileEnvironment environment;
  return environment;
}

Qel::PString CompileEnvironment::TakePendingPrefix() {
  return std::exchange(pendingPrefix, Qel::PString());
}

IncludePathList& GetIncludeSearchList() { return CompileEnvironment::OfThisThread().includes; }
