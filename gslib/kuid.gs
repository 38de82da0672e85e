// "kuid.gsl": an asset identifier. The host makes KUID objects; every distinct value has one.
include "gs.gs"

final class KUID isclass GSObject {
  public native string GetName();
  public native string GetHTMLString();
  public native string GetLogString();
  public native string GetBaseString();
  public native KUID GetBaseKUID();
};
