#include "gsruntime/object_bridge.h"

#include "gsruntime/gs_thread.h"

namespace GSRuntime::ObjectBridge {

void AddReference(GSHandle) {}
void ReleaseReference(GSHandle) {}
void* ContextOf(GSHandle) { return nullptr; }
GSThreadOwner* GameObjectOf(GSHandle) { return nullptr; }
bool ResolveMethod(GSHandle, u32, const GSFunction**, GSHandle*) { return false; }
u32* FieldOf(GSHandle, u32) { return nullptr; }
void StoreReferenceField(GSHandle, u32*, GSHandle) {}
bool SameObject(GSHandle a, GSHandle b) { return a == b; }
bool IsClass(GSHandle, const GSClass*) { return false; }
GSHandle CastTo(GSHandle, const GSClass*) { return 0; }
GSHandle NewInstance(const GSClass*) { return 0; }
GSHandle StaticInstance(const GSClass*) { return 0; }
i32 NewArray(i32, bool, GSHandle*) { return kRunArrayOutOfBounds; }
i32 ArraySize(GSHandle, i32*) { return kRunNullArrayReference; }
i32 ArrayCopy(GSHandle, GSHandle*) { return kRunNullArrayReference; }
i32 ArrayGet(GSHandle, i32, u32*) { return kRunNullArrayReference; }
i32 ArraySet(GSHandle, i32, u32) { return kRunNullArrayReference; }
i32 ArrayRange(GSHandle, i32, i32, GSHandle*) { return kRunNullArrayReference; }
i32 ArrayReplaceRange(GSHandle, i32, i32, GSHandle) { return kRunNullArrayReference; }
GSHandle NewString(const char*, u32) { return 0; }
i32 StringSize(GSHandle, i32*) { return kRunNullStringReference; }
i32 StringGet(GSHandle, i32, i32*) { return kRunNullStringReference; }
i32 StringSet(GSHandle, i32, i32) { return kRunNullStringReference; }
i32 StringRange(GSHandle, i32, i32, GSHandle*) { return kRunNullStringReference; }
i32 StringReplaceRange(GSHandle, i32, i32, GSHandle) { return kRunNullStringReference; }
i32 CompareStrings(GSHandle, GSHandle) { return 0; }
GSHandle Concatenate(GSHandle, GSHandle) { return 0; }

}  // namespace GSRuntime::ObjectBridge
