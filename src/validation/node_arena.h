// Memory for the containers and tags of one load. A configuration of a few dozen tags makes as
// many small objects and releases them all together when its tree goes; taking them from blocks
// that the tree's root holds makes each one a few instructions and frees them in one step, instead
// of a trip through the heap for every object each way.
//
// Containers and tags allocate through AllocateNode: from the arena a NodeArena::Scope has made
// current on this thread (the root's, while it loads), else from the heap. Each object records
// where it came from, so FreeNode gives heap memory back and leaves arena memory to its arena; an
// arena must outlive every object made in it, which holds as the root that owns it deletes its
// tree first. With AddressSanitizer, a freed object's memory is poisoned, so that a use after
// its release is still caught.
#pragma once

#include <cstddef>

namespace TETLib {

class NodeArena {
 public:
  NodeArena() = default;
  ~NodeArena();
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  // size bytes aligned for any object, valid until the arena goes.
  void* Allocate(size_t size);

  // Makes the arena current on this thread for its lifetime; the one before comes back after.
  class Scope {
   public:
    explicit Scope(NodeArena& arena);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    NodeArena* previous_;
  };

  // The current arena of this thread, or null.
  static NodeArena* Current();

  // Whether the address lies in memory this arena handed out.
  bool Owns(const void* object) const;

  // Marks, for its lifetime, that every object of the arena goes at once on this thread: their
  // destructors may leave to the releaser what it undoes for the whole arena in one step.
  class Release {
   public:
    explicit Release(const NodeArena& arena);
    ~Release();
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;

   private:
    const NodeArena* previous_;
  };
  // True while a Release of an arena that owns the object is in force on this thread.
  static bool IsReleasing(const void* object);

 private:
  struct Block;
  Block* blocks_ = nullptr;  // the newest first
  std::byte* next_ = nullptr;
  size_t left_ = 0;
};

// Memory for a container or tag of size bytes: from the current arena, else from the heap.
void* AllocateNode(size_t size);
// Gives back what AllocateNode gave (nothing for null).
void FreeNode(void* memory) noexcept;

}  // namespace TETLib
