// The script class "HTMLBuffer": text gathered for HTML display. `Print` appends markup as it
// is; `Escape` appends user text made safe for HTML (the three markup characters as entities, each
// line end as "<br>").
#pragma once

#include <string>
#include <string_view>

#include "gsruntime/gs_object.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

// The host's buffer. `isEmpty` tells whether anything was escaped into it since it was made or
// cleared; printed markup does not count.
class HTMLBuffer {
 public:
  void Clear();
  bool IsEmpty() const { return isEmpty_ != 0; }
  // The bytes up to the first zero byte.
  std::string_view Text() const;
  void Print(std::string_view text) { bytes_.append(text); }
  void Escape(std::string_view text);

 private:
  std::string bytes_;
  u8 isEmpty_ = 1;
};

class GSOHTMLBuffer : public GSRuntime::GSObject, public HTMLBuffer {
 public:
  // A new, empty buffer in `owner`; its instance's reference, counted for the caller, or 0.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner);

  void Clear(GSRuntime::GSStack* stack);
  void IsEmpty(GSRuntime::GSStack* stack);
  void AsString(GSRuntime::GSStack* stack);
  void Print(GSRuntime::GSStack* stack);
  void Escape(GSRuntime::GSStack* stack);

  // "HTMLBufferStatic.Construct": a new buffer in the calling script's context.
  static bool Construct(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);

 private:
  GSOHTMLBuffer() = default;
};
