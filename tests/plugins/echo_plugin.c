/* A test plug-in: "Echo" answers its first argument, "Count" the number of "Init" calls it saw,
 * "Number" an array (a result that is not a string). */
#include <stdio.h>
#include <stdlib.h>

#include "nativeinterface/kestro_native_interface.h"

typedef struct EchoState {
  int inits;
} EchoState;

static QMIObject* EchoCall(void* state, const char* name, QMIObject* args) {
  EchoState* echo = (EchoState*)state;
  char text[32];
  if (name[0] == 'I' && name[1] == 'n' && name[2] == 'i' && name[3] == 't' && name[4] == 0) {
    echo->inits++;
    return NULL;
  }
  switch (name[0]) {
    case 'E':
      return QMIAllocString(QMIGetStringText(QMIGetArrayElement(args, 0)));
    case 'C':
      snprintf(text, sizeof text, "%d", echo->inits);
      return QMIAllocString(text);
    case 'N':
      return QMIAllocArray(2);
    default:
      return NULL;
  }
}

static void EchoDestroy(void* state) { free(state); }

static const QMIPluginClass kEchoClass = {EchoCall, EchoDestroy};

QMI_EXPORT QMIObject* QMIEntryPoint(QMIObject* block) {
  EchoState* state;
  if (QMIGetObjectClass(block) != kQMIClassBlock) return NULL;
  state = (EchoState*)calloc(1, sizeof *state);
  return state != NULL ? QMIAllocPlugin(&kEchoClass, state) : NULL;
}
