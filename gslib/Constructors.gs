// "Constructors.gsl": empty native objects made in the calling script's context.
include "Soup.gs"
include "KUIDList.gs"
include "Image.gs"

static class ConstructorsBase {
  public native Soup NewSoup();
  public native KUIDList NewKUIDList();
  public native Image NewImage();
};
