// A URL split into fixed-size fields. Every field copy is cut to the field's largest length, so
// no input can overflow the record.
#pragma once

#include "qel/pstring.h"
#include "qel/types.h"

struct URLRecord {
  char scheme[32];
  char user[64];
  char password[64];
  char host[128];
  u32 port;  // 0 means none
  char path[256];
  char query[512];  // with its leading '?'

  // Hosts this long or longer are refused outright rather than cut.
  static constexpr u32 kRefusedHostLength = 512;

  URLRecord() { Clear(); }

  void Clear();
  // Scheme and host are both set.
  bool IsValid() const;
  // [scheme "://"] [user [":" password] "@"] host [":" port] [path] ["?" query]. A port above
  // 65535 reads as no port.
  void Parse(const char* url);
  // An empty scheme prints as "http"; port 0 is left out.
  Qel::PString& ToString(Qel::PString& out) const;
};
