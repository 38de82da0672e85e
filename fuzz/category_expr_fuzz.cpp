// Tests arbitrary expressions against arbitrary category lists (the input split at its first NUL,
// or in halves), and checks the identities that hold for every input.
#include <cstdlib>
#include <cstring>
#include <string>

#include "assetdata/asset_name.h"
#include "assetdata/category.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string list, expression;
  if (split == std::string::npos) {
    split = size / 2;
    list = input.substr(0, split);
    expression = input.substr(split);
  } else {
    list = input.substr(0, split);
    expression = input.substr(split + 1);
  }
  // The functions read C texts, so the expression ends at its own NUL too.
  expression.resize(std::strlen(expression.c_str()));
  const char* l = list.c_str();
  const char* e = expression.c_str();

  const bool holds = MatchCategoryExpression(l, e);
  const bool term = MatchCategoryTerm(l, e);
  if (MatchCategoryTerm(l, ("--" + expression).c_str()) != term) std::abort();
  if (!MatchCategoryExpression(l, "") || !MatchCategoryExpression(l, nullptr)) std::abort();
  if (MatchCategoryExpression(nullptr, e)) std::abort();
  // One plain term is an expression of one alternative with one term.
  if (expression.find_first_of(";|") == std::string::npos && !expression.empty() && holds != term) {
    std::abort();
  }
  // An alternative that always holds makes the whole expression hold.
  if (!MatchCategoryExpression(l, (expression + "||").c_str())) std::abort();

  Qel::String out;
  AppendCategoryHashTags(out, Qel::String(list), Qel::String(expression));
  if (std::strncmp(out.CStr(), l, list.size()) != 0) std::abort();
  (void)ReadCategoryToken(e);
  (void)KindToCategories(Qel::PString(list), Qel::PString(expression));
  (void)CategoryClassToCategories(l, Qel::String(expression));
  (void)CleanDisplayName(Qel::String(input));
  return 0;
}
