// One asset's status line and its validation through the daemon, the ending of tool processes
// started from one program file, and console text.
#pragma once

#include "core/kuid.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;
struct PymAssetInfo;

// "+ <KUID> : EIADLMF : <category> : <name>" on standard output; false, with "Unknown AssetID.",
// for an asset the daemon does not know.
bool PrintAssetStatus(const KUID& kuid, ResultsLog& log);
// The seven status letters, upper case where the condition holds.
Qel::String StatusLetters(const PymAssetInfo& info, bool missingDependencies, bool faulty);
// Opens the asset and has the daemon check its folder, unless its build is older than 2.7; the
// findings are entries of the log. False when the asset could not be opened.
bool ValidateAsset(const KUID& kuid, ResultsLog& log);
// Ends every other process started from `programPath` that is still running after `waitMs`
// (polled every 200 ms); a wait of 0 ends nothing.
void TerminateProcessesByName(const Qel::String& programPath, u32 waitMs);
// UTF-8 text in the console's code page.
Qel::String Utf8ToConsoleText(const Qel::String& text);
