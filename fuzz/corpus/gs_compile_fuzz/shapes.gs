// A base class with fields, initialisers and methods that a derived class overrides.
class Shape {
  public int sides = 3;
  public string label = "shape";
  float scale = 1.5;
  public define int MaxSides = 12;

  public int Sides() { return sides; }
  public string Name() { return label + ":" + sides; }
  public void Grow(float by) { scale = scale * by; }
};

class Square isclass Shape {
  int[] corners;
  public int Sides() { return 4; }
  public int Area(int side) { return side * side; }
  public void Reset() {
    corners = new int[4];
    corners[0] = Area(2);
    label = Name();
  }
};
