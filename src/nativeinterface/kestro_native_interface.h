/* The native-interface library: the C ABI between the script host and native plug-ins.
 *
 * Every value that crosses the boundary is a counted object of this library (a string, an array,
 * a plug-in handle or the host's interface block). Objects are made here and freed here, so a
 * string or array stays valid after the plug-in that made it is released, and neither side ever
 * frees the other's memory. Each Alloc gives one reference; QMIRelease drops one.
 *
 * A plug-in is a shared module ROOT/bin/plugins/<name>.so exporting
 *     QMIObject* QMIEntryPoint(QMIObject* block);
 * It returns a handle made by QMIAllocPlugin (null refuses the load). The host then calls the
 * plug-in's functions by name through QMICallLibraryFunction, first "Init". */
#ifndef KESTRO_NATIVE_INTERFACE_H
#define KESTRO_NATIVE_INTERFACE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMI_EXPORT __attribute__((visibility("default")))

typedef struct QMIObject QMIObject;

/* What QMIGetObjectClass answers. */
enum {
  kQMIClassNone = 0, /* a null object */
  kQMIClassString = 1,
  kQMIClassArray = 2,
  kQMIClassPlugin = 3,
  kQMIClassBlock = 4
};

/* A plug-in's functions. `call` gets the function's name and its argument (an array of strings
 * from the host, or null) and returns a new object it hands over (or null for no result); it
 * must not release `args`. `destroy` runs when the handle's last reference goes. */
typedef struct QMIPluginClass {
  QMIObject* (*call)(void* state, const char* name, QMIObject* args);
  void (*destroy)(void* state);
} QMIPluginClass;

/* The plug-in's entry point, exported under this name. */
typedef QMIObject* (*QMIEntryPointFunction)(QMIObject* block);

/* Objects. */
QMI_EXPORT QMIObject* QMIAllocString(const char* text);
QMI_EXPORT QMIObject* QMIAllocArray(size_t count);
QMI_EXPORT QMIObject* QMIAllocPlugin(const QMIPluginClass* cls, void* state);
QMI_EXPORT QMIObject* QMIAllocBlock(void);
QMI_EXPORT void QMIAddRef(QMIObject* object);
QMI_EXPORT void QMIRelease(QMIObject* object); /* null is ignored */
QMI_EXPORT int QMIGetObjectClass(const QMIObject* object);

/* A string's text, or null when the object is not a string. Valid while the object lives. */
QMI_EXPORT const char* QMIGetStringText(const QMIObject* object);

/* Arrays: the array takes its own reference to the element (null clears the slot). Setting out
 * of range or on a non-array returns 0; success returns 1. */
QMI_EXPORT int QMISetArrayElement(QMIObject* array, size_t index, QMIObject* element);
QMI_EXPORT size_t QMIGetArraySize(const QMIObject* array);
/* A borrowed element, or null. */
QMI_EXPORT QMIObject* QMIGetArrayElement(const QMIObject* array, size_t index);

/* Calls a plug-in function: `name` is a string object, `args` an object or null. Gives the
 * plug-in's result (the caller releases it), or null when the handle is not a plug-in or the
 * function gave nothing. */
QMI_EXPORT QMIObject* QMICallLibraryFunction(QMIObject* plugin, QMIObject* name, QMIObject* args);

/* The interface block holds two further interface handles (slots 0 and 1) that its owner
 * releases before the block itself. Set takes over the caller's reference (releasing what the
 * slot held); Take gives the slot's reference back and clears the slot. */
QMI_EXPORT int QMISetBlockHandle(QMIObject* block, int slot, QMIObject* handle);
QMI_EXPORT QMIObject* QMITakeBlockHandle(QMIObject* block, int slot);

#ifdef __cplusplus
}
#endif

#endif
