// "KestroScriptBase.gsl": the host's services to scripts: clock and calendar, logging, asset
// searches, libraries and a host system call.
include "Library.gs"

static class KestroScriptBase {
  public native float GetSeconds();
  public native float GetNormalizedSystemTime();
  public native int GetSystemYear();
  public native int GetSystemMonth();
  public native int GetSystemDate();
  public native int GetSystemHour();
  public native int GetSystemMinute();
  public native int GetSystemSecond();
  public native Library GetLibrary(KUID kuid);
  public native Asset FindAsset(KUID kuid);
  public native Asset[] GetAssetList(string category);
  public native Asset[] GetAssetList(string kind, string category);
  public native KUID[] SearchAssets(string category, bool local);
  public native Asset[] FindUpdatedAssets();
  public native Soup KestroSystemCall(string name, Soup parameters);
  public native bool OpenURL(string url);
  public native int QueryVantryAccess();
  public native void Log(string text);
  public native float GetKestroVersion();
  public native int GetKestroBuild();
  public native KUID CloneKUID(KUID kuid);
};
