// "StringTable.gsl": an asset's localisable strings, with ten numbered parameters.
include "gs.gs"

final class StringTable isclass GSObject {
  public native string GetLanguage();
  public native void ClearParams();
  public native void SetParam(int index, string value);
  public native string GetString(string name);
};
