#include "gsruntime/gs_machine.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "gscommon/library_format.h"
#include "gscommon/library_image.h"
#include "gsruntime/built_in_natives.h"
#include "gsruntime/call_knowledge.h"
#include "gsruntime/byte_code_verifier.h"
#include "gsruntime/fused_code.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/library_check.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "platform/byte_order.h"
#include "platform/invariant.h"
#include "qel/file.h"

using GSRuntime::GSClass;
using GSRuntime::GSFunction;
using GSRuntime::GSLibrary;
using GSRuntime::GSNativeFunction;

namespace {

GSLogHook g_logHook = nullptr;
GSExceptionHook g_exceptionHook = nullptr;

// The hosts' native tables, registered again by every Init.
std::vector<GSInitHook>& InitHooks() {
  static std::vector<GSInitHook> hooks;
  return hooks;
}

constexpr u32 kHeaderBytes = 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a.back() == '/' ? a + b : a + "/" + b;
}

// The identity from a file's first 20 bytes; false for a short file or a wrong magic. Read
// through the engine's file layer, so that substitutions and names in another case apply.
bool ReadIdentity(const std::string& path, GSLibraryId* identity) {
  Qel::File in;
  if (in.Open(path.c_str(), Qel::File::kModeRead) != 0) return false;
  u8 header[kHeaderBytes];
  if (in.Read(header, kHeaderBytes) != kHeaderBytes) return false;
  if (ByteOrder::LoadLE32(header + 4) != GSLibraryFormat::kMagic) return false;
  *identity = {ByteOrder::LoadLE32(header + 12), ByteOrder::LoadLE32(header + 16)};
  return true;
}

// The identity and the units after the library's own from an image's head.
bool ReadUnits(const std::vector<u8>& image, GSLibraryId* identity,
               std::vector<GSLibraryId>* units) {
  GSLibraryFormat::LibraryImage head;
  if (!GSLibraryFormat::ReadLibraryHead(image.data(), static_cast<u32>(image.size()), &head,
                                        nullptr)) {
    return false;
  }
  *identity = {head.sourceId, head.nameId};
  units->assign(head.units.begin() + (head.units.empty() ? 0 : 1), head.units.end());
  return true;
}

// The signature from "::" on, which an override shares with the function it replaces.
std::string_view MethodPart(const std::string& signature) {
  const size_t at = signature.find("::");
  return at == std::string::npos ? std::string_view(signature)
                                 : std::string_view(signature).substr(at);
}

}  // namespace

GSMachine& GSMachine::Instance() {
  // Made in its fixed place on first use and ended at exit, as a function's static would be.
  struct Owner {
    Owner() { new (g_machineStorage) GSMachine; }
    ~Owner() { Live().~GSMachine(); }
  };
  static Owner owner;
  GSMachine& machine = Live();
  if (!machine.setUp_) {
    // Raised first, so that a registration reached from Init does not start it again.
    machine.setUp_ = true;
    machine.Init();
  }
  return machine;
}

void GSMachine::ResetForTests() {
  GSMachine& machine = Instance();
  machine.Shutdown();
  machine.Init();
}

GSMachine::~GSMachine() {
  // At exit, on whichever thread ends the process.
  drivingThread_ = std::this_thread::get_id();
  Shutdown();
}

void GSMachine::SetLogHook(GSLogHook hook) { g_logHook = hook; }
GSLogHook GSMachine::LogHook() { return g_logHook; }
void GSMachine::SetExceptionHook(GSExceptionHook hook) { g_exceptionHook = hook; }
GSExceptionHook GSMachine::ExceptionHook() { return g_exceptionHook; }

void GSMachine::Log(const char* format, ...) {
  if (g_logHook == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_logHook("%s", line);
}

GSAnsweredRuns::GSAnsweredRuns() : outer_(GSMachine::Instance().answeredDepth_) {
  GSMachine& machine = GSMachine::Instance();
  machine.answeredDepth_ = machine.runBudget_.depth + 1;
}

GSAnsweredRuns::~GSAnsweredRuns() { GSMachine::Instance().answeredDepth_ = outer_; }

void GSMachine::AddInitHook(GSInitHook hook) {
  std::vector<GSInitHook>& hooks = InitHooks();
  if (std::find(hooks.begin(), hooks.end(), hook) != hooks.end()) return;
  // Set up first, so that the set-up does not run the new hook as well.
  GSMachine& machine = Instance();
  machine.AssertDrivingThread();
  hooks.push_back(hook);
  hook(machine);
}

void GSMachine::RemoveInitHook(GSInitHook hook) {
  std::vector<GSInitHook>& hooks = InitHooks();
  hooks.erase(std::remove(hooks.begin(), hooks.end(), hook), hooks.end());
}

void GSMachine::AssertDrivingThread() const {
  KESTRO_ASSERT(drivingThread_ == std::this_thread::get_id());
}

void GSMachine::Init() {
  // Whoever sets the machine up drives it from then on.
  drivingThread_ = std::this_thread::get_id();
  linkTable_.clear();
  displaced_.clear();
  nameTable_.clear();
  pendingFolders_.clear();
  transient_.reset();
  verifierNanoseconds_ = 0;
  // Number 0 stays unused, so a zeroed frame header names no function.
  functions_.assign(1, nullptr);
  delete staticThread_;
  staticThread_ = new GSRuntime::GSThread(nullptr, GSRuntime::GSThread::kStaticFlag);
  GSRuntime::SetFieldInitialiserHook(GSRuntime::RunFieldInitialiser);
  runBudget_.depth = 0;
  runBudget_.used = 0;
  answeredDepth_ = 0;
  GSRuntime::OpenBuiltInLibraries(*this);
  // A copy: a hook may add another, which then runs at once.
  const std::vector<GSInitHook> hooks = InitHooks();
  for (GSInitHook hook : hooks) hook(*this);
}

void GSMachine::Shutdown() {
  AssertDrivingThread();
  // First: unwinding its stack reads the functions and releases into the arena.
  delete staticThread_;
  staticThread_ = nullptr;
  nameTable_.clear();
  linkTable_.clear();
  displaced_.clear();
  pendingFolders_.clear();
  transient_.reset();
  while (Utils::IDoubleLinkListNode* node = libraries_.Last()) {
    libraries_.Remove(node);
    delete node;
  }
  while (Utils::IDoubleLinkListNode* node = natives_.Last()) {
    natives_.Remove(node);
    delete node;
  }
  nativeClasses_.clear();
  linkedThisLoad_.clear();
  loadDepth_ = 0;
  functions_.clear();
  arena_.Clear();
}

void GSMachine::RegisterNative(GSNativeFunction* native) {
  AssertDrivingThread();
  BindNativeClass(native->ClassName());
  natives_.PushBack(native);
}

void GSMachine::RegisterNativeClass(const Qel::PString& className, GSNativeClassBinder bind) {
  AssertDrivingThread();
  nativeClasses_.emplace_back(className, bind);
}

void GSMachine::BindNativeClass(const Qel::PString& className) {
  const auto waiting = std::find_if(nativeClasses_.begin(), nativeClasses_.end(),
                                    [&](const auto& entry) { return entry.first == className; });
  if (waiting == nativeClasses_.end()) return;
  // Taken out first, so that the class binds once even when its binder looks a native up.
  const GSNativeClassBinder bind = waiting->second;
  nativeClasses_.erase(waiting);
  bind(*this, className);
}

GSNativeFunction* GSMachine::FindNative(const Qel::PString& className,
                                        const Qel::PString& signature) {
  BindNativeClass(className);
  for (Utils::IDoubleLinkListNode* node = natives_.Last(); node != nullptr;
       node = natives_.Previous(node)) {
    auto* native = static_cast<GSNativeFunction*>(node);
    if (native->ClassName() == className && native->Signature() == signature) return native;
  }
  return nullptr;
}

void GSMachine::MapName(const std::string& name, Registration* registration) {
  nameTable_[Lower(name)] = registration;
}

bool GSMachine::AddLibrary(const std::string& location, const std::string& folder,
                           const std::string& fileName, GSLibraryId* identity) {
  AssertDrivingThread();
  RegisterPendingFolders();
  const std::string path = Join(folder, fileName);
  std::vector<u8> image;
  GSLibraryId id;
  std::vector<GSLibraryId> units;
  // A file whose unit table is damaged is still registered by its ids; its load reports it.
  const bool unitsRead = GSLibraryFormat::ReadLibraryFile(Join(location, path), &image) &&
                         ReadUnits(image, &id, &units);
  if (!unitsRead && !ReadIdentity(Join(location, path), &id)) return false;
  if (identity != nullptr) *identity = id;
  std::unique_ptr<Registration>& slot = linkTable_[id];
  if (slot != nullptr) {
    const std::vector<GSLibraryId>* known = UnitsOf(slot.get());
    if (unitsRead && known != nullptr && *known == units) {
      MapName(path, slot.get());
      return true;
    }
    // Built from other units: sharing would run another asset's code. A registration of this
    // very file and units that was displaced before comes back rather than loading it again.
    displaced_.push_back(std::move(slot));
    auto back = std::find_if(displaced_.begin(), displaced_.end(), [&](const auto& r) {
      return unitsRead && r->location == location && r->path == path && r->unitsKnown &&
             r->units == units;
    });
    if (back != displaced_.end()) {
      slot = std::move(*back);
      displaced_.erase(back);
    }
  }
  if (slot == nullptr) {
    slot = std::make_unique<Registration>(Registration{id, location, path, nullptr, {}, false});
    slot->units = std::move(units);
    slot->unitsKnown = unitsRead;
  }
  MapName(path, slot.get());
  return true;
}

const std::vector<GSLibraryId>* GSMachine::UnitsOf(Registration* registration) {
  if (!registration->unitsKnown) {
    std::vector<u8> image;
    GSLibraryId id;
    if (!GSLibraryFormat::ReadLibraryFile(Join(registration->location, registration->path),
                                          &image) ||
        !ReadUnits(image, &id, &registration->units) || id != registration->identity) {
      return nullptr;
    }
    registration->unitsKnown = true;
  }
  return &registration->units;
}

std::vector<std::string> GSMachine::LibraryFiles(const std::string& folder) {
  std::vector<std::string> names;
  // "*.gsl" matches the extension in any case; the engine lists by upper-case fold, ties by
  // bytes.
  for (Qel::File::Find find(folder.c_str(), "*.gsl"); find.Next();) {
    if (!find.IsFolder()) names.emplace_back(find.GetName().CStr());
  }
  return names;
}

bool GSMachine::AddLibraryFolder(const std::string& location, const std::string& folder) {
  AssertDrivingThread();
  const std::vector<std::string> names = LibraryFiles(Join(location, folder));
  // A pending folder's file of the same name came first, and keeps its precedence.
  if (!pendingFolders_.empty()) {
    for (const std::string& name : names) {
      if (IsPendingName(Lower(name))) {
        RegisterPendingFolders();
        break;
      }
    }
  }
  RegisterFolder(location, folder, names);
  return !names.empty();
}

bool GSMachine::AddLibraryFolderOnDemand(const std::string& location, const std::string& folder) {
  AssertDrivingThread();
  std::vector<std::string> names = LibraryFiles(Join(location, folder));
  if (names.empty()) return false;
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (const std::string& name : names) keys.push_back(Lower(name));
  pendingFolders_.push_back({location, folder, std::move(names), std::move(keys)});
  return true;
}

void GSMachine::RegisterFolder(const std::string& location, const std::string& folder,
                               const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const std::string path = Join(folder, name);
    GSLibraryId id;
    if (!ReadIdentity(Join(location, path), &id)) continue;
    if (linkTable_.count(id) != 0) {
      Log("Could not add game script library %s to GSMachine", path.c_str());
      continue;
    }
    auto& registration = linkTable_[id];
    registration =
        std::make_unique<Registration>(Registration{id, location, path, nullptr, {}, false});
    MapName(name, registration.get());
  }
}

bool GSMachine::RegisterPendingFolders() {
  if (pendingFolders_.empty()) return false;
  // Taken first: a registration must not find its own folder still pending.
  const std::vector<PendingFolder> pending = std::move(pendingFolders_);
  pendingFolders_.clear();
  for (const PendingFolder& folder : pending) {
    RegisterFolder(folder.location, folder.folder, folder.names);
  }
  return true;
}

bool GSMachine::IsPendingName(const std::string& lowerName) const {
  for (const PendingFolder& folder : pendingFolders_) {
    if (std::find(folder.keys.begin(), folder.keys.end(), lowerName) != folder.keys.end()) {
      return true;
    }
  }
  return false;
}

GSLibrary* GSMachine::GetLibrary(const GSLibraryId& identity) {
  AssertDrivingThread();
  auto found = linkTable_.find(identity);
  if (found == linkTable_.end() && RegisterPendingFolders()) found = linkTable_.find(identity);
  if (found == linkTable_.end()) {
    Log("GSMachine::GetLibrary> library '0x%X 0x%X' not found in link table", identity.first,
        identity.second);
    for (Utils::IDoubleLinkListNode* node = libraries_.Last(); node != nullptr;
         node = libraries_.Previous(node)) {
      auto* loaded = static_cast<GSLibrary*>(node);
      if (loaded->nameId == identity.second) {
        Log("  Similar library found with matching filename hash but built from different "
            "source: %s",
            loaded->name.c_str());
      }
    }
    return nullptr;
  }
  return LoadRegistration(found->second.get());
}

GSLibrary* GSMachine::LoadRegistration(Registration* registration) {
  if (registration->library != nullptr) return registration->library;

  std::vector<u8> image;
  if (!GSLibraryFormat::ReadLibraryFile(Join(registration->location, registration->path), &image)) {
    Log("GSMachine: Error loading library file %s", registration->path.c_str());
    return nullptr;
  }
  // The file may have been replaced since it was registered: a library of other ids or other
  // units is not the one its identity promises.
  GSLibraryId id;
  std::vector<GSLibraryId> units;
  if (ReadUnits(image, &id, &units) &&
      (id != registration->identity ||
       (registration->unitsKnown && units != registration->units))) {
    Log("GSMachine: Library file %s is not the library '0x%X 0x%X' registered for it",
        registration->path.c_str(), registration->identity.first, registration->identity.second);
    return nullptr;
  }
  // Registered before linking, so a library that lists itself or is reached again through a
  // cycle of dependencies is found rather than loaded twice.
  auto* library = new GSLibrary;
  registration->library = library;
  ++loadDepth_;
  const i32 result = LinkLibrary(this, library, std::move(image));
  --loadDepth_;
  if (result == 0) {
    libraries_.PushBack(library);
    linkedThisLoad_.push_back(library);
  } else {
    Log("GSMachine: Error %d loading library %s (%s)", result, library->name.c_str(),
        registration->path.c_str());
    UnloadDependents(library);
    registration->library = nullptr;
    delete library;
  }
  if (loadDepth_ == 0) linkedThisLoad_.clear();
  return registration->library;
}

void GSMachine::UnloadDependents(GSLibrary* failed) {
  // Libraries linked earlier in this load may point into the failed one through a cycle of
  // dependencies; they go with it, and so does whatever depends on them.
  std::vector<GSLibrary*> doomed{failed};
  for (bool grew = true; grew;) {
    grew = false;
    for (GSLibrary* linked : linkedThisLoad_) {
      if (std::find(doomed.begin(), doomed.end(), linked) != doomed.end()) continue;
      for (GSLibrary* gone : doomed) {
        if (linked->DependsOn(gone)) {
          doomed.push_back(linked);
          grew = true;
          break;
        }
      }
    }
  }
  for (size_t i = 1; i < doomed.size(); ++i) {
    GSLibrary* library = doomed[i];
    Log("GSMachine: Unloading library %s, which depends on %s", library->name.c_str(),
        failed->name.c_str());
    for (auto& [id, registration] : linkTable_) {
      if (registration->library == library) registration->library = nullptr;
    }
    for (auto& registration : displaced_) {
      if (registration->library == library) registration->library = nullptr;
    }
    linkedThisLoad_.erase(std::find(linkedThisLoad_.begin(), linkedThisLoad_.end(), library));
    libraries_.Remove(library);
    delete library;
  }
}

void GSMachine::BeginTransientLibraries() {
  AssertDrivingThread();
  KESTRO_ASSERT(!transient_);
  // Folders listed before are the machine's own: their registrations must outlive the scope.
  RegisterPendingFolders();
  transient_ = TransientMark{};
  TransientMark& mark = *transient_;
  for (const auto& [id, registration] : linkTable_) mark.slots.emplace(id, registration.get());
  for (const auto& registration : displaced_) mark.displaced.push_back(registration.get());
  mark.names = nameTable_;
  mark.lastLibrary = libraries_.Last();
  mark.functions = functions_.size();
}

void GSMachine::EndTransientLibraries() {
  AssertDrivingThread();
  if (!transient_) return;
  TransientMark mark = std::move(*transient_);
  transient_.reset();

  std::unordered_set<const Registration*> earlier;
  for (const auto& entry : mark.slots) earlier.insert(entry.second);
  earlier.insert(mark.displaced.begin(), mark.displaced.end());
  std::unordered_map<const GSLibrary*, Registration*> holders;
  for (const auto& entry : linkTable_) holders.emplace(entry.second->library, entry.second.get());
  for (const auto& registration : displaced_) {
    holders.emplace(registration->library, registration.get());
  }

  // In load order a library comes after its dependencies, which are decided by then, but for the
  // members of a cycle, which all go.
  std::vector<GSLibrary*> loaded;
  for (auto* node = mark.lastLibrary != nullptr ? libraries_.Next(mark.lastLibrary)
                                                : libraries_.First();
       node != nullptr; node = libraries_.Next(node)) {
    loaded.push_back(static_cast<GSLibrary*>(node));
  }
  const std::unordered_set<const GSLibrary*> since(loaded.begin(), loaded.end());
  std::unordered_set<const GSLibrary*> kept;
  std::unordered_set<u32> keptNumbers;
  for (GSLibrary* library : loaded) {
    const auto holder = holders.find(library);
    bool keep = holder != holders.end() && earlier.count(holder->second) != 0;
    // A library's units begin with its own.
    for (const GSRuntime::GSDependency& dependency : library->dependencies) {
      keep = keep && (dependency.library == library || since.count(dependency.library) == 0 ||
                      kept.count(dependency.library) != 0);
    }
    if (!keep) continue;
    kept.insert(library);
    for (const auto& cls : library->classes) {
      for (const GSFunction& function : cls->functions) keptNumbers.insert(function.number);
    }
  }
  for (GSLibrary* library : loaded) {
    if (kept.count(library) != 0) continue;
    const auto holder = holders.find(library);
    if (holder != holders.end()) holder->second->library = nullptr;
    libraries_.Remove(library);
    delete library;
  }
  // Also the numbers of a library whose link failed, which was deleted at once. Those at the end
  // are given out again.
  for (size_t number = mark.functions; number < functions_.size(); ++number) {
    if (keptNumbers.count(u32(number)) == 0) functions_[number] = nullptr;
  }
  while (functions_.size() > std::max<size_t>(mark.functions, 1) && functions_.back() == nullptr) {
    functions_.pop_back();
  }

  // The earlier registrations go back where they were; the later ones end here.
  std::unordered_map<Registration*, std::unique_ptr<Registration>> owned;
  for (auto& entry : linkTable_) owned.emplace(entry.second.get(), std::move(entry.second));
  for (auto& registration : displaced_) owned.emplace(registration.get(), std::move(registration));
  linkTable_.clear();
  displaced_.clear();
  for (const auto& [id, registration] : mark.slots) linkTable_[id] = std::move(owned[registration]);
  for (Registration* registration : mark.displaced) {
    displaced_.push_back(std::move(owned[registration]));
  }
  nameTable_ = std::move(mark.names);
}

GSLibrary* GSMachine::FindLibrary(const std::string& fileName) {
  const std::string key = Lower(fileName);
  auto found = nameTable_.find(key);
  if (found == nameTable_.end() && RegisterPendingFolders()) found = nameTable_.find(key);
  if (found == nameTable_.end()) return nullptr;
  return LoadRegistration(found->second);
}

bool GSMachine::HasLibrary(const std::string& fileName) const {
  const std::string key = Lower(fileName);
  return nameTable_.count(key) != 0 || IsPendingName(key);
}

i32 GSMachine::LinkLibrary(GSMachine* owner, GSLibrary* library, std::vector<u8> image) {
  library->owner = owner;
  library->imageBuffer = std::move(image);
  GSLibraryFormat::LibraryImage& img = library->image;
  std::string error;
  const bool read = GSLibraryFormat::ReadLibraryImage(
      library->imageBuffer.data(), static_cast<u32>(library->imageBuffer.size()), &img, &error);
  library->name = img.name;
  if (!read || !GSRuntime::CheckLibraryImage(img, &error)) {
    Log("GS Link error: Malformed library image (%s)", error.c_str());
    return -1;
  }
  static_assert(sizeof(f32) == sizeof(u32));
  std::memcpy(&library->version, &img.versionBits, sizeof(f32));
  library->sourceId = img.sourceId;
  library->nameId = img.nameId;

  for (u32 c = 0; c < img.classes.size(); ++c) {
    GSLibraryFormat::ClassImage& source = img.classes[c];
    auto cls = std::make_unique<GSClass>();
    cls->owner = owner;
    cls->library = library;
    cls->name = &img.strings[source.name];
    cls->flags = source.flags;
    cls->index = c;
    cls->bases = std::move(source.parents);
    cls->fields = std::move(source.fields);
    cls->instanceWords = source.instanceWords;
    cls->layout = std::move(source.layout);
    cls->referenceFields = std::move(source.referenceFields);
    cls->functions.resize(source.functions.size());
    for (size_t f = 0; f < source.functions.size(); ++f) {
      GSFunction& function = cls->functions[f];
      function.ownerClass = cls.get();
      function.library = library;
      function.record = std::move(source.functions[f]);
      function.name = &img.strings[function.record.header.name];
    }
    for (const auto& method : source.methods) {
      cls->methods.push_back({nullptr, u32(method.functionReference), method.viewOffset});
    }
    library->classes.push_back(std::move(cls));
  }

  for (const auto& [sourceId, nameId] : img.units) {
    GSLibrary* dependency = owner->GetLibrary({sourceId, nameId});
    if (dependency == nullptr) return -2;
    library->dependencies.push_back({dependency, sourceId, nameId});
  }

  bool missing = false;
  for (const auto& [unit, nameNumber] : img.classReferences) {
    const GSRuntime::GSDependency& dependency = library->dependencies[unit];
    const std::string& name = img.strings[nameNumber];
    GSClass* cls = dependency.library->FindClass(name);
    if (cls == nullptr) {
      Log("GS Link error: Unable to find class '%s'", name.c_str());
      missing = true;
    }
    library->classLinks.push_back({dependency.library, &name, cls});
  }
  if (missing) return -3;

  // Each class's functions by name, the first of a name as FindFunction takes it: a class
  // of many functions referenced one by one would otherwise be searched once per reference.
  std::unordered_map<const GSClass*, std::unordered_map<std::string_view, i32>> byName;
  for (const auto& reference : img.functionReferences) {
    GSClass* cls = library->classLinks[reference.classReference].linkedClass;
    const std::string& name = img.strings[reference.name];
    auto [names, added] = byName.try_emplace(cls);
    if (added) {
      names->second.reserve(cls->functions.size());
      for (size_t f = 0; f < cls->functions.size(); ++f) {
        names->second.try_emplace(*cls->functions[f].name, static_cast<i32>(f));
      }
    }
    const auto found = names->second.find(name);
    const i32 index = found == names->second.end() ? -1 : found->second;
    // A call goes through the method table at the reference's slot: a slot other than the
    // function's own would run another method.
    if (index < 0 || cls->functions[index].record.header.slot != reference.slot) {
      Log("GS Link error: Unable to link function '%s'", name.c_str());
      return -3;
    }
    library->functionLinks.push_back({cls, &name, reference.slot, &cls->functions[index]});
  }

  for (const auto& cls : library->classes) {
    if (!GSRuntime::CheckClassViews(*cls, &error)) {
      Log("GS Link error: Malformed library image (%s)", error.c_str());
      return -1;
    }
  }

  if (!owner->VerifyLibraryCode(library, &error)) {
    Log("GS Link error: Malformed library code (%s)", error.c_str());
    return -1;
  }
  for (const auto& cls : library->classes) {
    for (const GSRuntime::GSFunction& function : cls->functions) GSRuntime::FuseCode(function.record);
  }

  for (const auto& cls : library->classes) {
    if (!owner->LinkClass(cls.get())) {
      Log("GS Link error: Unable to link '%s'", cls->name->c_str());
      return -3;
    }
  }
  return 0;
}

bool GSMachine::VerifyLibraryCode(GSLibrary* library, std::string* error) {
  const auto start = std::chrono::steady_clock::now();
  GSRuntime::VerifierLimits limits;
  limits.strings = static_cast<u32>(library->image.strings.size());
  limits.classReferences = static_cast<u32>(library->classLinks.size());
  for (const auto& link : library->classLinks) {
    limits.methods = std::max(limits.methods, static_cast<u32>(link.linkedClass->methods.size()));
  }
  // What each member word is to a class's code, and what its instances release: a word
  // that the fields say holds a reference must be one that is released, and a base's fields
  // must lie where the base's own code takes them to be.
  using GSRuntime::GSClass;
  const auto kindOf = [](u32 type) {
    return type >= 1 && type <= 3 ? GSClass::kValueField : GSClass::kReferenceField;
  };
  for (const auto& cls : library->classes) {
    std::vector<u8>& kinds = cls->fieldKinds;
    kinds.assign(cls->instanceWords, GSClass::kNoField);
    std::vector<bool> released(cls->instanceWords, false);
    bool good = true;
    const auto add = [&](u64 word, u8 kind) {
      good =
          good && word < kinds.size() && (kinds[word] == GSClass::kNoField || kinds[word] == kind);
      if (good) kinds[word] = kind;
    };
    for (const auto& field : cls->fields) add(u32(field.slot), kindOf(field.type));
    for (u32 word : cls->referenceFields) released[word] = true;
    for (const auto& base : cls->bases) {
      const GSClass* baseClass = library->classLinks[base.classReference].linkedClass;
      for (const auto& field : baseClass->fields) {
        add(u64(base.memberOffset) + u32(field.slot), kindOf(field.type));
      }
      for (u32 word : baseClass->referenceFields) {
        const u64 at = u64(base.memberOffset) + word;
        good = good && at < released.size();
        if (good) released[at] = true;
      }
    }
    for (size_t w = 0; good && w < kinds.size(); ++w) {
      good = released[w] == (kinds[w] == GSClass::kReferenceField);
    }
    for (const auto& base : cls->bases) {
      const GSClass* baseClass = library->classLinks[base.classReference].linkedClass;
      const std::vector<u8>& own = baseClass->fieldKinds;
      for (size_t w = 0; good && w < own.size(); ++w) {
        if (own[w] == GSClass::kNoField) continue;
        const u64 at = u64(base.memberOffset) + w;
        good = at < kinds.size() && kinds[at] == own[w];
      }
    }
    if (!good) {
      *error = *cls->name + ": fields and reference fields disagree";
      return false;
    }
  }
  GSRuntime::CallKnowledge calls(library);
  bool good = true;
  for (const auto& cls : library->classes) {
    limits.memberWords = cls->instanceWords;
    limits.memberKinds = &cls->fieldKinds;
    for (size_t f = 0; good && f < cls->functions.size(); ++f) {
      GSRuntime::GSFunction& function = cls->functions[f];
      calls.Describe(*cls, function, &limits);
      good = GSRuntime::VerifyFunctionCode(function.record, limits, error, &function.callSites,
                                           &verifierWorkspace_);
      if (!good) *error = *cls->name + ", " + *cls->functions[f].name + ": " + *error;
    }
    if (!good) break;
  }
  verifierNanoseconds_ += static_cast<u64>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
  return good;
}

bool GSMachine::LinkClass(GSClass* cls) {
  if (cls->owner == nullptr) return false;
  GSLibrary* library = cls->library;
  for (GSFunction& function : cls->functions) {
    function.number = static_cast<u32>(functions_.size());
    functions_.push_back(&function);
    if (function.IsNative()) {
      function.native = FindNative(Qel::PString(*cls->name), Qel::PString(*function.name));
      if (function.native == nullptr)
        Log("Could not resolve native link %s", function.name->c_str());
      continue;
    }
    const std::string_view method = MethodPart(*function.name);
    for (const auto& base : cls->bases) {
      GSClass* baseClass = library->classLinks[base.classReference].linkedClass;
      for (GSFunction& candidate : baseClass->functions) {
        if (&candidate != &function && MethodPart(*candidate.name) == method) {
          function.overridden = &candidate;
          function.overriddenViewOffset = base.memberOffset;
          break;
        }
      }
      if (function.overridden != nullptr) break;
    }
  }
  for (GSRuntime::GSMethodEntry& entry : cls->methods) {
    entry.link = &library->functionLinks[entry.functionReference];
  }
  return true;
}
