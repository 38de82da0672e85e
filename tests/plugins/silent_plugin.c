/* A test plug-in whose every function gives no result. */
#include <stddef.h>

#include "nativeinterface/kestro_native_interface.h"

static QMIObject* SilentCall(void* state, const char* name, QMIObject* args) {
  (void)state;
  (void)name;
  (void)args;
  return NULL;
}

static const QMIPluginClass kSilentClass = {SilentCall, NULL};

QMI_EXPORT QMIObject* QMIEntryPoint(QMIObject* block) {
  (void)block;
  return QMIAllocPlugin(&kSilentClass, NULL);
}
