// Classes of an included unit: their methods and fields sit where their own library puts them,
// they cast up to their bases, and a game object reached through Router is a GSObject.
include "gs.gs"
include "xbase.gs"

class User {
  public int Run() {
    XD d = new XD();
    d.count = 40;
    d.base = 500;
    XShape s = new XSquare();
    s.sides = 4;
    GSObject o = Router.GetGameObject(1);
    return d.Own() * 1000 + d.base + d.count + d.Base() + s.Sides();
  }
};
