/* A test plug-in whose entry point refuses every load. */
#include <stddef.h>

#include "nativeinterface/kestro_native_interface.h"

QMI_EXPORT QMIObject* QMIEntryPoint(QMIObject* block) {
  (void)block;
  return NULL;
}
