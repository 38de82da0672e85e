// The rewrite of a legacy configuration into the current vocabulary, applied in memory before a
// configuration is matched against its definitions.
//
// Configurations older than build 2.9 are rewritten step by step: display name, category lists,
// libraries, then a mesh table and bogey, camera or track lists by kind (some built from the
// attachment points of the asset's meshes), thumbnails, sound lists, category defaults, and last
// a clean-up of tags the current vocabulary does not have. Configurations from 2.9 up to 3.49
// only lose empty category tags. Every write replaces a tag of its name and moves it to the end.
// Mesh paths the rewrite writes use '/'.
#pragma once

#include <span>
#include <string_view>

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/types.h"

namespace TETLib {

// Changes the configuration in place by the asset's build (the data manager's). Reports nothing
// and cannot fail.
void UpgradeConfig(Soup& config);
void UpgradePre29Config(Soup& config);

// A category value the rewrite writes of its own: the value goes into the tag when `applies`
// says the configuration lacks one (for the region, also when it names the whole world).
struct CategoryDefault {
  const Qel::PString& tag;
  const Qel::PString& value;
  bool (*applies)(const Soup& config, const Qel::PString& kind);
};
// The era, class and region defaults, in the order the rewrite writes them. The shipped
// definitions must accept each value.
std::span<const CategoryDefault> CategoryDefaults();

// The kind rewrites; F is the configuration's former "asset-filename".
void BuildBogeyMeshTable(const Qel::PString& fileName, Soup& config);
void BuildTraincarMeshTable(const Qel::PString& fileName, Soup& config);
void BuildBogeyList(Soup& config);
void BuildSceneryMeshTable(const Qel::PString& fileName, Soup& config);
void BuildInteriorMeshTable(Soup& config);
void BuildModeMeshTable(Soup& config);
void BuildCrossingMeshTable(Soup& config);
void BuildTurntableMeshTable(Soup& config);
// The number of points "a.name0", "a.name1", ... of the mesh at that path below the asset
// folder, counted up to the first one missing; 0 when the mesh does not load.
u32 CountNameAttachments(std::string_view meshPath);

// Whether some top-level definition lists the name among its "subpossibilities".
bool IsKnownTopLevelTag(const Qel::PString& name);
void RemoveDescriptionFragments(Soup& config);
void RemoveAssetTags(Soup& config);

}  // namespace TETLib
