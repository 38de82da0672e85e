#include "core/url_record.h"

#include <cstring>

#include "qel/string.h"

namespace {

struct Token {
  const char* begin;
  const char* end;  // the stop character, or the terminating zero
};

// Up to the first character of `stops` or the end of the text.
Token Take(const char* p, const char* stops) {
  const char* q = p;
  while (*q && !std::strchr(stops, *q)) ++q;
  return Token{p, q};
}

template <size_t M>
void CopyCut(char (&field)[M], const char* begin, const char* end) {
  size_t n = size_t(end - begin);
  if (n > M - 1) n = M - 1;
  std::memcpy(field, begin, n);
  field[n] = '\0';
}

// True when an '@' appears at or after p before the next '/' or the end.
bool AtBeforeSlash(const char* p) {
  for (; *p && *p != '/'; ++p) {
    if (*p == '@') return true;
  }
  return false;
}

}  // namespace

void URLRecord::Clear() {
  scheme[0] = '\0';
  user[0] = '\0';
  password[0] = '\0';
  host[0] = '\0';
  port = 0;
  path[0] = '\0';
  query[0] = '\0';
}

bool URLRecord::IsValid() const { return scheme[0] != '\0' && host[0] != '\0'; }

void URLRecord::Parse(const char* url) {
  Clear();
  if (!url) return;
  static const char kStops[] = ":@/";
  Token t = Take(url, kStops);
  if (*t.end == ':' && t.end[1] == '/' && t.end[2] == '/') {
    CopyCut(scheme, t.begin, t.end);
    t = Take(t.end + 3, kStops);
  }
  if ((*t.end == ':' || *t.end == '@') && AtBeforeSlash(t.end)) {
    CopyCut(user, t.begin, t.end);
    char userStop = *t.end;
    t = Take(t.end + 1, kStops);
    if (userStop == ':' && *t.end == '@') {
      CopyCut(password, t.begin, t.end);
      t = Take(t.end + 1, ":/");
    }
  }
  if (size_t(t.end - t.begin) < kRefusedHostLength) CopyCut(host, t.begin, t.end);
  const char* p = t.end;
  if (*p == ':') {
    ++p;
    u32 value = 0;
    bool tooLarge = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (!tooLarge) value = value * 10 + u32(*p - '0');
      if (value > 65535) tooLarge = true;
    }
    port = tooLarge ? 0 : value;
  }
  const char* question = std::strchr(p, '?');
  if (!question) question = p + std::strlen(p);
  CopyCut(path, p, question);
  CopyCut(query, question, question + std::strlen(question));
}

Qel::PString& URLRecord::ToString(Qel::PString& out) const {
  Qel::String text = Qel::String::Format("%s://", scheme[0] ? scheme : "http");
  if (user[0]) {
    if (password[0]) {
      text.AppendFormat("%s:%s@", user, password);
    } else {
      text.AppendFormat("%s@", user);
    }
  }
  if (port) {
    text.AppendFormat("%s:%u%s", host, port, path);
  } else {
    text.AppendFormat("%s%s", host, path);
  }
  if (query[0]) text.AppendFormat("%s", query);
  out = text.ToPString();
  return out;
}
