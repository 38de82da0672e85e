// An include chain: a includes b and c, b includes c again; each unit compiles once.
include "chain_b.gs"
include "chain_c.gs"

class A isclass B {
  public int Value() { return inherited() + C.Twice(3); }
  native int Host(string s);
};
