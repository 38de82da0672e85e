// Commands over installed assets.
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "core/stream.h"
#include "frontend/asset_status.h"
#include "frontend/commands.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_search.h"

namespace {

// Why no asset could ever match the expression; empty for a usable one. A term without a name
// (";TR", "TR;-") never holds, and no category code holds a blank or a control character, which
// is named as its code (\x1b) since the line would not show it.
Qel::String CategoryExpressionProblem(const std::string_view expression) {
  if (expression.size() > TStream::kMaxStringLength) return "The category expression is too long.";
  for (const char c : expression) {
    if (c == ' ' || c == '\t') return "The category expression holds a blank.";
    if (u8(c) < ' ' || c == 0x7f) {
      return Qel::String::Format("The category expression holds the control character \\x%02x.",
                                 u8(c));
    }
  }
  size_t begin = 0;
  while (begin <= expression.size()) {
    size_t end = expression.find('|', begin);
    if (end == std::string_view::npos) end = expression.size();
    const std::string_view alternative = expression.substr(begin, end - begin);
    // Runs of ';' are one separator, and one at the end ends the alternative.
    size_t at = 0;
    while (at < alternative.size()) {
      size_t stop = alternative.find(';', at);
      if (stop == std::string_view::npos) stop = alternative.size();
      const std::string_view term = alternative.substr(at, stop - at);
      if (term.find_first_not_of('-') == std::string_view::npos) {
        return "The category expression holds a term without a category.";
      }
      at = alternative.find_first_not_of(';', stop);
      if (at == std::string_view::npos) break;
    }
    begin = end + 1;
  }
  return Qel::String();
}

}  // namespace

int SearchByCategory(CommandArgs& a) {
  auto filter = std::make_unique<PymFilterElementGroup>();
  Qel::String expression;
  if (a.second == Qel::PString("-a")) {
    const char* typed = a.Arg(3);
    if (typed == nullptr || *typed == '\0') {
      AddError(a.log, "Missing category parameter.");
      return -1;
    }
    expression = Qel::PString(typed).Upper().CStr();
  } else {
    expression = a.second.Upper().CStr();
  }
  const Qel::String problem = CategoryExpressionProblem(expression.View());
  if (!problem.IsEmpty()) {
    AddError(a.log, problem);
    return -1;
  }
  filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                              Qel::PString(expression.CStr())));
  if (a.second != Qel::PString("-a")) {
    filter->AddElement(std::make_unique<PymFilterElementBool>(PymFilterCodes::kFlagLocal));
  }
  std::vector<KUID> found;
  const DaemonFailures failures;
  if (!PymSearchAssets(filter.get(), found)) {
    if (!failures.Any()) AddError(a.log, "The asset database did not answer the search.");
    return -1;
  }
  if (found.empty()) {
    AddError(a.log, "No asset matches \"" + expression + "\".");
    return -1;
  }
  std::printf("+ %zu : assets matching the specified criteria\n", found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    std::printf("+ #%zu : %s\n", i, found[i].ToString().CStr());
  }
  return 0;
}

namespace {

// The KUID of the second argument (strict), or the missing-argument error.
bool AssetArgument(CommandArgs& a, KUID& kuid) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing AssetID parameter.");
    return false;
  }
  kuid = KUID::Parse(a.second.CStr(), true);
  return true;
}

}  // namespace

int Edit(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  const DaemonFailures failures;
  const u32 errors = a.log->GetErrorCount();
  PymAssetRef ref = PymOpenAsset(kuid, true, a.log);
  if (ref.IsEmpty()) {
    AddGeneralError(a.log, errors, failures, kuid, "Unknown AssetID.");
    return -1;
  }
  Qel::PString folderName;
  Qel::File::Path path;
  PymGetOpenAssetPath(folderName, path, ref);
  std::printf("+ %s : %s\n", kuid.ToString().CStr(), path.CStr());
  PymCloseAsset(ref);
  return 0;
}

int PrintConfig(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  const DaemonFailures failures;
  const u32 errors = a.log->GetErrorCount();
  const Soup config = PymGetAssetConfigSoup(kuid);
  if (config.IsNull()) {
    AddGeneralError(a.log, errors, failures, kuid, "Asset is not local.");
    return -1;
  }
  std::printf("+ Start of %s dump\n", kuid.ToString().CStr());
  std::fflush(stdout);
  config.PrintToConsole();
  std::printf("+ End of %s dump\n", kuid.ToString().CStr());
  return 0;
}

int Commit(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  const DaemonFailures failures;
  const u32 errors = a.log->GetErrorCount();
  // An asset open for editing is committed as it is, so that the copy a killed install left is
  // taken back by the commit, which then says so and fails: an open for editing would take it
  // back and commit the installed version onto itself. Another is opened for editing, and the
  // daemon's refusal is told.
  PymAssetRef ref = PymOpenAsset(kuid, false, nullptr);
  if (ref.IsEmpty()) {
    AddGeneralError(a.log, errors, failures, kuid, "Unknown AssetID.");
    return -1;
  }
  if (ref.Get()->GetFolderName() != Qel::PString("editing")) {
    PymCloseAsset(ref);
    ref = PymOpenAsset(kuid, true, a.log);
    if (ref.IsEmpty()) {
      AddGeneralError(a.log, errors, failures, kuid, "The asset could not be committed.");
      return -1;
    }
  }
  const bool committed = PymCommitAsset(ref, 0, a.log, nullptr);
  PymCloseAsset(ref);
  // A refusal the daemon gave no reason for must still count as a failure in the summary.
  if (!committed) {
    AddGeneralError(a.log, errors, failures, kuid, "The asset could not be committed.");
  }
  return committed ? 0 : -1;
}

int Revert(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  const DaemonFailures failures;
  const u32 errors = a.log->GetErrorCount();
  PymAssetRef ref = PymOpenAsset(kuid, false, nullptr);
  if (ref.IsEmpty()) {
    AddGeneralError(a.log, errors, failures, kuid, "Unknown AssetID.");
    return -1;
  }
  const bool reverted = PymRevertAsset(ref, a.log);
  // The revert took the holder's reference; this close has nothing left to release.
  PymCloseAsset(ref);
  // The daemon says why it refused; only a refusal without a reason gets the general one.
  if (!reverted) {
    AddGeneralError(a.log, errors, failures, kuid, "The asset is not open for editing.");
  }
  return reverted ? 0 : -1;
}

int Delete(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  // The daemon's own entries say where the backup went, or why the delete failed.
  ResultsLog daemonLog;
  const DaemonFailures failures;
  const bool deleted = PymDeleteAsset(kuid, true, &daemonLog);
  PymAssetInfo info;
  if (!deleted && !failures.Any() && !PymGetAssetInfo(kuid, info, PymAssetInfo::kPartStatus)) {
    AddGeneralError(a.log, a.log->GetErrorCount(), failures, kuid, "Unknown AssetID.");
    return -1;
  }
  const u32 errors = a.log->GetErrorCount();
  a.log->AppendEntries(daemonLog.GetEntries());
  if (deleted && daemonLog.GetEntries().empty()) {
    ResultsLog::AddResult(a.log, ResultsLog::kInformation,
                          MakeAssetIDProperty(Qel::PString("AssetID"), kuid), "Deleted.");
  }
  if (!deleted) AddGeneralError(a.log, errors, failures, kuid, "Failed to delete the asset.");
  return deleted ? 0 : -1;
}

int Status(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  return PrintAssetStatus(kuid, *a.log) ? 0 : -1;
}

int Validate(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  return ValidateAsset(kuid, *a.log) ? 0 : -1;
}
