// Engine options: the "-Name" and "-Name=value" switches that configure the engine objects.
#pragma once

#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class Options {
 public:
  Options() = default;
  explicit Options(const char* text) { ProcessRaw(text); }

  // Adds the switches of an option text. Switches are separated by blanks; a value in double
  // quotes may hold blanks. A switch given again replaces the earlier one (names compare
  // without regard to case), so later text wins.
  void ProcessRaw(const char* text);

  bool Has(const char* name) const;
  // The value of "-Name=value"; empty when the switch is absent or has no value.
  String GetValue(const char* name) const;
  u32 Count() const { return u32(entries_.size()); }
  // Every switch in the form ProcessRaw reads, values with blanks quoted.
  String GetRawText() const;

 private:
  struct Entry {
    String name;
    String value;
    bool hasValue = false;
  };
  const Entry* Find(const char* name) const;

  std::vector<Entry> entries_;
};

}  // namespace Qel
