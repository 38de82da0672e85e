#include "frontend/pym_task_repair_database.h"

#include "assetdata/interface_text.h"
#include "pymclient/pym_catalogue.h"

namespace {

// Constructed and read on the one thread that runs commands.
PymTaskRepairDatabase* g_currentRepair = nullptr;

}  // namespace

PymTaskRepairDatabase::PymTaskRepairDatabase(u32 level, ResultsLog* reportLog)
    : level_(level), reportLog_(reportLog) {
  if (g_currentRepair == nullptr) g_currentRepair = this;
}

PymTaskRepairDatabase::~PymTaskRepairDatabase() {
  if (g_currentRepair == this) g_currentRepair = nullptr;
}

void PymTaskRepairDatabase::RunInline(PymTask* sink) {
  SetWorkingThreadId(Qel::Thread::CurrentId());
  SetTask(sink);
  Execute();
  SetWorkingThreadId(0);
}

bool PymTaskRepairDatabase::IsRepairRunning() { return g_currentRepair != nullptr; }

ResultsLog* PymTaskRepairDatabase::GetReportLog() {
  return reportLog_ != nullptr ? reportLog_ : GetTask();
}

void PymTaskRepairDatabase::Execute() {
  PymTask* sink = GetTask();
  if (g_currentRepair != this) {
    if (sink != nullptr) {
      sink->OnStatusText(GetInterfaceString(Qel::PString("$pymtask_repair_err_duplicate")));
    }
    return;
  }
  PymStartRepairDatabase(level_, GetReportLog());
  Qel::Sleep(kFirstPollDelayMs);
  f32 progress = 0.0f;
  Qel::String status;
  while (PymGetRepairProgress(progress, status)) {
    if (sink != nullptr) {
      sink->OnStatusText(status);
      sink->OnProgress(progress);
    }
    Qel::Sleep(kPollIntervalMs);
    if (sink != nullptr && sink->IsStopRequested()) break;
  }
  g_currentRepair = nullptr;
}
