// The validation library's one instance of shared data: the data folder and the definitions read
// from it, the named value lists, the author's personal details, the registries that the
// container model fills, and the state of the asset being checked.
//
// The data folder holds three text soups whose top-level entries merge into one definitions soup
// (inheritance.txt, then kind.txt, then container.txt; a later entry of a name replaces an
// earlier one and moves to the end), the folder "lists" (one list per file, one string per line)
// and personalDetails.txt.
//
// Used under the validation lock only; no lock of its own.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "assetdata/soup.h"
#include "mesh/kestro_mesh_settings.h"
#include "qel/os.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/render_inputs.h"

class KestroResourceDatabase;

namespace Qel {
class Resource;
class ResourceDatabase;
}  // namespace Qel

namespace TETLib {

class Container;
class LODMeshData;
class MeshData;
class NodeArena;

struct PersonalDetails {
  Qel::PString author;
  Qel::PString license;
  Qel::PString email;
  Qel::PString organisation;
  Qel::PString website;
  bool isInputBoxOn = false;

  bool operator==(const PersonalDetails&) const = default;
};

class DataManager {
 public:
  // Creates the singleton over its data folder (a trailing '/' is added when missing). False,
  // with nothing created, when the folder is not an existing folder or a data manager exists.
  static bool CreateInstance(const char* dataFolder);
  // The singleton; a fatal error when there is none. The first call loads the personal details.
  // Inline: a load asks for it a few times for every tag.
  static DataManager& Instance() {
    if (instance_ != nullptr && instance_->initialised_) return *instance_;
    return FirstInstance();
  }
  static bool Exists() { return instance_ != nullptr; }
  // Saves the personal details when they changed, releases everything and deletes the singleton;
  // nothing when there is none.
  static void DestroyInstance();

  virtual ~DataManager();
  DataManager(const DataManager&) = delete;
  DataManager& operator=(const DataManager&) = delete;

  // Takes the engine objects of the context and lights the validation scene. False when the
  // context has no render kernel.
  virtual bool SetEngineContext(EngineContext& context);
  // What mesh loads reach the display and the material manager through; null without a render
  // kernel with a display.
  const KestroRenderContext* GetRenderContext();
  // The asset's files as mesh resources see them: names below the asset folder only, found
  // ignoring case, never through a link that leads out.
  Qel::ResourceDatabase* GetMeshDatabase() const { return meshDatabase_.get(); }

  // Loads the mesh or animation file (a path below the asset folder) that a field of the
  // container names, by its extension: ".im", ".lm" and ".lm.txt" meshes are installed as the
  // container's mesh and the current mesh (".lm" ones checked for performance), ".pm" is reported
  // as unsupported, ".kin" goes onto the current mesh. The installed mesh, or null.
  MeshData* LoadMeshFile(const Qel::PString& path, Container* container);
  // Whether LoadMeshFile does anything with a file of that name (by its extension, in any case):
  // for any other it returns null at once.
  static bool IsMeshFileName(std::string_view path);
  // The mesh installed for the container, or null; deleting it when the container goes.
  MeshData* GetMeshOf(const Container* container) const;
  void RemoveMeshOf(const Container* container);
  MeshData* GetCurrentMesh() const { return currentMesh_; }
  size_t GetMeshCount() const { return meshes_.size(); }

  // Registries that the container model fills: objects (containers and tags, identities only)
  // under a key, each with its name. Unregister takes an object out of both registries and both
  // object lists, as a tag or container does when it goes.
  virtual void RegisterByKey(const Qel::PString& key, const void* object, const Qel::PString& name);
  virtual void RegisterByName(const Qel::PString& listName, const void* object,
                              const Qel::PString& name);
  virtual void OnRegistered() {}
  // After LoadMeshFile installed a mesh for the container.
  virtual void OnMeshInstalled(Container* /*container*/) {}
  virtual void OnLoadedObjectsChanged() {}
  virtual void OnSharedObjectsChanged() {}
  // The first list holds an object once; the second as often as it is added.
  virtual void AddLoadedObject(const void* object);
  virtual void AddSharedObject(const void* object);
  // True when an object of the name registry's list registryName bears value as its name, or
  // when value names an attachment point of a loaded mesh.
  virtual bool IsRegisteredName(const Qel::PString& value, const Qel::PString& registryName) const;
  void Unregister(const void* object);
  // False for an object never listed since the lists were last empty, as most are; true may be
  // wrong. Unregister asks it first, and a tag or container that goes may ask it before anything
  // dearer.
  bool MayBeListed(const void* object) const { return listedFilter_.test(FilterBit(object)); }
  // Unregister for every object the arena owns, in one sweep of the lists: a tree that goes
  // whole leaves this to its root.
  void UnregisterAllIn(const NodeArena& arena);
  void ClearNamedRegistry(const Qel::PString& listName);

  // Reads and merges the three definition files once; later calls return true at once. False
  // when no definition was read; otherwise the lists are loaded too and their result returned.
  bool LoadDefinitions();
  bool AreDefinitionsLoaded() const { return definitionsLoaded_; }
  const Soup& GetDefinitions() const { return definitions_; }
  // Reads every file of "lists" again, each replacing the list of its name: one string per line,
  // whatever its length, without its line end. False when a list file could not be read.
  bool LoadLists();
  // Null when there is no list of that name.
  const std::vector<Qel::PString>* GetList(const Qel::PString& name) const;
  const std::map<Qel::PString, std::vector<Qel::PString>>& GetLists() const { return lists_; }
  // Whether a list that GetList gave holds the text, ignoring ASCII case. Answered from the
  // list's lower-case texts, gathered on its first asking and again after the lists are read:
  // a load asks a few lists for most of its tags.
  bool ListHolds(const std::vector<Qel::PString>& list, std::string_view text) const;

  // personalDetails.txt: loading changes nothing when the file does not exist. Saving writes the
  // file; DestroyInstance saves only when the details differ from what was read (or from the
  // empty details when there was no file), so that a run that changed nothing writes nothing.
  void LoadPersonalDetails();
  bool SavePersonalDetails();
  const PersonalDetails& GetPersonalDetails() const { return details_; }
  void SetPersonalDetails(const PersonalDetails& details) { details_ = details; }
  bool PersonalDetailsChanged() const { return !(details_ == savedDetails_); }

  // Deletes every loaded mesh and drops what the engine no longer uses between assets.
  void PurgeResources();

  // Releases the previous asset's resource database, keeps the asset's name and folder and
  // acquires the cached database of that folder. False when no database could be had.
  bool OpenAssetResourceDatabase(const Qel::PString& assetName, const Qel::String& assetFolder);
  Qel::PString GetAssetName() const { return assetName_; }
  const Qel::String& GetAssetFolder() const { return assetFolder_; }
  KestroResourceDatabase* GetAssetResourceDatabase() const { return assetDatabase_; }

  const Qel::String& GetDataFolder() const { return dataFolder_; }
  const EngineContext& GetEngineContext() const { return context_; }

  // Per-asset state that the validation run and the checks set and read.
  bool IsOutsideEditingAndBase() const { return outsideEditingAndBase_; }
  void SetOutsideEditingAndBase(bool outside) { outsideEditingAndBase_ = outside; }
  f32 GetBuildNumber() const { return buildNumber_; }
  void SetBuildNumber(f32 build) { buildNumber_ = build; }
  const Qel::PString& GetConfigFileName() const { return configFileName_; }
  void SetConfigFileName(const Qel::PString& name) { configFileName_ = name; }
  bool IsMeshProblemReported() const { return meshProblemReported_; }
  void SetMeshProblemReported(bool reported) { meshProblemReported_ = reported; }
  // Once set, stays set until the next asset begins.
  bool UsesMeshAsset() const { return usesMeshAsset_; }
  void SetUsesMeshAsset() { usesMeshAsset_ = true; }
  // Forgets what the previous asset's checks noted about its meshes, so that one asset's
  // findings never depend on the asset validated before it.
  void BeginAsset() {
    usesMeshAsset_ = false;
    meshProblemReported_ = false;
  }

  // The attachment-point names of the mesh at path below the asset folder, with the animation
  // (when not empty) loaded onto it; false when the mesh does not load. The legacy upgrade builds
  // mesh tables and attached tracks from them.
  virtual bool LoadMeshPoints(const Qel::String& path, std::vector<Qel::PString>& names,
                              const Qel::String& animation);

  // Registers the vertex types of the validation materials; UnregisterKestroBumpVertexType
  // releases them and does nothing when they are not registered.
  void RegisterKestroBumpVertexType();
  void UnregisterKestroBumpVertexType();
  bool IsVertexTypeRegistered() const { return vertexTypeRegistered_; }

 private:
  struct RegisteredObject {
    const void* object;
    Qel::PString name;
  };
  // By list name: a load registers under a few names again and again, and an interned name is
  // found by its pointer, never by comparing its text.
  using Registry = std::unordered_map<Qel::PString, std::vector<RegisteredObject>>;

  static DataManager& FirstInstance();
  static DataManager* instance_;

  explicit DataManager(const char* dataFolder);
  void InitialiseOnFirstUse();
  void Reset();
  void ReleaseAssetResourceDatabase();
  Qel::String PersonalDetailsPath() const;
  MeshData* InstallMesh(std::unique_ptr<MeshData> mesh, Container* container);
  void CheckLodPerformance(LODMeshData& mesh, Container* container, const Qel::PString& path);

  Qel::String dataFolder_;
  bool initialised_ = false;
  bool definitionsLoaded_ = false;
  bool meshProblemReported_ = false;
  bool usesMeshAsset_ = false;
  bool outsideEditingAndBase_ = false;
  bool vertexTypeRegistered_ = false;
  f32 buildNumber_ = 0.0f;
  Qel::PString configFileName_;

  Soup definitions_;
  std::map<Qel::PString, std::vector<Qel::PString>> lists_;
  mutable std::unordered_map<const std::vector<Qel::PString>*, std::unordered_set<std::string>>
      listIndex_;
  Registry nameRegistry_;
  Registry keyRegistry_;
  std::vector<const void*> loadedObjects_;
  std::vector<const void*> sharedObjects_;
  // Every object in a registry or object list, so that one never listed is passed over at once.
  // A load lists a few objects and its release takes them out again: their entries are reused
  // from a pool rather than taken from the heap each time.
  std::pmr::unsynchronized_pool_resource listedMemory_;
  std::pmr::unordered_set<const void*> listed_{&listedMemory_};
  // A bit per address hash of every object listed since listed_ was last empty: a tag or
  // container that was never listed, as most are, goes without a look into the set.
  std::bitset<1024> listedFilter_;
  static size_t FilterBit(const void* object) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(object);
    return ((at >> 4) ^ (at >> 14)) & 1023;
  }
  void MarkListed(const void* object) {
    listed_.insert(object);
    listedFilter_.set(FilterBit(object));
  }

  PersonalDetails details_;
  PersonalDetails savedDetails_;

  Qel::PString assetName_;
  Qel::String assetFolder_;
  KestroResourceDatabase* assetDatabase_ = nullptr;

  EngineContext context_;
  KestroRenderContext renderContext_;
  Qel::LightList lights_;
  std::unique_ptr<Qel::ResourceDatabase> meshDatabase_;
  std::map<const Container*, std::unique_ptr<MeshData>> meshes_;
  MeshData* currentMesh_ = nullptr;
  // The materials loaded so that their kinds are registered, each locked and held.
  std::vector<Qel::Resource*> dummyMaterials_;
};

}  // namespace TETLib
