#include <sstream>

#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/script_run_fixture.h"

namespace {

constexpr const char* kNatives = R"(include "gs.gs"
class Natives {
  // What a native gave and the caller's string after it ("[...]"). Compares hold NaN equal to all.
  string F(float v) { string s = "" + v; if (Str.Find(s, "nan", 0) >= 0) return "nan"; return s; }
  public string Trim(string t, string u, string set) {
    Str.TrimLeft(t, set); Str.TrimRight(u, set); return "[" + t + "/" + u + "]"; }
  public string ToInt(string t) { return "" + Str.ToInt(t); }
  public string ToFloat(string t) { return F(Str.ToFloat(t)); }
  public string Case(string t, string u) { Str.ToUpper(t); Str.ToLower(u); return "[" + t + u + "]"; }
  public string Tokens(string t, string set) { string[] w = Str.Tokens(t, set); int i;
    string out = "" + w.size(); for (i = 0; i < w.size(); i++) out = out + "," + w[i]; return out; }
  public string UnpackInt(string t) { int v = Str.UnpackInt(t); return v + "[" + t + "]"; }
  public string UnpackFloat(string t) { float v = Str.UnpackFloat(t); return F(v) + "[" + t + "]"; }
  public string UnpackString(string t) { string v = Str.UnpackString(t); return v + "[" + t + "]"; }
  public string Find(string t, string p, int start) { return "" + Str.Find(t, p, start); }
  public string Rand(int lo, int hi, int scale) { int low = Math.Rand(lo, hi); int high = low; int i; int r;
    for (i = 0; i < 2000; i++) { r = Math.Rand(lo, hi); if (r < low) low = r; if (r > high) high = r; }
    return (low / scale) + ".." + (high / scale); }
  public string Rand(float lo, float hi) { int out = 0; int i; float r;
    for (i = 0; i < 2000; i++) { r = Math.Rand(lo, hi); if (F(r) == "nan" or r < lo or r > hi) out++; }
    return "outside " + out; }
  public string Sqrt(float v) { return F(Math.Sqrt(v)); }
};
)";

// "method|argument...|result;": "~" is a null string, "#n" an int, "%x" a float.
constexpr const char* kRows =
    "Trim| \t\r\n\vx | y \t|~|[x / y];Trim|  a | a\n||[a / a];Trim|xyxab|abxy|yx|[ab/ab];"
    "Trim|~|xx|x|[/];ToInt| -17abc|-17;ToInt|~|0;ToInt|99999999999|2147483647;"
    "ToInt|-99999999999|-2147483648;ToFloat|  -2.25xyz|-2.250000;ToFloat|~|0.000000;"
    "ToFloat|1e300|inf;ToFloat|nan|nan;Case|abC-9z|AB-9Z|[ABC-9Zab-9z];Tokens|a,b,,c,|,|3,a,b,c;"
    "Tokens| one  two\tthree\v|~|3,one,two,three;Tokens|a b||2,a,b;Tokens|,,,|,|0;Tokens|~|,|0;"
    "UnpackInt|  12 34|12[ 34];UnpackInt|   |0[];UnpackInt||0[];UnpackInt|~|0[];"
    "UnpackFloat|1.5\tx|1.500000[\tx];UnpackString|\n ab cd|ab[ cd];UnpackString|word|word[];"
    "UnpackString|~|[];Find|abcabc|c|#3|5;Find|abc|c|#3|-1;Find|abc||#3|3;Find|abc|a|#4|-1;"
    "Find|abc|a|#-1|-1;Find|~|a|#0|-1;Find|abc|~|#0|-1;Rand|#0|#10|#1|0..9;Rand|#5|#5|#1|5..5;"
    "Rand|#10|#0|#1|1..10;Rand|#-2147483648|#2147483647|#1000000000|-2..2;Rand|%0|%1|outside 0;"
    "Rand|%-3.4028235e38|%3.4028235e38|outside 0;Rand|%nan|%1|outside 2000;Sqrt|%2.25|1.500000;"
    "Sqrt|%-1|nan;Sqrt|%inf|inf;Sqrt|%nan|nan";

GSRuntime::ScriptArgument Argument(const std::string& field) {
  using GSRuntime::ScriptArgument;
  if (field == "~") return ScriptArgument::NullString();
  if (field[0] == '#') return ScriptArgument::Int(std::stoi(field.substr(1)));
  if (field[0] == '%') return ScriptArgument::Float(std::stof(field.substr(1)));
  return ScriptArgument::String(field);
}

class StrMathNativesTest : public gs_test::ScriptRunTest {};

TEST_F(StrMathNativesTest, EachNativeGivesItsResultThroughACompiledScript) {
  IncludePathList includes;
  includes.Add(KESTRO_TEST_DATA_DIR "/../../gslib", Qel::PString());
  GSMachine::Instance().AddLibraryFolder("", KESTRO_BINARY_DIR "/libraries");
  Build(kNatives, "Natives", &includes);
  std::istringstream rows(kRows);
  for (std::string row; std::getline(rows, row, ';');) {
    std::istringstream in(row);
    std::vector<std::string> fields;
    for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
    std::vector<GSRuntime::ScriptArgument> arguments;
    for (size_t i = 1; i + 1 < fields.size(); ++i) arguments.push_back(Argument(fields[i]));
    u32 word = 0;
    ASSERT_TRUE(Call(fields[0], arguments, &word)) << row;
    const GSRuntime::GSString* text = GSRuntime::GSString::FromReference(word);
    EXPECT_EQ(text != nullptr ? text->Std() : "(none)", fields.back()) << row;
    GSRuntime::GSScriptInstance::Release(word);
  }
}

}  // namespace
