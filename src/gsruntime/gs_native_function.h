// A native function that scripts call: the host code bound to a script method by its class name
// and signature text. Natives register with the machine once and live until it shuts down.
#pragma once

#include "gscommon/double_link_list.h"
#include "gsruntime/script_arena.h"
#include "qel/pstring.h"

namespace GSRuntime {

class GSStack;

class GSNativeFunction : public Utils::IDoubleLinkListNode {
 public:
  GSNativeFunction(Qel::PString className, Qel::PString signature)
      : className_(std::move(className)), signature_(std::move(signature)) {}
  ~GSNativeFunction() override = default;

  // Runs the native for the object (a script reference) with its arguments on the stack; false
  // when it cannot run, which ends the calling thread.
  virtual bool Call(GSHandle object, GSStack* stack) = 0;

  const Qel::PString& ClassName() const { return className_; }
  const Qel::PString& Signature() const { return signature_; }

 private:
  Qel::PString className_;  // interned, so binding compares handles
  Qel::PString signature_;
};

// The kind bound to a plain function. A native whose body a later part of the runtime supplies
// is registered with a null function: it binds by signature, and a call fails.
class GSCNativeFunction : public GSNativeFunction {
 public:
  using Function = bool (*)(GSHandle object, GSStack* stack);

  GSCNativeFunction(Qel::PString className, Qel::PString signature, Function function)
      : GSNativeFunction(std::move(className), std::move(signature)), function_(function) {}

  bool Call(GSHandle object, GSStack* stack) override {
    return function_ != nullptr && function_(object, stack);
  }

 private:
  Function function_;
};

}  // namespace GSRuntime
