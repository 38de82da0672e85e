// One source unit of a compile: its tree, its texts, its ids and its counted messages.
#pragma once

#include "gscommon/frame_memory.h"
#include "gscompiler/parse_node.h"
#include "qel/string.h"
#include "qel/types.h"

class GSCompileLog;
class GSCompilerState;

// Takes a unit's classes from the parser one at a time, as each is completed, in place of the
// unit's tree.
class ClassSink {
 public:
  virtual ~ClassSink() = default;
  // The class node, which belongs to the sink until the next class begins. False stops the
  // parse, which then counts as failed.
  virtual bool TakeClass(ParseNode* cls) = 0;
  // The lower-cased name of a unit that the unit includes, which stays valid until the first
  // class is taken; every include comes before the first class.
  virtual void TakeInclude(const char* name) = 0;
};

// One source unit being compiled. The parser fills the pools and the tree.
class UnitRecord {
 public:
  UnitRecord() = default;
  UnitRecord(const UnitRecord&) = delete;
  UnitRecord& operator=(const UnitRecord&) = delete;

  // Empties the unit for a new compile that reports to `log`.
  void Reset(GSCompilerState* owner, GSCompileLog* log);

  GSCompiler::ParseNodeArena nodes;
  Utils::FrameMemory textMemory;
  Qel::String fileName;  // lower-cased, as looked up
  u32 sourceId = 0;
  u32 nameId = 0;
  GSCompilerState* state = nullptr;
  ParseNode* topLevel = nullptr;  // includes first, then classes
  // When set, the parser hands the includes and classes here rather than into topLevel.
  ClassSink* classSink = nullptr;
  i32 errorCount = 0;
  i32 warningCount = 0;
  GSCompileLog* log = nullptr;
};
