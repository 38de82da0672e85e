// "Signal.gsl": a trackside object that shows a state to drivers.
include "Trackside.gs"

game class Signal isclass Trackside {
  public define int STOP = 0;
  public define int CAUTION = 1;
  public define int PROCEED = 2;
};
