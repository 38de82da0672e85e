// "asset.gsl": an installed asset as scripts see it: its identity, texts, configuration,
// dependencies and files.
include "Soup.gs"
include "KUIDList.gs"
include "StringTable.gs"
include "Image.gs"

final class Asset isclass GSObject {
  public native KUID GetKUID();
  public native string GetLocalisedName();
  public native string GetLocalisedDescription();
  public native string GetCreatorName();
  public native KUID LookupKUIDTable(string name);
  public native Asset FindAsset(string name);
  public native StringTable GetStringTable();
  public native Soup GetConfigSoup();
  public native KUIDList GetDependencyList();
  public native bool SupportsKestroBuildVersion(float build);
  public native Image LoadImage(string file);
  public native bool IsLocallyModified();
  public native string GetInfoURL();
  public native bool GetIsFavorite();
  public native void SetIsFavorite(bool favorite);
  public native Asset GetParent();
  public native string GetCategoryEra();
  public native string GetCategoryRegion();
  public native Soup GetSessionRuleData(string name);
  public native bool IsBuiltIn();
  public native bool IsOnTheVantry();
};
