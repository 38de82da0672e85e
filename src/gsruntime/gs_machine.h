// The one process-wide script machine: the registry of script libraries (by identity and by
// file name), the loaded libraries, the native functions scripts can call, the function table,
// the script arena, the run budget and the static thread's place. Single-threaded: it is used
// from the thread that drives scripts (the one that last set it up), which it asserts.
#pragma once

#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gscommon/double_link_list.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/script_arena.h"
#include "qel/pstring.h"

namespace GSRuntime {
class GSStack;
class GSThread;
class GSThreadOwner;
}  // namespace GSRuntime

// A library's identity as the compiler gives it: (sourceId, nameId).
using GSLibraryId = std::pair<u32, u32>;

// printf-style; every runtime log line goes through it, and none is written while it is null.
using GSLogHook = void (*)(const char* format, ...);
// Every script exception and failed run: the text, the thread's stack, the game object it
// concerns (or null) and whether the thread goes on. While it runs, the run budget's depth is that
// of the run it reports on (a failed run is reported before it leaves the count).
using GSExceptionHook = void (*)(const char* text, GSRuntime::GSStack* stack,
                                 GSRuntime::GSThreadOwner* owner, bool keepAlive);

class GSMachine;
// Registers a host's native tables; run by every Init, after the built-in natives.
using GSInitHook = void (*)(GSMachine& machine);
// Registers the natives of the class of that name (RegisterNativeClass).
using GSNativeClassBinder = void (*)(GSMachine& machine, const Qel::PString& className);

// How much code the outermost run (nested runs included) has stepped, and where its count
// starts: a smaller budget starts nearer the limit, which keeps the check on the jumps a
// comparison with a constant.
struct GSRunBudget {
  static constexpr u32 kLimit = 0x1000000;
  u32 depth = 0;
  u32 used = 0;
  u32 start = 0;
};

class GSMachine {
 public:
  static GSMachine& Instance();
  // Shuts the machine down and sets it up again: for tests, which need a clean registry.
  static void ResetForTests();

  static void SetLogHook(GSLogHook hook);
  static GSLogHook LogHook();
  static void SetExceptionHook(GSExceptionHook hook);
  static GSExceptionHook ExceptionHook();
  static void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

  void Init();
  void Shutdown();
  // Adds a hook that every later Init runs; a machine already set up runs it at once. A hook
  // added twice runs once.
  static void AddInitHook(GSInitHook hook);
  // The hook runs no more; what it registered stays until the next Shutdown.
  static void RemoveInitHook(GSInitHook hook);

  // A native registered for a class still waiting for its binder binds that class first, so
  // that the later registration takes precedence as it would over natives registered at once.
  void RegisterNative(GSRuntime::GSNativeFunction* native);
  // The class's natives are registered by `bind` when one of them is first looked up, taking
  // precedence over the same class's natives as they would if registered now: a host of many
  // native classes then pays at start-up only for those its libraries declare. Until the next
  // Shutdown.
  void RegisterNativeClass(const Qel::PString& className, GSNativeClassBinder bind);
  GSRuntime::GSNativeFunction* FindNative(const Qel::PString& className,
                                          const Qel::PString& signature);
  u32 NativeCount() const { return natives_.Count(); }
  // The registered natives (GSNativeFunction nodes), in registration order.
  const Utils::DoubleLinkList& Natives() const { return natives_; }

  // Registers one file; `location` is the root folder the folder is taken under (empty: the
  // working folder). A library is the same as a registered one of its identity only when the
  // units it was built from (its includes) match too; otherwise the file takes the identity over,
  // and the earlier registration stays alive, still reached by its own file names.
  bool AddLibrary(const std::string& location, const std::string& folder,
                  const std::string& fileName, GSLibraryId* identity = nullptr);
  // The "*.gsl" files of a folder in the one listing order every reader of library folders
  // uses (the engine's: by upper-case fold, ties by bytes); empty when it cannot be listed.
  static std::vector<std::string> LibraryFiles(const std::string& folder);
  // Registers every "*.gsl" file of a folder, in LibraryFiles order; false when it holds none.
  bool AddLibraryFolder(const std::string& location, const std::string& folder);
  // Lists the folder now and registers it, as AddLibraryFolder would have at this point, only
  // when first needed: a lookup the registrations do not answer, or a later registration of a
  // file of the same name. Reading every file's identity is most of a short-lived program's
  // start-up, and such a program often needs none of the folder's libraries. Precedence stays
  // that of registering now, save for a later folder's file of the same identity under another
  // name, which is used until the folder's own registration reports it as a duplicate.
  bool AddLibraryFolderOnDemand(const std::string& location, const std::string& folder);
  // The library, loaded and linked on first use; null with a log line when it cannot be.
  GSRuntime::GSLibrary* GetLibrary(const GSLibraryId& identity);
  // By a file name registered before; the library of that very file.
  GSRuntime::GSLibrary* FindLibrary(const std::string& fileName);
  // Whether a file of that name is registered or waits in a folder registered on demand,
  // without loading it.
  bool HasLibrary(const std::string& fileName) const;
  // Everything registered and loaded from Begin on is forgotten at End (folders registered
  // meanwhile too), but for a library loaded meanwhile whose registration came before and whose
  // dependencies all stay: a compile for validation needs its libraries only to link and check
  // them, and a host that compiles for days must not keep every one. Nothing may outlive End that
  // points into a forgotten library: an instance, a running thread, a class or function pointer.
  // Does not nest; GSTransientLibraries holds one over a scope.
  void BeginTransientLibraries();
  void EndTransientLibraries();
  // 0, or -1 malformed image, -2 a dependency missing, -3 an unresolved link.
  static i32 LinkLibrary(GSMachine* owner, GSRuntime::GSLibrary* library, std::vector<u8> image);

  const Utils::DoubleLinkList& Libraries() const { return libraries_; }
  // Registrations, file names that reach them included, and numbered functions: what a
  // long-running host must see stay level.
  size_t RegistrationCount() const {
    return linkTable_.size() + displaced_.size() + nameTable_.size();
  }
  size_t FunctionCount() const { return functions_.size(); }
  GSRuntime::ScriptArena& Arena() { return arena_; }
  GSRuntime::GSThread* StaticThread() const { return staticThread_; }
  GSRunBudget& RunBudget() { return runBudget_; }
  // Whether the run at the current depth is one a native answers for (GSAnsweredRuns).
  bool InAnsweredRun() const { return answeredDepth_ != 0 && runBudget_.depth == answeredDepth_; }

  // The machine, for the interpreter's paths, which must not pass Instance's set-up check on
  // every instruction. Valid once Instance has been called.
  static inline GSMachine& Live();
  // A linked function by its number; null for a number never given out.
  static const GSRuntime::GSFunction* FunctionAt(u32 number) {
    const std::vector<const GSRuntime::GSFunction*>& functions = Live().functions_;
    return number < functions.size() ? functions[number] : nullptr;
  }
  static GSRuntime::ScriptArena& LiveArena() { return Live().arena_; }
  // Time spent in the byte-code verifier since Init, for the load benchmark.
  u64 VerifierNanoseconds() const { return verifierNanoseconds_; }

  GSMachine(const GSMachine&) = delete;
  GSMachine& operator=(const GSMachine&) = delete;

 private:
  struct Registration {
    GSLibraryId identity;
    std::string location;
    std::string path;
    GSRuntime::GSLibrary* library = nullptr;
    // The identities of the units the library was built from, after its own; read on demand.
    std::vector<GSLibraryId> units;
    bool unitsKnown = false;
  };

  friend class GSAnsweredRuns;

  // The tables as BeginTransientLibraries found them.
  struct TransientMark {
    std::map<GSLibraryId, Registration*> slots;
    std::vector<Registration*> displaced;
    std::unordered_map<std::string, Registration*> names;
    Utils::IDoubleLinkListNode* lastLibrary = nullptr;
    size_t functions = 0;
  };

  GSMachine() = default;
  ~GSMachine();

  // A folder listed by AddLibraryFolderOnDemand and not yet registered.
  struct PendingFolder {
    std::string location;
    std::string folder;
    std::vector<std::string> names;
    std::vector<std::string> keys;  // the names lower-cased, as the name table holds them
  };

  void MapName(const std::string& name, Registration* registration);
  void RegisterFolder(const std::string& location, const std::string& folder,
                      const std::vector<std::string>& names);
  // Registers the pending folders in the order they were added; false when none was pending.
  bool RegisterPendingFolders();
  bool IsPendingName(const std::string& lowerName) const;
  GSRuntime::GSLibrary* LoadRegistration(Registration* registration);
  const std::vector<GSLibraryId>* UnitsOf(Registration* registration);
  bool VerifyLibraryCode(GSRuntime::GSLibrary* library, std::string* error);
  bool LinkClass(GSRuntime::GSClass* cls);
  void BindNativeClass(const Qel::PString& className);
  void UnloadDependents(GSRuntime::GSLibrary* failed);
  // Stops a test build when the machine is used from a thread other than the one driving it.
  void AssertDrivingThread() const;

  GSRuntime::GSThread* staticThread_ = nullptr;
  std::vector<const GSRuntime::GSFunction*> functions_;
  GSRunBudget runBudget_;
  u32 answeredDepth_ = 0;  // the depth of the runs a native answers for; 0 while none does
  std::thread::id drivingThread_;
  std::map<GSLibraryId, std::unique_ptr<Registration>> linkTable_;
  // Registrations another file of the same identity took over; their names still reach them.
  std::vector<std::unique_ptr<Registration>> displaced_;
  std::unordered_map<std::string, Registration*> nameTable_;  // by lower-case file name
  std::vector<PendingFolder> pendingFolders_;
  Utils::DoubleLinkList libraries_;
  Utils::DoubleLinkList natives_;
  // Classes whose natives wait for their first lookup (RegisterNativeClass).
  std::vector<std::pair<Qel::PString, GSNativeClassBinder>> nativeClasses_;
  GSRuntime::ScriptArena arena_;
  bool setUp_ = false;
  u32 loadDepth_ = 0;
  std::vector<GSRuntime::GSLibrary*> linkedThisLoad_;
  u64 verifierNanoseconds_ = 0;
  GSRuntime::VerifierWorkspace verifierWorkspace_;  // kept from one library's code to the next
  std::optional<TransientMark> transient_;
};

class GSTransientLibraries {
 public:
  GSTransientLibraries() { GSMachine::Instance().BeginTransientLibraries(); }
  ~GSTransientLibraries() { GSMachine::Instance().EndTransientLibraries(); }
  GSTransientLibraries(const GSTransientLibraries&) = delete;
  GSTransientLibraries& operator=(const GSTransientLibraries&) = delete;
};

// Held by a native around the runs it starts when it answers for their failure itself, giving
// the script its own result (GetLibrary's null for a library whose Init fails): such a failure is
// then no error of the script that called the native. Runs nested deeper (a handler that one of
// them runs through SendMessage) are not answered for.
class GSAnsweredRuns {
 public:
  GSAnsweredRuns();
  ~GSAnsweredRuns();
  GSAnsweredRuns(const GSAnsweredRuns&) = delete;
  GSAnsweredRuns& operator=(const GSAnsweredRuns&) = delete;

 private:
  u32 outer_;
};

// Where the one machine is made (by Instance): at a fixed place, so that the interpreter reaches
// its arena, function table and run budget at fixed addresses, as it would globals, rather than
// through a pointer that costs a register or a load on every jump.
alignas(GSMachine) inline unsigned char g_machineStorage[sizeof(GSMachine)];

inline GSMachine& GSMachine::Live() {
  return *std::launder(reinterpret_cast<GSMachine*>(g_machineStorage));
}
