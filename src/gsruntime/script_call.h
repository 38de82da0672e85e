// Running script code from native code: a script method called by its signature (virtual
// dispatch, thread functions started as threads), class field initialisers run on the machine's
// static thread, and a holder of one object in a context of its own for programs that drive a
// script class from outside (tools, benchmarks, tests).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gsruntime/script_arena.h"
#include "qel/types.h"

namespace GSRuntime {

class GSContext;
class GSObject;
struct GSClass;
struct GSFunction;

// Calls the method with signature text `signature` on the instance that `reference` points
// into, with `arguments` (one word each, references counted by the caller and moved into the
// call). An override in the instance's class runs in place of the one found. A value method
// stores its result word in `result` when given (a reference result is counted for the caller).
// A thread function is started on the instance's game object and returns at once. False when
// the method is missing, cannot start or its run does not end normally; the static thread is
// then as it was.
bool CallScriptMethod(ScriptRef reference, const std::string& signature, u32* result,
                      const std::vector<u32>& arguments);

// Runs a class's field initialiser with `view` as `me` on the static thread; true when it ended
// done. The machine installs it as the instances' field-initialiser hook.
bool RunFieldInitialiser(GSFunction& initialiser, ScriptRef view);

// An argument as a caller outside scripts gives it.
struct ScriptArgument {
  enum class Kind { kInt, kFloat, kString, kNullString };
  Kind kind = Kind::kInt;
  i32 intValue = 0;
  f32 floatValue = 0;
  std::string text;

  static ScriptArgument Int(i32 value) { return {Kind::kInt, value, 0, {}}; }
  static ScriptArgument Float(f32 value) { return {Kind::kFloat, 0, value, {}}; }
  static ScriptArgument NullString() { return {Kind::kNullString, 0, 0, {}}; }
  static ScriptArgument String(std::string value) {
    return {Kind::kString, 0, 0, std::move(value)};
  }
  // The type name a signature text gives this argument.
  const char* TypeName() const;
};

// One object of a script class, bound in a context of its own with a running message router;
// an object of a class derived from "GameObject" is a game object registered with it. The
// context comes from the holder's factory: a host's own context class, whose context natives the
// object's scripts then reach, or a plain GSContext without one.
class ScriptObjectHolder {
 public:
  using ContextFactory = std::unique_ptr<GSContext> (*)();

  ScriptObjectHolder();
  explicit ScriptObjectHolder(ContextFactory factory);
  ~ScriptObjectHolder();
  ScriptObjectHolder(const ScriptObjectHolder&) = delete;
  ScriptObjectHolder& operator=(const ScriptObjectHolder&) = delete;

  // Constructs an instance of `cls` (its field initialisers run); false when it cannot be made.
  bool Create(GSClass* cls);
  // Releases the object and ends the context, freeing everything made in it.
  void Destroy();

  // The public method named `name` (own class first, then the bases) whose parameters take the
  // arguments' types; null when there is none.
  const GSFunction* FindPublicMethod(const std::string& name,
                                     const std::vector<ScriptArgument>& arguments) const;
  // Calls `function` with the arguments (strings become new script strings); the result word
  // goes to `result` (a reference counted for the caller). False when the call fails.
  bool Call(const GSFunction* function, const std::vector<ScriptArgument>& arguments, u32* result);
  // FindPublicMethod, then Call, for an int result.
  bool Call(const std::string& name, const std::vector<ScriptArgument>& arguments, i32* result);

  GSContext* Context() const { return context_.get(); }
  ScriptRef Reference() const;

 private:
  ContextFactory factory_ = nullptr;
  std::unique_ptr<GSContext> context_;
  GSObject* object_ = nullptr;
};

}  // namespace GSRuntime
