#include "nativeinterface/kestro_native_interface.h"

#include <atomic>
#include <new>
#include <string>
#include <vector>

// One layout for every object; the class says which fields are in use. Counts are atomic: a
// plug-in may hand objects to threads of its own.
struct QMIObject {
  explicit QMIObject(int c) : cls(c) {}
  int cls;
  std::atomic<long> refs{1};
  std::string text;                     // string
  std::vector<QMIObject*> elements;     // array
  const QMIPluginClass* plugin = nullptr;  // plug-in
  void* state = nullptr;
  QMIObject* handles[2] = {nullptr, nullptr};  // block
};

namespace {

QMIObject* Make(int cls) { return new (std::nothrow) QMIObject(cls); }

}  // namespace

extern "C" {

QMIObject* QMIAllocString(const char* text) {
  QMIObject* object = Make(kQMIClassString);
  if (object != nullptr && text != nullptr) object->text = text;
  return object;
}

QMIObject* QMIAllocArray(size_t count) {
  QMIObject* object = Make(kQMIClassArray);
  if (object != nullptr) object->elements.assign(count, nullptr);
  return object;
}

QMIObject* QMIAllocPlugin(const QMIPluginClass* cls, void* state) {
  if (cls == nullptr || cls->call == nullptr) return nullptr;
  QMIObject* object = Make(kQMIClassPlugin);
  if (object != nullptr) {
    object->plugin = cls;
    object->state = state;
  }
  return object;
}

QMIObject* QMIAllocBlock(void) { return Make(kQMIClassBlock); }

void QMIAddRef(QMIObject* object) {
  if (object != nullptr) object->refs.fetch_add(1, std::memory_order_relaxed);
}

void QMIRelease(QMIObject* object) {
  if (object == nullptr || object->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (QMIObject* element : object->elements) QMIRelease(element);
  for (QMIObject* handle : object->handles) QMIRelease(handle);
  if (object->plugin != nullptr && object->plugin->destroy != nullptr) {
    object->plugin->destroy(object->state);
  }
  delete object;
}

int QMIGetObjectClass(const QMIObject* object) {
  return object != nullptr ? object->cls : kQMIClassNone;
}

const char* QMIGetStringText(const QMIObject* object) {
  return object != nullptr && object->cls == kQMIClassString ? object->text.c_str() : nullptr;
}

int QMISetArrayElement(QMIObject* array, size_t index, QMIObject* element) {
  if (array == nullptr || array->cls != kQMIClassArray || index >= array->elements.size()) {
    return 0;
  }
  QMIAddRef(element);
  QMIRelease(array->elements[index]);
  array->elements[index] = element;
  return 1;
}

size_t QMIGetArraySize(const QMIObject* array) {
  return array != nullptr && array->cls == kQMIClassArray ? array->elements.size() : 0;
}

QMIObject* QMIGetArrayElement(const QMIObject* array, size_t index) {
  return index < QMIGetArraySize(array) ? array->elements[index] : nullptr;
}

QMIObject* QMICallLibraryFunction(QMIObject* plugin, QMIObject* name, QMIObject* args) {
  const char* text = QMIGetStringText(name);
  if (plugin == nullptr || plugin->cls != kQMIClassPlugin || text == nullptr) return nullptr;
  return plugin->plugin->call(plugin->state, text, args);
}

int QMISetBlockHandle(QMIObject* block, int slot, QMIObject* handle) {
  if (block == nullptr || block->cls != kQMIClassBlock || slot < 0 || slot > 1) return 0;
  QMIRelease(block->handles[slot]);
  block->handles[slot] = handle;
  return 1;
}

QMIObject* QMITakeBlockHandle(QMIObject* block, int slot) {
  if (block == nullptr || block->cls != kQMIClassBlock || slot < 0 || slot > 1) return nullptr;
  QMIObject* handle = block->handles[slot];
  block->handles[slot] = nullptr;
  return handle;
}

}  // extern "C"
