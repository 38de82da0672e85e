class Base {
  public int Area() { return 0; }
};
class Box isclass Base {
  int w = 5;
  public int Area() { return w * w; }
  int IfElse(int a) {
    int r;
    if (a > 0) r = 1;
    else r = 2;
    return r;
  }
  int Loop(int n) {
    int i, t;
    for (i = 0; i < n; ++i) {
      if (i == 2) continue;
      if (t > 9) break;
      t = t + i;
    }
    return t;
  }
  int Pick(int v) {
    int r;
    switch (v) { case 5: r = 50; break; case 1: r = 10; case 3: r = 30; break; default: r = 0; }
    return r;
  }
  string Join(string s) { string n; return s + n; }
  Box Make(int n) { int[] a = new int[n]; return new Box(); }
  int Virtual(Base b) { return b.Area(); }
};
game class Ear {
  Box[] boxes;
  thread void Listen() {
    wait () {
      on "A", "a": ;
      on "B", "b", boxes[1]: ;
      on "C", "c": ;
    }
  }
};
class Edge {
  void Refs(int a, string s, object o) { string t; }
  void Chain() { int i, j; i = j = 3; }
  bool AndInts(int a, int b) { return a and b; }
  public void Two(int a, int b) { }
  void Member(Edge e) { e.Two(1, 2); }
  string Tail(string s) { string t = s; return s[2, ]; }
};
class P { void p() { } };
class Q { void q() { } };
class R isclass P, Q { void q() { } };
