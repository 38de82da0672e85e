// "OnlineAccess.gsl": a library's access to the online service: its connection, stored data,
// messages and groups.
include "OnlineGroup.gs"

final game class OnlineAccess isclass GameObject {
  public native void Connect();
  public native int GetStatus();
  public native void Disconnect();
  public native string GetUsername();
  public native int GetLocalData(string key, Soup data);
  public native int SetLocalData(string key, Soup data);
  public native int GetProfileData(string key, Soup data);
  public native int SetProfileData(string key, Soup data);
  public native int PostMessage(string user, Soup message);
  public native int CollectMessage(string user, Soup message);
  public native OnlineGroup CreateGroup(int flags);
  public native OnlineGroup OpenGroup(string cookie, int flags);
  public native int PostOfflineMessage(Soup message);
  public native int CollectOfflineMessage(Soup message);
  public native bool CanAccessMultiplayer();
};
