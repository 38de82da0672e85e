// "Menu.gsl": a menu of items a script shows beside a library's icon.
include "gs.gs"

class Menu isclass GSObject {
  public string[] items;
};
