// The database repair as a task: it starts the daemon's rebuild and follows its progress until
// the daemon says that it has ended. Only the first repair task that exists at a time works.
#pragma once

#include "pymclient/pym_task.h"
#include "qel/types.h"

class ResultsLog;

class PymTaskRepairDatabase : public PymTaskThread {
 public:
  // Becomes the current repair task when there is none.
  PymTaskRepairDatabase(u32 level, ResultsLog* reportLog);
  ~PymTaskRepairDatabase() override;

  // Runs the work body on the calling thread, with `sink` as the task it serves.
  void RunInline(PymTask* sink);
  void Execute() override;

  static bool IsRepairRunning();
  // The report log when one was given, else the sink.
  ResultsLog* GetReportLog();

  // Pauses of the work body: before the first poll and between polls.
  static constexpr u32 kFirstPollDelayMs = 1000;
  static constexpr u32 kPollIntervalMs = 250;

 private:
  u32 level_;
  ResultsLog* reportLog_;
};
