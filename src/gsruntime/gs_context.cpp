#include "gsruntime/gs_context.h"

#include "gscommon/gs_types.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_script_instance.h"

namespace GSRuntime {

namespace {

GSContext::RouterDisposer g_routerDisposer = nullptr;
GSContext* g_currentContext = nullptr;
GSThread* g_currentThread = nullptr;

std::set<GSContext*>& Live() {
  // Never destroyed: contexts and objects may still go during the exit-time destruction.
  static auto& contexts = *new std::set<GSContext*>;
  return contexts;
}

bool IsStatic(const GSClass* cls) { return (cls->flags & GSTypes::kSpecStatic) != 0; }

// The class's number among its library's static classes.
u32 StaticIndex(const GSClass* cls) {
  u32 index = 0;
  for (const auto& other : cls->library->classes) {
    if (other.get() == cls) break;
    if (IsStatic(other.get())) ++index;
  }
  return index;
}

}  // namespace

GSContext::GSLibraryContext::GSLibraryContext(GSLibrary* owningLibrary) : library(owningLibrary) {
  for (const auto& cls : library->classes) {
    if (IsStatic(cls.get())) ++count;
  }
  objects.assign(count, nullptr);
  constructing.assign(count, 0);
}

GSContext::GSLibraryContext::~GSLibraryContext() {
  for (size_t i = objects.size(); i-- > 0;) {
    GSObject* object = objects[i];
    objects[i] = nullptr;
    if (object != nullptr) GSScriptInstance::Release(object->GetScriptInstance());
  }
}

void GSContext::SetRouterDisposer(RouterDisposer disposer) { g_routerDisposer = disposer; }

GSContext::GSContext() { Live().insert(this); }

GSContext::~GSContext() {
  // The tables' objects first: ending one may still need the context's statics and router.
  PurgeTables();
  libraryContexts_.clear();
  if (router != nullptr && g_routerDisposer != nullptr) g_routerDisposer(router);
  router = nullptr;
  Live().erase(this);
  if (g_currentContext == this) g_currentContext = nullptr;
  registry_.Clear();
}

void GSContext::PurgeTables() {
  ending_ = true;
  for (auto& entry : tables_) entry.second->Purge();
}

GSContext::GSLibraryContext* GSContext::GetLibraryContext(GSLibrary* library) {
  if (library == nullptr) return nullptr;
  std::unique_ptr<GSLibraryContext>& block = libraryContexts_[{library->sourceId, library->nameId}];
  if (block == nullptr) block = std::make_unique<GSLibraryContext>(library);
  return block.get();
}

GSObject* GSContext::GetStaticObject(GSClass* cls) {
  GSContext* context = g_currentContext;
  if (cls == nullptr || !IsStatic(cls) || context == nullptr) return nullptr;
  GSLibraryContext* block = context->GetLibraryContext(cls->library);
  if (block == nullptr) return nullptr;
  const u32 index = StaticIndex(cls);
  if (index >= block->objects.size()) return nullptr;
  if (block->objects[index] != nullptr) return block->objects[index];
  // An initialiser that asks for its own static class gets null rather than a new object each
  // time, which would never end.
  if (block->constructing[index] != 0) return nullptr;
  block->constructing[index] = 1;
  auto* object = new GSObject(kObjectNative);
  const bool bound = object->BindScriptInstance(cls, context);
  block->constructing[index] = 0;
  if (bound) {
    block->objects[index] = object;
    return object;
  }
  delete object;
  GSMachine::Log("Could not construct static class %s for context", cls->name->c_str());
  return nullptr;
}

const std::set<GSContext*>& GSContext::LiveContexts() { return Live(); }

GSContext* CurrentContext() { return g_currentContext; }
void SetCurrentContext(GSContext* context) { g_currentContext = context; }
GSThread* CurrentThread() { return g_currentThread; }
void SetCurrentThread(GSThread* thread) { g_currentThread = thread; }

GSTrackedRegistry* CurrentRegistry() {
  return g_currentContext != nullptr ? &g_currentContext->Registry() : nullptr;
}

namespace {

GSClass* BuiltInClass(const char* name) {
  GSLibrary* library = GSMachine::Instance().FindLibrary("gs.gsl");
  return library != nullptr ? library->FindClass(name) : nullptr;
}

}  // namespace

GSClass* GetGSObjectClass() { return BuiltInClass("GSObject"); }
GSClass* GetGameObjectClass() { return BuiltInClass("GameObject"); }
GSClass* GetMessageClass() { return BuiltInClass("Message"); }

}  // namespace GSRuntime
