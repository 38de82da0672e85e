// Classes that another unit includes: a derived class whose base has a method and a field of its
// own, and a shape hierarchy to cast up to.
class XB {
  public int base;
  public int Base() { return 1; }
};

class XD isclass XB {
  public int count;
  public int Own() { return 2; }
};

class XShape {
  public int sides;
  public int Sides() { return sides; }
};

class XSquare isclass XShape {
  public int Area() { return 16; }
};
