// "worldcoordinate.gsl": a place in the world, as a baseboard and an offset on it.

class WorldCoordinate {
  public int baseboardX;
  public int baseboardY;
  public float x;
  public float y;
  public float z;
};
