// Strings and arrays: ranges, sizes, copies and comparisons.
class Text {
  string[] words;

  public string Join(string sep) {
    string out = "";
    int i;
    for (i = 0; i < words.size(); i++) {
      if (i > 0) out = out + sep;
      out = out + words[i];
    }
    return out[1, ];
  }
  public bool Same(string a, string b) { return a == b or a[0, 2] < b; }
  public void Keep(string[] from) {
    words = new string[from.size()];
    words.copy(from);
    words[, 1] = null;
  }
  public float Mean(int[] values) {
    float sum = 0;
    int i = 0;
    while (i < values.size()) sum = sum + values[i++];
    return sum / values.size();
  }
};
