include "a.gs"
class A isclass B {
  public void f(int x) {
    if (x > 1) Print("big\n"); else x = -x * 2;
  }
};
