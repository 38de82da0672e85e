// Script strings: a native text with an arena header, like an array. Lengths are capped at
// kMaxLength bytes.
#pragma once

#include "gsruntime/gs_object.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace GSRuntime {

class GSTrackedRegistry;

class GSString : public GSObjectReference, public Qel::String {
 public:
  static constexpr i64 kMaxLength = i64(16) << 20;

  // Count 1, tracked in `registry` (none: untracked).
  explicit GSString(GSTrackedRegistry* registry);
  GSString(GSTrackedRegistry* registry, const char* text);
  GSString(GSTrackedRegistry* registry, const Qel::String& text);
  GSString(GSTrackedRegistry* registry, const Qel::PString& text);
  GSString(GSTrackedRegistry* registry, const GSString* other);  // null: empty
  ~GSString() override;

  ScriptRef GetScriptReference() const override { return reference_; }
  // The string a script reference names; null when it names something else.
  static GSString* FromReference(ScriptRef reference);

  // target = source[start, end): a negative start is 0, a negative end or one beyond the length
  // is the length; false for end < start.
  static bool Substring(const GSString& source, i32 start, i32 end, GSString* target);
  // this = this[0, start) + other + this[end, length), clamped alike; false for end < start or
  // a result above kMaxLength.
  bool ReplaceRange(i32 start, i32 end, const GSString* other);
  // The byte at `index` becomes c; an index at or beyond the length first pads with blanks, so
  // the text ends with c. False for a negative index or one at or beyond kMaxLength.
  bool SetChar(i32 index, char c);

 private:
  ScriptRef reference_;
};

}  // namespace GSRuntime
