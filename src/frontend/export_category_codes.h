// The repository's catalogue numbers: the asset type of a category list, with the output
// sub-folder that names it, and the id of each category, era and region code.
#pragma once

#include "qel/types.h"

// The type of the first pattern that the category list matches; 21 ("miscellaneous") when none.
i32 GetExportAssetTypeId(const char* categories);
// The type's sub-folder name; "UNKNOWN" for an id the repository does not list.
const char* GetExportAssetTypeName(i32 typeId);
// The code's id, compared exactly (letter case included); 0 for a code the repository lacks.
i32 GetCategoryCodeId(const char* code);
