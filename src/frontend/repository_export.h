// The repository export: every asset folder below a folder is installed through the daemon, packed
// as a one-asset package (sorted into sub-folders by state and type, its thumbnail beside it),
// deleted again, and described by one record in the batches that export_batch_writer.h writes.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;

// Records in a batch before it is written.
inline constexpr u32 kExportBatchSize = 1001;

// Walks `folder` (links to folders are never followed; folders whose names begin with "." come
// after the rest; a folder holding "config.chump" or "config.txt" is one asset and is not searched
// further) and writes everything into `outputFolder`. Each failure is an error entry; the walk
// goes on.
void RunRepositoryExport(const Qel::String& folder, const Qel::String& outputFolder,
                         ResultsLog& log);
