#include "gsruntime/script_call.h"

#include <cstring>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_game_object.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

namespace {

constexpr u32 kThreadFunction = 0x10;
constexpr u32 kPublicFunction = 0x01;

// Pushes `me` and the arguments and enters the function; false (nothing taken) when the stack
// has no room.
bool EnterCall(GSStack& stack, const GSFunction& function, ScriptRef me,
               const std::vector<u32>& arguments) {
  u32* const top = stack.Top();
  bool pushed = stack.PushReference(me);
  for (size_t i = 0; pushed && i < arguments.size(); ++i) pushed = stack.PushWord(arguments[i]);
  if (pushed && stack.PushFrame(&function, 0)) return true;
  stack.SetTop(top);
  return false;
}

// The signature text's parameter list "(int,string)" of a function.
std::string ParameterList(const std::string& signature) {
  const size_t open = signature.find('(');
  return open == std::string::npos ? std::string() : signature.substr(open);
}

// "::Name(" of a signature text.
bool NameMatches(const std::string& signature, const std::string& name) {
  const size_t at = signature.find("::");
  return at != std::string::npos && signature.compare(at + 2, name.size(), name) == 0 &&
         signature.size() > at + 2 + name.size() && signature[at + 2 + name.size()] == '(';
}

// Runs the function at once on the machine's static thread, whose state is kept around the run;
// `me` and the arguments are counted for the call. True when the run ended done.
bool RunOnStaticThread(const GSFunction& function, ScriptRef me, const std::vector<u32>& arguments,
                       u32* result) {
  GSThread* thread = GSMachine::Instance().StaticThread();
  const GSThread::SavedState saved = thread->SaveState();
  if (!EnterCall(thread->Stack(), function, me, arguments)) {
    GSStack::DropCallWords(&function, me, arguments.data(), arguments.size());
    // No room for the frame: the call ends as a run that overflows would, reported at the depth
    // it would have run at.
    GSRunBudget& budget = GSMachine::Instance().RunBudget();
    ++budget.depth;
    thread->FailRun(kRunStackOverflow, -1, function.library->name.c_str());
    --budget.depth;
    thread->RestoreState(saved);
    return false;
  }
  thread->SetState(GSThread::kReady);
  const i32 code = thread->Execute(0);
  if (code == kRunDone && result != nullptr && function.record.header.returnType != 0) {
    *result = *thread->Stack().Top();
  }
  thread->RestoreState(saved);
  return code == kRunDone;
}

}  // namespace

bool CallScriptMethod(ScriptRef reference, const std::string& signature, u32* result,
                      const std::vector<u32>& arguments) {
  const ScriptRef instance = GSScriptInstance::InstanceOf(reference);
  GSClass* cls = GSScriptInstance::ClassOf(instance);
  if (cls == nullptr || cls->instanceWords == 0) return false;
  GSClass::MethodLocation where{};
  if (!cls->FindMethod(signature, &where)) return false;
  const GSFunction* function = &where.holder->functions[size_t(where.index)];
  ScriptRef me = ViewReference(instance, where.viewOffset);
  // Through the method table, so that an override runs; its `me` is its own class's view.
  if (function->record.header.slot >= 0 &&
      !ObjectBridge::ResolveMethod(me, u32(function->record.header.slot), &function, &me)) {
    return false;
  }
  if (function->record.header.argumentWords != arguments.size() + 1) return false;

  if ((function->record.header.flags & kThreadFunction) != 0) {
    GSThreadOwner* owner = ObjectBridge::GameObjectOf(me);
    GSThread* thread = owner != nullptr ? owner->StartThread() : nullptr;
    if (thread == nullptr) return false;
    ObjectBridge::AddReference(me);
    if (!EnterCall(thread->Stack(), *function, me, arguments)) {
      GSStack::DropCallWords(function, me, arguments.data(), arguments.size());
      thread->MarkDead();
      return false;
    }
    return true;
  }

  ObjectBridge::AddReference(me);
  return RunOnStaticThread(*function, me, arguments, result);
}

bool RunFieldInitialiser(GSFunction& initialiser, ScriptRef view) {
  ObjectBridge::AddReference(view);
  return RunOnStaticThread(initialiser, view, {}, nullptr);
}

const char* ScriptArgument::TypeName() const {
  switch (kind) {
    case Kind::kInt:
      return "int";
    case Kind::kFloat:
      return "float";
    case Kind::kString:
    case Kind::kNullString:
      return "string";
  }
  return "";
}

ScriptObjectHolder::ScriptObjectHolder() = default;
ScriptObjectHolder::ScriptObjectHolder(ContextFactory factory) : factory_(factory) {}
ScriptObjectHolder::~ScriptObjectHolder() { Destroy(); }

bool ScriptObjectHolder::Create(GSClass* cls) {
  Destroy();
  if (cls == nullptr) return false;
  context_ = factory_ != nullptr ? factory_() : std::make_unique<GSContext>();
  if (context_ == nullptr) return false;
  GSContext* const previous = CurrentContext();
  SetCurrentContext(context_.get());
  // A router of its own, so that game objects made in the context take messages and run threads.
  context_->router = new GSRouter();
  context_->router->Start();
  bool made = false;
  if (cls->IsA("GameObject")) {
    object_ = NewGameObject(cls, context_.get());
    made = object_ != nullptr;
  } else {
    object_ = new GSObject(kObjectNative);
    made = object_->BindScriptInstance(cls, context_.get());
    if (!made) {
      delete object_;
      object_ = nullptr;
    }
  }
  SetCurrentContext(previous);
  return made;
}

void ScriptObjectHolder::Destroy() {
  delete object_;
  object_ = nullptr;
  context_.reset();
}

ScriptRef ScriptObjectHolder::Reference() const {
  return object_ != nullptr ? object_->scriptInstance : 0;
}

const GSFunction* ScriptObjectHolder::FindPublicMethod(
    const std::string& name, const std::vector<ScriptArgument>& arguments) const {
  const GSClass* cls = object_ != nullptr ? object_->GetGSClass() : nullptr;
  if (cls == nullptr) return nullptr;
  std::string parameters = "(";
  for (size_t i = 0; i < arguments.size(); ++i) {
    parameters += (i == 0 ? "" : ",") + std::string(arguments[i].TypeName());
  }
  parameters += ")";
  // The class's own functions first, then each base's.
  std::vector<const GSClass*> classes{cls};
  for (size_t i = 0; i < cls->bases.size(); ++i) classes.push_back(cls->BaseClass(i));
  for (const GSClass* c : classes) {
    if (c == nullptr) continue;
    for (const GSFunction& f : c->functions) {
      if ((f.record.header.flags & kPublicFunction) != 0 && NameMatches(*f.name, name) &&
          ParameterList(*f.name) == parameters) {
        return &f;
      }
    }
  }
  return nullptr;
}

bool ScriptObjectHolder::Call(const GSFunction* function,
                              const std::vector<ScriptArgument>& arguments, u32* result) {
  if (function == nullptr || object_ == nullptr) return false;
  GSContext* const previous = CurrentContext();
  SetCurrentContext(context_.get());
  std::vector<u32> words;
  for (const ScriptArgument& argument : arguments) {
    switch (argument.kind) {
      case ScriptArgument::Kind::kInt:
        words.push_back(static_cast<u32>(argument.intValue));
        break;
      case ScriptArgument::Kind::kFloat: {
        u32 bits;
        std::memcpy(&bits, &argument.floatValue, sizeof bits);
        words.push_back(bits);
        break;
      }
      case ScriptArgument::Kind::kNullString:
        words.push_back(0);
        break;
      case ScriptArgument::Kind::kString:
        words.push_back(
            ObjectBridge::NewString(argument.text.data(), static_cast<u32>(argument.text.size())));
        break;
    }
  }
  const bool called = CallScriptMethod(object_->scriptInstance, *function->name, result, words);
  SetCurrentContext(previous);
  return called;
}

bool ScriptObjectHolder::Call(const std::string& name, const std::vector<ScriptArgument>& arguments,
                              i32* result) {
  u32 word = 0;
  if (!Call(FindPublicMethod(name, arguments), arguments, &word)) return false;
  *result = static_cast<i32>(word);
  return true;
}

}  // namespace GSRuntime
