// The engine's shared-memory type: a block of memory shared between processes by name (a file
// mapped into memory, named from the given text, in the user's runtime folder, where no other
// user can create it first).
#pragma once

#include <string>
#include <string_view>

#include "qel/types.h"

namespace Qel {

class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates the block called `name` of `size` bytes (zero-filled when new) or opens the existing
  // one, and attaches it. `*created` (when given) tells whether this call created it. False when
  // already attached, when size is 0, when the system refuses, or when the block belongs to
  // another user. The block is made owner-only.
  bool Create(std::string_view name, u32 size, bool* created = nullptr);
  // Detaches; the block lives on for other processes.
  void Close();

  bool IsAttached() const { return data_ != nullptr; }
  void* GetData() const { return data_; }
  u32 GetSize() const { return size_; }

  // The file of `name` ("<runtime folder>/kestro-<hash>.shm"); empty when there is no runtime
  // folder.
  static std::string ObjectName(std::string_view name);
  // Deletes the block called `name`; attached views stay valid. For clean-up of tests and tools.
  static bool Remove(std::string_view name);

 private:
  void* data_ = nullptr;
  u32 size_ = 0;
};

}  // namespace Qel
