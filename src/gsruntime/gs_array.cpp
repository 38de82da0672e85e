#include "gsruntime/gs_array.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gsruntime/gs_script_instance.h"

namespace GSRuntime {

GSArray::GSArray(GSTrackedRegistry* registry, bool holds)
    : GSObjectReference(kObjectArray), holdsReferences(holds ? 1 : 0) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSArray::~GSArray() {
  Grow(0);
  GSScriptInstance::DropEmbedded(reference_);
}

GSArray* GSArray::FromReference(ScriptRef reference) {
  GSObjectReference* object = GSObjectReference::FromReference(reference);
  return object != nullptr && object->kind == kObjectArray ? static_cast<GSArray*>(object)
                                                           : nullptr;
}

bool GSArray::Reserve(i64 n) {
  if (n <= capacity_) return true;
  if (n > kMaxElements) return false;
  const i64 wanted = std::min<i64>(std::max<i64>(n, i64(capacity_) * 2), kMaxElements);
  auto* grown = static_cast<u32*>(std::realloc(elements, size_t(wanted) * sizeof(u32)));
  if (grown == nullptr) return false;
  elements = grown;
  capacity_ = i32(wanted);
  return true;
}

bool GSArray::Grow(i32 n) {
  if (n < 1) {
    ReleaseRange(0, size);
    std::free(elements);
    elements = nullptr;
    size = 0;
    capacity_ = 0;
    return true;
  }
  if (n <= size) return true;
  if (!Reserve(n)) return false;
  std::memset(elements + size, 0, size_t(n - size) * sizeof(u32));
  size = n;
  return true;
}

namespace {

// Clamps a range the way the range operations read it: a negative start is 0, a negative end
// (or one beyond `length` when `clampEnd`) is the length.
void ClampRange(i32 length, bool clampEnd, i32* start, i32* end) {
  if (*start < 0) *start = 0;
  if (*end < 0 || (clampEnd && *end > length)) *end = length;
}

void AppendRange(const GSArray& array, i32 start, i32 end, std::vector<u32>* out) {
  for (i32 i = start; i < end; ++i) out->push_back(array.elements[i]);
}

}  // namespace

bool GSArray::CopyRange(const GSArray& source, i32 start, i32 end) {
  ClampRange(source.size, true, &start, &end);
  if (end < start || source.holdsReferences != holdsReferences) return false;
  std::vector<u32> copy;
  AppendRange(source, start, end, &copy);
  if (holdsReferences != 0) {
    for (u32 word : copy) GSScriptInstance::AddRef(word);
  }
  Grow(0);
  if (!copy.empty()) {
    if (!Reserve(i64(copy.size()))) {
      for (u32 word : copy) GSScriptInstance::Release(holdsReferences != 0 ? word : 0);
      return false;
    }
    std::memcpy(elements, copy.data(), copy.size() * sizeof(u32));
    size = i32(copy.size());
  }
  return true;
}

bool GSArray::ReplaceRange(i32 start, i32 end, const GSArray* other) {
  ClampRange(size, false, &start, &end);
  if (end < start || (other != nullptr && other->holdsReferences != holdsReferences)) {
    return false;
  }
  const i64 head = std::min(start, size);
  const i64 padding = std::max<i64>(0, i64(start) - size);
  const i64 inserted = other != nullptr ? other->size : 0;
  const i64 tail = std::max<i64>(0, i64(size) - end);
  const i64 total = head + padding + inserted + tail;
  if (total > kMaxElements) return false;

  std::vector<u32> next;
  next.reserve(size_t(total));
  AppendRange(*this, 0, i32(head), &next);
  next.insert(next.end(), size_t(padding), 0);
  if (other != nullptr) AppendRange(*other, 0, i32(inserted), &next);
  AppendRange(*this, i32(size - tail), size, &next);
  // The inserted references are counted before the replaced ones go, so replacing a range by
  // the array itself keeps every element alive.
  std::vector<u32> replaced;
  if (holdsReferences != 0) {
    for (i64 i = 0; i < inserted; ++i) GSScriptInstance::AddRef(next[size_t(head + padding + i)]);
    AppendRange(*this, std::min(start, size), std::min(end, size), &replaced);
  }
  if (total > capacity_ && !Reserve(total)) {
    for (i64 i = 0; i < inserted && holdsReferences != 0; ++i) {
      GSScriptInstance::Release(next[size_t(head + padding + i)]);
    }
    return false;
  }
  if (total > 0) std::memcpy(elements, next.data(), size_t(total) * sizeof(u32));
  size = i32(total);
  if (total == 0) {
    std::free(elements);
    elements = nullptr;
    capacity_ = 0;
  }
  for (u32 word : replaced) GSScriptInstance::Release(word);
  return true;
}

bool GSArray::SetElement(i32 index, ScriptRef reference) {
  if (index < 0 || index >= kMaxElements || (index >= size && !Grow(index + 1))) {
    GSScriptInstance::Release(reference);
    return false;
  }
  const u32 old = elements[index];
  elements[index] = reference;
  if (holdsReferences != 0) GSScriptInstance::Release(old);
  return true;
}

bool GSArray::GetElement(i32 index, u32* out, bool addReference) const {
  if (index < 0 || index >= size) return false;
  *out = elements[index];
  if (addReference && holdsReferences != 0) GSScriptInstance::AddRef(*out);
  return true;
}

bool GSArray::SetWord(i32 index, u32 word) {
  if (index < 0 || index >= kMaxElements || (index >= size && !Grow(index + 1))) return false;
  elements[index] = word;
  return true;
}

void GSArray::ReleaseRange(i32 first, i32 n) {
  if (holdsReferences == 0) return;
  const i64 begin = std::max(first, 0);
  const i64 end = std::min<i64>(i64(first) + n, size);
  for (i64 i = begin; i < end; ++i) {
    const u32 word = elements[i];
    if (word == 0) continue;
    elements[i] = 0;
    GSScriptInstance::Release(word);
  }
}

void GSArray::AddRefRange(i32 first, i32 n) {
  if (holdsReferences == 0) return;
  const i64 begin = std::max(first, 0);
  const i64 end = std::min<i64>(i64(first) + n, size);
  for (i64 i = begin; i < end; ++i) GSScriptInstance::AddRef(elements[i]);
}

}  // namespace GSRuntime
