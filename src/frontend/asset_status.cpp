#include "frontend/asset_status.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "assetdata/interface_text.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/log_printf.h"
#include "core/text_convert.h"
#include "frontend/commands.h"
#include "platform/process.h"
#include "platform/saturating_cast.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "qel/code_page.h"
#include "qel/file_path.h"
#include "qel/thread.h"

namespace {

constexpr u32 kProcessPollMs = 200;
// Builds before 2.7 are too old to validate.
constexpr int kLowestValidBuild = 270;

// Exact, case included: two folders whose names differ only in case are two installations.
Qel::String Normalized(const Qel::String& path) {
  Qel::File::Path normal(path);
  normal.Normalize();
  return normal.GetText();
}

}  // namespace

Qel::String StatusLetters(const PymAssetInfo& info, bool missingDependencies, bool faulty) {
  const struct {
    char letter;
    bool on;
  } letters[] = {
      {'E', info.GetFlag(PymAssetInfo::kFlagOpenForEdit)},
      {'I', info.GetFlag(PymAssetInfo::kFlagInstalled)},
      {'A', info.GetFlag(PymAssetInfo::kFlagInArchive)},
      {'D', info.GetFlag(PymAssetInfo::kFlagOnVantry)},
      {'L', info.GetFlag(PymAssetInfo::kFlagLocallyModified)},
      {'M', missingDependencies},
      {'F', faulty},
  };
  std::string text;
  for (const auto& l : letters) text += l.on ? l.letter : char(l.letter - 'A' + 'a');
  return Qel::String(text);
}

bool PrintAssetStatus(const KUID& kuid, ResultsLog& log) {
  // What the daemon did not answer is unknown: no line of letters, and no reason of our own.
  const DaemonFailures failures;
  PymAssetInfo info;
  if (!PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll)) {
    if (!failures.Any()) {
      ResultsLog::AddResult(&log, ResultsLog::kError,
                            MakeAssetIDProperty(Qel::PString("AssetID"), kuid), "Unknown AssetID.");
    }
    return false;
  }
  const bool missingDependencies = HasAssetMissingDependencies(kuid, false);
  const bool faulty = IsAssetFaulty(kuid);
  if (failures.Any()) return false;
  const Qel::String letters = StatusLetters(info, missingDependencies, faulty);
  // Both come from the asset's configuration: a control character in them could start a line of
  // its own or rewrite the terminal's.
  std::printf("+ %s : %s : %s : %s\n", kuid.ToString().CStr(), letters.CStr(),
              EscapeControlCharacters(info.category.View()).c_str(),
              EscapeControlCharacters(info.name.View()).c_str());
  return true;
}

bool ValidateAsset(const KUID& kuid, ResultsLog& log) {
  const DaemonFailures failures;
  PymAssetRef ref = PymOpenAsset(kuid, false, &log);
  Qel::PString folderName;
  Qel::File::Path path;
  PymAssetInfo info;
  // Without the daemon's answer the asset's build is unknown: nothing is judged by a guess.
  if (ref.IsEmpty() || !PymGetOpenAssetPath(folderName, path, ref) ||
      (!PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll) && failures.Any())) {
    PymCloseAsset(ref);
    return false;
  }
  log.PushContext(MakeAssetIDProperty(Qel::PString("AssetID"), kuid));
  if (Platform::SaturatingCast<int>(info.build * 100.0f) < kLowestValidBuild) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("asset_kuid", kuid.ToString());
    parameters.SetNamedTag("lowest_kestrobuild", "2.7");
    ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(),
                          GetInterfaceString(Qel::PString("$pym_upload_asset_obsolete")),
                          parameters);
  } else {
    PymValidateAssetPath(path, &log);
  }
  log.PopContext();
  PymCloseAsset(ref);
  return true;
}

void TerminateProcessesByName(const Qel::String& programPath, u32 waitMs) {
  const Qel::String wanted = Normalized(programPath);
  const u32 self = Platform::CurrentProcessId();
  for (const u32 pid : Platform::ListProcessIds()) {
    if (pid == self) continue;
    const std::string program = Platform::ProcessProgramPath(pid);
    if (program.empty() || Normalized(Qel::String(program)) != wanted) continue;
    if (waitMs == 0) continue;
    u32 waited = 0;
    while (Platform::IsProcessAlive(pid) && waited < waitMs) {
      Qel::Sleep(kProcessPollMs);
      waited += kProcessPollMs;
    }
    if (!Platform::IsProcessAlive(pid)) continue;
    LogPrintf("Terminating process with ID %d", int(pid));
    Platform::KillProcess(pid);
  }
}

Qel::String Utf8ToConsoleText(const Qel::String& text) {
  if (text.IsEmpty()) return Qel::String();
  std::vector<char> buffer(text.Size() + 2);
  std::copy(text.Std().begin(), text.Std().end(), buffer.begin());
  const int needed = ConvertFromUtf8(buffer.data(), int(text.Size() + 1), Qel::kConsoleCodePage);
  if (needed > 0) {
    buffer.assign(std::max(size_t(needed), text.Size()) + 1, '\0');
    std::copy(text.Std().begin(), text.Std().end(), buffer.begin());
    ConvertFromUtf8(buffer.data(), needed, Qel::kConsoleCodePage);
  }
  return Qel::String(buffer.data());
}
