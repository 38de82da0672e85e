// "PropertyObject.gsl": a game object whose settings the host saves and restores as a soup.
include "Soup.gs"

game class PropertyObject isclass GameObject {
  public void SetProperties(Soup soup) {}
  public Soup GetProperties() {
    return null;
  }
};
