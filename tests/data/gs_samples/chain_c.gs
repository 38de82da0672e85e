static class C {
  public int Twice(int n) { return n << 1; }
};
