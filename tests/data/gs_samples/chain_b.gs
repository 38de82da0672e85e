include "chain_c.gs"

class B {
  public int Value() { return 1; }
};
