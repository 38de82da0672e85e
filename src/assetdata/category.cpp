#include "assetdata/category.h"

#include "assetdata/vocabulary.h"

namespace {

bool EndsToken(char c) { return c == '\0' || c == ';' || c == '|'; }

}  // namespace

bool MatchCategoryTerm(const char* list, const char* term) {
  if (!list || !term) return false;
  // Counted rather than recursed, so a long run of signs cannot exhaust the stack.
  bool negate = false;
  while (*term == '-') {
    negate = !negate;
    ++term;
  }
  if (EndsToken(*term)) return negate;

  const char* entry = list;
  for (;;) {
    size_t i = 0;
    while (!EndsToken(term[i]) && entry[i] == term[i]) ++i;
    if (EndsToken(term[i]) && EndsToken(entry[i])) return !negate;
    // Skip to the end of this entry; '|' or the end of the list ends the search.
    const char* p = entry + i;
    while (!EndsToken(*p)) ++p;
    if (*p != ';') return negate;
    entry = p + 1;
  }
}

bool MatchCategoryExpression(const char* categories, const char* expression) {
  if (!expression) return true;
  if (!categories) return false;
  const char* p = expression;
  if (*p == '\0') return true;
  bool result = true;
  for (;;) {
    // An empty alternative (a leading '|' or "||") holds; one after a trailing '|' adds nothing.
    if (*p == '|') return true;
    if (*p == '\0') return result;
    result = true;
    for (;;) {
      if (!MatchCategoryTerm(categories, p)) {
        result = false;
        break;
      }
      while (!EndsToken(*p)) ++p;
      while (*p == ';') ++p;
      if (*p == '|' || *p == '\0') break;
    }
    if (result) return true;
    while (*p != '\0' && *p != '|') ++p;
    if (*p == '\0') return false;
    ++p;
  }
}

Qel::String ReadCategoryToken(const char* text) {
  if (!text) return Qel::String();
  size_t n = 0;
  while (!EndsToken(text[n])) ++n;
  return Qel::String(text, n);
}

void AppendCategoryToken(Qel::String& list, const char* text) {
  if (!text || EndsToken(*text)) return;
  if (!list.IsEmpty()) list += ';';
  list += ReadCategoryToken(text);
}

void AppendCategoryHashTags(Qel::String& out, const Qel::String& base,
                            const Qel::String& categories) {
  // Copies first: `out` may be `base` or `categories`.
  const Qel::String source = categories;
  out = Qel::String(base);
  const char* p = source.CStr();
  for (;;) {
    while (*p == ';' || *p == '|') ++p;
    if (*p == '\0') break;
    const Qel::String tag = "#" + ReadCategoryToken(p);
    if (!MatchCategoryTerm(out.CStr(), tag.CStr())) AppendCategoryToken(out, tag.CStr());
    while (!EndsToken(*p)) ++p;
  }
}

Qel::String KindToCategories(Qel::PString kind, Qel::PString type) {
  kind.ToLower();
  type.ToLower();
  for (const Vocabulary::KindCategoryRow& row : Vocabulary::KindCategoryTable()) {
    if (row.kind.IsEmpty()) break;
    if (row.kind != kind) continue;
    if (row.typeExpression.IsEmpty() ||
        MatchCategoryExpression(type.CStr(), row.typeExpression.CStr())) {
      return row.categories;
    }
  }
  return Qel::String();
}

Qel::String CategoryClassToCategories(const char* kind, const Qel::String& code) {
  const Qel::String givenKind(kind);
  for (const Vocabulary::CategoryClassRow& row : Vocabulary::CategoryClassTable()) {
    if (row.categories.IsEmpty()) break;
    const bool kindsAgree =
        givenKind.IsEmpty() || row.kind[0] == '\0' || givenKind.EqualsIgnoreCase(row.kind);
    if (kindsAgree && code.EqualsIgnoreCase(row.code)) return row.categories;
  }
  return Qel::String();
}
