// Script arrays: of plain 32-bit values (int, float, bool) or of counted script references
// (strings, objects, arrays). The elements live with the native object; the arena holds the
// header and the word that the array's script reference names. Sizes are capped, so no index a
// script computes can ask for more than kMaxElements elements.
#pragma once

#include "gsruntime/gs_object.h"

namespace GSRuntime {

class GSTrackedRegistry;

class GSArray : public GSObjectReference {
 public:
  static constexpr i32 kMaxElements = 1 << 24;

  // An empty array with count 1, tracked in `registry` (none: untracked).
  GSArray(GSTrackedRegistry* registry, bool holdsReferences);
  // Releases every element and leaves the registry.
  ~GSArray() override;

  ScriptRef GetScriptReference() const override { return reference_; }
  // The array a script reference names; null when it names something else.
  static GSArray* FromReference(ScriptRef reference);

  // n < 1 releases every element and empties the array; n > size grows it to n elements, the new
  // ones 0; otherwise nothing. False when n exceeds kMaxElements or memory runs out.
  bool Grow(i32 n);
  // This array becomes a copy of source[start, end), each copied reference counted. A negative
  // start is 0; a negative end or one beyond the source's size is its size. False, nothing
  // changed, for end < start or differing element kinds.
  bool CopyRange(const GSArray& source, i32 start, i32 end);
  // Replaces this[start, end) by other's elements (or by nothing), padding with 0 elements when
  // start lies beyond the size. False, nothing changed, for end < start, differing element kinds
  // or a result above kMaxElements. Replacing with itself works.
  bool ReplaceRange(i32 start, i32 end, const GSArray* other);
  // Stores a counted reference at an index (growing as needed), releasing the old element; the
  // reference is released instead when the index is out of range.
  bool SetElement(i32 index, ScriptRef reference);
  // Reads an element, counting it when `addReference` is set; false out of range.
  bool GetElement(i32 index, u32* out, bool addReference) const;
  // The plain store: grows to index + 1 when needed, stores the word as it is.
  bool SetWord(i32 index, u32 word);
  // SetWord for an index within the size or just past it while the capacity lasts, as a loop
  // that fills an array makes; false, nothing stored, for any other.
  bool StoreInPlace(i32 index, u32 word) {
    if (u32(index) < u32(size)) {
      elements[index] = word;
      return true;
    }
    if (index != size || size >= capacity_) return false;
    elements[size++] = word;
    return true;
  }
  // Release (and null) or count the non-null elements of a range clamped to the size; nothing
  // for an array of plain values.
  void ReleaseRange(i32 first, i32 n);
  void AddRefRange(i32 first, i32 n);

  u32* elements = nullptr;  // null when empty
  i32 size = 0;
  u8 holdsReferences;

 private:
  bool Reserve(i64 n);

  i32 capacity_ = 0;
  ScriptRef reference_;
};

}  // namespace GSRuntime
