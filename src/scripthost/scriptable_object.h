// A game object whose behaviour is a script class an asset chooses: the class of the asset's own
// script library, or one compiled on the spot from a few lines of source the object carries. It
// is bound to its script instance in the delayed stages of its context's manager: stage 2 binds
// the instance, stage 3 calls the script's Init(Asset) and applies pending properties. It issues
// and checks security tokens as its asset (the token natives of "KestroGameObject").
#pragma once

#include "assetdata/soup.h"
#include "gsruntime/gs_game_object.h"
#include "qel/string.h"
#include "scripthost/delayed_init.h"
#include "scripthost/security_token.h"

class KestroScriptSpec;
class TStream;

// An object that carries script source.
class ScriptSource {
 public:
  virtual ~ScriptSource() = default;
  virtual Qel::String GetSource() const { return Qel::String(); }
  virtual void SetSource(const Qel::String& /*text*/) {}
  virtual void SaveSource(TStream& /*stream*/) const {}
  virtual void LoadSource(TStream& /*stream*/) {}
};

class ScriptableObject : public GSRuntime::GSGameObject,
                         public TokenIssuer,
                         public DelayedInitClient,
                         public ScriptSource {
 public:
  // The unit and class an own source is compiled as.
  static constexpr const char* kTempUnit = "temp_object.gs";
  static constexpr const char* kCustomClass = "CustomObject";

  // Queued with the manager (may be null) until its stages have run.
  ScriptableObject(GSRuntime::GSContext* owner, DelayedInitManager* manager);
  ~ScriptableObject() override;

  // The own source's class when there is an own source, else the asset's.
  virtual GSRuntime::GSClass* GetScriptClass();
  virtual bool AcceptScriptClass(GSRuntime::GSClass* cls) { return cls != nullptr; }
  virtual KestroScriptSpec* GetSpec() const = 0;

  // Tokens are issued in the name of an asset: an object without one issues none.
  bool MayIssueTokens() const override { return GetSpec() != nullptr; }

  void InitStage2() override;
  void InitStage3() override;

  // The own text, else a wrapper that declares "CustomObject" on the asset's class.
  Qel::String GetSource() const override;
  // Blanks alone clear the source. A new source re-initialises an object whose stage 3 has run.
  void SetSource(const Qel::String& text) override;
  void SaveSource(TStream& stream) const override;
  void LoadSource(TStream& stream) override;

  bool InitFailed() const { return initFailed_; }
  GSRuntime::GSContext* Owner() const { return owner_; }
  // The wrapper source for a class and script file name (either may be empty).
  static Qel::String WrapperSource(const Qel::PString& baseClass, const Qel::PString& scriptFile);
  // Compiles source text as the unit "temp_object.gs" into the cache, as a library named by its
  // ids, and gives its class "CustomObject"; null when it cannot be had. `assetFolder` (under the
  // root named `rootName`) comes first on the include list.
  static GSRuntime::GSClass* CompileOwnSource(const Qel::String& text,
                                              const Qel::String& assetFolder,
                                              const Qel::PString& rootName);
  // The list that holds the object ends it, not its script's last reference.
  void LastReferenceGone() override {}

 protected:
  // Calls "$void@PropertyObject::SetProperties(Soup)" with the soup; false when the call fails.
  bool CallSetProperties(const Soup& properties);
  void Reinitialise();

  bool initFailed_ = false;
  bool propertiesPending_ = false;
  Soup pendingProperties_;

 private:
  void StoreSource(const Qel::String& text);

  GSRuntime::GSContext* owner_;
  DelayedInitManager* manager_;
  Qel::String source_;
};
