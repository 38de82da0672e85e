// Commands over installed assets.
#include <cstdio>
#include <memory>
#include <vector>

#include "core/kuid.h"
#include "frontend/commands.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_search.h"

int SearchByCategory(CommandArgs& a) {
  auto filter = std::make_unique<PymFilterElementGroup>();
  if (a.second == Qel::PString("-a")) {
    const char* expression = a.Arg(3);
    if (expression == nullptr || *expression == '\0') {
      AddError(a.log, "Missing category parameter.");
      return -1;
    }
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                Qel::PString(expression).Upper()));
  } else {
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                a.second.Upper()));
    filter->AddElement(std::make_unique<PymFilterElementBool>(PymFilterCodes::kFlagLocal));
  }
  std::vector<KUID> found;
  PymSearchAssets(filter.get(), found);
  if (found.empty()) return -1;
  std::printf("+ %zu : assets matching the specified criteria\n", found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    std::printf("+ #%zu : %s\n", i, found[i].ToString().CStr());
  }
  return 0;
}
