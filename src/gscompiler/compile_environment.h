// What a compile takes from the thread that runs it: the folders it searches for units and the
// text that the next source load puts before its own. Each thread has an environment of its own,
// so compiles on different threads never see each other's settings; a caller sets up the
// environment of its own thread and compiles on that thread.
#pragma once

#include "gscompiler/include_path_list.h"
#include "qel/pstring.h"

class CompileEnvironment {
 public:
  // The calling thread's environment, which lives as long as the thread.
  static CompileEnvironment& OfThisThread();

  // Hands the pending prefix over and leaves none, so it goes before one load only.
  Qel::PString TakePendingPrefix();

  IncludePathList includes;
  Qel::PString pendingPrefix;
};

// The search list of the calling thread's environment.
IncludePathList& GetIncludeSearchList();
