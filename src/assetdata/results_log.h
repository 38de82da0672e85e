// The ordered, thread-safe list of findings that every command reports into, its wire form and
// the registry that routes a daemon request's results to the log waiting for them.
#pragma once

#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/nu_message.h"
#include "core/chunked_list.h"
#include "core/read_write_lock.h"
#include "qel/critical_section.h"
#include "qel/string.h"
#include "qel/types.h"

class Soup;
class TStream;

struct ResultsLogEntry {
  u32 type = 0;
  Qel::String text;
  KestroPropertyRef property;
  // The tool's own blank line after the entry's line, which no text can ask for; not on the wire.
  bool blankLineAfter = false;
};

class ResultsLog : public NuMessageRecipient {
 public:
  enum : u32 {
    kInformation = 1,
    kWarning = 2,
    kError = 3,
    kFourth = 4,
  };
  static constexpr u32 kWireVersion = 0;
  static constexpr u32 kEntriesPerBlock = 13;

  ResultsLog() = default;
  // Unregisters the log everywhere and tells every peer "list-destroyed".
  ~ResultsLog() override;
  // Copies entries and counters, not the context stack; clears the saved flag.
  ResultsLog& operator=(const ResultsLog& other);

  // The one way to add an entry (nothing happens for a null log). Without a property of its own
  // the entry carries the innermost context. Every child of the parameter soup replaces its
  // $(NAME) macros in the text, names compared without regard to case.
  static void AddResult(ResultsLog* log, u32 type, const KestroPropertyRef& property,
                        const Qel::String& text, const Soup& parameters);
  static void AddResult(ResultsLog* log, u32 type, const KestroPropertyRef& property,
                        const Qel::String& text);

  void PushContext(const KestroPropertyRef& property);
  // An empty stack is left alone (and logged): a stray pop must not take down the command.
  void PopContext();
  u32 CountContexts();

  // Version 0, the count of entries from firstIndex on, and those entries; sets the saved flag.
  // A firstIndex past the end writes a count of 0.
  void Write(TStream& stream, u32 firstIndex = 0);
  // Appends the entries of a wire form. Reading stops at the first short or failed read, so a
  // hostile count can only append what the stream really holds; entries read so far stay.
  static void Read(TStream& stream, ResultsLog& log);
  // The entries of a wire form, read as Read reads them, into no log: a reader that must not
  // hold a log's guard while it parses appends them afterwards.
  static std::vector<ResultsLogEntry> ReadEntries(TStream& stream);
  // Appends entries as Read does (the saved flag clears and peers hear of it).
  void AppendEntries(std::vector<ResultsLogEntry>&& entries);

  u32 CountEntries();
  // A copy of the entries, in order.
  std::vector<ResultsLogEntry> GetEntries();
  u32 GetWarningCount();
  u32 GetErrorCount();
  u32 GetFourthCount();
  // Findings that their command printed in its own form (the compiler's messages) and that the
  // summary line counts beside the entries. They are no entries and never go on the wire.
  void CountPrintedElsewhere(u32 errors, u32 warnings);
  u32 GetErrorsPrintedElsewhere();
  u32 GetWarningsPrintedElsewhere();
  bool IsSaved();

  // Removes every registry mapping that names this log.
  void UnregisterEverywhere();

 private:
  // Counts an entry of this type and appends it; the guard is held.
  void AppendLocked(ResultsLogEntry&& entry);
  void NotifyUpdated();

  CountedMutex guard_;
  ChunkedList<ResultsLogEntry, kEntriesPerBlock> entries_;
  u32 warnings_ = 0;
  u32 errors_ = 0;
  u32 fourth_ = 0;
  u32 errorsElsewhere_ = 0;
  u32 warningsElsewhere_ = 0;
  bool saved_ = true;
  std::vector<KestroPropertyRef> contexts_;
};

// The process-wide map from daemon request ids to the logs that take their results.
void RegisterResultsLog(u32 requestId, ResultsLog* log);
ResultsLog* FindResultsLog(u32 requestId);
void UnregisterResultsLog(u32 requestId);
// The registry's lock. Holding it keeps a registered log alive: a log unregisters itself under
// it before it is destroyed, so a log found while it is held may be written until it is released.
Qel::CriticalSection& GetResultsLogRegistryLock();

// Replaces every "$(name)" in text, letters compared without regard to case, by value. The text
// after an inserted value is searched on; the value itself never is.
void ReplaceMacro(Qel::AnsiString& text, const char* name, const char* value);
