// "LinkedData.gsl": records of a name, a number and an object, kept in arrays that the natives
// of LinkedList sort by name and append to. The natives read the first three members in this
// order.
include "gs.gs"

class LinkedData {
  public string name;
  public int number;
  public GSObject item;
};

class LinkedList {
  public native void SortInternal(LinkedData[] records);
  public native void AddInternal(LinkedData[] records, LinkedData record, bool unique);
};
