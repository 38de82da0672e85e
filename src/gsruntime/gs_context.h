// A script execution context: it owns the objects made in it (through its tracked-object
// registry), the objects of the static classes of each library it uses, and its message router.
// Live contexts are kept in one process-wide set. The interpreter sets the current thread and
// context for the length of each run.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "gsruntime/gs_tracked_object.h"

class GSRouter;

namespace GSRuntime {

class GSObject;
class GSThread;
struct GSClass;
struct GSLibrary;

// A table of native objects that belong to one context (for example the one KUID object per
// value). The context purges its tables first when it goes, while everything else of it is still
// there, and refuses new entries from then on.
class GSContextTable {
 public:
  GSContextTable() = default;
  virtual ~GSContextTable() = default;
  GSContextTable(const GSContextTable&) = delete;
  GSContextTable& operator=(const GSContextTable&) = delete;

  // Ends every object of the table; their script instances live on without native objects
  // until the context's registry clears.
  virtual void Purge() = 0;
};

class GSContext {
 public:
  class GSLibraryContext {
   public:
    explicit GSLibraryContext(GSLibrary* owningLibrary);
    virtual ~GSLibraryContext();
    GSLibraryContext(const GSLibraryContext&) = delete;
    GSLibraryContext& operator=(const GSLibraryContext&) = delete;

    u32 count = 0;  // the library's static classes
    std::vector<GSObject*> objects;
    GSLibrary* library;
    std::vector<u8> constructing;  // a static object whose initialisers run now
  };

  // Ends a context's router (done, then destroyed); set by the router's part of the runtime.
  using RouterDisposer = void (*)(GSRouter* router);
  static void SetRouterDisposer(RouterDisposer disposer);

  GSContext();
  // Purges the native-object tables, releases the static objects, ends the router, leaves the
  // live set, then clears the registry.
  virtual ~GSContext();
  GSContext(const GSContext&) = delete;
  GSContext& operator=(const GSContext&) = delete;

  GSTrackedRegistry& Registry() { return registry_; }
  // The library's block in this context, made on first use.
  GSLibraryContext* GetLibraryContext(GSLibrary* library);
  // The native object carrying a static class's single instance in the current context, made on
  // first use; null for a class that is not static or when there is no current context.
  static GSObject* GetStaticObject(GSClass* cls);

  static const std::set<GSContext*>& LiveContexts();

  // The context's table of type T (a GSContextTable), made on first use; null once the context
  // is being destroyed, so that nothing enters a table after its purge.
  template <class T>
  T* Table() {
    if (ending_) return nullptr;
    std::unique_ptr<GSContextTable>& table = tables_[std::type_index(typeid(T))];
    if (table == nullptr) table = std::make_unique<T>();
    return static_cast<T*>(table.get());
  }
  // Purges every table and refuses new ones; the destructor does it first. A subclass whose own
  // members the tables' objects use calls it first in its own destructor.
  void PurgeTables();
  // The table of type T when it was made, also while the context is being destroyed.
  template <class T>
  T* FindTable() const {
    const auto found = tables_.find(std::type_index(typeid(T)));
    return found != tables_.end() ? static_cast<T*>(found->second.get()) : nullptr;
  }

  GSRouter* router = nullptr;  // owned
  u8 shareable = 0;            // may other contexts' objects hold references to ours

 private:
  // First, so that the tables go last: objects that leave a table while the context ends still
  // find it.
  std::map<std::type_index, std::unique_ptr<GSContextTable>> tables_;
  bool ending_ = false;
  GSTrackedRegistry registry_{this};
  std::map<std::pair<u32, u32>, std::unique_ptr<GSLibraryContext>> libraryContexts_;
};

GSContext* CurrentContext();
void SetCurrentContext(GSContext* context);
GSThread* CurrentThread();
void SetCurrentThread(GSThread* thread);
// The registry new strings and arrays go into: the current context's, or none.
GSTrackedRegistry* CurrentRegistry();

// The built-in classes "GSObject", "GameObject" and "Message" of the library "gs.gsl"; null
// while it is not registered or does not link.
GSClass* GetGSObjectClass();
GSClass* GetGameObjectClass();
GSClass* GetMessageClass();

}  // namespace GSRuntime
