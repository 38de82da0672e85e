// A script execution context: it owns the objects made in it (through its tracked-object
// registry), the objects of the static classes of each library it uses, and its message router.
// Live contexts are kept in one process-wide set. The interpreter sets the current thread and
// context for the length of each run.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "gsruntime/gs_tracked_object.h"

class GSRouter;

namespace GSRuntime {

class GSObject;
class GSThread;
struct GSClass;
struct GSLibrary;

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
  // Releases the static objects, ends the router, leaves the live set, then clears the registry.
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

  GSRouter* router = nullptr;  // owned
  u8 shareable = 0;            // may other contexts' objects hold references to ours

 private:
  GSTrackedRegistry registry_{this};
  std::map<std::pair<u32, u32>, std::unique_ptr<GSLibraryContext>> libraryContexts_;
};

GSContext* CurrentContext();
void SetCurrentContext(GSContext* context);
GSThread* CurrentThread();
void SetCurrentThread(GSThread* thread);
// The registry new strings and arrays go into: the current context's, or none.
GSTrackedRegistry* CurrentRegistry();

// The built-in classes "GameObject" and "Message" of the library "gs.gsl"; null while it is not
// registered or does not link.
GSClass* GetGameObjectClass();
GSClass* GetMessageClass();

}  // namespace GSRuntime
