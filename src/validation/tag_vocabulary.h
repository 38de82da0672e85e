// The configuration vocabulary of the validation library: the tag names, field types and kinds
// that validation, the legacy upgrade and the data manager compare. Each is one interned string,
// made during static initialisation and never changed, so comparing is comparing handles. The
// texts are exact: interning keeps case, so "Kind" is not kTagKind.
#pragma once

#include <span>

#include "qel/pstring.h"

namespace TETLib {

// X(identifier, text) for every name, in groups by their first user.
#define TETLIB_TAG_VOCABULARY(X)                                                       \
  /* Container model: field types, template keys, configuration tags and kinds. */     \
  X(Empty, "")                                                                         \
  X(Bang, "!")                                                                         \
  X(Alias, "alias")                                                                    \
  X(Animation, "animation")                                                            \
  X(ArrayElement, "array-element")                                                     \
  X(Bool, "bool")                                                                      \
  X(Category, "category")                                                              \
  X(ChunkyTrack, "chunky-track")                                                       \
  X(ChunkyMesh, "chunky_mesh")                                                         \
  X(Combobox, "combobox")                                                              \
  X(Compulsory, "compulsory")                                                          \
  X(ContactEmail, "contact-email")                                                     \
  X(ContactWebsite, "contact-website")                                                 \
  X(ContainerType0, "container-type0")                                                 \
  X(Datatype, "datatype")                                                              \
  X(Disabled, "disabled")                                                              \
  X(DoubleTrack, "double-track")                                                       \
  X(Doublestring, "doublestring")                                                      \
  X(EffectAttachment, "effect-attachment")                                             \
  X(EffectCorona, "effect-corona")                                                     \
  X(Element, "element")                                                                \
  X(ElementType, "element-type")                                                       \
  X(Extensions, "extensions")                                                          \
  X(Filepath, "filepath")                                                              \
  X(Filepathedit, "filepathedit")                                                      \
  X(Filter, "filter")                                                                  \
  X(Float, "float")                                                                    \
  X(Floatlist, "floatlist")                                                            \
  X(Icon, "icon")                                                                      \
  X(Inherit, "inherit")                                                                \
  X(Int, "int")                                                                        \
  X(Intcombobox, "intcombobox")                                                        \
  X(Kuid, "kuid")                                                                      \
  X(Kuidbrowser, "kuidbrowser")                                                        \
  X(Listbox, "listbox")                                                                \
  X(MeshAsset, "mesh-asset")                                                           \
  X(MeshElement, "mesh-element")                                                       \
  X(MeshReducingTrack, "mesh-reducing-track")                                          \
  X(Meshes, "meshes")                                                                  \
  X(Numarray, "numarray")                                                              \
  X(ObsoleteTag, "obsolete-tag")                                                       \
  X(ObsoleteTrack, "obsolete-track")                                                   \
  X(ObsoleteVersion, "obsolete-version")                                               \
  X(Parent, "parent")                                                                  \
  X(Savingname, "savingname")                                                          \
  X(SceneryTrackside, "scenery-trackside")                                             \
  X(Smoke, "smoke")                                                                    \
  X(Source, "source")                                                                  \
  X(Spline, "spline")                                                                  \
  X(String, "string")                                                                  \
  X(StringTable, "string-table")                                                       \
  X(Stringkuid, "stringkuid")                                                          \
  X(Stringkuidbrowser, "stringkuidbrowser")                                            \
  X(Subpossibilities, "subpossibilities")                                              \
  X(Tagarray, "tagarray")                                                              \
  X(TopLevel, "top-level")                                                             \
  X(Tunnel, "tunnel")                                                                  \
  X(Unique, "unique")                                                                  \
  X(UnitMesh, "unit_mesh")                                                             \
  X(Validation, "validation")                                                          \
  X(Value, "value")                                                                    \
  X(Vector2, "vector2")                                                                \
  X(Vector3, "vector3")                                                                \
  X(Vector4, "vector4")                                                                \
  X(Vector5, "vector5")                                                                \
  /* Shared by the container model with the upgrade, the rules or the data manager. */ \
  X(Semicolon, ";")                                                                    \
  X(Zero, "0")                                                                         \
  X(One, "1")                                                                          \
  X(Dot, ".")                                                                          \
  X(DotDot, "..")                                                                      \
  X(DotCache, ".cache")                                                                \
  X(Attachment, "attachment")                                                          \
  X(AttParent, "att-parent")                                                           \
  X(AttachedTrack, "attached-track")                                                   \
  X(Author, "author")                                                                  \
  X(Bridge, "bridge")                                                                  \
  X(Default, "default")                                                                \
  X(Description, "description")                                                        \
  X(Height, "height")                                                                  \
  X(Image, "image")                                                                    \
  X(Kind, "kind")                                                                      \
  X(KestroBuild, "kestro-build")                                                       \
  X(License, "license")                                                                \
  X(MeshTable, "mesh-table")                                                           \
  X(Organisation, "organisation")                                                      \
  X(Queues, "queues")                                                                  \
  X(Rem, "rem")                                                                        \
  X(Rgb, "rgb")                                                                        \
  X(Scenery, "scenery")                                                                \
  X(Script, "script")                                                                  \
  X(Sound, "sound")                                                                    \
  X(Track, "track")                                                                    \
  X(Trackside, "trackside")                                                            \
  X(Type, "type")                                                                      \
  X(Username, "username")                                                              \
  X(Website, "website")                                                                \
  /* The legacy configuration upgrade. */                                              \
  X(Quote, "\"")                                                                       \
  X(DotPm, ".pm")                                                                      \
  X(ZeroZero, "00")                                                                    \
  X(ZX, "ZX")                                                                          \
  X(Era1800s, "1800s")                                                                 \
  X(UnderDir, "__dir")                                                                 \
  X(UnderFilename, "__filename")                                                       \
  X(Anim, "anim")                                                                      \
  X(AnimKin, "anim.kin")                                                               \
  X(AnimationLoopSpeed, "animation-loop-speed")                                        \
  X(Att, "att")                                                                        \
  X(AutoAnimation, "auto-animation")                                                   \
  X(Behavior, "behavior")                                                              \
  X(Bogey, "bogey")                                                                    \
  X(BogeyR, "bogey-r")                                                                 \
  X(Bogeys, "bogeys")                                                                  \
  X(Buildable, "buildable")                                                            \
  X(Camera, "camera")                                                                  \
  X(Cameradefault, "cameradefault")                                                    \
  X(Cameralist, "cameralist")                                                          \
  X(CastsShadows, "casts_shadows")                                                     \
  X(CategoryClass, "category-class")                                                   \
  X(CategoryEra, "category-era")                                                       \
  X(CategoryRegion, "category-region")                                                 \
  X(Class, "class")                                                                    \
  X(Classlibrary, "classlibrary")                                                      \
  X(Effects, "effects")                                                                \
  X(Fontcolor, "fontcolor")                                                            \
  X(Fontsize, "fontsize")                                                              \
  X(Groundtexture, "groundtexture")                                                    \
  X(Gs, "gs")                                                                          \
  X(IconTexture, "icon-texture")                                                       \
  X(Interior, "interior")                                                              \
  X(Light, "light")                                                                    \
  X(Mesh, "mesh")                                                                      \
  X(Mini, "mini")                                                                      \
  X(Mocrossing, "mocrossing")                                                          \
  X(Mojunction, "mojunction")                                                          \
  X(Mosignal, "mosignal")                                                              \
  X(Mospeedboard, "mospeedboard")                                                      \
  X(Mode0, "mode0")                                                                    \
  X(Mode1, "mode1")                                                                    \
  X(Name, "name")                                                                      \
  X(Night, "night")                                                                    \
  X(NightMeshBase, "night-mesh-base")                                                  \
  X(Region, "region")                                                                  \
  X(Reversed, "reversed")                                                              \
  X(Road, "road")                                                                      \
  X(RunningNumbers, "running-numbers")                                                 \
  X(Scriptlibrary, "scriptlibrary")                                                    \
  X(Soundscript, "soundscript")                                                        \
  X(Thumbnail, "thumbnail")                                                            \
  X(Thumbnails, "thumbnails")                                                          \
  X(Turntable, "turntable")                                                            \
  X(Useadjoiningtracktype, "useadjoiningtracktype")                                    \
  X(Vertices, "vertices")                                                              \
  X(Width, "width")                                                                    \
  /* The validation rules. */                                                          \
  X(AssetFilename, "asset-filename")                                                   \
  X(AutoCreate, "auto-create")                                                         \
  X(CollateMeshes, "collate-meshes")                                                   \
  X(InitialCount, "initial-count")                                                     \
  X(Lights, "lights")                                                                  \
  X(Map, "map")                                                                        \
  X(Max, "max")                                                                        \
  X(Min, "min")                                                                        \
  X(ObsoleteTable, "obsolete-table")                                                   \
  X(Shadow, "shadow")                                                                  \
  X(Size, "size")                                                                      \
  X(Texture, "texture")                                                                \
  X(Traincar, "traincar")                                                              \
  /* The data manager. */                                                              \
  X(Drivercharacter, "drivercharacter")                                                \
  X(Email, "email")                                                                    \
  X(Isinputboxon, "isinputboxon")                                                      \
  X(Pantograph, "pantograph")                                                          \
  /* Rendering: the unsorted alpha-blend render cache. */                              \
  X(AlphaBlendCacheUnsorted, "AlphaBlendCacheUnsorted")

#define TETLIB_DECLARE_TAG(name, text) extern const Qel::PString kTag##name;
TETLIB_TAG_VOCABULARY(TETLIB_DECLARE_TAG)
#undef TETLIB_DECLARE_TAG

struct VocabularyEntry {
  const Qel::PString* name;
  const char* text;
};

// Every name with its text, in the order above.
std::span<const VocabularyEntry> TagVocabulary();

}  // namespace TETLib
