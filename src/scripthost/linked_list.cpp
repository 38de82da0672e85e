#include "scripthost/linked_list.h"

#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "gsruntime/gs_array.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/native_params.h"
#include "gsruntime/object_bridge.h"

namespace LinkedList {

namespace {

using GSRuntime::GSArray;
using GSRuntime::GSClass;
using GSRuntime::GSHandle;
using GSRuntime::GSScriptInstance;

struct Record {
  std::string_view name;  // empty for a null or empty string
  i32 number = 0;
  GSHandle object = 0;
};

// Reads records, remembering each class's "LinkedData" view and member words.
class RecordReader {
 public:
  // {empty name, 0, null} for a null element or one that is no LinkedData.
  Record Read(GSHandle element) {
    Record record;
    const GSRuntime::ScriptRef instance = GSScriptInstance::InstanceOf(element);
    const Layout& layout = LayoutOf(GSScriptInstance::ClassOf(instance));
    if (layout.linkedData == nullptr || layout.slots.size() < 3) return record;
    const GSHandle view = GSScriptInstance::CastToClass(instance, layout.linkedData);
    const u32* name = GSRuntime::ObjectBridge::FieldOf(view, layout.slots[0]);
    const u32* number = GSRuntime::ObjectBridge::FieldOf(view, layout.slots[1]);
    const u32* object = GSRuntime::ObjectBridge::FieldOf(view, layout.slots[2]);
    if (name == nullptr || number == nullptr || object == nullptr) return record;
    if (const GSRuntime::GSString* text = GSRuntime::GSString::FromReference(*name)) {
      record.name = text->View();
    }
    record.number = i32(*number);
    record.object = *object;
    return record;
  }

 private:
  struct Layout {
    GSClass* linkedData = nullptr;
    std::vector<u32> slots;
  };

  const Layout& LayoutOf(GSClass* cls) {
    auto [found, made] = layouts_.try_emplace(cls);
    if (made && cls != nullptr) {
      GSClass* linkedData = *cls->name == "LinkedData" ? cls : nullptr;
      for (size_t i = cls->bases.size(); linkedData == nullptr && i-- > 0;) {
        GSClass* base = cls->BaseClass(i);
        if (base != nullptr && *base->name == "LinkedData") linkedData = base;
      }
      if (linkedData != nullptr) found->second = {linkedData, linkedData->FieldSlots()};
    }
    return found->second;
  }

  std::map<GSClass*, Layout> layouts_;
};

// The array parameter, holding references; false (the parameter error raised) when it is none.
bool RecordArray(GSRuntime::GSStack* stack, GSArray** array) {
  if (!GSRuntime::GetParam(stack, 1, array, false)) return false;
  return (*array)->holdsReferences != 0;
}

// The engine's string comparison (Qel::AnsiString::Compare): bytes, as unsigned, then length.
i32 CompareNames(std::string_view a, std::string_view b) { return a.compare(b); }

}  // namespace

bool SortInternal(GSHandle, GSRuntime::GSStack* stack) {
  GSArray* array = nullptr;
  if (!RecordArray(stack, &array)) return true;
  RecordReader reader;
  std::vector<std::pair<std::string_view, u32>> entries;
  entries.reserve(size_t(array->size));
  for (i32 i = 0; i < array->size; ++i) {
    entries.emplace_back(reader.Read(array->elements[i]).name, array->elements[i]);
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    size_t smallest = i;
    for (size_t j = i + 1; j < entries.size(); ++j) {
      if (CompareNames(entries[j].first, entries[smallest].first) < 0) smallest = j;
    }
    if (smallest != i) std::swap(entries[i], entries[smallest]);
  }
  // The same references in a new order: no count changes.
  for (size_t i = 0; i < entries.size(); ++i) array->elements[i] = entries[i].second;
  return true;
}

bool AddInternal(GSHandle, GSRuntime::GSStack* stack) {
  GSArray* array = nullptr;
  if (!RecordArray(stack, &array)) return true;
  const GSHandle added = GSRuntime::ParamWord(stack, 2);
  if (added == 0) return true;
  if (GSRuntime::BoolParam(stack, 3)) {
    RecordReader reader;
    const Record wanted = reader.Read(added);
    for (i32 i = 0; i < array->size; ++i) {
      const Record present = reader.Read(array->elements[i]);
      if (CompareNames(present.name, wanted.name) == 0 && present.number == wanted.number &&
          (present.object == wanted.object ||
           GSRuntime::ObjectBridge::SameObject(present.object, wanted.object))) {
        return true;
      }
    }
  }
  GSRuntime::ObjectBridge::AddReference(added);
  array->SetElement(array->size, added);
  return true;
}

}  // namespace LinkedList
