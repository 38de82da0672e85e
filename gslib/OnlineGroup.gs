// "OnlineGroup.gsl": a named set of users on the online service who see each other's status and
// exchange soups.
include "Soup.gs"

final game class OnlineGroup isclass GameObject {
  public native void Connect();
  public native int GetStatus();
  public native void Disconnect();
  public native string GetOnlineGroupCookie();
  public native void AddUser(string user);
  public native void RemoveUser(string user);
  public native int CountUsers();
  public native string GetIndexedUser(int index);
  public native int FindUser(string user);
  public native int GetUserStatus(int index);
  public native int PostMessage(Soup message);
  public native int CollectMessage(string user, Soup message);
  public native void SetModeFlags(int mask, int flags);
  public native void SetUserModeFlags(string user, int mask, int flags);
  public native int GetUserModeFlags(string user);
};
