// The engine's path value: text with '/' separators ('\' becomes '/' on the way in).
#pragma once

#include "qel/file.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File::Path {
 public:
  Path() = default;
  Path(const char* text);    // NOLINT(runtime/explicit): paths are built from literals everywhere
  Path(const String& text);  // NOLINT(runtime/explicit)

  const char* CStr() const { return s_.CStr(); }
  const String& GetText() const { return s_; }
  u32 Length() const { return s_.Length(); }
  bool IsEmpty() const { return s_.IsEmpty(); }

  // Appends component with exactly one '/' between; an empty component changes nothing.
  Path& AddPath(const char* component);
  // Collapses "//" and "/./", folds "a/.." away and keeps a leading '/' or drive. A ".." that
  // would climb above the root is dropped; a leading ".." of a relative path stays. The result
  // ends in '/' when the last component named a folder ("a/b/", "a/b/.", "a/b/c/..").
  Path& Normalize();
  // The engine turns separators into the platform's own; here that is '/', so only '\' changes.
  Path& ReplaceForwardSlashes();
  // Drops the file-name part and keeps the folder with its trailing '/' ("a/b.txt" -> "a/").
  Path& DelName();
  // Goes up one folder: "a/b/c/" and "a/b/c" both become "a/b/".
  Path& PrevDir();

  // The folder part with its trailing '/', empty when there is none.
  String GetFolder() const;
  // The text after the last '/'.
  String GetFileName() const;
  // The text after the file name's last '.', without the dot.
  String GetExtension() const;
  // The file name without its last extension.
  String GetBaseName() const;
  // Case-insensitive; ext may start with '.' and may itself hold dots ("texture.txt"). An empty
  // ext matches a file name without an extension.
  bool IsExt(const char* ext) const;
  // Replaces the last extension (ext with or without its dot); an empty ext removes it. Nothing
  // changes when the path has no file name.
  Path& ChangeExtension(const char* ext);
  // A leading '/' or a drive form ("X:/", "X:\", "X:").
  bool IsAbsolute() const;

 private:
  size_t NameStart() const;
  String s_;
};

}  // namespace Qel
