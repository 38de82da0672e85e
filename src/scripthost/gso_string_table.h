// The script class "StringTable": the localisable strings of an asset's configuration, with ten
// numbered parameters ("$0" to "$9") put into the texts. The table holds its own counted handles
// on the configuration's tables, so it reads them safely however long it outlives its asset.
#pragma once

#include <string>

#include "assetdata/soup.h"
#include "gsruntime/gs_object.h"
#include "qel/pstring.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

class GSOStringTable : public GSRuntime::GSObject {
 public:
  static constexpr u32 kParamCount = 10;

  // A new table in `owner` over the configuration soup of the asset object `asset` (which it
  // keeps a count on; null for none); its instance's reference, counted for the caller, or 0.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner, GSRuntime::GSObject* asset,
                                 const Soup& config);
  ~GSOStringTable() override;

  // The text of `name` (lower-cased first) from the tables, else from the interface text's
  // scenario texts, with the parameters put in.
  std::string GetString(const Qel::PString& name) const;
  // Replaces "$d" by parameter d and "$$" by "$", from the start; a parameter's own text is
  // never expanded again.
  static std::string Substitute(std::string text, const Qel::PString (&params)[kParamCount]);

  void GetLanguage(GSRuntime::GSStack* stack);
  void ClearParams(GSRuntime::GSStack* stack);
  void SetParam(GSRuntime::GSStack* stack);
  void GetString(GSRuntime::GSStack* stack);

 private:
  GSOStringTable(GSRuntime::GSHandle asset, const Soup& config);

  GSRuntime::GSHandle owner_;  // counted
  Soup languageTable_;         // empty while the language's key is the default table's
  Soup defaultTable_;
  Qel::PString params_[kParamCount];
};
