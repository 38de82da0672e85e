class A { int a; define int K = -1 << 3; };
class B isclass A {
  int f(int x, float y);
  int f(int x, float y) { int z; { int w; } return z; }
  thread void t() { }
};
