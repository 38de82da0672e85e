// A texture described by a text file "<stem>.texture.txt": one "Key=Value" a line, keys compared
// without regard to case, blanks around keys and values dropped, empty lines and lines starting
// with ';', '#' or "//" skipped; a key given twice keeps its last value. The keys read:
//
//   Primary=<image>     the colour image (BMP, TGA, JPEG or PNG), beside the description; required
//   Alpha=<image>       an image of the same size whose grey level becomes the alpha
//   Hint=<h>            compression: "uncompressed" (or 0), "dxt1" (1), "dxt3" (2), "dxt5" (3), or
//                       "auto", the default: whatever the converter's options choose
//   AlphaHint=<a>       "none", "onebit" or "full": the alpha kind, instead of reading the pixels
//   NormalMap=<flag>    "yes"/"true"/1: the image is a normal map
//   Tile=<t>            "st" (the default), "s", "t" or "none": "none" clamps, the others repeat
//   MipFilter=<f>       "none" makes a single level; any other filter keeps the full chain
//   AutoMip=, Anisotropy=, MagFilter=, MinFilter=   kept for the display and passed on unread
//
// Image names are relative to the description's folder in the resource database and may not climb
// out of it. Other keys are ignored; a value a key does not take fails the load with a reason.
#pragma once

#include <utility>
#include <vector>

#include "qel/config_data.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/texture_resource.h"

namespace Qel {

class AsciiTextureResource : public TextureResource, public ResourceObserver {
 public:
  enum AlphaKind : u8 { kAlphaNone = 0, kAlphaOneBit = 1, kAlphaFull = 2, kAlphaUnknown = 255 };
  static constexpr u8 kHintAuto = 255;

  AsciiTextureResource(const PString& name, ResourceDatabase* database);

  // Reads the description from this file instead of the resource's own, while image names still
  // resolve beside the resource's name. Empty goes back to the resource's file. Messages name the
  // description as shownName, when given: the file read may be a copy the user never saw.
  void SetDescriptionFile(const String& path, const String& shownName = String()) {
    descriptionFile_ = path;
    descriptionShown_ = shownName;
  }

  // Applies the keys of `options` over what is set now; false, with the reason, for a value the
  // key does not take.
  bool LoadTextureOptions(const ConfigData& options);

  u8 GetAlphaKind() const { return alphaKind_; }
  void SetAlphaKind(u8 kind) { alphaKind_ = kind; }
  u8 GetNormalMapHint() const { return normalMap_ ? 1 : 0; }
  // 0 uncompressed, 1 DXT1, 2 DXT3, 3 DXT5, kHintAuto the converter's choice.
  u8 GetCompressionHint() const { return hint_; }
  bool GetWrap() const { return wrap_; }
  // A key the display reads and this program only passes on; empty when not given.
  String GetOption(const char* key) const;
  // Why the last load failed, naming the file concerned.
  const String& GetLoadError() const { return loadError_; }

  void OnResourceLoaded(Resource& /*resource*/, u32 /*result*/) override {}

  // Reads the lines of a description into items; false when the file cannot be read.
  static bool ReadDescription(const char* path, ConfigData& out);

 protected:
  u32 LoadTxt(const PString& name) override;
  void OnUnload() override;
  void SetLoadError(const String& error) { loadError_ = error; }

 private:
  bool LoadImage(const String& folder, const String& name, Bitmap& out);

  String descriptionFile_;
  String descriptionShown_;
  String primary_;
  String alpha_;
  u8 alphaKind_ = kAlphaUnknown;
  u8 forcedAlphaKind_ = kAlphaUnknown;
  u8 hint_ = kHintAuto;
  bool normalMap_ = false;
  bool wrap_ = true;
  std::vector<std::pair<String, String>> passed_;
  String loadError_;
};

}  // namespace Qel
