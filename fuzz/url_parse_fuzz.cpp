// Parses arbitrary text as a URL, prints the record and parses the print again.
#include <cstring>
#include <string>

#include "core/url_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  URLRecord record;
  record.Parse(text.c_str());
  Qel::PString printed;
  record.ToString(printed);
  URLRecord again;
  again.Parse(printed.CStr());
  Qel::PString reprinted;
  again.ToString(reprinted);
  (void)again.IsValid();
  return 0;
}
