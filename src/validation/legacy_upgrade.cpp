#include "validation/legacy_upgrade.h"

#include <string>
#include <vector>

#include "assetdata/category.h"
#include "assetdata/soup_tree.h"
#include "core/kuid.h"
#include "platform/saturating_cast.h"
#include "validation/data_manager.h"
#include "validation/tag_vocabulary.h"

namespace TETLib {

namespace {

using Names = std::vector<Qel::PString>;

Qel::PString Text(std::string_view text) { return Qel::PString(text); }
std::string Str(const Qel::PString& text) { return std::string(text.View()); }

// A new empty container.
Soup NewContainer() {
  Soup soup;
  soup.EnsureContainer();
  return soup;
}

void Put(Soup& into, const Qel::PString& name, Soup child) { into.SetNamedSoup(name, child); }

// The whole part of a build in hundredths, truncated toward zero.
i32 Hundredths(f32 build) { return Platform::SaturatingCast<i32>(double(build) * 100.0); }

bool HasMeshTable(const Soup& config) { return config.HasNamedTag(kTagMeshTable); }

// The attachment-point names of the mesh at that path below the asset folder (with an animation
// loaded onto it when given); false when it does not load.
bool MeshPoints(const std::string& path, Names& names, const std::string& animation = {}) {
  return DataManager::Instance().LoadMeshPoints(Qel::String(path), names,
                                                Qel::String(animation));
}

bool HasPoint(const Names& names, const std::string& name) {
  const Qel::PString wanted(name);
  for (const Qel::PString& point : names) {
    if (point == wanted) return true;
  }
  return false;
}

std::string JoinPath(const std::string& folder, const std::string& file) {
  return folder.empty() ? file : folder + "/" + file;
}

// --- Pre-2.9 steps ---

// Collects "<prefix>%d" values from index 0 (or 1 when 0 is absent) up to the first gap.
void CollectNumberedList(Soup& config, const char* prefix, bool era, const Qel::PString& target) {
  std::string list;
  bool taken = false;
  for (u32 n = 0;; ++n) {
    const Qel::PString name(std::string(prefix) + std::to_string(n));
    std::string value = Str(config.GetNamedTag(name));
    if (value.empty()) {
      if (n == 0) continue;
      break;
    }
    if (era) {
      if (value.back() != 's') value += 's';
    } else {
      value = Str(Qel::PString(value).Upper());
    }
    if (!list.empty()) list += ';';
    list += value;
    config.RemoveNamedTag(name);
    taken = true;
  }
  if (taken) config.SetNamedTag(target, Text(list));
}

void WriteThumbnails(Soup& config) {
  Soup entry = NewContainer();
  entry.SetNamedTag(kTagImage, config.GetNamedTag(kTagIconTexture));
  entry.SetNamedInt(kTagWidth, 64);
  entry.SetNamedInt(kTagHeight, 64);
  Soup thumbnails = NewContainer();
  Put(thumbnails, kTagZero, entry);
  Put(config, kTagThumbnails, thumbnails);
  config.RemoveNamedTag(kTagIconTexture);
}

bool NeedsThumbnails(const Soup& config) {
  return config.HasNamedTag(kTagIconTexture) && !config.HasNamedTag(kTagThumbnails);
}

void BuildCameraList(Soup& config) {
  Soup list = config.GetNamedSoup(kTagCameralist);
  if (list.IsNull()) {
    list = NewContainer();
    Put(config, kTagCameralist, list);
  }
  const u32 n = list.CountTags();
  FloatArray values;
  config.GetCameraValues(values);
  values.Add(0.0f);
  values.Add(0.0f);
  list.SetNamedFloatArray(Text("camera" + std::to_string(n)), values);
  config.RemoveNamedTag(kTagCamera);
}

void ApplyKindRewrites(Soup& config, const Qel::PString& file, const Qel::PString& kind) {
  const bool named = !file.IsEmpty();
  auto is = [&](const Qel::PString& k) { return kind.EqualsIgnoreCase(k); };
  if (is(kTagBogey)) {
    if (named && !HasMeshTable(config)) BuildBogeyMeshTable(file, config);
    config.RemoveNamedTag(kTagLight);
  }
  if (is(kTagBehavior) && NeedsThumbnails(config)) WriteThumbnails(config);
  if (is(kTagGroundtexture) || is(kTagTexture)) {
    config.RemoveNamedTag(kTagRgb);
    if (named && !config.HasNamedTag(kTagTexture)) {
      config.SetNamedTag(kTagTexture, Text(Str(file) + ".texture"));
    }
    config.RemoveNamedTag(kTagLight);
  }
  if (is(kTagMesh)) config.RemoveNamedTag(kTagLight);
  if (is(kTagMojunction) && named && !HasMeshTable(config)) BuildModeMeshTable(config);
  if (is(kTagMocrossing)) {
    if (named && !HasMeshTable(config)) BuildCrossingMeshTable(config);
    config.RemoveNamedTag(kTagTrack);
    config.RemoveNamedTag(kTagRoad);
  }
  if (is(kTagTurntable) && named && !HasMeshTable(config)) BuildTurntableMeshTable(config);
  if (is(kTagTraincar)) {
    if (named && !HasMeshTable(config)) BuildTraincarMeshTable(file, config);
    if (!config.HasNamedTag(kTagBogeys)) BuildBogeyList(config);
    if (config.GetNamedTagKind(kTagRunningNumbers) == kKindContainer) {
      config.RemoveNamedTag(kTagRunningNumbers);
    }
  }
  if (is(kTagTrack) && named) config.RemoveNamedTag(kTagHeight);
  if ((is(kTagTrack) || is(kTagBridge)) && named) config.RemoveNamedTag(kTagMini);
  if (is(kTagScenery)) {
    if (named && !HasMeshTable(config)) BuildSceneryMeshTable(file, config);
    config.RemoveNamedTag(Text("bendy"));
  }
  if (is(kTagBuildable) && named && !HasMeshTable(config)) BuildSceneryMeshTable(file, config);
  if (is(kTagInterior)) {
    if (named && !HasMeshTable(config)) BuildInteriorMeshTable(config);
    if (config.HasNamedTag(kTagCamera)) BuildCameraList(config);
    if (!config.HasNamedTag(kTagCameradefault)) config.SetNamedInt(kTagCameradefault, 0);
  }
}

// Name effects without a name take their own tag name.
void NameTheNameEffects(Soup& config) {
  const Soup table = config.GetNamedSoup(kTagMeshTable);
  for (u32 i = 0; i < table.CountTags(); ++i) {
    const Soup effects = table.GetIndexedSoup(i).GetNamedSoup(kTagEffects);
    for (u32 k = 0; k < effects.CountTags(); ++k) {
      Soup effect = effects.GetIndexedSoup(k);
      if (effect.IsNull() || effect.GetNamedTag(kTagKind) != kTagName) continue;
      if (effect.GetNamedTag(kTagName).IsEmpty()) {
        effect.SetNamedTag(kTagName, effects.GetIndexedTagName(k));
      }
    }
  }
}

void RewriteSoundLists(Soup& config) {
  const Soup scripts = config.GetNamedSoup(kTagSoundscript);
  for (u32 i = 0; i < scripts.CountTags(); ++i) {
    Soup entry = scripts.GetIndexedSoup(i);
    if (entry.IsNull() || !entry.HasNamedTag(kTagSound)) continue;
    const Soup sound = entry.GetNamedSoup(kTagSound);
    Soup rewritten = NewContainer();
    for (u32 k = 0; k < sound.CountTags(); ++k) {
      const Qel::PString name = sound.GetIndexedTagName(k);
      const Qel::PString text = sound.GetNamedTag(name);
      if (!text.IsEmpty()) {
        rewritten.SetNamedTag(name, text);
      } else {
        rewritten.SetNamedTag(Text(std::to_string(k)), name);
      }
    }
    Put(entry, kTagSound, rewritten);
  }
}

bool LacksEra(const Soup& config, const Qel::PString&) {
  return config.GetNamedTag(kTagCategoryEra).IsEmpty();
}

bool LacksKnownClass(const Soup& config, const Qel::PString& kind) {
  const Qel::String classText(config.GetNamedTag(kTagCategoryClass).View());
  return CategoryClassToCategories(kind.CStr(), classText).IsEmpty();
}

bool LacksRegion(const Soup& config, const Qel::PString&) {
  const Qel::PString region = config.GetNamedTag(kTagCategoryRegion);
  if (region.IsEmpty()) return true;
  for (const char* world : {"EU", "any region in the world", "World Trees", "ALL"}) {
    if (region.EqualsIgnoreCase(Text(world))) return true;
  }
  return false;
}

const CategoryDefault kCategoryDefaults[] = {
    {kTagCategoryEra, kTagEra1800s, &LacksEra},
    {kTagCategoryClass, kTagZX, &LacksKnownClass},
    {kTagCategoryRegion, kTagZeroZero, &LacksRegion},
};

void ApplyCategoryDefaults(Soup& config, const Qel::PString& kind) {
  for (const CategoryDefault& category : kCategoryDefaults) {
    if (category.applies(config, kind)) config.SetNamedTag(category.tag, category.value);
  }
}

// --- Clean-up ---

bool IsDigits(std::string_view name) {
  for (char c : name) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsUnderscores(std::string_view name) {
  for (char c : name) {
    if (c != '_') return false;
  }
  return true;
}

bool IsPurgedName(const Qel::PString& name) {
  const std::string_view text = name.View();
  if (text.empty() || IsDigits(text) || IsUnderscores(text)) return true;
  return text.find_first_of("\"'{}") != std::string_view::npos;
}

void RemoveAll(Soup& config, std::initializer_list<const char*> names) {
  for (const char* name : names) config.RemoveNamedTag(Text(name));
}

void CleanUpLegacyTags(Soup& config) {
  RemoveAll(config, {";",           "\"",        "rem",        "licence",   "disclaimer:",
                     "licence:",    "licence:-", "name-ru",    "name-es",   "name-fr",
                     "name-pl",     "name-de",   "name-it",    "name-cz",   "name-cn",
                     "name-nl",     "name-hu",   "origin",     "objremarks", "origregion",
                     "orgname",     "origname",  "olbek",      "company",   "kestro",
                     "kestro_build", "train-build", "version", "obsolete"});
  const struct {
    const char* from;
    const char* to;
    bool always;
  } renames[] = {{"auteur", "author", true},
                 {"organization", "organisation", false},
                 {"user-name", "username", false},
                 {"name", "username", false},
                 {"description:", "description", false}};
  for (const auto& rename : renames) {
    const Qel::PString from(rename.from);
    const Qel::PString to(rename.to);
    if (!config.HasNamedTag(from)) continue;
    if (rename.always || !config.HasNamedTag(to)) config.SetNamedTag(to, config.GetNamedTag(from));
    config.RemoveNamedTag(from);
  }
  RemoveDescriptionFragments(config);
  RemoveAssetTags(config);
  RemoveAll(config, {"by", "you", "this", "the", "these", "-", "all", "copyright", "use", "have",
                     "check", "only", "keep", "for", "in", "alternate", "feel", "no", "contact",
                     "created", "//", ";", "*"});
  for (u32 i = config.CountTags(); i-- > 0;) {
    const Qel::PString name = config.GetIndexedTagName(i);
    if (IsPurgedName(name)) config.RemoveNamedTag(name);
  }
}

// Bogey entry "c" of the list.
void AddBogey(Soup& list, u32& counter, const KUID& bogey, bool reversed) {
  Soup entry = NewContainer();
  entry.SetNamedKUID(kTagBogey, bogey);
  entry.SetNamedInt(kTagReversed, reversed ? 1 : 0);
  Put(list, Text(std::to_string(counter++)), entry);
}

// One side of attached tracks: pairs "a.<stem>%da" and "a.<stem>%db" from 0 up to the first
// missing point, each an entry named by its stem and n + 1.
// Points "a.<stem><n>a" and "a.<stem><n>b" become the vertices of the entry "<entry><n + 1>".
void AddTrackPairs(Soup& tracks, const Names& points, const std::string& stem,
                   const std::string& entryStem, const KUID& track, bool adjoining) {
  for (u32 n = 0;; ++n) {
    const std::string first = "a." + stem + std::to_string(n) + "a";
    const std::string second = "a." + stem + std::to_string(n) + "b";
    if (!HasPoint(points, first) || !HasPoint(points, second)) return;
    Soup vertices = NewContainer();
    vertices.SetNamedTag(kTagZero, Text(first));
    vertices.SetNamedTag(kTagOne, Text(second));
    Soup entry = NewContainer();
    entry.SetNamedKUID(kTagTrack, track);
    Put(entry, kTagVertices, vertices);
    entry.SetNamedInt(kTagUseadjoiningtracktype, adjoining ? 1 : 0);
    Put(tracks, Text(entryStem + std::to_string(n + 1)), entry);
  }
}

}  // namespace

std::span<const CategoryDefault> CategoryDefaults() { return kCategoryDefaults; }

void UpgradeConfig(Soup& config) {
  const i32 build = Hundredths(DataManager::Instance().GetBuildNumber());
  if (build < 290) {
    UpgradePre29Config(config);
    config.SetNamedFloat(kTagKestroBuild, 2.9f);
  }
  if (build < 350) {
    for (const Qel::PString* name : {&kTagCategoryRegion, &kTagCategoryEra}) {
      if (config.HasNamedTag(*name) && config.GetNamedTag(*name).IsEmpty()) {
        config.RemoveNamedTag(*name);
      }
    }
  }
}

void UpgradePre29Config(Soup& config) {
  config.EnsureContainer();
  if (config.GetNamedTag(kTagUsername).IsEmpty()) {
    const Qel::PString name = config.GetNamedTag(kTagName);
    if (!name.IsEmpty()) {
      config.SetNamedTag(kTagUsername, name);
      config.RemoveNamedTag(kTagName);
    } else if (const Qel::PString file = config.GetNamedTag(kTagAssetFilename); !file.IsEmpty()) {
      config.SetNamedTag(kTagUsername, file);
    }
  }
  if (config.GetNamedTag(kTagKind) == kTagMap &&
      config.GetNamedTagAsKUID(kTagRegion, KUID::Null()).IsNull()) {
    config.RemoveNamedTag(kTagRegion);
  }
  for (const Qel::PString* name : {&kTagThumbnail, &kTagDotCache, &kTagUnderFilename,
                                   &kTagUnderDir}) {
    config.RemoveNamedTag(*name);
  }
  CollectNumberedList(config, "category-region-", false, kTagCategoryRegion);
  CollectNumberedList(config, "category-era-", true, kTagCategoryEra);
  if (config.GetNamedTag(kTagLicense).IsEmpty()) config.RemoveNamedTag(kTagLicense);
  if (config.HasNamedTag(kTagRgb)) {
    const std::string rgb = Str(config.GetNamedTag(kTagRgb));
    const size_t first = rgb.find(',');
    const size_t second = first == std::string::npos ? first : rgb.find(',', first + 1);
    if (second == std::string::npos || second + 1 >= rgb.size()) config.RemoveNamedTag(kTagRgb);
  }
  for (const auto& [from, to] : {std::pair{&kTagScriptlibrary, &kTagScript},
                                 std::pair{&kTagClasslibrary, &kTagClass}}) {
    if (!config.HasNamedTag(*from)) continue;
    config.SetNamedTag(*to, config.GetNamedTag(*from));
    config.RemoveNamedTag(*from);
  }
  const Qel::PString file = config.GetNamedTag(kTagAssetFilename);
  config.RemoveNamedTag(kTagAssetFilename);
  const Qel::PString kind = config.GetNamedTag(kTagKind);
  ApplyKindRewrites(config, file, kind);
  config.RemoveNamedTag(kTagFontsize);
  config.RemoveNamedTag(kTagFontcolor);
  if (HasMeshTable(config)) {
    config.RemoveNamedTag(kTagNight);
    NameTheNameEffects(config);
  }
  config.RemoveNamedTag(kTagType);
  if (!kind.EqualsIgnoreCase(kTagMap)) config.RemoveNamedTag(kTagRegion);
  if (config.HasNamedTag(kTagSoundscript)) RewriteSoundLists(config);
  if (kind.EqualsIgnoreCase(kTagMospeedboard) ||
      (config.HasNamedTag(kTagTrackside) && !kind.EqualsIgnoreCase(kTagMosignal))) {
    config.RemoveNamedTag(Text("function"));
  }
  ApplyCategoryDefaults(config, kind);
  if (NeedsThumbnails(config)) WriteThumbnails(config);
  CleanUpLegacyTags(config);
}

void BuildBogeyMeshTable(const Qel::PString& fileName, Soup& config) {
  const std::string f = Str(fileName);
  Soup main = NewContainer();
  main.SetNamedTag(kTagMesh, Text(f + ".pm"));
  main.SetNamedInt(kTagAutoCreate, 1);
  Soup shadow = NewContainer();
  shadow.SetNamedTag(kTagMesh, Text(f + "_shadow/" + f + "_shadow.pm"));
  shadow.SetNamedInt(kTagAutoCreate, 0);
  Soup table = NewContainer();
  Put(table, kTagDefault, main);
  Put(table, kTagShadow, shadow);
  Put(config, kTagMeshTable, table);
}

void BuildTraincarMeshTable(const Qel::PString& fileName, Soup& config) {
  const std::string f = Str(fileName);
  Soup main = NewContainer();
  main.SetNamedTag(kTagMesh, Text(JoinPath(f + "_body", f + "_body.pm")));
  main.SetNamedInt(kTagAutoCreate, 1);
  Soup shadow = NewContainer();
  shadow.SetNamedTag(kTagMesh, Text(JoinPath(f + "_shadow", f + "_shadow.pm")));
  shadow.SetNamedInt(kTagAutoCreate, 0);
  Soup table = NewContainer();
  Put(table, kTagDefault, main);
  Put(table, kTagShadow, shadow);
  Put(config, kTagMeshTable, table);
}

void BuildBogeyList(Soup& config) {
  Soup list = NewContainer();
  u32 counter = 0;
  for (const auto& [name, reversed] : {std::pair{&kTagBogey, false}, std::pair{&kTagBogeyR, true}}) {
    const KUID bogey = config.GetNamedTagAsKUID(*name, KUID::Null());
    if (bogey.IsNull()) continue;
    AddBogey(list, counter, bogey, reversed);
    config.RemoveNamedTag(*name);
  }
  for (u32 n = counter > 0 ? 1 : 0;; ++n) {
    bool found = false;
    for (const char* suffix : {"", "-r"}) {
      const Qel::PString name("bogey-" + std::to_string(n) + suffix);
      const KUID bogey = config.GetNamedTagAsKUID(name, KUID::Null());
      if (bogey.IsNull()) continue;
      AddBogey(list, counter, bogey, *suffix != '\0');
      config.RemoveNamedTag(name);
      found = true;
    }
    if (!found) break;
  }
  Put(config, kTagBogeys, list);
}

u32 CountNameAttachments(std::string_view meshPath) {
  Names points;
  if (!MeshPoints(std::string(meshPath), points)) return 0;
  u32 count = 0;
  while (HasPoint(points, "a.name" + std::to_string(count))) ++count;
  return count;
}

void BuildSceneryMeshTable(const Qel::PString& fileName, Soup& config) {
  const std::string f = Str(fileName);
  Soup entry = NewContainer();
  entry.SetNamedInt(kTagAutoCreate, 1);
  entry.SetNamedTag(kTagMesh, Text(f + ".im"));
  if (config.GetNamedTagAsInt(kTagAutoAnimation, 0) != 0) {
    entry.SetNamedTag(kTagAnim, kTagAnimKin);
    entry.SetNamedFloat(kTagAnimationLoopSpeed, 1.0f);
  }
  config.RemoveNamedTag(kTagAutoAnimation);
  if (const u32 count = CountNameAttachments(f + ".im"); count > 0) {
    const Qel::PString colour = config.GetNamedTag(kTagFontcolor);
    const Qel::PString size = config.GetNamedTag(kTagFontsize);
    Soup effects = NewContainer();
    for (u32 i = 0; i < count; ++i) {
      Soup effect = NewContainer();
      effect.SetNamedTag(kTagKind, kTagName);
      effect.SetNamedTag(kTagAtt, Text("a.name" + std::to_string(i)));
      if (!colour.IsEmpty()) effect.SetNamedTag(kTagFontcolor, colour);
      if (!size.IsEmpty()) effect.SetNamedTag(kTagFontsize, size);
      effect.SetNamedTag(kTagName, kTagName);
      Put(effects, Text(std::to_string(i)), effect);
    }
    Put(entry, kTagEffects, effects);
  }
  Soup table = NewContainer();
  Put(table, kTagDefault, entry);
  if (config.HasNamedTag(kTagNight)) {
    const std::string night = Str(config.GetNamedTag(kTagNight));
    config.RemoveNamedTag(kTagNight);
    Soup nightEntry = NewContainer();
    nightEntry.SetNamedTag(kTagMesh, Text(night + "/" + night + ".im"));
    nightEntry.SetNamedTag(kTagNightMeshBase, kTagDefault);
    Put(table, kTagNight, nightEntry);
  }
  Put(config, kTagMeshTable, table);
}

void BuildInteriorMeshTable(Soup& config) {
  Soup table = NewContainer();
  if (config.HasNamedTag(kTagAttachment)) {
    const Soup attachments = config.GetNamedSoup(kTagAttachment);
    for (u32 i = 0; i < attachments.CountTags(); ++i) {
      Soup child = attachments.GetIndexedSoup(i);
      if (child.IsNull()) child = NewContainer();
      if (child.HasNamedTag(kTagAtt) && !child.HasNamedTag(kTagAttParent)) {
        child.SetNamedTag(kTagAttParent, kTagDefault);
      }
      Put(table, attachments.GetIndexedTagName(i), child);
    }
    config.RemoveNamedTag(kTagAttachment);
  }
  if (config.HasNamedTag(kTagMesh)) {
    Soup entry = NewContainer();
    entry.SetNamedTag(kTagMesh, config.GetNamedTag(kTagMesh));
    entry.SetNamedInt(kTagAutoCreate, 1);
    Put(table, kTagDefault, entry);
    config.RemoveNamedTag(kTagMesh);
  }
  Put(config, kTagMeshTable, table);
}

void BuildModeMeshTable(Soup& config) {
  const Qel::PString modes[] = {config.GetNamedTag(kTagMode0), config.GetNamedTag(kTagMode1)};
  Soup table = NewContainer();
  Put(config, kTagMeshTable, table);
  for (int m = 0; m < 2; ++m) {
    if (modes[m].IsEmpty()) continue;
    const std::string mode = Str(modes[m]);
    Soup entry = NewContainer();
    entry.SetNamedTag(kTagMesh, Text(mode + "/" + mode + ".im"));
    entry.SetNamedTag(kTagAutoCreate, m == 0 ? kTagOne : kTagZero);
    Put(table, modes[m].Lower(), entry);
    config.RemoveNamedTag(m == 0 ? kTagMode0 : kTagMode1);
  }
}

void BuildTurntableMeshTable(Soup& config) {
  Names outer;
  Names inner;
  bool loaded = false;
  if (!HasMeshTable(config)) {
    const std::string m0 = Str(config.GetNamedTag(kTagMode0));
    const std::string m1 = Str(config.GetNamedTag(kTagMode1));
    const std::string p0 = JoinPath(m0, m0 + ".im");
    const std::string p1 = JoinPath(m1, m1 + ".im");
    Soup main = NewContainer();
    main.SetNamedTag(kTagMesh, Text(p0));
    main.SetNamedInt(kTagAutoCreate, 1);
    Soup turning = NewContainer();
    turning.SetNamedTag(kTagMesh, Text(p1));
    Soup table = NewContainer();
    Put(table, kTagDefault, main);
    Put(table, kTagTurntable, turning);
    Put(config, kTagMeshTable, table);
    const bool first = MeshPoints(p0, outer);
    loaded = MeshPoints(p1, inner) && first;
    config.RemoveNamedTag(kTagMode0);
    config.RemoveNamedTag(kTagMode1);
  }
  if (config.HasNamedTag(kTagAttachedTrack) || !loaded) return;
  const KUID track = config.GetNamedTagAsKUID(kTagTrack, KUID::Null());
  Soup tracks = NewContainer();
  AddTrackPairs(tracks, outer, "otrack", "tracko", track, false);
  AddTrackPairs(tracks, inner, "itrack", "tracki", track, false);
  Put(config, kTagAttachedTrack, tracks);
  config.RemoveNamedTag(kTagTrack);
}

void BuildCrossingMeshTable(Soup& config) {
  Names points;
  bool loaded = false;
  if (!HasMeshTable(config)) {
    const std::string m0 = Str(config.GetNamedTag(kTagMode0));
    const std::string mesh = JoinPath(m0, (m0.empty() ? std::string("mode0") : m0) + ".im");
    const std::string anim = JoinPath(m0, "anim.kin");
    Soup entry = NewContainer();
    entry.SetNamedTag(kTagMesh, Text(mesh));
    entry.SetNamedTag(kTagAnim, Text(anim));
    entry.SetNamedInt(kTagAutoCreate, 1);
    Soup table = NewContainer();
    Put(table, kTagDefault, entry);
    Put(config, kTagMeshTable, table);
    loaded = MeshPoints(mesh, points, anim);
    config.RemoveNamedTag(kTagMode0);
    config.RemoveNamedTag(kTagMode1);
  }
  if (config.HasNamedTag(kTagAttachedTrack) || !loaded) return;
  const KUID track = config.GetNamedTagAsKUID(kTagTrack, KUID::Null());
  const KUID road = config.GetNamedTagAsKUID(kTagRoad, KUID::Null());
  Soup tracks = NewContainer();
  AddTrackPairs(tracks, points, "road", "road", road, true);
  AddTrackPairs(tracks, points, "track", "track", track, true);
  Put(config, kTagAttachedTrack, tracks);
}

bool IsKnownTopLevelTag(const Qel::PString& name) {
  const Soup& definitions = DataManager::Instance().GetDefinitions();
  for (u32 i = 0; i < definitions.CountTags(); ++i) {
    const Soup definition = definitions.GetIndexedSoup(i);
    if (definition.GetNamedTagAsInt(kTagTopLevel, 0) == 0) continue;
    const Soup possibilities = definition.GetNamedSoup(kTagSubpossibilities);
    if (possibilities.IsNull()) continue;
    for (u32 k = 0; k < possibilities.CountTags(); ++k) {
      if (possibilities.GetIndexedTagName(k) == name) return true;
    }
  }
  return false;
}

void RemoveDescriptionFragments(Soup& config) {
  const u32 count = config.CountTags();
  u32 at = 0;
  while (at < count && config.GetIndexedTagName(at) != kTagDescription) ++at;
  if (at == count) return;
  Names doomed;
  for (u32 i = at + 1; i < count; ++i) {
    const Qel::PString name = config.GetIndexedTagName(i);
    if (IsKnownTopLevelTag(name) || !config.GetIndexedSoup(i).IsNull()) break;
    doomed.push_back(name);
  }
  for (const Qel::PString& name : doomed) config.RemoveNamedTag(name);
}

void RemoveAssetTags(Soup& config) {
  config.RemoveNamedTag(Text("asset"));
  for (u32 i = config.CountTags(); i-- > 0;) {
    const Qel::PString name = config.GetIndexedTagName(i);
    if (name.View().starts_with("asset-") && !IsKnownTopLevelTag(name)) {
      config.RemoveNamedTag(name);
    }
  }
}

}  // namespace TETLib
