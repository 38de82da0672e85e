// "KUIDList.gsl": an ordered list of distinct KUIDs; a locked list refuses every change.
include "kuid.gs"

final class KUIDList isclass GSObject {
  public native int CountKUIDs();
  public native void AddKUID(KUID kuid);
  public native void RemoveKUID(KUID kuid);
  public native bool HasKUID(KUID kuid);
  public native KUID GetIndexedKUID(int index);
  public native void Copy(KUIDList source);
  public native void Clear();
  public native bool IsLocked();
};
