# The program that the GameScript benchmarks compile, and a Lua chunk of the same line count
# and shape: blocks of 20 lines, each a class (in chains of four) with fields, a define, a
# prototype and its definition holding locals in nested blocks, and two overloads. A short last
# block is filled with comment lines. Variables: lines, gs (output path), lua (output path).
BEGIN {
  for (n = 0; n + 20 <= lines; n += 20) {
    c = n / 20
    if (c % 4 == 0) {
      printf "class C%d {\n", c > gs
      printf "C%d = {}\n", c > lua
    } else {
      printf "class C%d isclass C%d {\n", c, c - 1 > gs
      printf "C%d = setmetatable({}, {__index = C%d})\n", c, c - 1 > lua
    }
    printf "  int count, total;\n  define int K%d = %d * 2 + 1;\n  string name;\n  float ratio;\n", c, c > gs
    printf "  public int Step(int a, float b);\n  public int Step(int a, float b) {\n" > gs
    printf "    int i = a * 2 + 1;\n    float f = b * 0.5;\n    string s = \"text\";\n" > gs
    printf "    while (i > 0) {\n      int j = i - 1;\n" > gs
    printf "      if (j > 3) { int k = j; count = count + k; }\n      i = i - 1;\n    }\n" > gs
    printf "    return count;\n  }\n  void Reset(int n) { int m = n; total = m; }\n" > gs
    printf "  void Reset(float n) { float m = n; }\n};\n" > gs

    printf "C%d.count = 0\nC%d.total = 0\nC%d.K = %d * 2 + 1\nC%d.name = \"\"\n", c, c, c, c, c > lua
    printf "-- Step(a, b)\nfunction C%d.Step(a, b)\n", c > lua
    printf "  local i = a * 2 + 1\n  local f = b * 0.5\n  local s = \"text\"\n" > lua
    printf "  while i > 0 do\n    local j = i - 1\n" > lua
    printf "    if j > 3 then local k = j; C%d.count = C%d.count + k end\n", c, c > lua
    printf "    i = i - 1\n  end\n  return C%d.count\nend\n", c > lua
    printf "function C%d.ResetI(n) local m = n; C%d.total = m end\n", c, c > lua
    printf "function C%d.ResetF(n) local m = n end\n-- end of C%d\n", c, c > lua
  }
  for (; n < lines; ++n) {
    print "// filler" > gs
    print "-- filler" > lua
  }
}
