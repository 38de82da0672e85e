#include "qel/options.h"

namespace Qel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

void Options::ProcessRaw(const char* text) {
  if (text == nullptr) return;
  const char* p = text;
  while (*p != '\0') {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    Entry entry;
    String* target = &entry.name;
    bool quoted = false;
    for (; *p != '\0' && (quoted || !IsBlank(*p)); ++p) {
      if (*p == '"') {
        quoted = !quoted;
      } else if (*p == '=' && !entry.hasValue && !quoted) {
        entry.hasValue = true;
        target = &entry.value;
      } else {
        *target += *p;
      }
    }
    if (entry.name.IsEmpty()) continue;
    for (Entry& old : entries_) {
      if (old.name.EqualsIgnoreCase(entry.name.CStr())) {
        old = entry;
        entry.name.Clear();
        break;
      }
    }
    if (!entry.name.IsEmpty()) entries_.push_back(entry);
  }
}

const Options::Entry* Options::Find(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const Entry& e : entries_) {
    if (e.name.EqualsIgnoreCase(name)) return &e;
  }
  return nullptr;
}

bool Options::Has(const char* name) const { return Find(name) != nullptr; }

String Options::GetValue(const char* name) const {
  const Entry* e = Find(name);
  return e != nullptr ? e->value : String();
}

String Options::GetRawText() const {
  String out;
  for (const Entry& e : entries_) {
    if (!out.IsEmpty()) out += ' ';
    out += e.name;
    if (!e.hasValue) continue;
    out += '=';
    bool blank = false;
    for (char c : e.value.View()) blank = blank || IsBlank(c);
    if (blank) out += '"';
    out += e.value;
    if (blank) out += '"';
  }
  return out;
}

}  // namespace Qel
