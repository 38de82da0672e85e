#include "scripthost/constructors_base.h"

#include "scripthost/gso_image.h"
#include "scripthost/gso_kuid_list.h"
#include "scripthost/gso_soup.h"
#include "scripthost/native_binding.h"

namespace ConstructorsBase {

bool NewSoup(GSRuntime::GSHandle object, GSRuntime::GSStack* stack) {
  return GSRuntime::PushCounted(stack,
                                GSOSoup::New(GSRuntime::CallingContext(object), Soup(), false));
}

bool NewKUIDList(GSRuntime::GSHandle object, GSRuntime::GSStack* stack) {
  return GSRuntime::PushCounted(stack, GSOKUIDList::New(GSRuntime::CallingContext(object)));
}

bool NewImage(GSRuntime::GSHandle object, GSRuntime::GSStack* stack) {
  return GSRuntime::PushCounted(stack, GSOImage::New(GSRuntime::CallingContext(object)));
}

}  // namespace ConstructorsBase
