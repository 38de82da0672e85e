// "SecurityToken.gsl": rights that game objects grant to assets; KestroGameObject issues and
// checks them.
include "gs.gs"

final class SecurityToken isclass GSObject {
  public native bool IsOwnerLocallyModified();
};
