// "Library.gsl": an asset's shared service object, run once per script context; it may call a
// native plug-in by name and owns the library's online access.
include "KestroGameObject.gs"
include "OnlineAccess.gs"
include "Menu.gs"

game class Library isclass KestroGameObject {
  public native OnlineAccess GetOnlineAccess();
  public native string LibraryCallNative(string function, string[] stringParams,
                                         GSObject[] objectParams);
  public native void AddSystemMenuIcon(Asset icon, string tooltip, string text);
  public native void AddSystemMenuIcon(Asset icon, string tooltip, string text, bool show);
  public native void BlinkSystemMenuIcon(int count);
  public native void RemoveSystemMenuIcon();
  public native void ShowSystemMenuIconMenu(Menu menu);
  public native void HideSystemMenuIconMenu();
};
