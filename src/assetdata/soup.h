// The soup handle: one counted reference to a root node. Copies share the tree, and a handle on
// a child is that child, so changes through it change the parent's tree.
//
// Getters convert a value to the kind asked for and fall back to a default when the tag is
// absent or does not convert. Setters replace a named tag by a new one at the end of the
// children. Files are text or binary by extension.
#pragma once

#include <string>

#include "assetdata/reference_count.h"
#include "assetdata/soup_tree.h"
#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/types.h"

class TStream;

// A growable array of floats; the capacity grows in multiples of 8.
class FloatArray {
 public:
  FloatArray() = default;
  ~FloatArray();
  FloatArray(const FloatArray& other);
  FloatArray& operator=(const FloatArray& other);

  void Add(f32 value);
  void Clear() { count_ = 0; }
  // Room for at least `capacity` values, keeping the present ones.
  void Reserve(u32 capacity);

  u32 Count() const { return count_; }
  u32 Capacity() const { return capacity_; }
  bool IsEmpty() const { return count_ == 0; }
  const f32* Data() const { return data_; }
  f32 operator[](u32 i) const { return data_[i]; }
  f32& operator[](u32 i) { return data_[i]; }

 private:
  u32 count_ = 0;
  u32 capacity_ = 0;
  f32* data_ = nullptr;
};

class Soup {
 public:
  Soup() = default;
  Soup(const Soup& other) = default;
  // The new root is referenced before the old one is released.
  Soup& operator=(const Soup& other) = default;
  ~Soup() = default;

  // A handle on the node when it is present, else the empty soup.
  static Soup FromChunk(const MPRef<ACSChunk>& node);

  // The root as held, which may be null.
  const MPRef<ACSChunk>& GetRoot() const { return root_; }
  void SetRoot(MPRef<ACSChunk> root) { root_ = std::move(root); }

  void Clear() { root_ = nullptr; }
  // True for the empty soup, the null node, or a root of kind 0.
  bool IsNull() const;
  // Makes an empty handle a new empty container.
  void EnsureContainer();
  Soup GetContainer();
  // This handle becomes a new container holding a deep copy of the source.
  void Copy(const Soup& source);

  // Reading by name.
  bool HasNamedTag(const Qel::PString& name) const;
  u32 GetNamedTagKind(const Qel::PString& name) const;
  Soup GetNamedSoup(const Qel::PString& name) const;
  MPRef<ACSRawDataCore> GetNamedTagData(const Qel::PString& name) const;
  Qel::PString GetNamedTag(const Qel::PString& name) const;
  i32 GetNamedTagAsInt(const Qel::PString& name, i32 def) const;
  bool GetNamedTagAsBool(const Qel::PString& name, bool def) const;
  f32 GetNamedTagAsFloat(const Qel::PString& name, f32 def) const;
  KUID GetNamedTagAsKUID(const Qel::PString& name, const KUID& def) const;
  // Every float of the tag "camera"; false and `out` emptied when there is none.
  bool GetCameraValues(FloatArray& out) const;

  // Reading by index.
  u32 CountTags() const;
  Qel::PString GetIndexedTagName(u32 index) const;
  Soup GetIndexedSoup(u32 index) const;

  // Writing: each replaces any tag of the name by a new one at the end of the children.
  void SetNamedInt(const Qel::PString& name, i32 value);
  void SetNamedBool(const Qel::PString& name, bool value);
  void SetNamedFloat(const Qel::PString& name, f32 value);
  // An empty array only removes the tag.
  void SetNamedFloatArray(const Qel::PString& name, const FloatArray& values);
  void SetNamedTag(const Qel::PString& name, const Qel::PString& text);
  void SetNamedKUID(const Qel::PString& name, const KUID& value);
  void SetNamedNull(const Qel::PString& name);
  // Shares the child's root (an empty child becomes a new container first). Refused, with
  // nothing changed, when this soup is the child or lies below it.
  bool SetNamedSoup(const Qel::PString& name, Soup& child);

  void RemoveNamedTag(const Qel::PString& name);
  void RemoveTag(const Soup& child);
  // The first of "0", "1", "2", ... that names no present tag.
  Qel::PString GetUniqueTagName() const;

  // The text form, as one log line or on standard output.
  void Log() const;
  void PrintToConsole() const;

  // Text ("txt") or binary ("chump", "cdp", "cdp2") by type, or by the path's extension when the
  // type is null or empty. Loading is true when the file opened and its form is known, even if
  // its content is malformed. Saving writes a sibling file and renames it over the target, so a
  // failed save leaves the old file as it was; it is true only when every byte was written.
  bool LoadFile(const char* volume, const char* path, const char* type);
  // On failure, *error (when given) holds the system's reason, or 0 when there was none (a form
  // the name does not choose, or content that could not be written).
  bool SaveFile(const char* volume, const char* path, const char* type,
                int* error = nullptr) const;
  // Reads a text soup saved through a temporary copy (the path with the extension "tmp"),
  // recovering the copy when the file itself is missing.
  bool LoadFileSafe(const Qel::PString& volume, const char* path);

  // The text form's reader (in soup_text.cpp). `utf8` is true once a byte-order mark was seen.
  static void ParseText(Soup& target, TStream& in, bool utf8);
  // The binary form's reader (in soup_view.cpp): the soup views the read body in place.
  static bool ReadBinary(Soup& target, TStream& in);

 private:
  // The root's child of that name when present, else null.
  MPRef<ACSChunk> FindPresent(const Qel::PString& name) const;
  // Converted to `kind`; null when absent or not convertible.
  MPRef<ACSRawDataCore> GetConverted(const Qel::PString& name, u32 kind) const;
  void SetNamedValue(const Qel::PString& name, u32 kind, const void* bytes, u32 size);

  MPRef<ACSChunk> root_;
};

// The text form's writer (in soup_text.cpp).
void WriteSoupText(TStream& out, const Soup& soup);
// The text form as the writer gives it, in memory.
std::string SoupTextForm(const Soup& soup);
