// The typed bindings of native script methods: a native is a member function of its native
// object's class (or of its script context's class) taking the stack, and the binding finds that
// object for the call. Arguments are read and results pushed with gsruntime/native_params.h.
#pragma once

#include <string>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/native_params.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

// A native that runs as a member function of the object `Receiver` finds for the call's
// receiver. When it finds none (an object of another class), the handler does not run and the
// call fails: the thread stops with ER_NativeCallError.
template <class T, T* (*Receiver)(GSHandle object)>
class GSMemberNativeFunction : public GSNativeFunction {
 public:
  using Handler = void (T::*)(GSStack* stack);

  GSMemberNativeFunction(Qel::PString className, Qel::PString signature, Handler handler)
      : GSNativeFunction(std::move(className), std::move(signature)), handler_(handler) {}

  bool Call(GSHandle object, GSStack* stack) override {
    T* receiver = Receiver(object);
    if (receiver == nullptr) return false;
    (receiver->*handler_)(stack);
    // A result that found no room fails the call as the overflow it is.
    return !stack->Overflowed();
  }

 private:
  Handler handler_;
};

template <class T>
T* NativeObjectAs(GSHandle object) {
  return dynamic_cast<T*>(GSObjectReference::FromReference(object));
}
template <class T>
T* OwningContextAs(GSHandle object) {
  return dynamic_cast<T*>(ObjectBridge::ContextOf(object));
}

// A native of the class T of the receiver's native object.
template <class T>
using GSCPPNativeFunction = GSMemberNativeFunction<T, NativeObjectAs<T>>;
// A native run as a member of the script context (of class T) that owns the receiver.
template <class T>
using GSCPPContextNativeFunction = GSMemberNativeFunction<T, OwningContextAs<T>>;

// A native whose body is still to come: it binds, so that libraries declaring it link, and a
// call raises "<Class>.<Method>> not implemented", which ends the calling thread.
class GSUnbuiltNativeFunction : public GSNativeFunction {
 public:
  GSUnbuiltNativeFunction(Qel::PString className, Qel::PString signature);
  bool Call(GSHandle object, GSStack* stack) override;

 private:
  std::string error_;
};

// One native of a class's table: its signature text and how its binding is made; a null `bind`
// is a native whose body is still to come (GSUnbuiltNativeFunction).
struct NativeEntry {
  const char* signature;
  GSNativeFunction* (*bind)(const Qel::PString& className, const Qel::PString& signature);
};
// The `bind` of a member native of T's native object, and of a plain function.
template <class T, void (T::*Handler)(GSStack*)>
GSNativeFunction* BindMember(const Qel::PString& className, const Qel::PString& signature) {
  return new GSCPPNativeFunction<T>(className, signature, Handler);
}
// The `bind` of a native run as a member of the calling object's context, of class T.
template <class T, void (T::*Handler)(GSStack*)>
GSNativeFunction* BindContext(const Qel::PString& className, const Qel::PString& signature) {
  return new GSCPPContextNativeFunction<T>(className, signature, Handler);
}
template <GSCNativeFunction::Function Function>
GSNativeFunction* BindPlain(const Qel::PString& className, const Qel::PString& signature) {
  return new GSCNativeFunction(className, signature, Function);
}

// The context a native makes its new objects in: the running script's, else the receiver's.
inline GSContext* CallingContext(const GSObject* receiver) {
  GSContext* current = CurrentContext();
  return current != nullptr || receiver == nullptr ? current : receiver->context;
}
// The same for a plain native, given the receiver's reference.
inline GSContext* CallingContext(GSHandle receiver) {
  GSContext* current = CurrentContext();
  return current != nullptr ? current : ObjectBridge::ContextOf(receiver);
}

template <class T>
void RegisterNative(GSMachine& machine, const char* className, const char* signature,
                    void (T::*handler)(GSStack*)) {
  machine.RegisterNative(new GSCPPNativeFunction<T>(className, signature, handler));
}
template <class T>
void RegisterContextNative(GSMachine& machine, const char* className, const char* signature,
                           void (T::*handler)(GSStack*)) {
  machine.RegisterNative(new GSCPPContextNativeFunction<T>(className, signature, handler));
}

}  // namespace GSRuntime
